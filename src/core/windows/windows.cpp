#include "brinvale/windows.hpp"
#include "brinvale/window_chain.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <type_traits>

#include "brinvale/stats.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace brinvale::core {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
using Size = std::size_t;

inline bool missing(double v) { return !std::isfinite(v); }

// pandas recomputes a window from scratch whenever it does not overlap the
// previous one (window 1 and window 0), and otherwise adds and removes
// observations with separate Kahan compensations.  The same order of
// operations gives the same rounding.
struct SumState {
    double sum = 0, comp_add = 0, comp_remove = 0, prev = 0;
    std::int64_t nobs = 0, neg = 0, same = 0;
    void add(double v) {
        if (missing(v)) {
            return;
        }
        ++nobs;
        const double y = v - comp_add;
        const double t = sum + y;
        comp_add = t - sum - y;
        sum = t;
        // branch-free: signs and repeats are unpredictable in real data
        neg += static_cast<std::int64_t>(std::signbit(v));
        same = same * static_cast<std::int64_t>(v == prev) + 1;
        prev = v;
    }
    void remove(double v) {
        if (missing(v)) {
            return;
        }
        --nobs;
        const double y = -v - comp_remove;
        const double t = sum + y;
        comp_remove = t - sum - y;
        sum = t;
        neg -= static_cast<std::int64_t>(std::signbit(v));
    }
    double result(std::int64_t minp, bool mean) const {
        if (mean) {
            if (nobs < minp || nobs == 0) {
                return kNaN;
            }
            if (same >= nobs) {
                return prev;  // a window of one repeated value gives that value
            }
            const double r = sum / static_cast<double>(nobs);
            if ((neg == 0 && r < 0) || (neg == nobs && r > 0)) {
                return 0;
            }
            return r;
        }
        if (nobs < minp) {
            return kNaN;
        }
        return (same >= nobs) ? prev * static_cast<double>(nobs) : sum;
    }
};

// pandas' roll_var: Welford's update with Kahan-compensated means (one
// compensation for additions, one for removals).  An update that shrinks the
// sum of squared deviations by more than the ill-conditioning tolerance marks
// the state unstable, and the window is then recomputed from its values.
const double kInvCondTol = std::numeric_limits<double>::epsilon() * 1e3;

struct VarState {
    double nobs = 0, mean = 0, ssqdm = 0, comp_add = 0, comp_remove = 0;
    bool unstable = false;

    void add(double v, double &comp) {
        if (missing(v)) {
            return;
        }
        const double prev_m2 = ssqdm;
        nobs += 1;
        const double prev_mean = mean - comp;
        const double y = v - comp;
        const double t = y - mean;
        comp = t + mean - y;
        mean = nobs != 0 ? mean + t / nobs : 0;
        ssqdm = ssqdm + (v - prev_mean) * (v - mean);
        if (prev_m2 * kInvCondTol > ssqdm) {
            unstable = true;
        }
    }
    void add(double v) { add(v, comp_add); }
    void remove(double v) {
        if (missing(v)) {
            return;
        }
        const double prev_m2 = ssqdm;
        nobs -= 1;
        if (nobs != 0) {
            const double prev_mean = mean - comp_remove;
            const double y = v - comp_remove;
            const double t = y - mean;
            comp_remove = t + mean - y;
            mean = mean - t / nobs;
            ssqdm = ssqdm - (v - prev_mean) * (v - mean);
            if (prev_m2 * kInvCondTol > ssqdm) {
                unstable = true;
            }
        } else {
            mean = 0;
            ssqdm = 0;
            unstable = false;
        }
    }
    // Starts over from the window's values value(0) ... value(count - 1).
    template <typename Value>
    void recompute(const Value &value, Size count) {
        nobs = mean = ssqdm = comp_add = comp_remove = 0;
        for (Size j = 0; j < count; ++j) {
            add(value(j), comp_add);
        }
        unstable = false;
    }
    // The standard deviation: the variance's square root, 0 for a negative
    // variance (pandas' zsqrt).
    double result(std::int64_t minp) const {
        if (!(nobs >= static_cast<double>(minp) && nobs > 1)) {
            return kNaN;
        }
        const double var = ssqdm / (nobs - 1);
        return var < 0 ? 0.0 : std::sqrt(var);
    }
};

void roll_std(std::span<const double> x, std::uint64_t window, std::span<double> out) {
    VarState st;
    const auto minp = static_cast<std::int64_t>(std::min<std::uint64_t>(window, x.size() + 1));
    for (Size i = 0; i < x.size(); ++i) {
        const Size s = i + 1 >= window ? i + 1 - static_cast<Size>(window) : 0;
        if (i == 0) {
            st.recompute([&](Size j) { return x[s + j]; }, i + 1 - s);
        } else {
            if (s > 0) {
                st.remove(x[s - 1]);
            }
            st.add(x[i]);
            if (st.unstable) {
                st.recompute([&](Size j) { return x[s + j]; }, i + 1 - s);
            }
        }
        out[i] = st.result(minp);
    }
}

// Windows of at most one row are computed from scratch by pandas: the value
// itself (or an empty window), never the running state.
bool tiny_window(WindowStat stat, std::span<const double> x, std::span<const std::int64_t> codes,
                 std::uint64_t window, std::span<double> out) {
    if (window > 1) {
        return false;
    }
    for (Size i = 0; i < x.size(); ++i) {
        double r = kNaN;
        if (codes.empty() || codes[i] >= 0) {
            const bool empty = window == 0;
            if (stat == WindowStat::Sum) {
                r = empty ? 0.0 : (missing(x[i]) ? kNaN : x[i]);
            } else if (!empty && stat != WindowStat::Std && !missing(x[i])) {
                r = x[i];
            }
        }
        out[i] = r;
    }
    return true;
}

template <typename State>
void roll_running(std::span<const double> x, std::uint64_t window, bool mean,
                  std::span<double> out) {
    State st;
    const auto minp = static_cast<std::int64_t>(std::min<std::uint64_t>(window, x.size() + 1));
    const Size full = static_cast<Size>(std::min<std::uint64_t>(window, x.size()));
    for (Size i = 0; i < full; ++i) {
        st.add(x[i]);
        if constexpr (std::is_same_v<State, SumState>) {
            out[i] = st.result(minp, mean);
        } else {
            out[i] = st.result(minp);
        }
    }
    for (Size i = full; i < x.size(); ++i) {
        st.remove(x[i - full]);
        st.add(x[i]);
        if constexpr (std::is_same_v<State, SumState>) {
            out[i] = st.result(minp, mean);
        } else {
            out[i] = st.result(minp);
        }
    }
}

// Per-group ring buffers for the grouped one-pass kernels: group g owns
// slots [begin[g], begin[g] + size[g]) with size min(capacity, rows of g),
// so all rings together hold at most one slot per row.
struct Rings {
    std::vector<Size> begin, size;
    Size total = 0;
};

