#include "brinvale/elementwise.hpp"

#include "brinvale/stats.hpp"
#include "brinvale/wide.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <type_traits>
#include <utility>
#include <vector>

namespace brinvale::core {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

BRINVALE_WIDE_LOOP
void clean_quotients(const double *a, const double *b, double *o, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        const double q = a[i] / b[i];
        o[i] = std::isnan(q) ? 0.0 : std::isinf(q) ? (q > 0 ? 1e12 : -1e12) : q;
    }
}

// z-scores of the cleaned quotients, as pandas standardises that column: it
// holds no missing value, so its mean is the pairwise sum over n, taken
// while the quotients are written.
void standardized_quotients(const double *a, const double *b, std::span<double> out) {
    double *o = out.data();
    const std::size_t n = out.size();
    if (n < 2) {
        clean_quotients(a, b, o, n);
        standardize_inplace(out);
        return;
    }
    const auto fill = [&](std::size_t start, std::size_t len) {
        clean_quotients(a + start, b + start, o + start, len);
    };
    const auto none = [](std::size_t, std::size_t) {};
    const double sum = 0.0 + pairwise_blocks(fill, [o](std::size_t i) { return o[i]; }, 0, n);
    const double mean = sum / static_cast<double>(n);
    const double squares = 0.0 + pairwise_blocks(
                                     none,
                                     [o, mean](std::size_t i) {
                                         const double d = mean - o[i];
                                         return d * d;
                                     },
                                     0, n);
    const double sd = std::sqrt(squares / static_cast<double>(n - 1));
    for (std::size_t i = 0; i < n; ++i) {
        o[i] = (o[i] - mean) / sd;
    }
}

template <typename T>
BRINVALE_WIDE_LOOP void compare_loop(Comparison op, const T *a, const T *b, bool *o,
                                     std::size_t n) {
    switch (op) {
    case Comparison::greater:
        for (std::size_t i = 0; i < n; ++i)
            o[i] = a[i] > b[i];
        break;
    case Comparison::less:
        for (std::size_t i = 0; i < n; ++i)
            o[i] = a[i] < b[i];
        break;
    case Comparison::equal:
        for (std::size_t i = 0; i < n; ++i)
            o[i] = a[i] == b[i];
        break;
    }
}

// Calls f with a pointer to the column's values of their own type.
template <typename F>
decltype(auto) visit(NumericColumn c, F &&f) {
    if (c.f64 != nullptr) {
        return f(c.f64);
    }
    return f(c.i64);
}

void require_same_size(NumericColumn x, NumericColumn y, std::size_t out) {
    if (x.size != y.size || x.size != out) {
        throw std::invalid_argument("columns of different lengths");
    }
}

inline double as_double(double v) { return v; }
inline double as_double(std::int64_t v) { return static_cast<double>(v); }
inline bool is_missing(double v) { return std::isnan(v); }
inline bool is_missing(std::int64_t) { return false; }

// pandas' skipna min of a column (NaN when nothing is left).
template <typename T>
double column_min(const T *x, std::size_t n) {
    bool seen = false;
    T best{};
    for (std::size_t i = 0; i < n; ++i) {
        if (is_missing(x[i])) {
            continue;
        }
        if (!seen || x[i] < best) {
            best = x[i];
            seen = true;
        }
    }
    return seen ? as_double(best) : kNaN;
}

// Integer arithmetic wraps like NumPy's int64 loops.
inline std::int64_t wrap_sub(std::int64_t a, std::int64_t b) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) - static_cast<std::uint64_t>(b));
}
inline std::int64_t wrap_mul(std::int64_t a, std::int64_t b) {
    return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) * static_cast<std::uint64_t>(b));
}

}  // namespace

