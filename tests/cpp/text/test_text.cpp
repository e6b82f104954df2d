#include "brinvale/text.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

using namespace brinvale::core;

namespace {

struct Rows {
    std::vector<std::string_view> views;
    std::vector<std::uint8_t> missing;
    TextColumn column() const { return TextColumn{{}, views, missing}; }
};

Rows rows(std::initializer_list<const char *> texts) {
    Rows r;
    for (const char *t : texts) {
        r.views.push_back(t == nullptr ? std::string_view() : std::string_view(t));
        r.missing.push_back(t == nullptr ? 1 : 0);
    }
    return r;
}

}  // namespace

TEST(TextCodeTable, LastOccurrenceWins) {
    std::vector<std::string_view> classes{"a", "b", "OOV", "b", "OOV"};
    TextCodeTable table(classes);
    EXPECT_EQ(table.find("a"), 0);
    EXPECT_EQ(table.find("b"), 3);
    EXPECT_EQ(table.find("OOV"), 4);
    EXPECT_EQ(table.find("c"), -1);
    EXPECT_EQ(table.find(""), -1);
    EXPECT_EQ(table.size(), 3u);
}

TEST(TextCodeTable, ManyClassesAndLongTexts) {
    std::vector<std::string> owned;
    for (int i = 0; i < 5000; ++i) {
        owned.push_back("class-" + std::to_string(i) +
                        std::string(static_cast<std::size_t>(i % 40), 'x'));
    }
    std::vector<std::string_view> classes(owned.begin(), owned.end());
    TextCodeTable table(classes);
    for (int i = 0; i < 5000; ++i) {
        ASSERT_EQ(table.find(owned[static_cast<std::size_t>(i)]), i);
    }
    EXPECT_EQ(table.find("class-5000"), -1);
}

TEST(EncodeTexts, MissingRowsUnknownTextsAndFallback) {
    std::vector<std::string_view> classes{"a", "na", "z", "OOV"};
    TextCodeTable table(classes);
    Rows r = rows({"z", nullptr, "q", "a", "a", "q"});
    std::vector<std::int64_t> out(6);
    EncodeOptions with_token;
    with_token.fallback = 3;
    EXPECT_EQ(encode_texts(r.column(), table, with_token, out), -1);
    EXPECT_EQ(out, (std::vector<std::int64_t>{2, 1, 3, 0, 0, 3}));

    EncodeOptions strict;
    EXPECT_EQ(encode_texts(r.column(), table, strict, out), 2);

    // without "na" among the classes a missing row takes the fallback
    std::vector<std::string_view> no_na{"a", "OOV"};
    TextCodeTable small(no_na);
    Rows m = rows({nullptr, "a"});
    std::vector<std::int64_t> two(2);
    EncodeOptions fallback;
    fallback.fallback = 1;
    EXPECT_EQ(encode_texts(m.column(), small, fallback, two), -1);
    EXPECT_EQ(two, (std::vector<std::int64_t>{1, 0}));
}

TEST(EncodeTexts, TrailingNulsAsNumpyUnicode) {
    std::vector<std::string_view> classes{"a", "b"};
    TextCodeTable table(classes);
    std::string a_nul("a\0\0", 3);
    Rows r;
    r.views = {a_nul, "b"};
    r.missing = {0, 0};
    std::vector<std::int64_t> out(2);
    EncodeOptions numpy_like;
    numpy_like.strip_nul = true;
    EXPECT_EQ(encode_texts(r.column(), table, numpy_like, out), -1);
    EXPECT_EQ(out, (std::vector<std::int64_t>{0, 1}));
    EXPECT_EQ(encode_texts(r.column(), table, EncodeOptions{}, out), 0);
}

TEST(ArrowChunks, OffsetsValidityAndSlices) {
    // chunk 1: utf8 "ab", null, "c%", "" ; chunk 2: large_utf8 sliced by one row
    const char data1[] = "abc%";
    std::int32_t off1[] = {0, 2, 2, 4, 4};
    std::uint8_t valid1[] = {0b1101};
    const char data2[] = "skipx%y";
    std::int64_t off2[] = {0, 4, 6, 7};
    std::vector<ArrowTextChunk> chunks(2);
    chunks[0] = {4, 0, valid1, off1, nullptr, data1};
    chunks[1] = {2, 1, nullptr, nullptr, off2, data2};
    TextColumn column{chunks, {}, {}};
    ASSERT_EQ(column.size(), 6u);
    std::vector<std::string> seen;
    column.for_each([&](std::size_t, bool missing, std::string_view t) {
        seen.push_back(missing ? "<NA>" : std::string(t));
    });
    EXPECT_EQ(seen, (std::vector<std::string>{"ab", "<NA>", "c%", "", "x%", "y"}));
    EXPECT_TRUE(any_ends_with(column, '%'));
    std::vector<std::string_view> classes{"y", "ab"};
    TextCodeTable table(classes);
    std::vector<std::int64_t> out(6);
    EncodeOptions options;
    options.fallback = 7;
    encode_texts(column, table, options, out);
    EXPECT_EQ(out, (std::vector<std::int64_t>{1, 7, 7, 7, 7, 0}));
}