Rings ring_layout(std::span<const std::int64_t> codes, std::int64_t ngroups, std::uint64_t cap) {
    Rings r;
    r.begin.assign(static_cast<Size>(ngroups), 0);
    r.size.assign(static_cast<Size>(ngroups), 0);
    for (std::int64_t c : codes) {
        if (c >= 0) {
            ++r.size[static_cast<Size>(c)];
        }
    }
    for (Size g = 0; g < r.size.size(); ++g) {
        r.size[g] = static_cast<Size>(std::min<std::uint64_t>(cap, r.size[g]));
        r.begin[g] = r.total;
        r.total += r.size[g];
    }
    return r;
}

// The row-order pass keeps one state per group; with very many small groups
// the states would outweigh the column, and gathering each group is cheaper.
bool one_pass(std::span<const std::int64_t> codes, std::int64_t ngroups) {
    return static_cast<std::uint64_t>(ngroups) * 8 <= codes.size() + 64;
}

template <typename State>
void roll_running_grouped(std::span<const double> x, std::span<const std::int64_t> codes,
                          std::int64_t ngroups, std::uint64_t window, bool mean,
                          std::span<double> out) {
    struct Slot {
        State st;
        std::uint64_t seen = 0;
        Size pos = 0;
    };
    const Rings rings = ring_layout(codes, ngroups, window);
    std::vector<double> ring(rings.total);
    std::vector<Slot> slots(static_cast<Size>(ngroups));
    const auto minp = static_cast<std::int64_t>(std::min<std::uint64_t>(window, x.size() + 1));
    for (Size i = 0; i < x.size(); ++i) {
        const std::int64_t c = codes[i];
        if (c < 0) {
            out[i] = kNaN;
            continue;
        }
        Slot &s = slots[static_cast<Size>(c)];
        double *values = ring.data() + rings.begin[static_cast<Size>(c)];
        const double v = x[i];
        const Size size = rings.size[static_cast<Size>(c)];
        if constexpr (std::is_same_v<State, VarState>) {
            // pandas starts every group afresh, and recomputes an unstable window
            if (s.seen > 0) {
                if (s.seen >= window) {
                    s.st.remove(values[s.pos]);
                }
                s.st.add(v);
            }
            values[s.pos] = v;
            s.pos = s.pos + 1 == size ? 0 : s.pos + 1;
            ++s.seen;
            if (s.seen == 1 || s.st.unstable) {
                const Size count = static_cast<Size>(std::min<std::uint64_t>(s.seen, window));
                const Size oldest = s.seen >= size ? s.pos : 0;
                s.st.recompute(
                    [&](Size j) {
                        const Size k = oldest + j;
                        return values[k >= size ? k - size : k];
                    },
                    count);
            }
            out[i] = s.st.result(minp);
            continue;
        }
        if (s.seen >= window) {
            s.st.remove(values[s.pos]);
        }
        s.st.add(v);
        values[s.pos] = v;
        const Size next = s.pos + 1;
        s.pos = next == size ? 0 : next;
        ++s.seen;
        if constexpr (std::is_same_v<State, SumState>) {
            out[i] = s.st.result(minp, mean);
        } else {
            out[i] = s.st.result(minp);
        }
    }
}

// Rolling extremes by van Herk / Gil-Werman: inside blocks of `window` rows,
// the window ending at row i is the suffix extreme of the previous block from
// i - window + 1 on, combined with the prefix extreme of i's block.  Missing
// values enter as the neutral element; a window holding one is missing anyway.
template <bool Max>
void roll_extreme_values(std::span<const double> x, std::uint64_t window, std::span<double> out) {
    const Size n = x.size();
    if (window == 0 || window > n) {
        std::fill(out.begin(), out.end(), kNaN);
        return;
    }
    const auto w = static_cast<Size>(window);
    const double neutral = Max ? -kInf : kInf;
    // pick(later, earlier): of equal values pandas' deque keeps the later one
    // (0.0 and -0.0 are equal)
    auto pick = [](double later, double earlier) {
        return Max ? std::max(later, earlier) : std::min(later, earlier);
    };
    auto clean = [neutral](double v) { return missing(v) ? neutral : v; };
    std::vector<double> suffix(w);
    std::int64_t last_bad = -static_cast<std::int64_t>(w) - 1;
    for (Size b = 0; b < n; b += w) {
        const Size e = std::min(n, b + w);
        double prefix = neutral;
        for (Size i = b; i < e; ++i) {
            const double v = x[i];
            if (missing(v)) {
                last_bad = static_cast<std::int64_t>(i);
            }
            prefix = pick(clean(v), prefix);
            const bool valid = i + 1 >= w && static_cast<std::int64_t>(i) - last_bad >=
                                                 static_cast<std::int64_t>(w);
            double r = prefix;
            if (i + 1 != e || e - b != w) {
                // the window reaches into the previous block (rows i-w+1 .. b-1)
                r = (b > 0) ? pick(prefix, suffix[i + 1 - b]) : prefix;
            }
            out[i] = valid ? r : kNaN;
        }
        // suffix extremes of this block, for the next one
        double acc = neutral;
        for (Size i = e; i > b; --i) {
            acc = pick(acc, clean(x[i - 1]));
            suffix[i - 1 - b] = acc;
        }
    }
}

// The same blocks per group in one row-order pass: each group keeps the
// values of its current block and the suffix extremes of the previous one.
template <bool Max>
void roll_extreme_values_grouped(std::span<const double> x, std::span<const std::int64_t> codes,
                                 std::int64_t ngroups, std::uint64_t window,
                                 std::span<double> out) {
    struct Slot {
        std::uint64_t seen = 0, bad_until = 0;
        Size pos = 0;
        double prefix = Max ? -kInf : kInf;
        bool flip = false;  // which half holds the current block
    };
    const double neutral = Max ? -kInf : kInf;
    // pick(later, earlier): of equal values pandas' deque keeps the later one
    // (0.0 and -0.0 are equal)
    auto pick = [](double later, double earlier) {
        return Max ? std::max(later, earlier) : std::min(later, earlier);
    };
    const Rings rings = ring_layout(codes, ngroups, window);
    std::vector<double> blocks(2 * rings.total);
    std::vector<Slot> slots(static_cast<Size>(ngroups));
    for (Size i = 0; i < x.size(); ++i) {
        const std::int64_t c = codes[i];
        if (c < 0 || window == 0) {
            out[i] = kNaN;
            continue;
        }
        const auto g = static_cast<Size>(c);
        Slot &s = slots[g];
        const Size size = rings.size[g];
        double *half0 = blocks.data() + 2 * rings.begin[g];
        double *cur = s.flip ? half0 + size : half0;
        const double *prev_suffix = s.flip ? half0 : half0 + size;
        const std::uint64_t k = s.seen++;
        const double v = x[i];
        if (missing(v)) {
            s.bad_until = k + window;
        }
        const double clean = missing(v) ? neutral : v;
        s.prefix = pick(clean, s.prefix);
        cur[s.pos] = clean;
        double r = s.prefix;
        if (s.pos + 1 != size && k >= size) {
            r = pick(r, prev_suffix[s.pos + 1]);
        }
        out[i] = (k + 1 < window || k < s.bad_until) ? kNaN : r;
        if (++s.pos == size) {
            // the block is complete: its suffix extremes serve the next one
            double acc = neutral;
            for (Size j = size; j > 0; --j) {
                acc = pick(acc, cur[j - 1]);
                cur[j - 1] = acc;
            }
            s.pos = 0;
            s.prefix = neutral;
            s.flip = !s.flip;
        }
    }
}