void arithmetic_values(Arithmetic op, NumericColumn x, NumericColumn y, std::span<double> out) {
    require_same_size(x, y, out.size());
    if (x.i64 != nullptr && y.i64 != nullptr && op != Arithmetic::divide) {
        throw std::invalid_argument("integer arithmetic is not standardised here");
    }
    const std::size_t n = out.size();
    double *o = out.data();
    if (op == Arithmetic::divide && x.f64 != nullptr && y.f64 != nullptr) {
        clean_quotients(x.f64, y.f64, o, n);
        return;
    }
    visit(x, [&](const auto *a) {
        visit(y, [&](const auto *b) {
            switch (op) {
            case Arithmetic::add:
                for (std::size_t i = 0; i < n; ++i)
                    o[i] = as_double(a[i]) + as_double(b[i]);
                break;
            case Arithmetic::subtract:
                for (std::size_t i = 0; i < n; ++i)
                    o[i] = as_double(a[i]) - as_double(b[i]);
                break;
            case Arithmetic::multiply:
                for (std::size_t i = 0; i < n; ++i)
                    o[i] = as_double(a[i]) * as_double(b[i]);
                break;
            case Arithmetic::divide:
                for (std::size_t i = 0; i < n; ++i) {
                    const double q = as_double(a[i]) / as_double(b[i]);
                    o[i] = std::isnan(q) ? 0.0 : std::isinf(q) ? (q > 0 ? 1e12 : -1e12) : q;
                }
                break;
            }
        });
    });
}

void arithmetic_standardized(Arithmetic op, NumericColumn x, NumericColumn y,
                             std::span<double> out) {
    require_same_size(x, y, out.size());
    if (op == Arithmetic::divide && x.f64 != nullptr && y.f64 != nullptr) {
        standardized_quotients(x.f64, y.f64, out);
        return;
    }
    arithmetic_values(op, x, y, out);
    standardize_inplace(out);
}

void pick_rowwise(Pick op, NumericColumn x, NumericColumn y, std::span<double> out) {
    require_same_size(x, y, out.size());
    const std::size_t n = out.size();
    double *o = out.data();
    visit(x, [&](const auto *a) {
        visit(y, [&](const auto *b) {
            for (std::size_t i = 0; i < n; ++i) {
                const double u = as_double(a[i]);
                const double v = as_double(b[i]);
                if (std::isnan(u) || std::isnan(v)) {
                    o[i] = std::isnan(u) ? u : v;
                } else if (op == Pick::minimum) {
                    o[i] = u < v ? u : v;
                } else {
                    o[i] = u > v ? u : v;
                }
            }
        });
    });
}

void pick_rowwise(Pick op, std::span<const std::int64_t> x, std::span<const std::int64_t> y,
                  std::span<std::int64_t> out) {
    require_same_size(NumericColumn::of(x), NumericColumn::of(y), out.size());
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = op == Pick::minimum ? std::min(x[i], y[i]) : std::max(x[i], y[i]);
    }
}

void compare_rowwise(Comparison op, NumericColumn x, NumericColumn y, std::span<bool> out) {
    require_same_size(x, y, out.size());
    if ((x.f64 == nullptr) != (y.f64 == nullptr)) {
        throw std::invalid_argument("comparison of columns of different types");
    }
    const std::size_t n = out.size();
    bool *o = out.data();
    if (x.f64 != nullptr) {
        compare_loop(op, x.f64, y.f64, o, n);
    } else {
        compare_loop(op, x.i64, y.i64, o, n);
    }
}

void orop_rowwise(std::span<const double> x, std::span<const double> y, std::span<bool> out) {
    require_same_size(NumericColumn::of(x), NumericColumn::of(y), out.size());
    const std::size_t n = out.size();
    // The mean of the row sums, without materialising them: pandas' skipna
    // mean sums in NumPy's pairwise order with missing sums as 0.
    std::vector<double> sums(n);
    for (std::size_t i = 0; i < n; ++i) {
        sums[i] = x[i] + y[i];
    }
    orop_with_mean(x, y, pandas_mean_std(sums).mean, out);
}

void orop_with_mean(std::span<const double> x, std::span<const double> y, double m,
                    std::span<bool> out) {
    require_same_size(NumericColumn::of(x), NumericColumn::of(y), out.size());
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = x[i] > m || y[i] > m;
    }
}

BRINVALE_WIDE_LOOP
void round_half_even(std::span<const double> x, std::span<double> out) {
    // np.round(decimals=0) is rint in the default (to nearest even) mode.
    // Adding and removing 2^52 rounds the same way and vectorises; values of
    // magnitude 2^52 and above (and NaN, inf) are integral already.
    constexpr double kTwo52 = 4503599627370496.0;
    for (std::size_t i = 0; i < out.size(); ++i) {
        const double v = x[i];
        const double m = std::fabs(v);
        out[i] = m < kTwo52 ? std::copysign((m + kTwo52) - kTwo52, v) : v;
    }
}

