#include "brinvale/text.hpp"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <system_error>

namespace brinvale::core {

namespace {

std::uint64_t load_bytes(const char *p, std::size_t n) {
    std::uint64_t v = 0;
    std::memcpy(&v, p, n);
    return v;
}

std::uint64_t mix(std::uint64_t a, std::uint64_t b) {
    const unsigned __int128 r = static_cast<unsigned __int128>(a) * b;
    return static_cast<std::uint64_t>(r) ^ static_cast<std::uint64_t>(r >> 64);
}

constexpr std::uint64_t kSeed0 = 0xa0761d6478bd642full;
constexpr std::uint64_t kSeed1 = 0xe7037ed1a0b428dbull;
constexpr std::uint64_t kSeed2 = 0x8ebc6af09c88c6e3ull;

bool is_ascii_space(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

bool iequals(std::string_view text, std::string_view lower) {
    if (text.size() != lower.size()) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
        if (c != lower[i]) {
            return false;
        }
    }
    return true;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// digits [. digits] | . digits, then an optional exponent: the decimal forms
// Python reads (from_chars would also read "nan(...)" and the like).
bool is_decimal_syntax(std::string_view s) {
    std::size_t i = 0;
    std::size_t mantissa_digits = 0;
    while (i < s.size() && is_digit(s[i])) {
        ++i;
        ++mantissa_digits;
    }
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && is_digit(s[i])) {
            ++i;
            ++mantissa_digits;
        }
    }
    if (mantissa_digits == 0) {
        return false;
    }
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
            ++i;
        }
        std::size_t exponent_digits = 0;
        while (i < s.size() && is_digit(s[i])) {
            ++i;
            ++exponent_digits;
        }
        if (exponent_digits == 0) {
            return false;
        }
    }
    return i == s.size();
}

}  // namespace

std::uint64_t text_hash(std::string_view text) {
    const char *p = text.data();
    std::size_t n = text.size();
    std::uint64_t h = kSeed0 ^ (static_cast<std::uint64_t>(n) * kSeed1);
    while (n >= 16) {
        h = mix(load_bytes(p, 8) ^ kSeed1, load_bytes(p + 8, 8) ^ h);
        p += 16;
        n -= 16;
    }
    std::uint64_t a = 0;
    std::uint64_t b = 0;
    if (n > 8) {
        a = load_bytes(p, 8);
        b = load_bytes(p + 8, n - 8);
    } else if (n > 0) {
        a = load_bytes(p, n);
    }
    return mix(a ^ kSeed1 ^ h, b ^ kSeed2);
}

std::string_view strip_trailing_nul(std::string_view text) {
    while (!text.empty() && text.back() == '\0') {
        text.remove_suffix(1);
    }
    return text;
}

TextCodeTable::TextCodeTable(std::span<const std::string_view> classes) {
    std::size_t capacity = 16;
    while (capacity < classes.size() * 2) {
        capacity <<= 1;
    }
    slots_.resize(capacity);
    mask_ = capacity - 1;
    std::size_t bytes = 0;
    for (std::string_view c : classes) {
        bytes += c.size();
    }
    arena_.reserve(bytes);
    for (std::size_t code = 0; code < classes.size(); ++code) {
        const std::string_view text = classes[code];
        const std::uint64_t h = text_hash(text);
        std::uint64_t at = h & mask_;
        for (;;) {
            Slot &slot = slots_[at];
            if (slot.code < 0) {
                slot.hash = h;
                slot.begin = arena_.size();
                slot.length = text.size();
                slot.code = static_cast<std::int64_t>(code);
                arena_.append(text);
                ++count_;
                break;
            }
            if (slot.hash == h &&
                std::string_view(arena_).substr(slot.begin, slot.length) == text) {
                slot.code = static_cast<std::int64_t>(code);  // the last occurrence wins
                break;
            }
            at = (at + 1) & mask_;
        }
    }
}

std::int64_t TextCodeTable::find(std::string_view text) const {
    const std::uint64_t h = text_hash(text);
    std::uint64_t at = h & mask_;
    const char *arena = arena_.data();
    for (;;) {
        const Slot &slot = slots_[at];
        if (slot.code < 0) {
            return -1;
        }
        if (slot.hash == h && std::string_view(arena + slot.begin, slot.length) == text) {
            return slot.code;
        }
        at = (at + 1) & mask_;
    }
}

std::int64_t encode_texts(const TextColumn &column, const TextCodeTable &table,
                          const EncodeOptions &options, std::span<std::int64_t> out) {
    if (out.size() != column.size()) {
        throw std::invalid_argument("encode_texts: output length differs from input length");
    }
    const std::int64_t missing_code = table.find(
        options.strip_nul ? strip_trailing_nul(options.missing_text) : options.missing_text);
    std::int64_t first_unknown = -1;
    // Consecutive rows often repeat a value: the previous lookup is reused.
    std::string_view last_text;
    std::int64_t last_code = -2;
    column.for_each([&](std::size_t row, bool missing, std::string_view text) {
        std::int64_t code = 0;
        if (missing) {
            code = missing_code;
        } else {
            if (options.strip_nul) {
                text = strip_trailing_nul(text);
            }
            if (last_code != -2 && text == last_text) {
                code = last_code;
            } else {
                code = table.find(text);
                last_text = text;
                last_code = code;
            }
        }
        if (code < 0) {
            code = options.fallback;
            if (code < 0 && first_unknown < 0) {
                first_unknown = static_cast<std::int64_t>(row);
            }
        }
        out[row] = code;
    });
    return first_unknown;
}