// Monotonic deques of (value, position) in one row-order pass, one ring per
// group; the front holds the extreme of the window, the first position among
// equal values (pandas' argmax/argmin over the window).
template <bool Max>
void roll_extreme_deque(std::span<const double> x, std::span<const std::int64_t> codes,
                        std::int64_t ngroups, std::uint64_t window, bool position,
                        std::span<double> out) {
    struct Entry {
        double value;
        std::uint64_t pos;
    };
    struct Slot {
        std::uint64_t seen = 0, bad_until = 0;
        Size head = 0, count = 0;
    };
    const bool grouped = !codes.empty();
    if (!grouped) {
        ngroups = 1;
    }
    Rings rings;
    if (grouped) {
        rings = ring_layout(codes, ngroups, window);
    } else {
        rings.begin = {0};
        rings.size = {static_cast<Size>(std::min<std::uint64_t>(window, x.size()))};
        rings.total = rings.size[0];
    }
    std::vector<Entry> ring(rings.total + static_cast<Size>(ngroups));
    std::vector<Slot> slots(static_cast<Size>(ngroups));
    for (Size i = 0; i < x.size(); ++i) {
        const std::int64_t c = grouped ? codes[i] : 0;
        if (c < 0 || window == 0) {
            out[i] = kNaN;
            continue;
        }
        const auto g = static_cast<Size>(c);
        Slot &s = slots[g];
        Entry *q = ring.data() + rings.begin[g] + g;
        const Size cap = rings.size[g] + 1;
        const std::uint64_t k = s.seen++;
        const double v = x[i];
        if (missing(v)) {
            s.bad_until = k + window;
        } else {
            while (s.count > 0) {
                Size back = s.head + s.count - 1;
                back = back >= cap ? back - cap : back;
                if (Max ? q[back].value < v : q[back].value > v) {
                    --s.count;
                } else {
                    break;
                }
            }
            Size at = s.head + s.count;
            q[at >= cap ? at - cap : at] = {v, k};
            ++s.count;
        }
        while (s.count > 0 && k >= window && q[s.head].pos <= k - window) {
            s.head = s.head + 1 == cap ? 0 : s.head + 1;
            --s.count;
        }
        if (k + 1 < window || k < s.bad_until) {
            out[i] = kNaN;
        } else if (position) {
            out[i] = static_cast<double>(q[s.head].pos - (k + 1 - window));
        } else {
            out[i] = q[s.head].value;
        }
    }
}

// Number of missing values in the window ending at each row; the window is
// complete (and so valid) when it is full and holds none.
class MissingCounter {
  public:
    MissingCounter(std::span<const double> x, std::uint64_t window) : x_(x), window_(window) {}
    bool valid(Size i) {
        if (missing(x_[i])) {
            ++missing_;
        }
        if (i >= window_ && missing(x_[i - window_])) {
            --missing_;
        }
        return i + 1 >= window_ && missing_ == 0;
    }

  private:
    std::span<const double> x_;
    std::uint64_t window_;
    std::int64_t missing_ = 0;
};

// Average rank of the last value among `count` window values.  Compilers do
// not vectorise this mixed double/integer count, so SSE2 (the x86-64
// baseline) is used directly.
inline double rank_in(const double *w, Size count, double v) {
    std::int64_t less = 0, equal = 0;
    Size j = 0;
#if defined(__SSE2__)
    const __m128d vv = _mm_set1_pd(v);
    __m128i lt0 = _mm_setzero_si128(), eq0 = _mm_setzero_si128();
    __m128i lt1 = _mm_setzero_si128(), eq1 = _mm_setzero_si128();
    for (; j + 4 <= count; j += 4) {
        const __m128d a = _mm_loadu_pd(w + j), b = _mm_loadu_pd(w + j + 2);
        // true lanes are all ones, i.e. -1
        lt0 = _mm_sub_epi64(lt0, _mm_castpd_si128(_mm_cmplt_pd(a, vv)));
        eq0 = _mm_sub_epi64(eq0, _mm_castpd_si128(_mm_cmpeq_pd(a, vv)));
        lt1 = _mm_sub_epi64(lt1, _mm_castpd_si128(_mm_cmplt_pd(b, vv)));
        eq1 = _mm_sub_epi64(eq1, _mm_castpd_si128(_mm_cmpeq_pd(b, vv)));
    }
    alignas(16) std::int64_t lanes[4];
    _mm_store_si128(reinterpret_cast<__m128i *>(lanes), _mm_add_epi64(lt0, lt1));
    _mm_store_si128(reinterpret_cast<__m128i *>(lanes + 2), _mm_add_epi64(eq0, eq1));
    less = lanes[0] + lanes[1];
    equal = lanes[2] + lanes[3];
#endif
    for (; j < count; ++j) {
        less += w[j] < v;
        equal += w[j] == v;
    }
    return static_cast<double>(less) + static_cast<double>(equal + 1) / 2.0;
}

constexpr std::uint64_t kDirectRank = 128;

void roll_rank_grouped_direct(std::span<const double> x, std::span<const std::int64_t> codes,
                              std::int64_t ngroups, std::uint64_t window, std::span<double> out) {
    struct Slot {
        std::uint64_t seen = 0, bad_until = 0;
        Size pos = 0;
    };
    const Rings rings = ring_layout(codes, ngroups, window);
    std::vector<double> ring(rings.total);
    std::vector<Slot> slots(static_cast<Size>(ngroups));
    for (Size i = 0; i < x.size(); ++i) {
        const std::int64_t c = codes[i];
        if (c < 0 || window == 0) {
            out[i] = kNaN;
            continue;
        }
        const auto g = static_cast<Size>(c);
        Slot &s = slots[g];
        double *values = ring.data() + rings.begin[g];
        const std::uint64_t k = s.seen++;
        const double v = x[i];
        if (missing(v)) {
            s.bad_until = k + window;
        }
        values[s.pos] = v;
        s.pos = s.pos + 1 == rings.size[g] ? 0 : s.pos + 1;
        // a valid window fills the whole ring
        out[i] = (k + 1 < window || k < s.bad_until)
                     ? kNaN
                     : rank_in(values, static_cast<Size>(window), v);
    }
}