void square(std::span<const double> x, std::span<double> out) {
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = x[i] * x[i];
    }
}

void square(std::span<const std::int64_t> x, std::span<std::int64_t> out) {
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = wrap_mul(x[i], x[i]);
    }
}

ColumnMinimum column_minimum(NumericColumn x) {
    ColumnMinimum lo{kNaN, std::numeric_limits<std::int64_t>::max()};
    if (x.i64 != nullptr) {
        for (std::size_t i = 0; i < x.size; ++i)
            lo.integer = std::min(lo.integer, x.i64[i]);
        lo.value = column_min(x.i64, x.size);
    } else {
        lo.value = column_min(x.f64, x.size);
    }
    return lo;
}

void sqrt_above(NumericColumn x, ColumnMinimum lo, std::span<double> out) {
    double *o = out.data();
    if (x.i64 != nullptr) {
        // int64 - int64 scalar stays integral before the square root.
        for (std::size_t i = 0; i < x.size; ++i)
            o[i] = std::sqrt(static_cast<double>(wrap_sub(x.i64[i], lo.integer)));
    } else {
        for (std::size_t i = 0; i < x.size; ++i)
            o[i] = std::sqrt(x.f64[i] - lo.value);
    }
}

void sqrt_above_min(NumericColumn x, std::span<double> out) {
    sqrt_above(x, column_minimum(x), out);
}

void log_argument_above(NumericColumn x, ColumnMinimum lo, std::span<double> out) {
    double *o = out.data();
    visit(x, [&](const auto *a) {
        for (std::size_t i = 0; i < x.size; ++i)
            o[i] = (1e-06 + as_double(a[i])) - lo.value;
    });
}

void log_argument(NumericColumn x, std::span<double> out) {
    log_argument_above(x, column_minimum(x), out);
}

void fractional_part(NumericColumn x, std::span<double> out) {
    double *o = out.data();
    visit(x, [&](const auto *a) {
        double whole;
        for (std::size_t i = 0; i < x.size; ++i)
            o[i] = std::modf(as_double(a[i]), &whole);
    });
}

void negate(NumericColumn x, std::span<double> out) {
    double *o = out.data();
    visit(x, [&](const auto *a) {
        for (std::size_t i = 0; i < x.size; ++i)
            o[i] = -as_double(a[i]);
    });
}

void one_over_one_plus(std::span<double> v) {
    for (double &e : v) {
        e = 1 / (1 + e);
    }
}

namespace {

// Unsigned keys in the order of the values: -0.0 and 0.0 share one, as they
// compare equal.
inline std::uint64_t order_key(double v) {
    if (v == 0.0) {
        v = 0.0;
    }
    std::uint64_t bits = 0;
    std::memcpy(&bits, &v, sizeof bits);
    constexpr std::uint64_t sign = 0x8000000000000000ULL;
    return (bits & sign) != 0 ? ~bits : bits | sign;
}
inline std::uint64_t order_key(std::int64_t v) {
    return static_cast<std::uint64_t>(v) ^ 0x8000000000000000ULL;
}

struct KeyedRow {
    std::uint64_t key;
    std::size_t row;
};

// The non-missing values as (key, row), in ascending order of value and, for
// equal values, of row.  Long columns are radix sorted (stable, eleven bits at a
// time, digits shared by every key skipped): a comparison sort of a million
// values costs several times more.
template <typename T>
std::vector<KeyedRow> sorted_present(const T *a, std::size_t n) {
    std::vector<KeyedRow> order;
    order.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        if (!is_missing(a[i])) {
            order.push_back({order_key(a[i]), i});
        }
    }
    const std::size_t m = order.size();
    if (m < 4096) {
        std::sort(order.begin(), order.end(), [](const KeyedRow &l, const KeyedRow &r) {
            return l.key < r.key || (l.key == r.key && l.row < r.row);
        });
        return order;
    }
    constexpr int kBits = 11;
    constexpr int kPasses = (64 + kBits - 1) / kBits;
    constexpr std::uint64_t kMask = (1U << kBits) - 1;
    std::vector<std::array<std::size_t, std::size_t{1} << kBits>> counts(kPasses);
    for (auto &c : counts) {
        c.fill(0);
    }
    for (const KeyedRow &e : order) {
        for (int p = 0; p < kPasses; ++p) {
            ++counts[static_cast<std::size_t>(p)][(e.key >> (kBits * p)) & kMask];
        }
    }
    std::vector<KeyedRow> spare(m);
    for (int p = 0; p < kPasses; ++p) {
        auto &c = counts[static_cast<std::size_t>(p)];
        const int shift = kBits * p;
        if (c[(order[0].key >> shift) & kMask] == m) {
            continue;  // every key has this digit
        }
        std::size_t at = 0;
        for (std::size_t &v : c) {
            const std::size_t here = v;
            v = at;
            at += here;
        }
        for (const KeyedRow &e : order) {
            spare[c[(e.key >> shift) & kMask]++] = e;
        }
        order.swap(spare);
    }
    return order;
}

}  // namespace