bool any_ends_with(const TextColumn &column, char suffix) {
    bool found = false;
    if (column.chunks.empty()) {
        for (std::size_t i = 0; i < column.views.size() && !found; ++i) {
            const std::string_view v = column.views[i];
            found = column.missing[i] == 0 && !v.empty() && v.back() == suffix;
        }
        return found;
    }
    column.for_each([&](std::size_t, bool missing, std::string_view text) {
        found = found || (!missing && !text.empty() && text.back() == suffix);
    });
    return found;
}

bool parse_python_float(std::string_view text, double &out) {
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        // Non-ASCII text may hold Unicode digits or spaces, and Python turns
        // the separators 0x1c-0x1f into spaces: Python decides those.
        if (u >= 0x80 || (u >= 0x1c && u <= 0x1f) || c == '_') {
            return false;
        }
    }
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && is_ascii_space(static_cast<unsigned char>(text[begin]))) {
        ++begin;
    }
    while (end > begin && is_ascii_space(static_cast<unsigned char>(text[end - 1]))) {
        --end;
    }
    std::string_view s = text.substr(begin, end - begin);
    bool negative = false;
    if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
        negative = s[0] == '-';
        s.remove_prefix(1);
    }
    if (s.empty()) {
        return false;
    }
    double value = 0.0;
    if (iequals(s, "inf") || iequals(s, "infinity")) {
        value = std::numeric_limits<double>::infinity();
    } else if (iequals(s, "nan")) {
        value = std::numeric_limits<double>::quiet_NaN();
    } else {
        if (!is_decimal_syntax(s)) {
            return false;
        }
        const auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
        if (ec != std::errc() || ptr != s.data() + s.size()) {
            return false;  // out of double range: Python gives inf or 0, decided there
        }
    }
    out = negative ? -value : value;
    return true;
}

std::vector<std::size_t> percent_to_float(const TextColumn &column, std::span<double> out) {
    if (out.size() != column.size()) {
        throw std::invalid_argument("percent_to_float: output length differs from input length");
    }
    std::vector<std::size_t> undecided;
    std::string buffer;
    column.for_each([&](std::size_t row, bool missing, std::string_view text) {
        if (missing) {
            out[row] = std::numeric_limits<double>::quiet_NaN() / 100.0;
            return;
        }
        std::string_view cleaned = text;
        if (text.find('%') != std::string_view::npos) {
            buffer.clear();
            for (char c : text) {
                if (c != '%') {
                    buffer.push_back(c);
                }
            }
            cleaned = buffer;
        }
        double value = 0.0;
        if (parse_python_float(cleaned, value)) {
            out[row] = value / 100.0;
        } else {
            undecided.push_back(row);
        }
    });
    return undecided;
}

bool append_utf8(std::string &out, const void *data, int unit_size, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
        std::uint32_t cp = 0;
        if (unit_size == 1) {
            cp = static_cast<const std::uint8_t *>(data)[i];
        } else if (unit_size == 2) {
            cp = static_cast<const std::uint16_t *>(data)[i];
        } else {
            cp = static_cast<const std::uint32_t *>(data)[i];
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            if (cp >= 0xD800 && cp <= 0xDFFF) {
                return false;  // no UTF-8 form, as str.encode refuses it
            }
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp <= 0x10FFFF) {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace brinvale::core

namespace brinvale::core {

namespace {

// Days from 1970-01-01 to a proleptic Gregorian date (H. Hinnant's
// days_from_civil).
std::int64_t days_from_civil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2 ? 1 : 0;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

bool digits(std::string_view t, std::size_t from, std::size_t count, unsigned &value) {
    value = 0;
    for (std::size_t k = from; k < from + count; ++k) {
        const char c = t[k];
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    return true;
}

}  // namespace

bool parse_iso_dates(const TextColumn &column, std::span<std::int64_t> days) {
    if (days.size() != column.size()) {
        return false;
    }
    bool ok = true;
    column.for_each([&](std::size_t row, bool missing, std::string_view t) {
        if (!ok) {
            return;
        }
        unsigned y = 0, m = 0, d = 0;
        if (missing || t.size() != 10 || t[4] != '-' || t[7] != '-' || !digits(t, 0, 4, y) ||
            !digits(t, 5, 2, m) || !digits(t, 8, 2, d) || y < 1678 || y > 2261 || m < 1 || m > 12 ||
            d < 1) {
            ok = false;
            return;
        }
        static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
        const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
        if (d > kDays[m - 1] + (m == 2 && leap ? 1u : 0u)) {
            ok = false;
            return;
        }
        days[row] = days_from_civil(y, m, d);
    });
    return ok;
}

}  // namespace brinvale::core
