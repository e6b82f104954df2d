#include "brinvale/sheet_extent.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

using brinvale::core::sheet_extent;
using brinvale::core::SheetExtent;
using brinvale::core::SheetScanner;

constexpr std::uint64_t kFar = SheetExtent::kUnbounded;

TEST(SheetExtent, GenuineSheetsReachTheirLastCell) {
    const std::string xml =
        "<?xml version=\"1.0\"?><worksheet xmlns=\"x\"><dimension ref=\"A1:B3\"/><sheetData>"
        "<row r=\"1\" spans=\"1:2\"><c r=\"A1\" t=\"s\"><v>0</v></c><c r=\"B1\"><v>1</v></c></row>"
        "<row r=\"3\"><c r=\"B3\" s=\"1\"><v>2.5</v></c></row></sheetData></worksheet>";
    const SheetExtent e = sheet_extent(xml);
    EXPECT_EQ(e.rows, 3u);
    EXPECT_EQ(e.columns, 2u);
    EXPECT_EQ(e.cells, 3u);
    EXPECT_FALSE(e.doctype);
    EXPECT_EQ(e.grid(), 6u);
}

TEST(SheetExtent, PositionsWithoutReferencesFollowTheCellsBefore) {
    // rows and cells without r count on from the ones before, as the readers do
    const SheetExtent e = sheet_extent(
        "<sheetData><row><c/><c><v>1</v></c><c/></row><row><c/></row><row r='9'/></sheetData>");
    EXPECT_EQ(e.rows, 9u);
    EXPECT_EQ(e.columns, 3u);
    EXPECT_EQ(e.cells, 4u);
}

TEST(SheetExtent, FarCellsWhateverTheirSpelling) {
    for (const char *xml : {
             "<row r=\"300\"><c r=\"XFD300\"/></row>",
             "<x:row r=\"300\"><x:c r=\"XFD300\"/></x:row>",
             "<averyveryveryveryveryveryveryveryveryveryveryveryveryveryverylongprefix:c "
             "r=\"XFD300\"/>",
             "<c r=\"$XFD$300\"/>",
             "<c r=\"xfd300\"/>",
             "<c r=\"&#88;FD300\"/>",
             "<c r=\"&#x58;FD300\"/>",
             "<c\n  s=\"1\"\n  r = 'XFD300' />",
         }) {
        const SheetExtent e = sheet_extent(xml);
        EXPECT_EQ(e.columns, 16384u) << xml;
        EXPECT_EQ(e.rows, 300u) << xml;
    }
}

TEST(SheetExtent, RowNumbersAsPythonsIntReadsThem) {
    EXPECT_EQ(sheet_extent("<row r=\" 1_000 \"/>").rows, 1000u);
    EXPECT_EQ(sheet_extent("<row r=\"+12\"/>").rows, 12u);
    EXPECT_EQ(sheet_extent("<row r=\"-5\"/>").rows, 0u);
    EXPECT_EQ(sheet_extent("<row r=\"99999999999999999999999\"/>").rows, kFar);
    // forms a reader takes differently (a float, other scripts' digits,
    // declared entities) are unbounded
    EXPECT_EQ(sheet_extent("<row r=\"1e12\"/>").rows, kFar);
    EXPECT_EQ(sheet_extent("<row r=\"\xd9\xa1\xd9\xa2\"/>").rows, kFar);
    EXPECT_EQ(sheet_extent("<row r=\"&big;\"/>").rows, kFar);
    EXPECT_EQ(sheet_extent("<c r=\"A\xd9\xa1\"/>").rows, kFar);
    EXPECT_EQ(sheet_extent("<c r=\"A1\" foo=\"x>\" />").rows, 1u);
    EXPECT_EQ(sheet_extent("<c foo=\">\" r=\"A1\"/>").rows, kFar);
}

TEST(SheetExtent, DeclarationsAreFound) {
    EXPECT_TRUE(
        sheet_extent("<!DOCTYPE x [<!ENTITY big \"XFD1048576\">]><c r=\"&big;\"/>").doctype);
    EXPECT_TRUE(sheet_extent("<!ENTITY a 'b'>").doctype);
    EXPECT_FALSE(sheet_extent("<!-- a comment --><![CDATA[x]]><c r=\"A1\"/>").doctype);
}