class Fenwick {
  public:
    explicit Fenwick(Size n) : tree_(n + 1, 0) {}
    void add(Size pos, std::int64_t delta) {
        for (Size k = pos + 1; k < tree_.size(); k += k & (~k + 1)) {
            tree_[k] += delta;
        }
    }
    std::int64_t prefix(Size count) const {  // sum over positions [0, count)
        std::int64_t s = 0;
        for (Size k = count; k > 0; k -= k & (~k + 1)) {
            s += tree_[k];
        }
        return s;
    }

  private:
    std::vector<std::int64_t> tree_;
};

void roll_rank(std::span<const double> x, std::uint64_t window, std::span<double> out) {
    MissingCounter mc(x, window);
    if (window <= kDirectRank) {
        for (Size i = 0; i < x.size(); ++i) {
            out[i] = (window == 0 || !mc.valid(i))
                         ? kNaN
                         : rank_in(x.data() + (i + 1 - window), static_cast<Size>(window), x[i]);
        }
        return;
    }
    // Long windows: an order-statistic tree over the ranks of the distinct values.
    std::vector<double> distinct;
    distinct.reserve(x.size());
    for (double v : x) {
        if (!missing(v)) {
            distinct.push_back(v);
        }
    }
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    auto rank_of = [&](double v) {
        return static_cast<Size>(std::lower_bound(distinct.begin(), distinct.end(), v) -
                                 distinct.begin());
    };
    std::vector<Size> ranks(x.size(), 0);
    for (Size i = 0; i < x.size(); ++i) {
        ranks[i] = missing(x[i]) ? 0 : rank_of(x[i]);
    }
    Fenwick tree(distinct.size());
    for (Size i = 0; i < x.size(); ++i) {
        if (!missing(x[i])) {
            tree.add(ranks[i], 1);
        }
        if (i >= window && !missing(x[i - window])) {
            tree.add(ranks[i - window], -1);
        }
        if (!mc.valid(i)) {
            out[i] = kNaN;
            continue;
        }
        const std::int64_t less = tree.prefix(ranks[i]);
        const std::int64_t upto = tree.prefix(ranks[i] + 1);
        out[i] = static_cast<double>(less) + static_cast<double>(upto - less + 1) / 2.0;
    }
}

void roll_prod(std::span<const double> x, std::uint64_t window, std::span<double> out) {
    MissingCounter mc(x, window);
    for (Size i = 0; i < x.size(); ++i) {
        if (window == 0) {
            out[i] = 1.0;  // the product of an empty window
            continue;
        }
        if (!mc.valid(i)) {
            out[i] = kNaN;
            continue;
        }
        double p = 1.0;
        for (Size j = i + 1 - window; j <= i; ++j) {
            p *= x[j];
        }
        out[i] = p;
    }
}

std::vector<double> decay_weights(std::uint64_t window) {
    // NumPy's linspace(0.1, 1, d): start + k * step, the last point exactly 1.
    std::vector<double> w(window);
    if (window == 1) {
        w[0] = 0.1;
        return w;
    }
    const double step = (1.0 - 0.1) / static_cast<double>(window - 1);
    for (Size k = 0; k < window; ++k) {
        w[k] = static_cast<double>(k) * step + 0.1;
    }
    w[window - 1] = 1.0;
    return w;
}

// The weighted sum as pandas' window function computes it: element-wise
// products, then NumPy's pairwise sum.
#if defined(__x86_64__) && defined(__GNUC__) && defined(__linux__)
// AVX2 brings no fused multiply-add: the same doubles as the baseline build.
#define BRINVALE_WIDE_LOOP __attribute__((target_clones("avx2", "default")))
#else
#define BRINVALE_WIDE_LOOP
#endif

// The weighted sum of every complete window, as pandas' window function
// computes it: the products, then NumPy's pairwise sum from its identity 0.0
// (eight partial sums up to 128 terms).  Each window is summed afresh; an
// update from the previous window would round differently.
BRINVALE_WIDE_LOOP
void weighted_windows(const double *x, Size n, const double *w, Size d, const unsigned char *valid,
                      double *out) {
    for (Size i = d - 1; i < n; ++i) {
        if (!valid[i]) {
            continue;
        }
        const double *a = x + (i + 1 - d);
        double res;
        if (d < 8) {
            res = -0.0;
            for (Size k = 0; k < d; ++k) {
                res += a[k] * w[k];
            }
        } else if (d <= 128) {
            double r[8];
            for (Size k = 0; k < 8; ++k) {
                r[k] = a[k] * w[k];
            }
            Size j = 8;
            for (; j < d - (d % 8); j += 8) {
                for (Size k = 0; k < 8; ++k) {
                    r[k] += a[j + k] * w[j + k];
                }
            }
            res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
            for (; j < d; ++j) {
                res += a[j] * w[j];
            }
        } else {
            res = pairwise_blocks([](Size, Size) {}, [a, w](Size k) { return a[k] * w[k]; }, 0, d);
        }
        out[i] = 0.0 + res;
    }
}

void roll_decay(std::span<const double> x, std::uint64_t window, std::span<double> out) {
    if (window == 0) {
        std::fill(out.begin(), out.end(), 0.0);
        return;
    }
    if (window > x.size()) {
        std::fill(out.begin(), out.end(), kNaN);
        return;
    }
    const std::vector<double> w = decay_weights(window);
    MissingCounter mc(x, window);
    std::vector<unsigned char> valid(x.size());
    for (Size i = 0; i < x.size(); ++i) {
        valid[i] = mc.valid(i) ? 1 : 0;
        out[i] = kNaN;
    }
    weighted_windows(x.data(), x.size(), w.data(), static_cast<Size>(window), valid.data(),
                     out.data());
}

}  // namespace

void rolling(WindowStat stat, std::span<const double> x, std::uint64_t window,
             std::span<double> out) {
    switch (stat) {
    case WindowStat::Sum:
    case WindowStat::Mean:
    case WindowStat::Std:
    case WindowStat::Min:
    case WindowStat::Max:
        if (tiny_window(stat, x, {}, window, out)) {
            return;
        }
        break;
    default:
        break;
    }
    switch (stat) {
    case WindowStat::Sum:
        return roll_running<SumState>(x, window, false, out);
    case WindowStat::Mean:
        return roll_running<SumState>(x, window, true, out);
    case WindowStat::Std:
        return roll_std(x, window, out);
    case WindowStat::Min:
        return roll_extreme_values<false>(x, window, out);
    case WindowStat::Max:
        return roll_extreme_values<true>(x, window, out);
    case WindowStat::ArgMin:
        return roll_extreme_deque<false>(x, {}, 1, window, true, out);
    case WindowStat::ArgMax:
        return roll_extreme_deque<true>(x, {}, 1, window, true, out);
    case WindowStat::Rank:
        return roll_rank(x, window, out);
    case WindowStat::Prod:
        return roll_prod(x, window, out);
    case WindowStat::DecayLinear:
        return roll_decay(x, window, out);
    }
}

