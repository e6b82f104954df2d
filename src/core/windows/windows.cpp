#include "brinvale/windows.hpp"
#include "brinvale/window_chain.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <type_traits>
#include <variant>

#include "brinvale/group_keys.hpp"
#include "brinvale/running.hpp"
#include "brinvale/stats.hpp"
#include "brinvale/wide.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace brinvale::core {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
using Size = std::size_t;

inline bool missing(double v) { return !std::isfinite(v); }

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

// The value a running state gives for the statistic it serves.
double running_value(const SumState &st, WindowStat stat, std::int64_t minp) {
    return stat == WindowStat::Mean ? st.mean_value(minp) : st.sum_value(minp);
}
double running_value(const VarState &st, WindowStat, std::int64_t minp) {
    return st.std_value(minp);
}
double running_value(const CovState &st, PairStat stat, std::int64_t window) {
    const auto minp = static_cast<double>(window);
    return stat == PairStat::Cov ? st.cov_value(minp) : st.corr_value(minp);
}

// The one loop of every running statistic: the rows at stream positions
// first .. first + out.size() - 1 pass through `st` in order.
template <class State, class Rows, class Stat>
void run_stream(State &st, const Rows &rows, std::uint64_t first, std::uint64_t window, Stat stat,
                std::int64_t minp, std::span<double> out) {
    for (Size i = 0; i < out.size(); ++i) {
        st.step(first + i, rows, window);
        out[i] = running_value(st, stat, minp);
    }
}

// A whole column from an empty state.
template <class State, class Rows, class Stat>
void run_column(const Rows &rows, std::uint64_t window, Stat stat, std::int64_t minp,
                std::span<double> out) {
    State st;
    run_stream(st, rows, 0, window, stat, minp, out);
}

// pandas' min_periods of a running window over a column of n rows.
std::int64_t running_minp(std::uint64_t window, std::uint64_t n) {
    return static_cast<std::int64_t>(std::min<std::uint64_t>(window, n + 1));
}