void percentile_rank_within(NumericColumn x, std::int64_t below, double count,
                            std::span<double> out) {
    double *o = out.data();
    visit(x, [&](const auto *a) {
        const auto order = sorted_present(a, x.size);
        for (std::size_t i = 0; i < x.size; ++i) {
            if (is_missing(a[i]))
                o[i] = kNaN;
        }
        std::size_t start = 0;
        while (start < order.size()) {
            std::size_t stop = start + 1;
            while (stop < order.size() && order[stop].key == order[start].key)
                ++stop;
            // 1-based ranks start+1 .. stop, summed as integers like pandas.
            const std::int64_t first = below + static_cast<std::int64_t>(start);
            const std::int64_t last = below + static_cast<std::int64_t>(stop);
            const std::int64_t dups = last - first;
            const std::int64_t sum_ranks = (first + 1 + last) * dups / 2;
            const double average = static_cast<double>(sum_ranks) / static_cast<double>(dups);
            const double pct = average / count;
            for (std::size_t k = start; k < stop; ++k)
                o[order[k].row] = pct;
            start = stop;
        }
    });
}

void percentile_rank(NumericColumn x, std::span<double> out) {
    std::size_t present = 0;
    visit(x, [&](const auto *a) {
        for (std::size_t i = 0; i < x.size; ++i)
            present += !is_missing(a[i]);
    });
    percentile_rank_within(x, 0, static_cast<double>(present), out);
}

ColumnMaximum softmax_maximum(NumericColumn x) {
    const std::size_t n = x.size;
    if (n == 0) {
        throw std::invalid_argument("zero-size array to reduction operation maximum");
    }
    ColumnMaximum hi{kNaN, 0};
    if (x.f64 != nullptr) {
        const double *a = x.f64;
        hi.value = a[0];
        for (std::size_t i = 0; i < n; ++i) {
            if (std::isnan(a[i])) {
                hi.value = a[i];
                break;
            }
            hi.value = std::max(hi.value, a[i]);
        }
    } else {
        hi.integer = *std::max_element(x.i64, x.i64 + n);
    }
    return hi;
}

void softmax_shift_by(NumericColumn x, ColumnMaximum hi, std::span<double> out) {
    double *o = out.data();
    if (x.f64 != nullptr) {
        for (std::size_t i = 0; i < x.size; ++i)
            o[i] = x.f64[i] - hi.value;
    } else {
        for (std::size_t i = 0; i < x.size; ++i)
            o[i] = static_cast<double>(wrap_sub(x.i64[i], hi.integer));
    }
}

void softmax_shift(NumericColumn x, std::span<double> out) {
    softmax_shift_by(x, softmax_maximum(x), out);
}

void divide_by(std::span<double> v, double total) {
    for (double &e : v) {
        e = e / total;
    }
}

void divide_by_sum(std::span<double> v) { divide_by(v, pairwise_sum(v)); }