namespace {

// pandas' co-moment accumulators of roll_cov / roll_corr: Welford's update of
// both means and of the sums of squared deviations, anchored to the first
// pair of the window so that a shared offset cancels exactly.  An update that
// leaves a sum of squares below the round-off of the largest deviation seen
// marks the state unstable, and the window is then recomputed.
const double kMaxOrigin = std::sqrt(std::numeric_limits<double>::max());

struct CovState {
    double nobs = 0, mean_x = 0, mean_y = 0, origin_x = 0, origin_y = 0;
    double xy = 0, xx = 0, yy = 0, peak_x = 0, peak_y = 0;
    bool unstable = false;

    void reset() { *this = CovState{}; }
    void track(double sx, double sy) {
        const double dev_x = std::fabs(sx - mean_x), dev_y = std::fabs(sy - mean_y);
        if (dev_x > peak_x) {
            peak_x = dev_x;
        }
        if (dev_y > peak_y) {
            peak_y = dev_y;
        }
        const bool cancelled =
            (xy != xy || xx != xx || yy != yy) || peak_x * peak_y * kInvCondTol > std::fabs(xy) ||
            peak_x * peak_x * kInvCondTol > xx || peak_y * peak_y * kInvCondTol > yy;
        if (cancelled) {
            unstable = true;
        }
    }
    void add(double vx, double vy) {
        if (vx != vx || vy != vy) {
            return;
        }
        nobs += 1;
        if (nobs == 1) {
            origin_x = std::fabs(vx) < kMaxOrigin ? vx : 0;
            origin_y = std::fabs(vy) < kMaxOrigin ? vy : 0;
        }
        const double sx = vx - origin_x, sy = vy - origin_y;
        const double dx = sx - mean_x, dy = sy - mean_y;
        mean_x += dx / nobs;
        mean_y += dy / nobs;
        xy += (sx - mean_x) * dy;
        xx += (sx - mean_x) * dx;
        yy += (sy - mean_y) * dy;
        track(sx, sy);
    }
    void remove(double vx, double vy) {
        if (vx != vx || vy != vy) {
            return;
        }
        const double sx = vx - origin_x, sy = vy - origin_y;
        const double dx = sx - mean_x, dy = sy - mean_y;
        nobs -= 1;
        if (nobs != 0) {
            mean_x -= dx / nobs;
            mean_y -= dy / nobs;
            xy -= (sx - mean_x) * dy;
            xx -= (sx - mean_x) * dx;
            yy -= (sy - mean_y) * dy;
            track(sx, sy);
        } else {
            reset();
        }
    }
    double cov() const { return nobs <= 1 ? kNaN : xy / (nobs - 1.0); }
    double corr() const {
        if (nobs <= 0.0 || xx == 0.0 || yy == 0.0) {
            return kNaN;
        }
        // Cython's `** 0.5` is pow, which differs from sqrt for -0.0
        double r = xy / std::pow(xx * yy, 0.5);
        if (r > 1.0) {
            r = 1.0;
        } else if (r < -1.0) {
            r = -1.0;
        }
        return r;
    }
};

}  // namespace

void rolling_pair(PairStat stat, std::span<const double> x, std::span<const double> y,
                  std::uint64_t window, std::span<double> out) {
    // pandas masks each side with the other (x + 0 * y) and counts
    // infinities as missing.
    const Size n = x.size();
    const auto bx = [&](Size j) {
        const double a = x[j] + 0.0 * y[j];
        return std::isinf(a) ? kNaN : a;
    };
    const auto by = [&](Size j) {
        const double b = y[j] + 0.0 * x[j];
        return std::isinf(b) ? kNaN : b;
    };
    if (window == 0 || window > n) {
        std::fill(out.begin(), out.end(), kNaN);
        return;
    }
    const auto minp = static_cast<double>(window);
    CovState st;
    const auto recompute = [&](Size s, Size e) {
        st.reset();
        for (Size j = s; j < e; ++j) {
            st.add(bx(j), by(j));
        }
        st.unstable = false;
    };
    for (Size i = 0; i < n; ++i) {
        const Size s = i + 1 >= window ? i + 1 - static_cast<Size>(window) : 0;
        // a window of one row does not overlap the previous one
        if (i == 0 || window == 1) {
            recompute(s, i + 1);
        } else {
            if (s > 0) {
                st.remove(bx(s - 1), by(s - 1));
            }
            st.add(bx(i), by(i));
            if (st.unstable) {
                recompute(s, i + 1);
            }
        }
        out[i] = st.nobs < minp ? kNaN : (stat == PairStat::Cov ? st.cov() : st.corr());
    }
}

GroupRows group_rows(std::span<const std::int64_t> codes, std::int64_t ngroups) {
    GroupRows g;
    g.offsets.assign(static_cast<Size>(ngroups) + 1, 0);
    for (std::int64_t c : codes) {
        if (c >= 0) {
            ++g.offsets[static_cast<Size>(c) + 1];
        }
    }
    std::partial_sum(g.offsets.begin(), g.offsets.end(), g.offsets.begin());
    g.order.resize(static_cast<Size>(g.offsets.back()));
    std::vector<std::int64_t> next(g.offsets.begin(), g.offsets.end() - 1);
    for (Size i = 0; i < codes.size(); ++i) {
        if (codes[i] >= 0) {
            g.order[static_cast<Size>(next[static_cast<Size>(codes[i])]++)] =
                static_cast<std::int64_t>(i);
        }
    }
    return g;
}

namespace {

// Gathers each group's rows into one buffer, runs the column kernel on every
// group and scatters the results back: for statistics without a one-pass
// grouped form, and for very many small groups.
template <typename Kernel>
void per_group(std::span<const std::int64_t> codes, std::int64_t ngroups, std::span<const double> x,
               std::span<const double> y, std::span<double> out, Kernel kernel) {
    const GroupRows g = group_rows(codes, ngroups);
    const Size m = g.order.size();
    std::vector<double> gx(m), gy(y.empty() ? 0 : m), gout(m);
    for (Size k = 0; k < m; ++k) {
        gx[k] = x[static_cast<Size>(g.order[k])];
        if (!y.empty()) {
            gy[k] = y[static_cast<Size>(g.order[k])];
        }
    }
    for (Size grp = 0; grp + 1 < g.offsets.size(); ++grp) {
        const auto b = static_cast<Size>(g.offsets[grp]);
        const auto len = static_cast<Size>(g.offsets[grp + 1]) - b;
        if (len == 0) {
            continue;
        }
        kernel(std::span<const double>(gx).subspan(b, len),
               y.empty() ? std::span<const double>() : std::span<const double>(gy).subspan(b, len),
               std::span<double>(gout).subspan(b, len));
    }
    if (m < out.size()) {
        for (Size i = 0; i < out.size(); ++i) {
            if (codes[i] < 0) {
                out[i] = kNaN;
            }
        }
    }
    for (Size k = 0; k < m; ++k) {
        out[static_cast<Size>(g.order[k])] = gout[k];
    }
}

// Open addressing over 64-bit keys, codes in order of first appearance.
class KeyCoder {
  public:
    std::int64_t code(std::uint64_t key) {
        if (static_cast<Size>(used_ + 1) * 2 > slots_.size()) {
            grow();
        }
        Size h = hash(key) & mask_;
        while (true) {
            Slot &s = slots_[h];
            if (s.code < 0) {
                s = {key, used_};
                return used_++;
            }
            if (s.key == key) {
                return s.code;
            }
            h = (h + 1) & mask_;
        }
    }

