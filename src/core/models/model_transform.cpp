// FLAML's DataTransformer over column buffers: the datetime parts pandas'
// .dt accessor computes (proleptic Gregorian calendar, fields of the time
// floored to the second), datetime.toordinal() of the date, the category
// codes its pinned categories give, and the SimpleImputer's fill of NaN.
#include "brinvale/model_eval.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

namespace brinvale::core {

namespace {

using Op = FeatureRecipe::Op;
using Type = InputColumn::Type;

constexpr std::int64_t kNaT = std::numeric_limits<std::int64_t>::min();
// datetime.date(1970, 1, 1).toordinal()
constexpr std::int64_t kEpochOrdinal = 719163;

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    std::int64_t q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0))) {
        --q;
    }
    return q;
}

// Days since 1970-01-01 to (year, month, day): H. Hinnant's civil_from_days.
void civil_from_days(std::int64_t z, std::int64_t &y, std::int64_t &m, std::int64_t &d) {
    z += 719468;
    const std::int64_t era = floor_div(z, 146097);
    const std::int64_t doe = z - era * 146097;
    const std::int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = yoe + era * 400;
    const std::int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const std::int64_t mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y += m <= 2 ? 1 : 0;
}

bool is_leap(std::int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

template <typename T>
T load(const InputColumn &c, std::size_t row) {
    T v;
    std::memcpy(&v, static_cast<const char *>(c.data) + static_cast<std::ptrdiff_t>(row) * c.stride,
                sizeof(T));
    return v;
}

std::int64_t code_at(const InputColumn &c, std::size_t row) {
    switch (c.type) {
    case Type::I8:
        return load<std::int8_t>(c, row);
    case Type::I16:
        return load<std::int16_t>(c, row);
    case Type::I32:
        return load<std::int32_t>(c, row);
    case Type::I64:
        return load<std::int64_t>(c, row);
    case Type::U8:
        return load<std::uint8_t>(c, row);
    case Type::U16:
        return load<std::uint16_t>(c, row);
    case Type::U32:
        return load<std::uint32_t>(c, row);
    default:
        return -1;
    }
}

bool is_code_type(Type t) {
    return t == Type::I8 || t == Type::I16 || t == Type::I32 || t == Type::I64 || t == Type::U8 ||
           t == Type::U16 || t == Type::U32;
}

}  // namespace

void check_transform(const ModelTransform &transform, std::span<const InputColumn> columns) {
    for (std::size_t j = 0; j < transform.features.size(); ++j) {
        const FeatureRecipe &f = transform.features[j];
        if (f.source >= columns.size()) {
            throw ModelError("feature " + std::to_string(j) + " reads column " +
                             std::to_string(f.source) + " of " + std::to_string(columns.size()));
        }
        const InputColumn &c = columns[f.source];
        if (c.data == nullptr) {
            throw ModelError("feature " + std::to_string(j) + " reads a column without data");
        }
        const bool dated = c.type == Type::Datetime;
        if (f.op == Op::Number && dated) {
            throw ModelError("feature " + std::to_string(j) + " reads a datetime as a number");
        }
        if (f.op == Op::Category && !is_code_type(c.type)) {
            throw ModelError("feature " + std::to_string(j) + " reads codes from a column of " +
                             "another kind");
        }
        if (f.op != Op::Number && f.op != Op::Category && !dated) {
            throw ModelError("feature " + std::to_string(j) + " reads a date part of a column " +
                             "that is not a datetime");
        }
        if (dated && c.ticks_per_second <= 0) {
            throw ModelError("feature " + std::to_string(j) + " reads a datetime of no unit");
        }
    }
}

