// The extent of a workbook sheet's cells, found by one pass over its XML in
// pieces of any size.  Only the start tags of cells and rows are read; every
// other byte is passed over, so the pass is linear in the member's size.
#include "brinvale/sheet_extent.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

namespace brinvale::core {

namespace {

constexpr std::uint64_t kUnbounded = SheetExtent::kUnbounded;

std::uint64_t saturated_add(std::uint64_t a, std::uint64_t b) {
    return a > kUnbounded - std::min(b, kUnbounded) ? kUnbounded : std::min(a + b, kUnbounded);
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// An attribute value with XML's character and predefined entity references
// replaced; false where a reference is of another kind (a declared entity)
// or names a character beyond ASCII.
bool decode(std::string_view raw, std::string &out) {
    out.clear();
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '&') {
            out.push_back(raw[i]);
            continue;
        }
        const std::size_t end = raw.find(';', i);
        if (end == std::string_view::npos) {
            return false;
        }
        const std::string_view ref = raw.substr(i + 1, end - i - 1);
        if (ref == "amp") {
            out.push_back('&');
        } else if (ref == "lt") {
            out.push_back('<');
        } else if (ref == "gt") {
            out.push_back('>');
        } else if (ref == "quot") {
            out.push_back('"');
        } else if (ref == "apos") {
            out.push_back('\'');
        } else if (ref.size() > 1 && ref[0] == '#') {
            const bool hex = ref[1] == 'x';
            std::uint32_t code = 0;
            const std::string_view digits = ref.substr(hex ? 2 : 1);
            if (digits.empty() || digits.size() > 8) {
                return false;
            }
            for (char c : digits) {
                int v = -1;
                if (c >= '0' && c <= '9') {
                    v = c - '0';
                } else if (hex && c >= 'a' && c <= 'f') {
                    v = c - 'a' + 10;
                } else if (hex && c >= 'A' && c <= 'F') {
                    v = c - 'A' + 10;
                }
                if (v < 0) {
                    return false;
                }
                code = code * (hex ? 16u : 10u) + static_cast<std::uint32_t>(v);
            }
            if (code == 0 || code > 127) {
                return false;
            }
            out.push_back(static_cast<char>(code));
        } else {
            return false;
        }
        i = end;
    }
    return true;
}

// Decimal digits as the readers take a number (Python's int(): blanks
// around, a sign, underscores between digits), saturated; nullopt where
// the text holds anything else (other scripts' digits among them).
std::optional<std::uint64_t> row_number(std::string_view s) {
    while (!s.empty() && is_space(s.front())) {
        s.remove_prefix(1);
    }
    while (!s.empty() && is_space(s.back())) {
        s.remove_suffix(1);
    }
    bool negative = false;
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    if (s.empty() || s.front() == '_' || s.back() == '_') {
        return std::nullopt;
    }
    std::uint64_t v = 0;
    char before = 0;
    for (char c : s) {
        if (c == '_') {
            if (before == '_') {
                return std::nullopt;
            }
        } else if (c >= '0' && c <= '9') {
            v = v > kUnbounded / 10 ? kUnbounded
                                    : saturated_add(v * 10, static_cast<std::uint64_t>(c - '0'));
        } else {
            return std::nullopt;
        }
        before = c;
    }
    return negative ? 0 : v;
}

// "$AB$12": column 28, row 12, saturated; nullopt for anything else.
std::optional<std::pair<std::uint64_t, std::uint64_t>> cell_reference(std::string_view s) {
    std::size_t i = 0;
    if (i < s.size() && s[i] == '$') {
        ++i;
    }
    std::uint64_t column = 0;
    const std::size_t letters = i;
    while (i < s.size() && ((s[i] >= 'A' && s[i] <= 'Z') || (s[i] >= 'a' && s[i] <= 'z'))) {
        const auto v = static_cast<std::uint64_t>((s[i] | 0x20) - 'a' + 1);
        column = column > kUnbounded / 26 ? kUnbounded : saturated_add(column * 26, v);
        ++i;
    }
    if (i == letters) {
        return std::nullopt;
    }
    if (i < s.size() && s[i] == '$') {
        ++i;
    }
    const std::size_t digits = i;
    std::uint64_t row = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
        row = row > kUnbounded / 10
                  ? kUnbounded
                  : saturated_add(row * 10, static_cast<std::uint64_t>(s[i] - '0'));
        ++i;
    }
    if (i == digits || i != s.size()) {
        return std::nullopt;
    }
    return std::make_pair(column, row);
}

}  // namespace

std::uint64_t SheetExtent::grid() const {
    if (rows == 0 || columns == 0) {
        return 0;
    }
    return rows > kUnbounded / columns ? kUnbounded : std::min(rows * columns, kUnbounded);
}