    std::int64_t size() const { return used_; }

  private:
    struct Slot {
        std::uint64_t key = 0;
        std::int64_t code = -1;
    };
    static Size hash(std::uint64_t k) {
        k ^= k >> 33;
        k *= 0xff51afd7ed558ccdULL;
        k ^= k >> 33;
        return static_cast<Size>(k);
    }
    void grow() {
        std::vector<Slot> old = std::move(slots_);
        slots_.assign(old.empty() ? 1024 : old.size() * 2, Slot{});
        mask_ = slots_.size() - 1;
        for (const Slot &s : old) {
            if (s.code >= 0) {
                Size h = hash(s.key) & mask_;
                while (slots_[h].code >= 0) {
                    h = (h + 1) & mask_;
                }
                slots_[h] = s;
            }
        }
    }
    std::vector<Slot> slots_;
    Size mask_ = 0;
    std::int64_t used_ = 0;
};

}  // namespace

std::int64_t encode_keys(std::span<const std::int64_t> keys, std::span<std::int64_t> codes) {
    if (keys.empty()) {
        return 0;
    }
    const auto [lo, hi] = std::minmax_element(keys.begin(), keys.end());
    const std::uint64_t range = static_cast<std::uint64_t>(*hi) - static_cast<std::uint64_t>(*lo);
    if (range < keys.size()) {
        const std::int64_t base = *lo;
        for (Size i = 0; i < keys.size(); ++i) {
            codes[i] = static_cast<std::int64_t>(static_cast<std::uint64_t>(keys[i]) -
                                                 static_cast<std::uint64_t>(base));
        }
        return static_cast<std::int64_t>(range) + 1;
    }
    KeyCoder coder;
    for (Size i = 0; i < keys.size(); ++i) {
        codes[i] = coder.code(static_cast<std::uint64_t>(keys[i]));
    }
    return coder.size();
}

std::int64_t encode_keys(std::span<const double> keys, std::span<std::int64_t> codes) {
    KeyCoder coder;
    for (Size i = 0; i < keys.size(); ++i) {
        const double v = keys[i];
        if (std::isnan(v)) {
            codes[i] = -1;
            continue;
        }
        std::uint64_t bits = 0;
        const double k = v == 0.0 ? 0.0 : v;  // -0.0 and 0.0 are one key
        std::memcpy(&bits, &k, sizeof bits);
        codes[i] = coder.code(bits);
    }
    return coder.size();
}

void rolling_grouped(WindowStat stat, std::span<const double> x,
                     std::span<const std::int64_t> codes, std::int64_t ngroups,
                     std::uint64_t window, std::span<double> out) {
    if (one_pass(codes, ngroups)) {
        switch (stat) {
        case WindowStat::Sum:
        case WindowStat::Mean:
        case WindowStat::Std:
            if (tiny_window(stat, x, codes, window, out)) {
                return;
            }
            if (stat == WindowStat::Std) {
                return roll_running_grouped<VarState>(x, codes, ngroups, window, false, out);
            }
            return roll_running_grouped<SumState>(x, codes, ngroups, window,
                                                  stat == WindowStat::Mean, out);
        case WindowStat::Min:
            return roll_extreme_values_grouped<false>(x, codes, ngroups, window, out);
        case WindowStat::Max:
            return roll_extreme_values_grouped<true>(x, codes, ngroups, window, out);
        case WindowStat::ArgMin:
            return roll_extreme_deque<false>(x, codes, ngroups, window, true, out);
        case WindowStat::ArgMax:
            return roll_extreme_deque<true>(x, codes, ngroups, window, true, out);
        case WindowStat::Rank:
            if (window <= kDirectRank) {
                return roll_rank_grouped_direct(x, codes, ngroups, window, out);
            }
            break;
        default:
            break;
        }
    }
    per_group(codes, ngroups, x, {}, out,
              [&](std::span<const double> gx, std::span<const double>, std::span<double> go) {
                  rolling(stat, gx, window, go);
              });
}

void rolling_pair_grouped(PairStat stat, std::span<const double> x, std::span<const double> y,
                          std::span<const std::int64_t> codes, std::int64_t ngroups,
                          std::uint64_t window, std::span<double> out) {
    per_group(codes, ngroups, x, y, out,
              [&](std::span<const double> gx, std::span<const double> gy, std::span<double> go) {
                  rolling_pair(stat, gx, gy, window, go);
              });
}

namespace {

template <bool Difference>
void shift_column(std::span<const double> x, std::int64_t lag, std::span<double> out) {
    const Size n = x.size();
    const Size shift = static_cast<Size>(std::min<std::uint64_t>(
        lag < 0 ? static_cast<std::uint64_t>(-(lag + 1)) + 1 : static_cast<std::uint64_t>(lag), n));
    const Size kept = n - shift;
    const Size dst = lag >= 0 ? shift : 0, src = lag >= 0 ? 0 : shift;
    if constexpr (Difference) {
        for (Size k = 0; k < kept; ++k) {
            out[dst + k] = x[dst + k] - x[src + k];
        }
    } else if (kept > 0) {
        std::memcpy(out.data() + dst, x.data() + src, kept * sizeof(double));
    }
    const Size hole = lag >= 0 ? 0 : kept;
    std::fill(out.begin() + static_cast<std::ptrdiff_t>(hole),
              out.begin() + static_cast<std::ptrdiff_t>(hole + shift), kNaN);
}

// Rows are visited in row order for lags, in reverse for leads; each group
// keeps its last |lag| values in a ring.
template <bool Difference>
void shift_grouped(std::span<const double> x, std::span<const std::int64_t> codes,
                   std::int64_t ngroups, std::int64_t lag, std::span<double> out) {
    const std::uint64_t dist =
        lag < 0 ? static_cast<std::uint64_t>(-(lag + 1)) + 1 : static_cast<std::uint64_t>(lag);
    const Size n = x.size();
    if (dist == 0) {
        for (Size i = 0; i < n; ++i) {
            out[i] = codes[i] < 0 ? kNaN : (Difference ? x[i] - x[i] : x[i]);
        }
        return;
    }
    struct Slot {
        std::uint64_t seen = 0;
        Size pos = 0;
    };
    const Rings rings = ring_layout(codes, ngroups, dist);
    std::vector<double> ring(rings.total);
    std::vector<Slot> slots(static_cast<Size>(ngroups));
    for (Size step = 0; step < n; ++step) {
        const Size i = lag > 0 ? step : n - 1 - step;
        const std::int64_t c = codes[i];
        if (c < 0) {
            out[i] = kNaN;
            continue;
        }
        const auto g = static_cast<Size>(c);
        Slot &s = slots[g];
        double *values = ring.data() + rings.begin[g];
        const double v = x[i];
        double r = kNaN;
        if (s.seen >= dist) {
            r = Difference ? v - values[s.pos] : values[s.pos];
        }
        values[s.pos] = v;
        s.pos = s.pos + 1 == rings.size[g] ? 0 : s.pos + 1;
        ++s.seen;
        out[i] = r;
    }
}

}  // namespace