TEST(SheetExtent, PiecesOfAnySizeGiveTheWholeResult) {
    std::string xml = "<?xml version='1.0'?><!DOCTYPE w><ws:worksheet><sheetData>";
    for (int r = 1; r <= 50; ++r) {
        xml += "<row r=\"" + std::to_string(r) + "\"><c r=\"A" + std::to_string(r) +
               "\" t=\"n\"><v>1</v></c><c r=\"C" + std::to_string(r) + "\"/></row>";
    }
    xml += "<row r=\"70\"><ws:c r=\"AA70\"/></row></sheetData></ws:worksheet>";
    const SheetExtent whole = sheet_extent(xml);
    EXPECT_EQ(whole.rows, 70u);
    EXPECT_EQ(whole.columns, 27u);
    EXPECT_EQ(whole.cells, 101u);
    EXPECT_TRUE(whole.doctype);
    for (std::size_t size : {1u, 2u, 3u, 7u, 64u}) {
        SheetScanner scanner;
        for (std::size_t at = 0; at < xml.size(); at += size) {
            scanner.feed(std::string_view(xml).substr(at, size));
        }
        const SheetExtent e = scanner.finish();
        EXPECT_EQ(e.rows, whole.rows) << size;
        EXPECT_EQ(e.columns, whole.columns) << size;
        EXPECT_EQ(e.cells, whole.cells) << size;
        EXPECT_EQ(e.doctype, whole.doctype) << size;
    }
}

TEST(SheetExtent, TagsPastTheirBoundOrCutOffAreUnbounded) {
    const std::string long_tag = "<c " + std::string(10000, ' ') + "r=\"A1\"/>";
    EXPECT_EQ(sheet_extent(long_tag).rows, kFar);
    EXPECT_EQ(sheet_extent("<row r=\"1\"><c r=\"A1\"").rows, kFar);
    // saturation instead of overflow
    const SheetExtent e = sheet_extent("<c r=\"ZZZZZZZZZZZZZZZZZZZZ99999999999999999999999\"/>");
    EXPECT_EQ(e.columns, kFar);
    EXPECT_EQ(e.grid(), kFar);
}

TEST(SheetExtent, ArbitraryBytesInArbitraryPiecesGiveOneResult) {
    // fragments of sheets and stray bytes, glued at random and fed in random
    // pieces: the result never depends on where the pieces are cut (and the
    // sanitizers watch every read)
    const char *fragments[] = {"<",         ">",    "/",   "<c",       "<row",  " r=\"", "\"",
                               "'",         "A",    "XFD", "1048576",  "&#88;", "&",     ";",
                               "<!DOCTYPE", "<!--", "-->", ":",        "<x:c ", "r=",    " ",
                               "\n",        "_",    "$",   "\xd9\xa1", "<c/>"};
    std::mt19937 rng(7);
    for (int round = 0; round < 2000; ++round) {
        std::string xml;
        const int parts = static_cast<int>(rng() % 40);
        for (int k = 0; k < parts; ++k) {
            if (rng() % 5 == 0) {
                xml.push_back(static_cast<char>(rng() % 256));
            } else {
                xml += fragments[rng() % (sizeof fragments / sizeof *fragments)];
            }
        }
        const SheetExtent whole = sheet_extent(xml);
        SheetScanner scanner;
        for (std::size_t at = 0; at < xml.size();) {
            const std::size_t size = 1 + rng() % 9;
            scanner.feed(std::string_view(xml).substr(at, size));
            at += size;
        }
        const SheetExtent e = scanner.finish();
        ASSERT_EQ(e.rows, whole.rows) << xml;
        ASSERT_EQ(e.columns, whole.columns) << xml;
        ASSERT_EQ(e.cells, whole.cells) << xml;
        ASSERT_EQ(e.doctype, whole.doctype) << xml;
        ASSERT_LE(whole.grid(), SheetExtent::kUnbounded);
    }
}

}  // namespace
