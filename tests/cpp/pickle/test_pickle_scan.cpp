#include <gtest/gtest.h>

#include <random>
#include <string>

#include "brinvale/pickle_scan.hpp"

using brinvale::core::kUseCall;
using brinvale::core::kUseNew;
using brinvale::core::kUseValue;
using brinvale::core::PickleScan;
using brinvale::core::scan_pickle;

using namespace std::string_literals;

namespace {

PickleScan scan(const std::string &bytes) {
    return scan_pickle({reinterpret_cast<const unsigned char *>(bytes.data()), bytes.size()});
}

std::string short_text(const std::string &s) {
    return std::string("\x8c") + static_cast<char>(s.size()) + s;
}

}  // namespace

TEST(PickleScan, GlobalsAndHowTheyAreUsed) {
    // protocol 2: REDUCE of a class, NEWOBJ of another, a third kept in a tuple
    const std::string p = std::string("\x80\x02") + "cpandas\nIndex\n)R" +
                          "cnumpy\nndarray\n)\x81" + "cnumpy\ndtype\n\x85" + "\x87.";
    PickleScan s = scan(p);
    ASSERT_TRUE(s.ok()) << s.problem;
    EXPECT_EQ(s.protocol, 2);
    ASSERT_EQ(s.globals.size(), 3u);
    EXPECT_EQ(s.globals[0].module, "pandas");
    EXPECT_EQ(s.globals[0].uses, kUseCall);
    EXPECT_EQ(s.globals[1].uses, kUseNew);
    EXPECT_EQ(s.globals[2].uses, kUseValue);
}

TEST(PickleScan, StackGlobalThroughMemo) {
    // module text memoised, read back for a second STACK_GLOBAL
    const std::string p = std::string("\x80\x04") + short_text("flaml.automl.model") + "\x94" +
                          short_text("LGBMEstimator") + "\x93" + "h\x00"s + short_text("Other") +
                          "\x93" + "\x86.";
    PickleScan s = scan(p);
    ASSERT_TRUE(s.ok()) << s.problem;
    ASSERT_EQ(s.globals.size(), 2u);
    EXPECT_EQ(s.globals[0].name, "LGBMEstimator");
    EXPECT_EQ(s.globals[1].module, "flaml.automl.model");
    EXPECT_EQ(s.globals[1].name, "Other");
}

TEST(PickleScan, GetattrStandsForTheQualifiedName) {
    // getattr(Float, "_Uniform") instantiated with NEWOBJ
    const std::string p = std::string("\x80\x02") + "cbuiltins\ngetattr\n" +
                          "cflaml.tune.sample\nFloat\n" + "X\x08\x00\x00\x00_Uniform"s +
                          "\x86R)\x81.";
    PickleScan s = scan(p);
    ASSERT_TRUE(s.ok()) << s.problem;
    ASSERT_EQ(s.getattrs.size(), 1u);
    EXPECT_EQ(s.getattrs[0].attribute, "_Uniform");
    ASSERT_EQ(s.globals.size(), 3u);
    EXPECT_EQ(s.globals[2].name, "Float._Uniform");
    EXPECT_EQ(s.globals[2].uses, kUseNew);
    EXPECT_EQ(s.globals[0].uses, kUseCall);
}

TEST(PickleScan, CopyregReconstructorsInstantiate) {
    const std::string p =
        std::string("\x80\x02") + "ccopy_reg\n__newobj__\n" + "cpandas\nDataFrame\n\x85R.";
    PickleScan s = scan(p);
    ASSERT_TRUE(s.ok()) << s.problem;
    EXPECT_EQ(s.globals[1].uses, kUseValue | kUseNew);
}

TEST(PickleScan, RefusesChangingAClass) {
    // BUILD, SETITEM, APPEND on a global, also through the memo or DUP
    for (const std::string &body :
         {std::string("cpandas\nDataFrame\n}b."), std::string("cpandas\nDataFrame\nq\x01h\x01}b."),
          std::string("cpandas\nDataFrame\n2N\x86N\x86b."), std::string("cpandas\nDataFrame\nNNs."),
          std::string("cpandas\nDataFrame\nNa."), std::string("cpandas\nDataFrame\n(Ne.")}) {
        PickleScan s = scan(std::string("\x80\x02") + body);
        EXPECT_FALSE(s.ok()) << body;
    }
    // ... while building state on what a call returned is how objects load
    EXPECT_TRUE(scan("\x80\x02"
                     "cpandas\nDataFrame\n)\x81}b.")
                    .ok());
}

