#include "brinvale/windows.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include "brinvale/stats.hpp"

namespace brinvale::core {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
using Size = std::size_t;

// Fixed-window bounds of pandas: [max(0, i + 1 - window), i + 1).
inline Size window_start(Size i, std::uint64_t window) {
    return (i + 1 >= window) ? static_cast<Size>(i + 1 - window) : 0;
}

// pandas recomputes a window from scratch whenever it does not overlap the
// previous one (window 1 and window 0), and otherwise adds and removes
// observations with separate Kahan compensations.  The same order of
// operations gives the same rounding.
struct SumState {
    double sum = 0, comp_add = 0, comp_remove = 0, prev = 0;
    std::int64_t nobs = 0, neg = 0, same = 0;
    void reset(double first) {
        sum = comp_add = comp_remove = 0;
        nobs = neg = same = 0;
        prev = first;
    }
    void add(double v) {
        if (std::isnan(v)) {
            return;
        }
        ++nobs;
        const double y = v - comp_add;
        const double t = sum + y;
        comp_add = t - sum - y;
        sum = t;
        if (std::signbit(v)) {
            ++neg;
        }
        same = (v == prev) ? same + 1 : 1;
        prev = v;
    }
    void remove(double v) {
        if (std::isnan(v)) {
            return;
        }
        --nobs;
        const double y = -v - comp_remove;
        const double t = sum + y;
        comp_remove = t - sum - y;
        sum = t;
        if (std::signbit(v)) {
            --neg;
        }
    }
};

void roll_sum_mean(std::span<const double> x, std::uint64_t window, std::int64_t minp, bool mean,
                   std::span<double> out) {
    SumState st;
    for (Size i = 0; i < x.size(); ++i) {
        const Size s = window_start(i, window);
        const Size e = i + 1 < s ? s : i + 1;
        if (i == 0 || s >= i) {
            st.reset(s < x.size() ? x[s] : kNaN);
            for (Size j = s; j < e; ++j) {
                st.add(x[j]);
            }
        } else {
            for (Size j = window_start(i - 1, window); j < s; ++j) {
                st.remove(x[j]);
            }
            st.add(x[i]);
        }
        double r = kNaN;
        if (mean) {
            if (st.nobs >= minp && st.nobs > 0) {
                r = st.sum / static_cast<double>(st.nobs);
                if (st.same >= st.nobs) {
                    r = st.prev;  // a window of one repeated value gives that value
                } else if (st.neg == 0 && r < 0) {
                    r = 0;
                } else if (st.neg == st.nobs && r > 0) {
                    r = 0;
                }
            }
        } else if (st.nobs == 0 && minp == 0) {
            r = 0;
        } else if (st.nobs >= minp) {
            r = (st.same >= st.nobs) ? st.prev * static_cast<double>(st.nobs) : st.sum;
        }
        out[i] = r;
    }
}

// Welford's update with a Kahan-compensated mean, as pandas' roll_var.
struct VarState {
    double nobs = 0, mean = 0, ssqdm = 0, comp_add = 0, comp_remove = 0, prev = 0;
    std::int64_t same = 0;
    void reset(double first) {
        nobs = mean = ssqdm = comp_add = comp_remove = 0;
        same = 0;
        prev = first;
    }
    void add(double v) {
        if (std::isnan(v)) {
            return;
        }
        same = (v == prev) ? same + 1 : 1;
        prev = v;
        nobs += 1;
        const double prev_mean = mean - comp_add;
        const double y = v - comp_add;
        const double t = y - mean;
        comp_add = t + mean - y;
        mean = nobs != 0 ? mean + t / nobs : 0;
        ssqdm += (v - prev_mean) * (v - mean);
    }
    void remove(double v) {
        if (std::isnan(v)) {
            return;
        }
        nobs -= 1;
        if (nobs != 0) {
            const double prev_mean = mean - comp_remove;
            const double y = v - comp_remove;
            const double t = y - mean;
            comp_remove = t + mean - y;
            mean -= t / nobs;
            ssqdm -= (v - prev_mean) * (v - mean);
        } else {
            mean = 0;
            ssqdm = 0;
        }
    }
};

void roll_var(std::span<const double> x, std::uint64_t window, std::int64_t minp, bool take_sqrt,
              std::span<double> out) {
    VarState st;
    const double ddof = 1;
    for (Size i = 0; i < x.size(); ++i) {
        const Size s = window_start(i, window);
        const Size e = i + 1 < s ? s : i + 1;
        if (i == 0 || s >= i) {
            st.reset(s < x.size() ? x[s] : kNaN);
            for (Size j = s; j < e; ++j) {
                st.add(x[j]);
            }
        } else {
            for (Size j = window_start(i - 1, window); j < s; ++j) {
                st.remove(x[j]);
            }
            st.add(x[i]);
        }
        double r = kNaN;
        if (st.nobs >= static_cast<double>(minp) && st.nobs > ddof) {
            // pandas returns exactly 0 for a window of one repeated value
            if (st.nobs == 1 || static_cast<double>(st.same) >= st.nobs) {
                r = 0;
            } else {
                r = st.ssqdm / (st.nobs - ddof);
            }
            if (r < 0) {
                r = 0;
            }
            if (take_sqrt) {
                r = std::sqrt(r);
            }
        }
        out[i] = r;
    }
}

// Number of missing values in the window ending at each row; the window is
// complete (and so valid) when it is full and holds none.
class MissingCounter {
  public:
    MissingCounter(std::span<const double> x, std::uint64_t window) : x_(x), window_(window) {}
    bool valid(Size i) {
        if (std::isnan(x_[i])) {
            ++missing_;
        }
        if (i >= window_ && std::isnan(x_[i - window_])) {
            --missing_;
        }
        return i + 1 >= window_ && missing_ == 0;
    }