TEST(PythonFloat, ReadsWhatFloatReads) {
    struct Case {
        const char *text;
        double value;
    };
    for (const Case &c :
         {Case{"5", 5.0}, Case{" -1.5e3\n", -1500.0}, Case{".5", 0.5}, Case{"5.", 5.0},
          Case{"+0", 0.0}, Case{"1E-2", 0.01}, Case{"INFINITY", INFINITY}, Case{"-inf", -INFINITY},
          Case{"0.1", 0.1}, Case{"123456789012345678901234567890", 1.2345678901234568e29}}) {
        double v = 0.0;
        ASSERT_TRUE(parse_python_float(c.text, v)) << c.text;
        EXPECT_EQ(v, c.value) << c.text;
    }
    double v = 0.0;
    ASSERT_TRUE(parse_python_float("-NaN", v));
    EXPECT_TRUE(std::isnan(v) && std::signbit(v));
    EXPECT_TRUE(std::signbit((parse_python_float("-0", v), v)));
    // left to Python: malformed, underscores, non-ASCII, out of range, NUL
    for (const char *text : {"", " ", "abc", "1e", "e5", ".", "1.2.3", "0x10", "1_000", "nan(1)",
                             "infinit", "1e400", "١٢", "5\x1c", "--1", "1 2"}) {
        EXPECT_FALSE(parse_python_float(text, v)) << text;
    }
    EXPECT_FALSE(parse_python_float(std::string_view("1\0", 2), v));
}

TEST(PercentToFloat, RemovesEverySignAndLeavesTheRestToTheCaller) {
    Rows r = rows({"5%", "12", nullptr, "%1%0%", "abc%", " 7 %"});
    std::vector<double> out(6, -1.0);
    std::vector<std::size_t> undecided = percent_to_float(r.column(), out);
    EXPECT_EQ(undecided, (std::vector<std::size_t>{4}));
    EXPECT_EQ(out[0], 5.0 / 100.0);
    EXPECT_EQ(out[1], 0.12);
    EXPECT_TRUE(std::isnan(out[2]));
    EXPECT_EQ(out[3], 0.1);
    EXPECT_EQ(out[4], -1.0);
    EXPECT_EQ(out[5], 0.07);
    EXPECT_FALSE(any_ends_with(rows({"5", nullptr, "%5"}).column(), '%'));
}

TEST(Utf8, CodeUnitsOfEveryWidth) {
    std::string out;
    const std::uint8_t latin[] = {'a', 0xE9};
    ASSERT_TRUE(append_utf8(out, latin, 1, 2));
    const std::uint16_t bmp[] = {0x4E2D};
    ASSERT_TRUE(append_utf8(out, bmp, 2, 1));
    const std::uint32_t astral[] = {0x1F600};
    ASSERT_TRUE(append_utf8(out, astral, 4, 1));
    EXPECT_EQ(out, "a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80");
    const std::uint16_t lone[] = {0xD800};
    EXPECT_FALSE(append_utf8(out, lone, 2, 1));
}

TEST(IsoDates, DaysSinceTheEpochAndWhatIsLeftToPandas) {
    const Rows ok =
        rows({"1970-01-01", "1969-12-31", "2000-02-29", "2024-12-31", "1678-01-01", "2261-12-31"});
    std::vector<std::int64_t> days(6);
    ASSERT_TRUE(parse_iso_dates(ok.column(), days));
    EXPECT_EQ(days, (std::vector<std::int64_t>{0, -1, 11016, 20088, -106650, 106650}));
    // other forms, impossible dates, missing rows and years beyond the
    // nanosecond range are pandas' to read (or refuse)
    for (const char *bad : {"1900-02-29", "2021-02-30", "2021-13-01", "2021-00-10", "2021-1-01",
                            "2021/01/01", " 2021-01-01", "2021-01-01 ", "1677-12-31", "2262-01-01",
                            "２０２１-01-01", "2021-01-0x"}) {
        const Rows r = rows({"2021-01-01", bad});
        std::vector<std::int64_t> out(2);
        EXPECT_FALSE(parse_iso_dates(r.column(), out)) << bad;
    }
    const Rows missing = rows({"2021-01-01", nullptr});
    std::vector<std::int64_t> out(2);
    EXPECT_FALSE(parse_iso_dates(missing.column(), out));
    std::vector<std::int64_t> short_out(1);
    EXPECT_FALSE(parse_iso_dates(ok.column(), short_out));
}