TEST(PickleScan, RefusesCallingWhatItBuilt) {
    // calling the result of a call, or a computed name
    EXPECT_FALSE(scan("\x80\x02"
                      "cfunctools\npartial\n)R)R.")
                     .ok());
    EXPECT_FALSE(scan("\x80\x04"
                      "cbuiltins\nstr\n)R"
                      "\x8c\x01x\x93.")
                     .ok());
    // getattr of an object built while unpickling
    EXPECT_FALSE(scan("\x80\x02"
                      "cbuiltins\ngetattr\n"
                      "cpandas\nDataFrame\n)R"
                      "\x8c\x06to_csv\x86R.")
                     .ok());
}

TEST(PickleScan, RefusesOutsideFeatures) {
    EXPECT_FALSE(scan("\x80\x02"
                      "Pid\n.")
                     .ok());  // persistent id
    EXPECT_FALSE(scan("\x80\x02"
                      "\x82\x01.")
                     .ok());  // extension registry
    EXPECT_FALSE(scan("\x80\x05"
                      "\x97.")
                     .ok());  // out-of-band buffer
    EXPECT_FALSE(scan("\x80\x06"
                      "N.")
                     .ok());  // unknown protocol
    EXPECT_FALSE(scan("\x80\x02"
                      "\xff.")
                     .ok());  // unknown opcode
}

TEST(PickleScan, MalformedStreams) {
    EXPECT_FALSE(scan("").ok());
    EXPECT_FALSE(scan("\x80\x02").ok());  // no STOP
    EXPECT_FALSE(scan("\x80\x02"
                      "X\xff\xff\xff\x7f"
                      "ab.")
                     .ok());  // length past the end
    EXPECT_FALSE(scan("\x80\x02"
                      "h\x05.")
                     .ok());  // memo never written
    EXPECT_FALSE(scan("\x80\x02"
                      ".")
                     .ok());  // empty stack
    EXPECT_FALSE(scan("\x80\x02"
                      "(N\x86.")
                     .ok());  // below the mark
    EXPECT_FALSE(scan("\x80\x02"
                      "t.")
                     .ok());  // no mark
    EXPECT_FALSE(scan("\x80\x02"
                      "cpandas\n")
                     .ok());  // name cut short
    PickleScan s = scan("\x80\x02"
                        "N\x8b\xff\xff\xff\xff.");  // negative LONG4
    EXPECT_FALSE(s.ok());
    EXPECT_EQ(s.offset, 3u);
}

TEST(PickleScan, StopsAtTheFirstStop) {
    PickleScan s = scan("\x80\x02N.\xff\xff garbage");
    EXPECT_TRUE(s.ok()) << s.problem;
}

// Random and mutated streams never crash the scanner (run under ASan/UBSan).
TEST(PickleScan, RandomBytes) {
    std::mt19937 rng(12345);
    const std::string seed = "\x80\x04\x95\x10\x00\x00\x00\x00\x00\x00\x00"s +
                             short_text("pandas") + "\x94" + short_text("Index") + "\x93" +
                             "(K\x01K\x02l" + "\x85R}b" + "q\x03h\x03\x86.";
    std::uniform_int_distribution<int> byte(0, 255);
    for (int round = 0; round < 20000; ++round) {
        std::string p = seed;
        const int edits = 1 + round % 6;
        for (int e = 0; e < edits; ++e) {
            const std::size_t at = static_cast<std::size_t>(rng()) % p.size();
            switch (rng() % 3) {
            case 0:
                p[at] = static_cast<char>(byte(rng));
                break;
            case 1:
                p.insert(p.begin() + static_cast<std::ptrdiff_t>(at), static_cast<char>(byte(rng)));
                break;
            default:
                p.erase(p.begin() + static_cast<std::ptrdiff_t>(at));
                break;
            }
            if (p.empty())
                p = "N";
        }
        (void)scan(p);
    }
    for (int round = 0; round < 5000; ++round) {
        std::string p(static_cast<std::size_t>(rng() % 64), '\0');
        for (char &c : p)
            c = static_cast<char>(byte(rng));
        (void)scan(p);
    }
}