  private:
    std::span<const double> x_;
    std::uint64_t window_;
    std::int64_t missing_ = 0;
};

// Monotonic deque of positions: the front holds the extreme of the window,
// the first position among equal values.
template <bool Max>
void roll_extreme(std::span<const double> x, std::uint64_t window, bool position,
                  std::span<double> out) {
    // Positions in a ring buffer: the window holds at most min(window, n)
    // candidates at once.
    const Size cap = static_cast<Size>(std::min<std::uint64_t>(window, x.size())) + 1;
    std::vector<Size> ring(cap);
    Size head = 0, count = 0;
    MissingCounter mc(x, window);
    for (Size i = 0; i < x.size(); ++i) {
        const double v = x[i];
        if (!std::isnan(v)) {
            while (count > 0) {
                const double back = x[ring[(head + count - 1) % cap]];
                if (Max ? back < v : back > v) {
                    --count;
                } else {
                    break;
                }
            }
            ring[(head + count) % cap] = i;
            ++count;
        }
        while (count > 0 && i >= window && ring[head] <= i - window) {
            head = (head + 1) % cap;
            --count;
        }
        if (window == 0 || !mc.valid(i)) {
            out[i] = kNaN;
        } else if (position) {
            out[i] = static_cast<double>(ring[head] - (i + 1 - window));
        } else {
            out[i] = x[ring[head]];
        }
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
    if (window <= 128) {
        for (Size i = 0; i < x.size(); ++i) {
            if (window == 0 || !mc.valid(i)) {
                out[i] = kNaN;
                continue;
            }
            const double v = x[i];
            std::int64_t less = 0, equal = 0;
            for (Size j = i + 1 - window; j <= i; ++j) {
                less += x[j] < v;
                equal += x[j] == v;
            }
            out[i] = static_cast<double>(less) + static_cast<double>(equal + 1) / 2.0;
        }
        return;
    }
    // Long windows: an order-statistic tree over the ranks of the distinct values.
    std::vector<double> distinct;
    distinct.reserve(x.size());
    for (double v : x) {
        if (!std::isnan(v)) {
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
        ranks[i] = std::isnan(x[i]) ? 0 : rank_of(x[i]);
    }
    Fenwick tree(distinct.size());
    for (Size i = 0; i < x.size(); ++i) {
        if (!std::isnan(x[i])) {
            tree.add(ranks[i], 1);
        }
        if (i >= window && !std::isnan(x[i - window])) {
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
double weighted_window(const double *x, const std::vector<double> &w, std::vector<double> &tmp) {
    for (Size k = 0; k < w.size(); ++k) {
        tmp[k] = x[k] * w[k];
    }
    return pairwise_sum(tmp);
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
    std::vector<double> tmp(window);
    MissingCounter mc(x, window);
    // Short windows are summed directly; long ones are updated in O(1) per row
    // and re-anchored on an exact sum every `window` rows to bound the drift.
    const bool streaming = window > 16;
    const double step = streaming ? (1.0 - 0.1) / static_cast<double>(window - 1) : 0.0;
    double wsum = 0, sum = 0;
    Size since_exact = 0;
    bool have = false;
    for (Size i = 0; i < x.size(); ++i) {
        if (!mc.valid(i)) {
            out[i] = kNaN;
            have = false;
            continue;
        }
        const Size s = i + 1 - window;
        if (!streaming || !have || since_exact >= window) {
            wsum = weighted_window(x.data() + s, w, tmp);
            if (streaming) {
                sum = 0;
                for (Size j = s; j <= i; ++j) {
                    sum += x[j];
                }
            }
            have = true;
            since_exact = 0;
        } else {
            const double old = x[s - 1];
            wsum = wsum - w[0] * old - step * (sum - old) + w[window - 1] * x[i];
            sum = sum - old + x[i];
            ++since_exact;
        }
        out[i] = wsum;
    }
}

}  // namespace

void infinite_to_missing(std::span<double> x) {
    for (double &v : x) {
        if (std::isinf(v)) {
            v = kNaN;
        }
    }
}

void rolling(WindowStat stat, std::span<const double> x, std::uint64_t window,
             std::span<double> out) {
    const auto minp = static_cast<std::int64_t>(std::min<std::uint64_t>(window, x.size() + 1));
    switch (stat) {
    case WindowStat::Sum:
        return roll_sum_mean(x, window, minp, false, out);
    case WindowStat::Mean:
        return roll_sum_mean(x, window, minp, true, out);
    case WindowStat::Std:
        return roll_var(x, window, minp, true, out);
    case WindowStat::Min:
        return roll_extreme<false>(x, window, false, out);
    case WindowStat::Max:
        return roll_extreme<true>(x, window, false, out);
    case WindowStat::ArgMin:
        return roll_extreme<false>(x, window, true, out);
    case WindowStat::ArgMax:
        return roll_extreme<true>(x, window, true, out);
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
    // pandas masks each side with the other (x + 0 * y, infinities missing)
    // and computes the window's co-moments.  Short windows are computed with
    // two passes; long ones are updated in O(1) per row (Welford's add and
    // remove) and recomputed exactly every `window` rows, so rounding cannot
    // build up along the column.
    const Size n = x.size();
    std::vector<double> bx(n), by(n);
    for (Size i = 0; i < n; ++i) {
        const double a = x[i] + 0.0 * y[i];
        const double b = y[i] + 0.0 * x[i];
        bx[i] = std::isinf(a) ? kNaN : a;
        by[i] = std::isinf(b) ? kNaN : b;
    }
    if (window == 0 || window > n) {
        std::fill(out.begin(), out.end(), kNaN);
        return;
    }
    MissingCounter mc(bx, window);
    double cnt = 0, mx = 0, my = 0, cxy = 0, cxx = 0, cyy = 0;
    std::uint64_t same_x = 0, same_y = 0;
    Size since_exact = window;  // forces an exact start
    bool have = false;
    const auto exact = [&](Size s, Size e) {
        cnt = static_cast<double>(e - s);
        double sx = 0, sy = 0;
        for (Size j = s; j < e; ++j) {
            sx += bx[j];
            sy += by[j];
        }
        mx = sx / cnt;
        my = sy / cnt;
        cxy = cxx = cyy = 0;
        for (Size j = s; j < e; ++j) {
            const double dx = bx[j] - mx, dy = by[j] - my;
            cxy += dx * dy;
            cxx += dx * dx;
            cyy += dy * dy;
        }
    };
    for (Size i = 0; i < n; ++i) {
        same_x = (i > 0 && bx[i] == bx[i - 1]) ? same_x + 1 : 1;
        same_y = (i > 0 && by[i] == by[i - 1]) ? same_y + 1 : 1;
        if (!mc.valid(i)) {
            out[i] = kNaN;
            have = false;
            continue;
        }
        const Size s = i + 1 - window;
        if (!have || since_exact >= window || window <= 16) {
            exact(s, i + 1);
            have = true;
            since_exact = 0;
        } else {
            // remove the row leaving the window, then add the new one
            const double ox = bx[s - 1], oy = by[s - 1];
            double dx = ox - mx, dy = oy - my;
            cnt -= 1;
            mx -= dx / cnt;
            my -= dy / cnt;
            cxy -= dx * (oy - my);
            cxx -= dx * (ox - mx);
            cyy -= dy * (oy - my);
            cnt += 1;
            dx = bx[i] - mx;
            dy = by[i] - my;
            mx += dx / cnt;
            my += dy / cnt;
            cxy += dx * (by[i] - my);
            cxx += dx * (bx[i] - mx);
            cyy += dy * (by[i] - my);
            ++since_exact;
        }
        const bool const_x = same_x >= window, const_y = same_y >= window;
        if (stat == PairStat::Cov) {
            out[i] = window < 2 ? kNaN : (const_x || const_y) ? 0.0 : cxy / (cnt - 1.0);
            continue;
        }
        // A window in which one side is constant has no correlation.
        const double den = std::sqrt(cxx * cyy);
        out[i] = (const_x || const_y || den == 0.0) ? kNaN : cxy / den;
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

template <typename Kernel>
void per_group(std::span<const std::int64_t> codes, std::int64_t ngroups,
               std::span<const double> x, std::span<const double> y, std::span<double> out,
               Kernel kernel) {
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
    std::fill(out.begin(), out.end(), kNaN);
    for (Size k = 0; k < m; ++k) {
        out[static_cast<Size>(g.order[k])] = gout[k];
    }
}

}  // namespace

void rolling_grouped(WindowStat stat, std::span<const double> x,
                     std::span<const std::int64_t> codes, std::int64_t ngroups,
                     std::uint64_t window, std::span<double> out) {
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

void gather(std::span<const double> x, std::span<const std::int64_t> src, std::span<double> out) {
    for (Size i = 0; i < out.size(); ++i) {
        out[i] = src[i] < 0 ? kNaN : x[static_cast<Size>(src[i])];
    }
}

void difference(std::span<const double> x, std::span<const std::int64_t> src,
                std::span<double> out) {
    for (Size i = 0; i < out.size(); ++i) {
        out[i] = src[i] < 0 ? kNaN : x[i] - x[static_cast<Size>(src[i])];
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
            while (b < rows.size() && x[static_cast<Size>(rows[b])] == x[static_cast<Size>(rows[a])]) {
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

}  // namespace brinvale::core
