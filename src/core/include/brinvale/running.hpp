// The running windows (rolling sum and mean, std, and the window covariance
// and correlation) as pandas computes them: one accumulator from the first
// row of a column (or of a group) onward, adding the row that enters and
// removing the one that leaves, so a window's doubles depend on the whole
// history, not only on its own rows.
//
// Each statistic is one typed state with one step.  A stream of rows (a
// column, one group of it, or a part of either) starts from an empty state
// or continues the state an earlier part left; the step consumes the row at
// stream position g, reading the rows it needs through a `Rows` view:
// `rows.at(p)` for p in [g - window, g].  Whether those rows live in the
// column itself, in a group's ring or in a carried tail is the caller's
// business, so one machine, groups and partitions share the arithmetic.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <stdexcept>
#include <vector>

namespace brinvale::core {

namespace running_detail {
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// pandas' tolerance for ill-conditioned running updates
constexpr double kInvCondTol = std::numeric_limits<double>::epsilon() * 1e3;
inline const double kMaxOrigin = std::sqrt(std::numeric_limits<double>::max());
inline bool missing(double v) { return !std::isfinite(v); }
inline void expect_fields(std::span<const double> f, std::size_t n) {
    if (f.size() != n) {
        throw std::invalid_argument("a window carry does not fit its window");
    }
}
}  // namespace running_detail

// pandas' roll_sum / roll_mean: observations are added and removed with
// separate Kahan compensations; a window of one repeated value gives that
// value exactly.  Infinities count as missing.
struct SumState {
    double sum = 0, comp_add = 0, comp_remove = 0, prev = 0;
    std::int64_t nobs = 0, neg = 0, same = 0;

    void add(double v) {
        if (running_detail::missing(v)) {
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
        if (running_detail::missing(v)) {
            return;
        }
        --nobs;
        const double y = -v - comp_remove;
        const double t = sum + y;
        comp_remove = t - sum - y;
        sum = t;
        neg -= static_cast<std::int64_t>(std::signbit(v));
    }
    // The row at position g enters the window of `window` rows.
    template <class Rows>
    void step(std::uint64_t g, const Rows &rows, std::uint64_t window) {
        if (g >= window) {
            remove(rows.at(g - window));
        }
        add(rows.at(g));
    }
    double sum_value(std::int64_t minp) const {
        if (nobs < minp) {
            return running_detail::kNaN;
        }
        return (same >= nobs) ? prev * static_cast<double>(nobs) : sum;
    }
    double mean_value(std::int64_t minp) const {
        if (nobs < minp || nobs == 0) {
            return running_detail::kNaN;
        }
        if (same >= nobs) {
            return prev;
        }
        const double r = sum / static_cast<double>(nobs);
        if ((neg == 0 && r < 0) || (neg == nobs && r > 0)) {
            return 0;
        }
        return r;
    }

    static constexpr std::size_t kFields = 7;
    std::vector<double> fields() const {
        return {sum,
                comp_add,
                comp_remove,
                prev,
                static_cast<double>(nobs),
                static_cast<double>(neg),
                static_cast<double>(same)};
    }
    static SumState from_fields(std::span<const double> f) {
        running_detail::expect_fields(f, kFields);
        SumState s;
        s.sum = f[0], s.comp_add = f[1], s.comp_remove = f[2], s.prev = f[3];
        s.nobs = static_cast<std::int64_t>(f[4]), s.neg = static_cast<std::int64_t>(f[5]);
        s.same = static_cast<std::int64_t>(f[6]);
        return s;
    }
};

// pandas' roll_var: Welford's update with Kahan-compensated means (one
// compensation for additions, one for removals).  An update that shrinks the
// sum of squared deviations by more than the ill-conditioning tolerance marks
// the state unstable, and the window is then recomputed from its values.
struct VarState {
    double nobs = 0, mean = 0, ssqdm = 0, comp_add = 0, comp_remove = 0;
    bool unstable = false;