// All groups in one row-order pass, each from its own empty state over a
// ring of its last rows (one more than the window: the row that leaves is
// still there when the new one enters).  `value(i)` is row i's input.
template <class State, class Value, class Input, class Stat>
void run_groups(std::span<const std::int64_t> codes, std::int64_t ngroups, std::uint64_t window,
                const Input &value, Stat stat, std::int64_t minp, std::span<double> out) {
    struct Slot {
        State st;
        std::uint64_t seen = 0;
        Size pos = 0;
    };
    const Rings rings = ring_layout(codes, ngroups, std::max(window, window + 1));
    std::vector<Value> ring(rings.total);
    std::vector<Slot> slots(static_cast<Size>(ngroups));
    for (Size i = 0; i < codes.size(); ++i) {
        const std::int64_t c = codes[i];
        if (c < 0) {
            out[i] = kNaN;
            continue;
        }
        Slot &s = slots[static_cast<Size>(c)];
        Value *values = ring.data() + rings.begin[static_cast<Size>(c)];
        const Size size = rings.size[static_cast<Size>(c)];
        values[s.pos] = value(i);
        s.st.step(s.seen, RingRows<Value>{values, size, s.pos, s.seen}, window);
        s.pos = s.pos + 1 == size ? 0 : s.pos + 1;
        ++s.seen;
        out[i] = running_value(s.st, stat, minp);
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
    case WindowStat::Mean:
        return run_column<SumState>(ColumnRows{x.data()}, window, stat,
                                    running_minp(window, x.size()), out);
    case WindowStat::Std:
        return run_column<VarState>(ColumnRows{x.data()}, window, stat,
                                    running_minp(window, x.size()), out);
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

void rolling_pair(PairStat stat, std::span<const double> x, std::span<const double> y,
                  std::uint64_t window, std::span<double> out) {
    if (window == 0 || window > x.size()) {
        std::fill(out.begin(), out.end(), kNaN);
        return;
    }
    run_column<CovState>(ColumnPairRows{x.data(), y.data()}, window, stat,
                         static_cast<std::int64_t>(window), out);
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
}  // namespace

std::int64_t encode_keys(std::span<const std::int64_t> keys, std::span<std::int64_t> codes) {
    return code_keys(keys, false, codes).ngroups;
}

std::int64_t encode_keys(std::span<const double> keys, std::span<std::int64_t> codes) {
    return code_keys(keys, false, false, codes).ngroups;
}

void rolling_grouped(WindowStat stat, std::span<const double> x,
                     std::span<const std::int64_t> codes, std::int64_t ngroups,
                     std::uint64_t window, std::span<double> out) {
    if (one_pass(codes, ngroups)) {
        const auto column = [&x](Size i) { return x[i]; };
        const std::int64_t minp = running_minp(window, x.size());
        switch (stat) {
        case WindowStat::Sum:
        case WindowStat::Mean:
        case WindowStat::Std:
            if (tiny_window(stat, x, codes, window, out)) {
                return;
            }
            if (stat == WindowStat::Std) {
                return run_groups<VarState, double>(codes, ngroups, window, column, stat, minp,
                                                    out);
            }
            return run_groups<SumState, double>(codes, ngroups, window, column, stat, minp, out);
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
    if (window == 0 || window > x.size()) {
        std::fill(out.begin(), out.end(), kNaN);
        return;
    }
    if (one_pass(codes, ngroups)) {
        const auto rows = [&x, &y](Size i) { return pair_row(x[i], y[i]); };
        return run_groups<CovState, PairRow>(codes, ngroups, window, rows, stat,
                                             static_cast<std::int64_t>(window), out);
    }
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
    const double *part;
    std::uint64_t seen;  // stream position of part[0]
    double at(std::uint64_t g) const {
        if (g >= seen) {
            return part[static_cast<Size>(g - seen)];
        }
        return tail[tail.size() - static_cast<Size>(seen - g)];
    }
};
struct ChainPairRows {
    ChainRows x, y;
    PairRow at(std::uint64_t g) const { return pair_row(x.at(g), y.at(g)); }
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

// The carry's state, empty before the stream's first row; a carry left by
// another statistic or another window is refused.
template <class State>
State &carried_state(WindowCarry &carry, std::uint64_t window, bool pair) {
    const Size reach = static_cast<Size>(std::min<std::uint64_t>(window, carry.seen));
    if (carry.x.size() != reach || (pair ? carry.y.size() != reach : !carry.y.empty())) {
        throw std::invalid_argument("a window carry does not fit its window");
    }
    if (carry.seen == 0) {
        carry.state = State{};
    } else if (!std::holds_alternative<State>(carry.state)) {
        throw std::invalid_argument("a window carry does not fit its window");
    }
    return std::get<State>(carry.state);
}

template <class State>
void continue_column(WindowStat stat, std::span<const double> x, std::uint64_t window,
                     std::uint64_t total, WindowCarry &carry, std::span<double> out) {
    State &st = carried_state<State>(carry, window, false);
    run_stream(st, ChainRows{carry.x, x.data(), carry.seen}, carry.seen, window, stat,
               running_minp(window, total), out);
    keep_tail(carry.x, x, window);
    carry.seen += x.size();
}

}  // namespace

std::vector<double> carry_fields(const WindowCarry &carry) {
    return std::visit(
        [](const auto &st) -> std::vector<double> {
            using State = std::decay_t<decltype(st)>;
            if constexpr (std::is_same_v<State, std::monostate>) {
                return {};
            } else {
                std::vector<double> f{static_cast<double>(RunningState(st).index())};
                const std::vector<double> own = st.fields();
                f.insert(f.end(), own.begin(), own.end());
                return f;
            }
        },
        carry.state);
}

void restore_carry(WindowCarry &carry, std::span<const double> fields) {
    if (fields.empty()) {
        carry.state = std::monostate{};
        return;
    }
    const std::span<const double> own = fields.subspan(1);
    const double kind = fields[0];
    if (kind == static_cast<double>(RunningState(SumState{}).index())) {
        carry.state = SumState::from_fields(own);
    } else if (kind == static_cast<double>(RunningState(VarState{}).index())) {
        carry.state = VarState::from_fields(own);
    } else if (kind == static_cast<double>(RunningState(CovState{}).index())) {
        carry.state = CovState::from_fields(own);
    } else {
        throw std::invalid_argument("a window carry does not fit its window");
    }
}

void rolling_continue(WindowStat stat, std::span<const double> x, std::uint64_t window,
                      std::uint64_t total, WindowCarry &carry, std::span<double> out) {
    if (stat != WindowStat::Sum && stat != WindowStat::Mean && stat != WindowStat::Std) {
        throw std::invalid_argument("only running windows carry a state");
    }
    if (out.size() != x.size()) {
        throw std::invalid_argument("columns of different lengths");
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
    if (stat == WindowStat::Std) {
        continue_column<VarState>(stat, x, window, total, carry, out);
    } else {
        continue_column<SumState>(stat, x, window, total, carry, out);
    }
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
    CovState &st = carried_state<CovState>(carry, window, true);
    const ChainPairRows rows{{carry.x, x.data(), carry.seen}, {carry.y, y.data(), carry.seen}};
    run_stream(st, rows, carry.seen, window, stat, static_cast<std::int64_t>(window), out);
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