void shift(std::span<const double> x, std::span<const std::int64_t> codes, std::int64_t ngroups,
           std::int64_t lag, bool difference, std::span<double> out) {
    if (codes.empty()) {
        return difference ? shift_column<true>(x, lag, out) : shift_column<false>(x, lag, out);
    }
    return difference ? shift_grouped<true>(x, codes, ngroups, lag, out)
                      : shift_grouped<false>(x, codes, ngroups, lag, out);
}

void shift_sources(std::span<const std::int64_t> codes, std::int64_t ngroups, std::int64_t lag,
                   std::span<std::int64_t> src) {
    const auto n = static_cast<std::int64_t>(src.size());
    // Any lag of the column's length or more moves every value out; bounding
    // it keeps the index arithmetic below in range for every int64 lag.
    lag = std::clamp<std::int64_t>(lag, -n - 1, n + 1);
    if (codes.empty()) {
        for (std::int64_t i = 0; i < n; ++i) {
            const std::int64_t j = i - lag;
            src[static_cast<Size>(i)] = (lag > i || j >= n || (lag < 0 && -lag >= n)) ? -1 : j;
        }
        return;
    }
    const GroupRows g = group_rows(codes, ngroups);
    std::fill(src.begin(), src.end(), -1);
    for (Size grp = 0; grp + 1 < g.offsets.size(); ++grp) {
        const std::int64_t b = g.offsets[grp];
        const std::int64_t len = g.offsets[grp + 1] - b;
        for (std::int64_t k = 0; k < len; ++k) {
            if ((lag >= 0 && lag <= k) || (lag < 0 && -lag < len - k)) {
                src[static_cast<Size>(g.order[static_cast<Size>(b + k)])] =
                    g.order[static_cast<Size>(b + k - lag)];
            }
        }
    }
}

void group_average_rank(std::span<const double> x, std::span<const std::int64_t> codes,
                        std::int64_t ngroups, std::span<double> out) {
    const GroupRows g = group_rows(codes, ngroups);
    std::fill(out.begin(), out.end(), kNaN);
    std::vector<std::int64_t> rows;
    for (Size grp = 0; grp + 1 < g.offsets.size(); ++grp) {
        rows.clear();
        for (auto k = g.offsets[grp]; k < g.offsets[grp + 1]; ++k) {
            const std::int64_t r = g.order[static_cast<Size>(k)];
            if (!std::isnan(x[static_cast<Size>(r)])) {
                rows.push_back(r);
            }
        }
        std::sort(rows.begin(), rows.end(), [&](std::int64_t a, std::int64_t b) {
            return x[static_cast<Size>(a)] < x[static_cast<Size>(b)];
        });
        for (Size a = 0; a < rows.size();) {
            Size b = a + 1;
            while (b < rows.size() &&
                   x[static_cast<Size>(rows[b])] == x[static_cast<Size>(rows[a])]) {
                ++b;
            }
            const double avg = (static_cast<double>(a + 1) + static_cast<double>(b)) / 2.0;
            for (Size k = a; k < b; ++k) {
                out[static_cast<Size>(rows[k])] = avg;
            }
            a = b;
        }
    }
}

namespace {

// The rows a part can reach back to: the carried tail, then the part.
struct ChainRows {
    const std::vector<double> &tail;
    std::span<const double> part;
    std::uint64_t seen;  // global position of part[0]
    double at(std::uint64_t g) const {
        if (g >= seen) {
            return part[static_cast<Size>(g - seen)];
        }
        return tail[tail.size() - static_cast<Size>(seen - g)];
    }
};

void keep_tail(std::vector<double> &tail, std::span<const double> part, std::uint64_t window) {
    const Size keep = static_cast<Size>(window);
    if (part.size() >= keep) {
        tail.assign(part.end() - static_cast<std::ptrdiff_t>(keep), part.end());
        return;
    }
    tail.insert(tail.end(), part.begin(), part.end());
    if (tail.size() > keep) {
        tail.erase(tail.begin(), tail.end() - static_cast<std::ptrdiff_t>(keep));
    }
}

void check_carry(const WindowCarry &carry, std::uint64_t window, Size fields) {
    const Size reach = static_cast<Size>(std::min<std::uint64_t>(window, carry.seen));
    if ((carry.seen > 0 && carry.state.size() != fields) || carry.x.size() != reach) {
        throw std::invalid_argument("a window carry does not fit its window");
    }
}

}  // namespace

void rolling_continue(WindowStat stat, std::span<const double> x, std::uint64_t window,
                      std::uint64_t total, WindowCarry &carry, std::span<double> out) {
    if (stat != WindowStat::Sum && stat != WindowStat::Mean && stat != WindowStat::Std) {
        throw std::invalid_argument("only running windows carry a state");
    }
    if (window <= 1 || window > total) {
        // no state: every window is computed on its own, or none is complete
        if (window <= 1) {
            rolling(stat, x, window, out);
        } else {
            std::fill(out.begin(), out.end(), kNaN);
        }
        carry.seen += x.size();
        return;
    }
    const auto minp = static_cast<std::int64_t>(std::min<std::uint64_t>(window, total + 1));
    const ChainRows rows{carry.x, x, carry.seen};
    if (stat == WindowStat::Std) {
        check_carry(carry, window, 6);
        VarState st;
        if (carry.seen > 0) {
            const auto &f = carry.state;
            st.nobs = f[0], st.mean = f[1], st.ssqdm = f[2], st.comp_add = f[3];
            st.comp_remove = f[4], st.unstable = f[5] != 0;
        }
        for (Size i = 0; i < x.size(); ++i) {
            const std::uint64_t g = carry.seen + i;
            const std::uint64_t s = g + 1 >= window ? g + 1 - window : 0;
            const auto value = [&](Size j) { return rows.at(s + j); };
            if (g == 0) {
                st.recompute(value, static_cast<Size>(g + 1 - s));
            } else {
                if (s > 0) {
                    st.remove(rows.at(s - 1));
                }
                st.add(x[i]);
                if (st.unstable) {
                    st.recompute(value, static_cast<Size>(g + 1 - s));
                }
            }
            out[i] = st.result(minp);
        }
        carry.state = {st.nobs,     st.mean,        st.ssqdm,
                       st.comp_add, st.comp_remove, st.unstable ? 1.0 : 0.0};
    } else {
        check_carry(carry, window, 7);
        const bool mean = stat == WindowStat::Mean;
        SumState st;
        if (carry.seen > 0) {
            const auto &f = carry.state;
            st.sum = f[0], st.comp_add = f[1], st.comp_remove = f[2], st.prev = f[3];
            st.nobs = static_cast<std::int64_t>(f[4]), st.neg = static_cast<std::int64_t>(f[5]);
            st.same = static_cast<std::int64_t>(f[6]);
        }
        const std::uint64_t full = std::min(window, total);
        for (Size i = 0; i < x.size(); ++i) {
            const std::uint64_t g = carry.seen + i;
            if (g >= full) {
                st.remove(rows.at(g - full));
            }
            st.add(x[i]);
            out[i] = st.result(minp, mean);
        }
        carry.state = {st.sum,
                       st.comp_add,
                       st.comp_remove,
                       st.prev,
                       static_cast<double>(st.nobs),
                       static_cast<double>(st.neg),
                       static_cast<double>(st.same)};
    }
    keep_tail(carry.x, x, window);
    carry.seen += x.size();
}

