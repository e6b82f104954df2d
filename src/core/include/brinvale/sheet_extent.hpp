// How far a workbook sheet's cells reach: the rows and columns a reader that
// lays the sheet out as a grid (pandas' Excel reader pads every row to the
// widest one, and fills missing rows) makes of the cells the sheet holds.
// A few bytes can place one cell a million rows and sixteen thousand columns
// away; the grid, not the file, is what the reader then builds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace brinvale::core {

struct SheetExtent {
    // counts saturate here; an unreadable position counts as this far away
    static constexpr std::uint64_t kUnbounded = std::uint64_t{1} << 40;
    std::uint64_t rows = 0;      // the largest row number of a row or cell
    std::uint64_t columns = 0;   // the largest column number of a cell
    std::uint64_t cells = 0;     // cell elements
    bool doctype = false;        // a document type or entity declaration
    std::uint64_t grid() const;  // rows times columns, saturated
};

// Reads a sheet's XML in pieces of any size, in order, in one pass.  Cell
// positions follow the readers: a cell's `r` reference ("AB12"), or one
// column after the cell before it in its row; a row's `r` number, or one
// after the row before it.  Numbers are read as Python's int() reads them
// and character references are decoded; any other form counts as
// unbounded.  Tags of any namespace prefix are cells (`c`) and rows
// (`row`), wherever they stand.
class SheetScanner {
  public:
    void feed(std::string_view piece);
    SheetExtent finish();

  private:
    static constexpr std::size_t kNameCap = 64;
    static constexpr std::size_t kTagCap = 4096;  // a cell's or row's start tag
    enum class State { text, name, attributes };
    void end_bang();
    void end_tag();
    std::optional<std::string> reference();

    State state_ = State::text;
    std::string tag_;
    bool named_ = false;  // a character of the name was read
    bool bang_ = false;   // "<!": a declaration, a comment or CDATA
    bool cell_ = false;
    bool overlong_ = false;
    std::uint64_t row_ = 0;
    std::uint64_t column_ = 0;
    SheetExtent extent_;
};

SheetExtent sheet_extent(std::string_view xml);

}  // namespace brinvale::core
