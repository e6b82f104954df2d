#include <gtest/gtest.h>

#include <random>
#include <string>

#include "brinvale/pickle_scan.hpp"

using brinvale::core::kUseCall;
using brinvale::core::kUseNew;
using brinvale::core::kUseValue;
using brinvale::core::pickle_memory_budget;
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
         {std::string("cpandas\nDataFrame\n}b."), std::string("cpandas\nDataFrame\nq\x00h\x00}b."),
          std::string("cpandas\nDataFrame\n2N\x86N\x86"
                      "b."),
          std::string("cpandas\nDataFrame\nNNs."), std::string("cpandas\nDataFrame\nNa."),
          std::string("cpandas\nDataFrame\n(Ne.")}) {
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
                             "(K\x01K\x02l" + "\x85R}b" + "q\x01h\x01\x86.";
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

namespace {

std::string big_int(std::uint64_t v) {  // LONG1, positive
    std::string b;
    do {
        b += static_cast<char>(v & 0xff);
        v >>= 8;
    } while (v != 0);
    if ((static_cast<unsigned char>(b.back()) & 0x80) != 0) {
        b += '\0';
    }
    return "\x8a"s + static_cast<char>(b.size()) + b;
}

// An ndarray as NumPy pickles it: an empty one, then BUILD with its state.
std::string array(const std::string &shape, const std::string &dtype_code,
                  const std::string &data) {
    return "cnumpy._core.multiarray\n_reconstruct\n"s + "cnumpy\nndarray\n" + "K\x00\x85"s +
           "C\x01"
           "b" +
           "\x87R" + "(K\x01" + shape + "cnumpy\ndtype\n" + short_text(dtype_code) +
           "\x89\x88\x87R" + "(K\x03" + short_text("|") + "NNNJ" + "\xff\xff\xff\xff"s + "J" +
           "\xff\xff\xff\xff"s + "K?tb" + "\x89" + data + "tb";
}

}  // namespace

TEST(PickleScan, SizedCallsCountAgainstTheFilesBudget) {
    const std::string small = "\x80\x02"s + "c__builtin__\nbytearray\n" + big_int(1000) + "\x85R.";
    PickleScan ok = scan(small);
    ASSERT_TRUE(ok.ok()) << ok.problem;
    EXPECT_GE(ok.memory, 1000u);
    EXPECT_LE(ok.memory, pickle_memory_budget(small.size()));

    PickleScan big =
        scan("\x80\x02"s + "c__builtin__\nbytearray\n" + big_int(3000000000) + "\x85R.");
    EXPECT_FALSE(big.ok());
    EXPECT_NE(big.problem.find("bytearray of 3000000000 would allocate"), std::string::npos)
        << big.problem;
    // a size past 64 bits, and many medium ones that add up
    EXPECT_FALSE(
        scan("\x80\x02"s + "cbuiltins\nbytes\n\x8a\x09" + std::string(8, '\xff') + "\x01\x85R.")
            .ok());
    std::string many = "\x80\x02](";
    for (int i = 0; i < 100; ++i) {
        many += "cbuiltins\nbytearray\n" + big_int(1 << 20) + "\x85R";
    }
    PickleScan added = scan(many + "e.");
    EXPECT_FALSE(added.ok());
    EXPECT_NE(added.problem.find("bytearray of 1048576"), std::string::npos) << added.problem;
}

TEST(PickleScan, ObjectArrayStatesMatchTheirLists) {
    const std::string three = "K\x03\x85"s;
    const std::string list3 = "](NNNe"s;
    EXPECT_TRUE(scan("\x80\x02"s + array(three, "O8", list3) + ".").ok());
    EXPECT_TRUE(scan("\x80\x02"s + array("K\x00\x85"s, "O8", "]") + ".").ok());
    // bytes for a numeric array (NumPy checks their length itself), also empty
    EXPECT_TRUE(scan("\x80\x02"s +
                     array(three, "i1",
                           "C\x03"
                           "abc") +
                     ".")
                    .ok());
    EXPECT_TRUE(
        scan("\x80\x02"s + array("K\x00K\x08\x86"s, "f8", "cbuiltins\nbytes\n)R") + ".").ok());
    for (const std::string &list : {"]"s, "](NNe"s, "](NNNNe"s}) {
        PickleScan s = scan("\x80\x02"s + array(three, "O8", list) + ".");
        EXPECT_FALSE(s.ok());
        EXPECT_NE(s.problem.find("(3 items) is given a list of"), std::string::npos) << s.problem;
    }
    PickleScan huge = scan("\x80\x02"s + array("J\x00\x84\xd7\x17\x85"s, "O8", "]") + ".");
    EXPECT_FALSE(huge.ok());
    EXPECT_NE(huge.problem.find("shape (400000000,) holds more items"), std::string::npos)
        << huge.problem;
    // a list for a dtype other than the plain object one, contents of a call
    EXPECT_FALSE(scan("\x80\x02"s + array(three, "i8", list3) + ".").ok());
    EXPECT_FALSE(scan("\x80\x02"s + array(three, "O8", "cbuiltins\nset\n)R") + ".").ok());
    // a view _frombuffer made is rebuilt by a state just the same
    EXPECT_FALSE(scan("\x80\x02"s + "cnumpy._core.numeric\n_frombuffer\n(C\x00" +
                      "cnumpy\ndtype\n" + short_text("f8") + "\x89\x88\x87RK\x00\x85" +
                      short_text("C") + "tR" + "(K\x01J\x00\x84\xd7\x17\x85" + "cnumpy\ndtype\n" +
                      short_text("O8") + "\x89\x88\x87R\x89]tb.")
                     .ok());
    // the reconstructor itself is only ever given an empty shape
    EXPECT_FALSE(scan("\x80\x02"s + "cnumpy._core.multiarray\n_reconstruct\ncnumpy\nndarray\n" +
                      "K\x0a\x85"s +
                      "C\x01"
                      "O\x87R.")
                     .ok());
}

TEST(PickleScan, MemoEntriesAreWrittenInOrder) {
    EXPECT_TRUE(scan("\x80\x02Nq\x00Nq\x01Nq\x01h\x01\x87."s).ok());  // rewriting is fine
    PickleScan far = scan("\x80\x02Nr\x00\xc2\xeb\x0b."s);            // LONG_BINPUT 200000000
    EXPECT_FALSE(far.ok());
    EXPECT_NE(far.problem.find("writes memo entry 200000000 when only 0"), std::string::npos)
        << far.problem;
    EXPECT_FALSE(scan("\x80\x02Nq\x00Nq\x02\x86."s).ok());  // a gap
    EXPECT_FALSE(scan("\x80\x02Np5\nN\x86.").ok());         // text PUT alike
}

TEST(PickleScan, CheckingCostsWhatUnpicklingCosts) {
    // DUP after a tuple of long texts: each DUP is one reference, not a copy
    std::string t = "\x80\x04(";
    for (int i = 0; i < 4; ++i) {
        t += "X\xf4\x01\x00\x00"s + std::string(500, 'x');
    }
    t += "t" + std::string(200000, '2') + ".";
    PickleScan dups = scan(t);
    ASSERT_TRUE(dups.ok()) << dups.problem;
    EXPECT_LT(dups.memory, 16 * t.size());
    // small containers that add up: a set is 216 bytes from one opcode byte
    std::string sets = "\x80\x04](" + std::string(3000000, '\x8f') + "e.";
    PickleScan bomb = scan(sets);
    EXPECT_FALSE(bomb.ok());
    EXPECT_NE(bomb.problem.find("building its objects would take more than"), std::string::npos)
        << bomb.problem;
    // a frame longer than what follows it
    EXPECT_FALSE(scan("\x80\x04\x95\x00\x00\x00\x00\x00\x00\x00\x40N."s).ok());
}
