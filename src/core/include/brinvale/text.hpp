// Text columns: label codes of texts, the percentage scan and the text to
// float conversion, over UTF-8 views or Arrow string buffers.  The binding
// reads a pandas column (Python objects or Arrow storage) into a TextColumn;
// nothing here touches Python objects.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace brinvale::core {

// One chunk of an Arrow utf8 ("u", 32-bit offsets) or large_utf8 ("U",
// 64-bit offsets) array, as the Arrow C data interface describes it.
struct ArrowTextChunk {
    std::size_t length = 0;
    std::size_t offset = 0;                  // of the first row, in the buffers
    const std::uint8_t *validity = nullptr;  // bit per row, LSB first; null: no missing row
    const std::int32_t *offsets32 = nullptr;
    const std::int64_t *offsets64 = nullptr;
    const char *data = nullptr;
};

// The rows of a text column: either Arrow chunks, or one UTF-8 view per row
// with a missing flag per row.  The buffers are owned by the caller.
struct TextColumn {
    std::span<const ArrowTextChunk> chunks;
    std::span<const std::string_view> views;
    std::span<const std::uint8_t> missing;

    std::size_t size() const {
        if (!chunks.empty()) {
            std::size_t n = 0;
            for (const ArrowTextChunk &c : chunks) {
                n += c.length;
            }
            return n;
        }
        return views.size();
    }

    // f(row, is_missing, text) for every row in order.
    template <typename F>
    void for_each(F &&f) const {
        if (chunks.empty()) {
            for (std::size_t i = 0; i < views.size(); ++i) {
                f(i, missing[i] != 0, views[i]);
            }
            return;
        }
        std::size_t row = 0;
        for (const ArrowTextChunk &c : chunks) {
            for (std::size_t k = 0; k < c.length; ++k, ++row) {
                const std::size_t at = c.offset + k;
                const bool valid =
                    c.validity == nullptr || ((c.validity[at >> 3] >> (at & 7)) & 1) != 0;
                if (!valid) {
                    f(row, true, std::string_view());
                    continue;
                }
                std::int64_t begin = 0;
                std::int64_t end = 0;
                if (c.offsets64 != nullptr) {
                    begin = c.offsets64[at];
                    end = c.offsets64[at + 1];
                } else {
                    begin = c.offsets32[at];
                    end = c.offsets32[at + 1];
                }
                f(row, false,
                  std::string_view(c.data + begin, static_cast<std::size_t>(end - begin)));
            }
        }
    }
};

// Texts to codes: a text maps to the position of its last occurrence among
// the classes (scikit-learn's LabelEncoder builds a dict over classes_, so a
// repeated class keeps its last position).
class TextCodeTable {
  public:
    explicit TextCodeTable(std::span<const std::string_view> classes);

    // The code of a text, or -1.
    std::int64_t find(std::string_view text) const;
    std::size_t size() const { return count_; }

  private:
    struct Slot {
        std::uint64_t hash = 0;
        std::size_t begin = 0;  // into arena_
        std::size_t length = 0;
        std::int64_t code = -1;  // -1: empty slot
    };
    std::string arena_;
    std::vector<Slot> slots_;
    std::uint64_t mask_ = 0;
    std::size_t count_ = 0;
};

std::uint64_t text_hash(std::string_view text);

// NumPy's fixed-width unicode strings drop trailing NUL characters, so a text
// ending in NULs equals the class without them.
std::string_view strip_trailing_nul(std::string_view text);

struct EncodeOptions {
    std::string_view missing_text = "na";  // a missing row encodes as this text
    std::int64_t fallback = -1;            // code of an unknown text; -1: unknown is an error
    bool strip_nul = false;                // compare as NumPy unicode arrays do
};

// out[i] = code of row i.  Returns the first row whose text is unknown (and
// has no fallback), or -1 when every row has a code.
std::int64_t encode_texts(const TextColumn &column, const TextCodeTable &table,
                          const EncodeOptions &options, std::span<std::int64_t> out);

// Whether some row's text ends with `suffix` (missing rows have no text).
bool any_ends_with(const TextColumn &column, char suffix);

// Python's float() of an ASCII text: surrounding whitespace, a sign,
// decimal digits with a point and an exponent, or inf / infinity / nan in any
// case.  False for what this parser does not read exactly (non-ASCII text,
// underscores, values out of double range, malformed text): the caller
// decides those with Python itself.
bool parse_python_float(std::string_view text, double &out);

// The percentage conversion of a text column: every "%" removed, the text
// read as Python's float() reads it, divided by 100; a missing row is the
// text "nan".  Rows the parser leaves to the caller are returned (their
// out[] is untouched), in order.
std::vector<std::size_t> percent_to_float(const TextColumn &column, std::span<double> out);

// Calendar dates written exactly as YYYY-MM-DD (the form pandas' ISO 8601
// reader takes without guessing) as days since 1970-01-01.  False when a row
// is missing, written in any other form, not a real date, or outside the
// years 1678-2261 that every resolution of pandas' datetimes holds: the
// caller leaves such columns to pandas.
bool parse_iso_dates(const TextColumn &column, std::span<std::int64_t> days);

// Appends the UTF-8 form of UCS-1/2/4 code units; false on a lone surrogate.
bool append_utf8(std::string &out, const void *data, int unit_size, std::size_t length);

}  // namespace brinvale::core