namespace {

constexpr std::size_t kChunk = 64;
constexpr std::size_t kDateFields = 10;  // Year .. DateOrdinal

// Every date part of one datetime value, in the order of Op from Year on.
void date_fields(std::int64_t ticks, std::int64_t per_second, double *f) {
    if (ticks == kNaT) {
        std::fill(f, f + kDateFields, std::numeric_limits<double>::quiet_NaN());
        return;
    }
    const std::int64_t seconds = floor_div(ticks, per_second);
    const std::int64_t days = floor_div(seconds, 86400);
    const std::int64_t in_day = seconds - days * 86400;
    std::int64_t y = 0;
    std::int64_t m = 0;
    std::int64_t d = 0;
    civil_from_days(days, y, m, d);
    static constexpr int before[12] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
    f[0] = static_cast<double>(y);
    f[1] = static_cast<double>(m);
    f[2] = static_cast<double>(d);
    f[3] = static_cast<double>(in_day / 3600);
    f[4] = static_cast<double>(in_day % 3600 / 60);
    f[5] = static_cast<double>(in_day % 60);
    // 1970-01-01 was a Thursday; Monday is 0.
    f[6] = static_cast<double>(days + 3 - floor_div(days + 3, 7) * 7);
    f[7] = static_cast<double>(before[m - 1] + d + (m > 2 && is_leap(y) ? 1 : 0));
    f[8] = static_cast<double>((m - 1) / 3 + 1);
    f[9] = static_cast<double>(days + kEpochOrdinal);
}

template <typename T>
void load_numbers(const InputColumn &c, std::size_t row0, std::size_t m, double *dst,
                  std::size_t nf) {
    const char *base =
        static_cast<const char *>(c.data) + static_cast<std::ptrdiff_t>(row0) * c.stride;
    for (std::size_t r = 0; r < m; ++r) {
        T v;
        std::memcpy(&v, base + static_cast<std::ptrdiff_t>(r) * c.stride, sizeof(T));
        dst[r * nf] = static_cast<double>(v);
    }
}

void numbers(const InputColumn &c, std::size_t row0, std::size_t m, double *dst, std::size_t nf) {
    switch (c.type) {
    case Type::F64:
        return load_numbers<double>(c, row0, m, dst, nf);
    case Type::F32:
        return load_numbers<float>(c, row0, m, dst, nf);
    case Type::I8:
        return load_numbers<std::int8_t>(c, row0, m, dst, nf);
    case Type::I16:
        return load_numbers<std::int16_t>(c, row0, m, dst, nf);
    case Type::I32:
        return load_numbers<std::int32_t>(c, row0, m, dst, nf);
    case Type::I64:
        return load_numbers<std::int64_t>(c, row0, m, dst, nf);
    case Type::U8:
    case Type::Bool:
        return load_numbers<std::uint8_t>(c, row0, m, dst, nf);
    case Type::U16:
        return load_numbers<std::uint16_t>(c, row0, m, dst, nf);
    case Type::U32:
        return load_numbers<std::uint32_t>(c, row0, m, dst, nf);
    case Type::U64:
        return load_numbers<std::uint64_t>(c, row0, m, dst, nf);
    case Type::Datetime:
        break;
    }
    for (std::size_t r = 0; r < m; ++r) {
        dst[r * nf] = std::numeric_limits<double>::quiet_NaN();
    }
}

}  // namespace

