// Text columns for the native core: a pandas column of text (Python objects
// or Arrow storage), a NumPy object or unicode array, or a list of strings is
// read into UTF-8 views, and label encoders with an out-of-vocabulary token
// map them to codes with scikit-learn's semantics.  Shared by the workbench
// (its preprocessing pipeline) and the encoder module.
#pragma once

#include "bind.hpp"

#include "brinvale/text.hpp"

#include <optional>
#include <string>
#include <vector>

namespace brinvale::bind {

// How values other than text are read.
enum class NonText {
    Refuse,   // any value that is not a str makes the column unreadable here
    AsText,   // as fillna(...).astype(str) sees them: None, NaN, pd.NA and NaT are
              // missing, Python numbers and booleans become their str() text,
              // anything else makes the column unreadable here
    Missing,  // None, NaN, pd.NA and NaT are missing rows (what isna() finds), any
              // other value that is not a str makes the column unreadable here
};

// The rows of a text column, kept alive with whatever owns their bytes.
struct TextRows {
    std::vector<core::ArrowTextChunk> chunks;
    std::vector<std::string_view> views;
    std::vector<std::uint8_t> missing;
    std::vector<char> arena;       // UTF-8 forms built here
    std::vector<py::object> keep;  // arrays, capsules, texts made by str()

    core::TextColumn column() const { return core::TextColumn{chunks, views, missing}; }
    std::size_t size() const { return column().size(); }
};

// The rows of `values` (a pandas Series or Index of str or object dtype, a
// one-dimensional NumPy object or unicode array, a list or tuple), or nullopt
// when they are of another kind or hold values `mode` does not read.
std::optional<TextRows> read_text_rows(py::handle values, NonText mode);

// Whether some value of a column of Python objects (object dtype, or pandas'
// str dtype with Python storage) is a text ending with `suffix`, read in
// place with the interpreter lock held (a scan too short to be worth a copy
// of the column).  Numbers and missing values have no such text; nullopt for
// other storages or values of other kinds.
std::optional<bool> objects_end_with(py::handle series, char suffix);

// The texts of classes_ as a code table, or nullopt when classes_ is not a
// one-dimensional array of text.  `numpy_unicode` tells whether the classes
// are a fixed-width unicode array (whose comparisons ignore trailing NULs).
std::optional<core::TextCodeTable> text_class_table(py::handle classes, bool &numpy_unicode);

// The out-of-vocabulary token joins classes_ once: when classes_ already
// holds it, its code stays the one it has, call after call.
void append_oov_token(py::handle encoder);

// Codes of LabelEncoderWithOOV.transform for text rows (classes_ already
// holding the token): a text maps to its last position in classes_, an
// unknown text to the token's; a missing row is encoded as `missing_text`.
// nullopt when the classes or the token are not text.
std::optional<py::array_t<std::int64_t>> oov_text_codes(py::handle encoder, const TextRows &rows,
                                                        std::string_view missing_text);

}  // namespace brinvale::bind