void rolling_pair_continue(PairStat stat, std::span<const double> x, std::span<const double> y,
                           std::uint64_t window, std::uint64_t total, WindowCarry &carry,
                           std::span<double> out) {
    if (x.size() != y.size() || out.size() != x.size()) {
        throw std::invalid_argument("columns of different lengths");
    }
    if (window <= 1 || window > total) {
        if (window == 1) {
            rolling_pair(stat, x, y, window, out);
        } else {
            std::fill(out.begin(), out.end(), kNaN);
        }
        carry.seen += x.size();
        return;
    }
    check_carry(carry, window, 11);
    if (carry.y.size() != carry.x.size()) {
        throw std::invalid_argument("a window carry does not fit its window");
    }
    const ChainRows rx{carry.x, x, carry.seen}, ry{carry.y, y, carry.seen};
    const auto bx = [&](std::uint64_t g) {
        const double a = rx.at(g) + 0.0 * ry.at(g);
        return std::isinf(a) ? kNaN : a;
    };
    const auto by = [&](std::uint64_t g) {
        const double b = ry.at(g) + 0.0 * rx.at(g);
        return std::isinf(b) ? kNaN : b;
    };
    CovState st;
    if (carry.seen > 0) {
        const auto &f = carry.state;
        st.nobs = f[0], st.mean_x = f[1], st.mean_y = f[2], st.origin_x = f[3];
        st.origin_y = f[4], st.xy = f[5], st.xx = f[6], st.yy = f[7], st.peak_x = f[8];
        st.peak_y = f[9], st.unstable = f[10] != 0;
    }
    const auto minp = static_cast<double>(window);
    const auto recompute = [&](std::uint64_t s, std::uint64_t e) {
        st.reset();
        for (std::uint64_t j = s; j < e; ++j) {
            st.add(bx(j), by(j));
        }
        st.unstable = false;
    };
    for (Size i = 0; i < x.size(); ++i) {
        const std::uint64_t g = carry.seen + i;
        const std::uint64_t s = g + 1 >= window ? g + 1 - window : 0;
        if (g == 0) {
            recompute(s, g + 1);
        } else {
            if (s > 0) {
                st.remove(bx(s - 1), by(s - 1));
            }
            st.add(bx(g), by(g));
            if (st.unstable) {
                recompute(s, g + 1);
            }
        }
        out[i] = st.nobs < minp ? kNaN : (stat == PairStat::Cov ? st.cov() : st.corr());
    }
    carry.state = {st.nobs,
                   st.mean_x,
                   st.mean_y,
                   st.origin_x,
                   st.origin_y,
                   st.xy,
                   st.xx,
                   st.yy,
                   st.peak_x,
                   st.peak_y,
                   st.unstable ? 1.0 : 0.0};
    keep_tail(carry.x, x, window);
    keep_tail(carry.y, y, window);
    carry.seen += x.size();
}

namespace {

// Each group's rows of a part, gathered in row order, continued from the
// group's carry; rows without a group (negative codes) are missing.
template <typename Continue>
void continue_groups(std::span<const std::int64_t> codes, std::span<const double> x,
                     std::span<const double> y, std::vector<WindowCarry> &carries,
                     std::span<double> out, Continue step) {
    if (codes.size() != x.size() || out.size() != x.size() ||
        (!y.empty() && y.size() != x.size())) {
        throw std::invalid_argument("columns of different lengths");
    }
    const auto ngroups = static_cast<std::int64_t>(carries.size());
    for (std::int64_t c : codes) {
        if (c >= ngroups) {
            throw std::invalid_argument("a group code beyond the group carries");
        }
    }
    const GroupRows g = group_rows(codes, ngroups);
    std::vector<double> gx, gy, gout;
    for (Size grp = 0; grp + 1 < g.offsets.size(); ++grp) {
        const auto b = static_cast<Size>(g.offsets[grp]);
        const auto len = static_cast<Size>(g.offsets[grp + 1]) - b;
        if (len == 0) {
            continue;
        }
        gx.resize(len);
        gy.resize(y.empty() ? 0 : len);
        gout.resize(len);
        for (Size k = 0; k < len; ++k) {
            const auto row = static_cast<Size>(g.order[b + k]);
            gx[k] = x[row];
            if (!y.empty()) {
                gy[k] = y[row];
            }
        }
        step(gx, gy, carries[grp], gout);
        for (Size k = 0; k < len; ++k) {
            out[static_cast<Size>(g.order[b + k])] = gout[k];
        }
    }
    for (Size i = 0; i < codes.size(); ++i) {
        if (codes[i] < 0) {
            out[i] = kNaN;
        }
    }
}

}  // namespace

void rolling_grouped_continue(WindowStat stat, std::span<const double> x,
                              std::span<const std::int64_t> codes, std::uint64_t window,
                              std::uint64_t total, std::vector<WindowCarry> &carries,
                              std::span<double> out) {
    continue_groups(
        codes, x, {}, carries, out,
        [&](std::span<const double> gx, std::span<const double>, WindowCarry &carry,
            std::span<double> go) { rolling_continue(stat, gx, window, total, carry, go); });
}

void rolling_pair_grouped_continue(PairStat stat, std::span<const double> x,
                                   std::span<const double> y, std::span<const std::int64_t> codes,
                                   std::uint64_t window, std::uint64_t total,
                                   std::vector<WindowCarry> &carries, std::span<double> out) {
    continue_groups(codes, x, y, carries, out,
                    [&](std::span<const double> gx, std::span<const double> gy, WindowCarry &carry,
                        std::span<double> go) {
                        rolling_pair_continue(stat, gx, gy, window, total, carry, go);
                    });
}

}  // namespace brinvale::core
