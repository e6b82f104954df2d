// Row-wise kernels of the element-wise feature operators.  Each reproduces
// the NumPy/pandas expression of its operator bit for bit on float64 and
// int64 columns (int64 values take part as NumPy casts them, to float64).
// Transcendental functions are not here: NumPy's own vectorised exp, log,
// sin and cos differ from libm in the last bit, so the binding applies the
// NumPy ufunc to the buffers these kernels prepare.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace brinvale::core {

// A numeric column: exactly one of the two pointers is set.
struct NumericColumn {
    const double *f64 = nullptr;
    const std::int64_t *i64 = nullptr;
    std::size_t size = 0;

    static NumericColumn of(std::span<const double> v) { return {v.data(), nullptr, v.size()}; }
    static NumericColumn of(std::span<const std::int64_t> v) {
        return {nullptr, v.data(), v.size()};
    }
};

enum class Arithmetic { add, subtract, multiply, divide };

// out = (r - mean(r)) / std(r) with pandas' skipna mean and sample std, where
// r = x op y; for divide, r has +inf, -inf and NaN replaced by 1e12, -1e12
// and 0 first.  Two int64 columns are only accepted for divide (the integer
// sum/product is an int64 column with other reductions).
void arithmetic_standardized(Arithmetic op, NumericColumn x, NumericColumn y,
                             std::span<double> out);
// r itself, before standardisation (the statistics then come from the whole
// column when the frame is one part of it).
void arithmetic_values(Arithmetic op, NumericColumn x, NumericColumn y, std::span<double> out);

enum class Pick { minimum, maximum };

// NumPy min/max over [x, y] with axis 0: NaN on either side gives NaN; of two
// equal values (0.0 and -0.0) the second is kept.
void pick_rowwise(Pick op, NumericColumn x, NumericColumn y, std::span<double> out);
void pick_rowwise(Pick op, std::span<const std::int64_t> x, std::span<const std::int64_t> y,
                  std::span<std::int64_t> out);

enum class Comparison { greater, less, equal };

// Both columns of one type; NaN compares false.
void compare_rowwise(Comparison op, NumericColumn x, NumericColumn y, std::span<bool> out);

// (x > m) | (y > m) with m the skipna mean of x + y (float64 columns).
void orop_rowwise(std::span<const double> x, std::span<const double> y, std::span<bool> out);
// The same with the mean m given.
void orop_with_mean(std::span<const double> x, std::span<const double> y, double m,
                    std::span<bool> out);

// np.round with no decimals: halves to even.
void round_half_even(std::span<const double> x, std::span<double> out);
void square(std::span<const double> x, std::span<double> out);
void square(std::span<const std::int64_t> x, std::span<std::int64_t> out);
// np.sqrt(x - skipna min(x)).
void sqrt_above_min(NumericColumn x, std::span<double> out);
// (1e-06 + x) - skipna min(x): the argument of the log operator.
void log_argument(NumericColumn x, std::span<double> out);

// The skipna minimum as the operators take it: of equal values the first,
// NaN when nothing is left; an int64 column's minimum as an integer too.
struct ColumnMinimum {
    double value;
    std::int64_t integer;
};
ColumnMinimum column_minimum(NumericColumn x);
// The two operators with the minimum given.
void sqrt_above(NumericColumn x, ColumnMinimum lo, std::span<double> out);
void log_argument_above(NumericColumn x, ColumnMinimum lo, std::span<double> out);
// First element of np.modf: the fractional part with the sign of x.
void fractional_part(NumericColumn x, std::span<double> out);
// -x, the argument of exp in the sigmoid.
void negate(NumericColumn x, std::span<double> out);
// v = 1 / (1 + v), the sigmoid after exp(-x).
void one_over_one_plus(std::span<double> v);

// pandas rank(pct=True): average rank of ties over the non-missing count.
void percentile_rank(NumericColumn x, std::span<double> out);
// The same for values that are a slice of a column's value range: `below`
// values of the column lie under every value of x, `count` is the column's
// non-missing count.
void percentile_rank_within(NumericColumn x, std::int64_t below, double count,
                            std::span<double> out);

// x - np.max(x) for softmax (NaN anywhere makes every value NaN); int64
// columns subtract in int64 first, as NumPy does.
void softmax_shift(NumericColumn x, std::span<double> out);
// np.max of the column: the first NaN if there is one; the int64 maximum too.
struct ColumnMaximum {
    double value;
    std::int64_t integer;
};
ColumnMaximum softmax_maximum(NumericColumn x);
void softmax_shift_by(NumericColumn x, ColumnMaximum hi, std::span<double> out);
// v / sum(v) with NumPy's pairwise sum.
void divide_by_sum(std::span<double> v);
void divide_by(std::span<double> v, double total);

// scipy.stats.entropy of the LabelEncoder codes of x (codes of the sorted
// distinct values, NaN last).
double entropy_of_codes(NumericColumn x);
// The codes themselves, and scipy.special.entr of each code over the sum of
// all codes (the terms whose pairwise sum is the entropy).
void label_codes(NumericColumn x, std::span<std::int64_t> codes);
void entropy_terms(std::span<const std::int64_t> codes, std::int64_t total, std::span<double> out);

// Python's str() of a float (repr: shortest round trip, "1.0", "1e+16",
// "nan", "inf") and of an int.
std::string python_float_text(double v);
std::string python_int_text(std::int64_t v);

}  // namespace brinvale::core