bool transform_rows(const ModelTransform &transform, std::span<const InputColumn> columns,
                    std::size_t row0, std::size_t n, double *out) {
    const std::size_t nf = transform.features.size();
    // Each datetime column is taken apart once per chunk of rows, whatever
    // number of its parts the model reads.
    std::vector<std::uint32_t> dated;
    std::vector<std::size_t> slot(nf, 0);
    for (std::size_t j = 0; j < nf; ++j) {
        const FeatureRecipe &f = transform.features[j];
        if (f.op == Op::Number || f.op == Op::Category) {
            continue;
        }
        auto at = std::find(dated.begin(), dated.end(), f.source);
        slot[j] = static_cast<std::size_t>(at - dated.begin());
        if (at == dated.end()) {
            dated.push_back(f.source);
        }
    }
    std::vector<double> fields(dated.size() * kChunk * kDateFields);
    for (std::size_t c0 = 0; c0 < n; c0 += kChunk) {
        const std::size_t m = std::min(kChunk, n - c0);
        const std::size_t first = row0 + c0;
        for (std::size_t k = 0; k < dated.size(); ++k) {
            const InputColumn &c = columns[dated[k]];
            for (std::size_t r = 0; r < m; ++r) {
                date_fields(load<std::int64_t>(c, first + r), c.ticks_per_second,
                            &fields[(k * kChunk + r) * kDateFields]);
            }
        }
        double *block = out + c0 * nf;
        for (std::size_t j = 0; j < nf; ++j) {
            const FeatureRecipe &f = transform.features[j];
            const InputColumn &c = columns[f.source];
            double *dst = block + j;
            if (f.op == Op::Number) {
                numbers(c, first, m, dst, nf);
            } else if (f.op == Op::Category) {
                const std::size_t size = f.category_values.size();
                for (std::size_t r = 0; r < m; ++r) {
                    const std::int64_t code = code_at(c, first + r);
                    dst[r * nf] = code >= 0 && static_cast<std::uint64_t>(code) < size
                                      ? f.category_values[static_cast<std::size_t>(code)]
                                      : std::numeric_limits<double>::quiet_NaN();
                }
            } else {
                const std::size_t part =
                    static_cast<std::size_t>(f.op) - static_cast<std::size_t>(Op::Year);
                const double *src = &fields[slot[j] * kChunk * kDateFields + part];
                for (std::size_t r = 0; r < m; ++r) {
                    dst[r * nf] = src[r * kDateFields];
                }
            }
            bool infinite = false;
            for (std::size_t r = 0; r < m; ++r) {
                double &v = dst[r * nf];
                if (f.impute && std::isnan(v)) {
                    v = f.fill;
                }
                infinite |= std::isinf(v);
            }
            if (infinite && f.refuse_infinite) {
                return false;
            }
        }
    }
    return true;
}

std::size_t category_codes(const TextColumn &column, const TextCodeTable &categories,
                           std::int32_t nan_code, std::span<std::int32_t> out,
                           std::vector<std::string> &unseen, std::size_t max_unseen) {
    std::size_t n_unseen = 0;
    unseen.clear();
    column.for_each([&](std::size_t row, bool missing, std::string_view text) {
        if (missing) {
            out[row] = nan_code;
            return;
        }
        const std::int64_t code = categories.find(text);
        if (code >= 0) {
            out[row] = static_cast<std::int32_t>(code);
            return;
        }
        out[row] = nan_code;
        ++n_unseen;
        if (max_unseen == 0) {
            return;
        }
        // UTF-8 byte order is code point order, the order of Python's sorted().
        if (unseen.size() == max_unseen && !(text < unseen.back())) {
            return;
        }
        auto at = std::lower_bound(unseen.begin(), unseen.end(), text,
                                   [](const std::string &a, std::string_view b) { return a < b; });
        if (at != unseen.end() && *at == text) {
            return;
        }
        unseen.insert(at, std::string(text));
        if (unseen.size() > max_unseen) {
            unseen.pop_back();
        }
    });
    return n_unseen;
}

void recode_categories(const InputColumn &codes, std::size_t n_rows,
                       std::span<const std::int32_t> map, std::int32_t nan_code,
                       std::span<std::int32_t> out, std::vector<std::uint8_t> &used) {
    if (!is_code_type(codes.type)) {
        throw ModelError("the categorical codes are not integers");
    }
    used.assign(map.size(), 0);
    for (std::size_t row = 0; row < n_rows; ++row) {
        const std::int64_t code = code_at(codes, row);
        if (code == -1) {
            out[row] = nan_code;
            continue;
        }
        if (code < 0 || static_cast<std::uint64_t>(code) >= map.size()) {
            throw ModelError("a categorical code is outside the column's categories");
        }
        used[static_cast<std::size_t>(code)] = 1;
        out[row] = map[static_cast<std::size_t>(code)];
    }
}

}  // namespace brinvale::core