void SheetScanner::feed(std::string_view piece) {
    std::size_t i = 0;
    while (i < piece.size()) {
        switch (state_) {
        case State::text: {
            const void *lt = std::memchr(piece.data() + i, '<', piece.size() - i);
            if (lt == nullptr) {
                return;
            }
            i = static_cast<std::size_t>(static_cast<const char *>(lt) - piece.data()) + 1;
            tag_.clear();
            named_ = bang_ = false;
            state_ = State::name;
            break;
        }
        case State::name: {
            // the local name only: a prefix of any length is dropped at its colon
            const char c = piece[i];
            if (is_space(c) || c == '/' || c == '>') {
                if (bang_) {
                    end_bang();
                    state_ = State::text;
                    break;  // the byte is read again as text
                }
                if (tag_ == "c" || tag_ == "row") {
                    cell_ = tag_ == "c";
                    tag_.clear();
                    state_ = State::attributes;
                } else {
                    state_ = State::text;
                    ++i;
                }
                break;
            }
            if (!named_ && c == '!') {
                bang_ = true;
            } else if (c == ':' && !bang_) {
                tag_.clear();
            } else if (tag_.size() < kNameCap) {
                tag_.push_back(c);
            } else {
                tag_ = "-";  // longer than any name read here
            }
            named_ = true;
            if (bang_ && tag_.size() == 7) {
                end_bang();
                state_ = State::text;
            }
            ++i;
            break;
        }
        case State::attributes: {
            const void *gt = std::memchr(piece.data() + i, '>', piece.size() - i);
            const std::size_t stop =
                gt == nullptr
                    ? piece.size()
                    : static_cast<std::size_t>(static_cast<const char *>(gt) - piece.data());
            const std::size_t room = kTagCap - std::min(tag_.size(), kTagCap);
            tag_.append(piece.data() + i, std::min(stop - i, room));
            if (stop - i > room) {
                overlong_ = true;
            }
            if (gt == nullptr) {
                return;
            }
            end_tag();
            state_ = State::text;
            i = stop + 1;
            break;
        }
        }
    }
}

void SheetScanner::end_bang() {
    if (tag_.rfind("DOCTYPE", 0) == 0 || tag_.rfind("ENTITY", 0) == 0) {
        extent_.doctype = true;
    }
}

// The attribute `r` (without a prefix: the readers ask for it so) of the
// tag just read; its value decoded.
std::optional<std::string> SheetScanner::reference() {
    std::string_view s(tag_);
    std::size_t i = 0;
    while (i < s.size()) {
        while (i < s.size() && (is_space(s[i]) || s[i] == '/')) {
            ++i;
        }
        const std::size_t name_start = i;
        while (i < s.size() && s[i] != '=' && !is_space(s[i])) {
            ++i;
        }
        const std::string_view name = s.substr(name_start, i - name_start);
        while (i < s.size() && is_space(s[i])) {
            ++i;
        }
        if (i >= s.size() || s[i] != '=') {
            if (name.empty()) {
                break;
            }
            continue;
        }
        ++i;
        while (i < s.size() && is_space(s[i])) {
            ++i;
        }
        if (i >= s.size() || (s[i] != '"' && s[i] != '\'')) {
            return std::string("\x01");  // malformed: no reader takes it
        }
        const char quote = s[i++];
        const std::size_t close = s.find(quote, i);
        if (close == std::string_view::npos) {
            return std::string("\x01");
        }
        if (name == "r") {
            std::string value;
            if (!decode(s.substr(i, close - i), value)) {
                return std::string("\x01");
            }
            return value;
        }
        i = close + 1;
    }
    return std::nullopt;
}

void SheetScanner::end_tag() {
    std::optional<std::string> r;
    if (overlong_) {
        r = std::string("\x01");
        overlong_ = false;
    } else {
        r = reference();
    }
    if (!cell_) {
        if (r) {
            const std::optional<std::uint64_t> n = row_number(*r);
            row_ = n ? *n : kUnbounded;
        } else {
            row_ = saturated_add(row_, 1);
        }
        column_ = 0;
        extent_.rows = std::max(extent_.rows, row_);
        return;
    }
    extent_.cells = saturated_add(extent_.cells, 1);
    std::uint64_t row = row_;
    if (r) {
        if (const auto ref = cell_reference(*r)) {
            column_ = ref->first;
            row = ref->second;
        } else {
            column_ = kUnbounded;
            row = kUnbounded;
        }
    } else {
        column_ = saturated_add(column_, 1);
    }
    extent_.rows = std::max(extent_.rows, row);
    extent_.columns = std::max(extent_.columns, column_);
}

SheetExtent SheetScanner::finish() {
    if (state_ == State::attributes) {
        // a cell or row tag the member ends in: no reader takes it whole
        extent_.rows = kUnbounded;
        extent_.columns = std::max<std::uint64_t>(extent_.columns, 1);
    } else if (state_ == State::name && bang_) {
        end_bang();
    }
    state_ = State::text;
    return extent_;
}

SheetExtent sheet_extent(std::string_view xml) {
    SheetScanner scanner;
    scanner.feed(xml);
    return scanner.finish();
}

}  // namespace brinvale::core