namespace {

// LabelEncoder codes: position of each value among the sorted distinct
// values; every missing value takes the one code after them.
template <typename T>
void label_codes_of(const T *a, std::size_t n, std::span<std::int64_t> codes) {
    if constexpr (std::is_same_v<T, std::int64_t>) {
        if (n > 0) {
            const auto [lo_it, hi_it] = std::minmax_element(a, a + n);
            const std::uint64_t range =
                static_cast<std::uint64_t>(*hi_it) - static_cast<std::uint64_t>(*lo_it);
            if (range < 4 * static_cast<std::uint64_t>(n) + 1024) {
                // Dense keys: codes by counting instead of sorting.
                const std::int64_t lo = *lo_it;
                std::vector<std::int64_t> rank(static_cast<std::size_t>(range) + 1, 0);
                for (std::size_t i = 0; i < n; ++i)
                    rank[static_cast<std::size_t>(wrap_sub(a[i], lo))] = 1;
                std::int64_t next = 0;
                for (auto &r : rank) {
                    const std::int64_t present = r;
                    r = next;
                    next += present;
                }
                for (std::size_t i = 0; i < n; ++i)
                    codes[i] = rank[static_cast<std::size_t>(wrap_sub(a[i], lo))];
                return;
            }
        }
    }
    std::vector<T> distinct;
    distinct.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        if (!is_missing(a[i]))
            distinct.push_back(a[i]);
    }
    std::sort(distinct.begin(), distinct.end());
    distinct.erase(std::unique(distinct.begin(), distinct.end()), distinct.end());
    const auto missing_code = static_cast<std::int64_t>(distinct.size());
    for (std::size_t i = 0; i < n; ++i) {
        codes[i] = is_missing(a[i]) ? missing_code
                                    : std::lower_bound(distinct.begin(), distinct.end(), a[i]) -
                                          distinct.begin();
    }
}

}  // namespace

void label_codes(NumericColumn x, std::span<std::int64_t> codes) {
    visit(x, [&](const auto *a) { label_codes_of(a, x.size, codes); });
}

void entropy_terms(std::span<const std::int64_t> codes, std::int64_t total, std::span<double> out) {
    const double denominator = static_cast<double>(total);
    for (std::size_t i = 0; i < codes.size(); ++i) {
        // scipy.special.entr of the normalised code
        const double p = static_cast<double>(codes[i]) / denominator;
        out[i] = std::isnan(p) ? p : p > 0 ? -p * std::log(p) : p == 0 ? 0.0 : -INFINITY;
    }
}

double entropy_of_codes(NumericColumn x) {
    const std::size_t n = x.size;
    std::vector<std::int64_t> codes(n);
    label_codes(x, codes);
    std::int64_t total = 0;
    for (std::int64_t c : codes)
        total += c;
    std::vector<double> terms(n);
    entropy_terms(codes, total, terms);
    return pairwise_sum(terms);
}

std::string python_float_text(double v) {
    if (std::isnan(v))
        return "nan";
    if (std::isinf(v))
        return v > 0 ? "inf" : "-inf";
    char buf[64];
    // Shortest round-trip digits, as Python's repr chooses them.
    auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
    std::string sci(buf, res.ptr);
    std::string sign;
    if (sci[0] == '-') {
        sign = "-";
        sci.erase(0, 1);
    }
    const std::size_t e = sci.find('e');
    std::string digits = sci.substr(0, e);
    digits.erase(std::remove(digits.begin(), digits.end(), '.'), digits.end());
    const int exponent = std::stoi(sci.substr(e + 1));
    const int decpt = exponent + 1;
    const int k = static_cast<int>(digits.size());
    std::string body;
    if (decpt > -4 && decpt <= 16) {
        if (decpt <= 0) {
            body = "0." + std::string(static_cast<std::size_t>(-decpt), '0') + digits;
        } else if (decpt >= k) {
            body = digits + std::string(static_cast<std::size_t>(decpt - k), '0') + ".0";
        } else {
            body = digits.substr(0, static_cast<std::size_t>(decpt)) + "." +
                   digits.substr(static_cast<std::size_t>(decpt));
        }
    } else {
        body = digits.substr(0, 1);
        if (k > 1)
            body += "." + digits.substr(1);
        const int ae = exponent < 0 ? -exponent : exponent;
        body += exponent < 0 ? "e-" : "e+";
        if (ae < 10)
            body += "0";
        body += std::to_string(ae);
    }
    return sign + body;
}

std::string python_int_text(std::int64_t v) { return std::to_string(v); }

}  // namespace brinvale::core