    void add(double v, double &comp) {
        if (running_detail::missing(v)) {
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
        if (prev_m2 * running_detail::kInvCondTol > ssqdm) {
            unstable = true;
        }
    }
    void add(double v) { add(v, comp_add); }
    void remove(double v) {
        if (running_detail::missing(v)) {
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
            if (prev_m2 * running_detail::kInvCondTol > ssqdm) {
                unstable = true;
            }
        } else {
            mean = 0;
            ssqdm = 0;
            unstable = false;
        }
    }
    // Starts over from the rows [s, e).
    template <class Rows>
    void recompute(const Rows &rows, std::uint64_t s, std::uint64_t e) {
        nobs = mean = ssqdm = comp_add = comp_remove = 0;
        for (std::uint64_t j = s; j < e; ++j) {
            add(rows.at(j), comp_add);
        }
        unstable = false;
    }
    // pandas computes the first window of a stream from scratch.
    template <class Rows>
    void step(std::uint64_t g, const Rows &rows, std::uint64_t window) {
        const std::uint64_t s = g + 1 >= window ? g + 1 - window : 0;
        if (g == 0) {
            recompute(rows, s, g + 1);
            return;
        }
        if (s > 0) {
            remove(rows.at(s - 1));
        }
        add(rows.at(g));
        if (unstable) {
            recompute(rows, s, g + 1);
        }
    }
    // The standard deviation: the variance's square root, 0 for a negative
    // variance (pandas' zsqrt).
    double std_value(std::int64_t minp) const {
        if (!(nobs >= static_cast<double>(minp) && nobs > 1)) {
            return running_detail::kNaN;
        }
        const double var = ssqdm / (nobs - 1);
        return var < 0 ? 0.0 : std::sqrt(var);
    }

    static constexpr std::size_t kFields = 6;
    std::vector<double> fields() const {
        return {nobs, mean, ssqdm, comp_add, comp_remove, unstable ? 1.0 : 0.0};
    }
    static VarState from_fields(std::span<const double> f) {
        running_detail::expect_fields(f, kFields);
        VarState s;
        s.nobs = f[0], s.mean = f[1], s.ssqdm = f[2], s.comp_add = f[3];
        s.comp_remove = f[4], s.unstable = f[5] != 0;
        return s;
    }
};

// One row of a pair window: pandas masks each side with the other
// (x + 0 * y) and counts infinities as missing.
struct PairRow {
    double x, y;
};
inline PairRow pair_row(double x, double y) {
    const double a = x + 0.0 * y, b = y + 0.0 * x;
    return {std::isinf(a) ? running_detail::kNaN : a, std::isinf(b) ? running_detail::kNaN : b};
}

// pandas' co-moment accumulators of roll_cov / roll_corr: Welford's update of
// both means and of the sums of squared deviations, anchored to the first
// pair of the window so that a shared offset cancels exactly.  An update that
// leaves a sum of squares below the round-off of the largest deviation seen
// marks the state unstable, and the window is then recomputed.
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
        const double tol = running_detail::kInvCondTol;
        const bool cancelled = (xy != xy || xx != xx || yy != yy) ||
                               peak_x * peak_y * tol > std::fabs(xy) ||
                               peak_x * peak_x * tol > xx || peak_y * peak_y * tol > yy;
        if (cancelled) {
            unstable = true;
        }
    }
    void add(PairRow r) {
        if (r.x != r.x || r.y != r.y) {
            return;
        }
        nobs += 1;
        if (nobs == 1) {
            const double max_origin = running_detail::kMaxOrigin;
            origin_x = std::fabs(r.x) < max_origin ? r.x : 0;
            origin_y = std::fabs(r.y) < max_origin ? r.y : 0;
        }
        const double sx = r.x - origin_x, sy = r.y - origin_y;
        const double dx = sx - mean_x, dy = sy - mean_y;
        mean_x += dx / nobs;
        mean_y += dy / nobs;
        xy += (sx - mean_x) * dy;
        xx += (sx - mean_x) * dx;
        yy += (sy - mean_y) * dy;
        track(sx, sy);
    }
    void remove(PairRow r) {
        if (r.x != r.x || r.y != r.y) {
            return;
        }
        const double sx = r.x - origin_x, sy = r.y - origin_y;
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
    template <class Rows>
    void recompute(const Rows &rows, std::uint64_t s, std::uint64_t e) {
        reset();
        for (std::uint64_t j = s; j < e; ++j) {
            add(rows.at(j));
        }
        unstable = false;
    }
    // The first window of a stream, and every window of one row (which does
    // not overlap the previous one), are computed from scratch.
    template <class Rows>
    void step(std::uint64_t g, const Rows &rows, std::uint64_t window) {
        const std::uint64_t s = g + 1 >= window ? g + 1 - window : 0;
        if (g == 0 || window == 1) {
            recompute(rows, s, g + 1);
            return;
        }
        if (s > 0) {
            remove(rows.at(s - 1));
        }
        add(rows.at(g));
        if (unstable) {
            recompute(rows, s, g + 1);
        }
    }
    double cov_value(double minp) const {
        return nobs < minp || nobs <= 1 ? running_detail::kNaN : xy / (nobs - 1.0);
    }
    double corr_value(double minp) const {
        if (nobs < minp || nobs <= 0.0 || xx == 0.0 || yy == 0.0) {
            return running_detail::kNaN;
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

    static constexpr std::size_t kFields = 11;
    std::vector<double> fields() const {
        return {nobs,
                mean_x,
                mean_y,
                origin_x,
                origin_y,
                xy,
                xx,
                yy,
                peak_x,
                peak_y,
                unstable ? 1.0 : 0.0};
    }
    static CovState from_fields(std::span<const double> f) {
        running_detail::expect_fields(f, kFields);
        CovState s;
        s.nobs = f[0], s.mean_x = f[1], s.mean_y = f[2], s.origin_x = f[3];
        s.origin_y = f[4], s.xy = f[5], s.xx = f[6], s.yy = f[7], s.peak_x = f[8];
        s.peak_y = f[9], s.unstable = f[10] != 0;
        return s;
    }
};

// Rows of a stream read from one contiguous column (position p is x[p]).
struct ColumnRows {
    const double *x;
    double at(std::uint64_t p) const { return x[p]; }
};
struct ColumnPairRows {
    const double *x, *y;
    PairRow at(std::uint64_t p) const { return pair_row(x[p], y[p]); }
};

// A group's ring of its last `size` rows, `size` at least window + 1 or all
// of the group's rows: row g (the newest) sits at slot `pos`.
template <class Value>
struct RingRows {
    const Value *ring;
    std::size_t size, pos;
    std::uint64_t g;
    Value at(std::uint64_t p) const {
        const auto back = static_cast<std::size_t>(g - p);
        return ring[pos >= back ? pos - back : pos + size - back];
    }
};

}  // namespace brinvale::core
