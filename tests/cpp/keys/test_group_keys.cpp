#include "brinvale/group_columns.hpp"
#include "brinvale/group_keys.hpp"
#include "brinvale/groupstats.hpp"
#include "brinvale/stats.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <string_view>
#include <vector>

using namespace brinvale::core;

namespace {

// Codes and summary of keys by an ordered map: first appearance or key order.
template <typename K>
struct Expected {
    std::vector<std::int64_t> codes, sizes, first;
};

template <typename K>
Expected<K> reference(const std::vector<K> &keys, bool sorted) {
    std::map<K, std::int64_t> seen;  // key -> first-appearance code
    std::vector<K> order;
    for (const K &k : keys) {
        if (seen.emplace(k, static_cast<std::int64_t>(order.size())).second) {
            order.push_back(k);
        }
    }
    std::vector<std::int64_t> renum(order.size());
    if (sorted) {
        std::int64_t r = 0;
        for (auto &[k, c] : seen) {
            renum[static_cast<std::size_t>(c)] = r++;
        }
    } else {
        for (std::size_t c = 0; c < renum.size(); ++c) {
            renum[c] = static_cast<std::int64_t>(c);
        }
    }
    Expected<K> e;
    e.sizes.assign(order.size(), 0);
    e.first.assign(order.size(), -1);
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const std::int64_t c = renum[static_cast<std::size_t>(seen[keys[i]])];
        e.codes.push_back(c);
        if (e.sizes[static_cast<std::size_t>(c)]++ == 0) {
            e.first[static_cast<std::size_t>(c)] = static_cast<std::int64_t>(i);
        }
    }
    return e;
}

bool nondecreasing_ref(const std::vector<std::int64_t> &c) {
    for (std::size_t i = 1; i < c.size(); ++i) {
        if (c[i] < c[i - 1]) {
            return false;
        }
    }
    return true;
}

template <typename K>
void expect_summary(const KeyCodes &k, const std::vector<std::int64_t> &codes,
                    const Expected<K> &e) {
    EXPECT_EQ(codes, e.codes);
    EXPECT_EQ(k.ngroups, static_cast<std::int64_t>(e.sizes.size()));
    EXPECT_EQ(k.sizes, e.sizes);
    EXPECT_EQ(k.first, e.first);
    EXPECT_EQ(k.missing, 0);
    EXPECT_EQ(k.nondecreasing, nondecreasing_ref(codes));
}

std::uint64_t bits(double v) {
    std::uint64_t b = 0;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

}  // namespace

TEST(GroupKeys, IntegersDirectAndHashedLikeAnOrderedMap) {
    std::mt19937_64 rng(7);
    // ranges that take the direct table, one past it, and extremes
    for (std::int64_t spread :
         std::vector<std::int64_t>{3, 1000, std::int64_t{1} << 40, INT64_MAX}) {
        for (std::size_t n : std::vector<std::size_t>{1, 2, 17, 5000}) {
            std::vector<std::int64_t> keys(n);
            for (auto &v : keys) {
                v = static_cast<std::int64_t>(rng() % static_cast<std::uint64_t>(spread)) -
                    spread / 2;
            }
            for (bool sorted : {false, true}) {
                std::vector<std::int64_t> codes(n, -7);
                KeyCodes k = code_keys(std::span<const std::int64_t>(keys), sorted, codes);
                expect_summary(k, codes, reference(keys, sorted));
            }
        }
    }
    std::vector<std::int64_t> sorted_keys{-5, -5, 0, 3, 3, 3, 90};
    std::vector<std::int64_t> codes(sorted_keys.size());
    EXPECT_TRUE(code_keys(std::span<const std::int64_t>(sorted_keys), true, codes).nondecreasing);
    std::vector<std::int64_t> none;
    EXPECT_EQ(code_keys(std::span<const std::int64_t>(none), true, none).ngroups, 0);
}

TEST(GroupKeys, FloatsHavePandasEqualityAndMissingKeys) {
    std::vector<double> x{2.5, -0.0, NAN, 0.0, 2.5, -NAN, -1};
    std::vector<std::int64_t> codes(x.size());
    KeyCodes k = code_keys(std::span<const double>(x), false, false, codes);
    EXPECT_EQ(codes, (std::vector<std::int64_t>{0, 1, -1, 1, 0, -1, 2}));
    EXPECT_EQ(k.sizes, (std::vector<std::int64_t>{2, 2, 1}));
    EXPECT_EQ(k.missing, 2);
    EXPECT_EQ(k.first_missing, 2);
    EXPECT_FALSE(k.nondecreasing);
    // missing keys as a group: where they first appear, or last when sorted
    k = code_keys(std::span<const double>(x), false, true, codes);
    EXPECT_EQ(codes, (std::vector<std::int64_t>{0, 1, 2, 1, 0, 2, 3}));
    EXPECT_EQ(k.missing, 0);
    k = code_keys(std::span<const double>(x), true, true, codes);
    EXPECT_EQ(codes, (std::vector<std::int64_t>{2, 1, 3, 1, 2, 3, 0}));
    EXPECT_EQ(k.first, (std::vector<std::int64_t>{6, 1, 0, 2}));
    k = code_keys(std::span<const double>(x), true, false, codes);
    EXPECT_EQ(codes, (std::vector<std::int64_t>{2, 1, -1, 1, 2, -1, 0}));
    EXPECT_EQ(k.ngroups, 3);

    std::mt19937_64 rng(3);
    std::vector<double> y(3000);
    for (double &v : y) {
        v = static_cast<double>(rng() % 200) / 8 - 10;
    }
    codes.assign(y.size(), 0);
    for (bool sorted : {false, true}) {
        k = code_keys(std::span<const double>(y), sorted, false, codes);
        expect_summary(k, codes, reference(y, sorted));
    }
}

TEST(GroupKeys, TextComparedByAllItsBytes) {
    // values sharing their first 16 bytes, or their first and last 8, or
    // differing only in length; empty text and missing values
    const std::string long_a = "abcdefghijklmnopQ", long_b = "abcdefghijklmnopR";
    const std::string mid_a = "abcdefgh12345678wxyz", mid_b = "abcdefgh87654321wxyz";
    std::vector<std::string> store{long_a,
                                   long_b,
                                   mid_a,
                                   mid_b,
                                   "ab",
                                   "aab",
                                   "a",
                                   "",
                                   "é",
                                   "z",
                                   "ab",
                                   long_b,
                                   "abc",
                                   "abcd",
                                   "abcde",
                                   "abcdefghijklmno",
                                   "abcdefghijklmnop",
                                   std::string("a\0b", 3),
                                   std::string("a\0c", 3)};
    std::vector<std::string_view> views(store.begin(), store.end());
    for (bool sorted : {false, true}) {
        std::vector<std::int64_t> codes(views.size());
        KeyCodes k = code_keys(std::span<const std::string_view>(views), sorted, false, codes);
        expect_summary(k, codes, reference(store, sorted));
    }
    // sorted text in the order of its code points: "z" before "é"
    std::vector<std::string_view> two{"é", "z"};
    std::vector<std::int64_t> c(2);
    code_keys(std::span<const std::string_view>(two), true, false, c);
    EXPECT_EQ(c, (std::vector<std::int64_t>{1, 0}));

    std::vector<std::string_view> with_missing{"b", std::string_view(), "a",
                                               "",  std::string_view(), "b"};
    std::vector<std::int64_t> codes(with_missing.size());
    KeyCodes k = code_keys(std::span<const std::string_view>(with_missing), false, false, codes);
    EXPECT_EQ(codes, (std::vector<std::int64_t>{0, -1, 1, 2, -1, 0}));
    EXPECT_EQ(k.missing, 2);
    EXPECT_EQ(k.first_missing, 1);
    k = code_keys(std::span<const std::string_view>(with_missing), true, true, codes);
    EXPECT_EQ(codes, (std::vector<std::int64_t>{2, 3, 1, 0, 3, 2}));
    EXPECT_EQ(k.sizes, (std::vector<std::int64_t>{1, 1, 2, 2}));

    // many distinct values force the table to grow
    std::vector<std::string> many;
    for (int i = 0; i < 4000; ++i) {
        many.push_back("key-" + std::to_string(i * 7919 % 1000) + std::string(i % 23, 'x'));
    }
    std::vector<std::string_view> mv(many.begin(), many.end());
    codes.assign(mv.size(), 0);
    k = code_keys(std::span<const std::string_view>(mv), true, false, codes);
    expect_summary(k, codes, reference(many, true));
}

TEST(GroupKeys, SummaryOfCodesMadeElsewhere) {
    std::vector<std::int64_t> codes{1, -1, 1, 0, 5, 0};
    KeyCodes k = summarize_codes(codes, 2);
    EXPECT_EQ(k.sizes, (std::vector<std::int64_t>{2, 2}));
    EXPECT_EQ(k.first, (std::vector<std::int64_t>{3, 0}));
    EXPECT_EQ(k.missing, 2);  // the code past the groups counts as no key
    EXPECT_EQ(k.first_missing, 1);
    EXPECT_FALSE(k.nondecreasing);
    std::vector<std::int64_t> runs{-1, -1, 0, 0, 1};
    EXPECT_TRUE(summarize_codes(runs, 2).nondecreasing);
}

TEST(GroupColumns, FeatureColumnIsMappedStandardisedAndFilledColumn) {
    // against the column built row by row: mapped, z-scored, median-filled
    std::mt19937_64 rng(11);
    for (int trial = 0; trial < 200; ++trial) {
        const std::size_t groups = 1 + rng() % 6;
        const std::size_t n = 1 + rng() % (trial < 150 ? 40 : 700);
        std::vector<double> table(groups);
        for (double &v : table) {
            const auto r = rng() % 10;
            v = r == 0 ? NAN : r == 1 ? -0.0 : static_cast<double>(rng() % 1000) / 7 - 60;
        }
        std::vector<std::int64_t> codes(n);
        for (auto &c : codes) {
            const auto r = rng() % 12;
            c = r == 0   ? -1
                : r == 1 ? static_cast<std::int64_t>(groups + 2)
                         : static_cast<std::int64_t>(rng() % groups);
        }
        for (bool standardize : {false, true}) {
            for (bool fill : {false, true}) {
                std::vector<double> want(n);
                map_groups(table, codes, want);
                if (standardize) {
                    standardize_inplace(want);
                }
                bool want_missing = false;
                for (double v : want) {
                    want_missing = want_missing || std::isnan(v);
                }
                if (fill && want_missing) {
                    const double m = column_median(want);
                    if (!std::isnan(m)) {
                        fill_missing(want, m);
                        want_missing = false;
                    }
                }
                std::vector<double> got(n);
                const bool missing = group_feature_column(table, codes, standardize, fill, got);
                ASSERT_EQ(missing, want_missing) << trial;
                for (std::size_t i = 0; i < n; ++i) {
                    ASSERT_EQ(std::isnan(got[i]), std::isnan(want[i])) << trial << " row " << i;
                    if (!std::isnan(want[i])) {
                        ASSERT_EQ(bits(got[i]), bits(want[i])) << trial << " row " << i;
                    }
                }
            }
        }
    }
}

TEST(GroupColumns, MediansOfRepeatedValuesAndIntegerMapping) {
    // the median of {1, 1, 1, 4, 9 x2} and of an odd count; zeros come out +0.0
    EXPECT_EQ(
        repeated_median(std::vector<double>{9, 1, NAN, 4}, std::vector<std::int64_t>{2, 3, 5, 1}),
        column_median(std::vector<double>{9, 9, 1, 1, 1, 4}));
    EXPECT_EQ(repeated_median(std::vector<double>{2, 5}, std::vector<std::int64_t>{1, 2}), 5);
    EXPECT_FALSE(
        std::signbit(repeated_median(std::vector<double>{-0.0}, std::vector<std::int64_t>{2})));
    EXPECT_TRUE(
        std::isnan(repeated_median(std::vector<double>{NAN, 3}, std::vector<std::int64_t>{4, 0})));

    std::vector<double> table{3, NAN, 8};
    EXPECT_FALSE(maps_to_missing(table, std::vector<std::int64_t>{0, 2, 2}));
    EXPECT_TRUE(maps_to_missing(table, std::vector<std::int64_t>{0, 1}));
    EXPECT_TRUE(maps_to_missing(table, std::vector<std::int64_t>{0, -1}));
    EXPECT_TRUE(maps_to_missing(table, std::vector<std::int64_t>{3}));
    std::vector<std::int64_t> out(3);
    map_groups_int(table, std::vector<std::int64_t>{2, 0, 2}, out);
    EXPECT_EQ(out, (std::vector<std::int64_t>{8, 3, 8}));
}

TEST(GroupKeys, DenseRankOfSparseAndWideCodes) {
    // codes spread over a range 64 times the rows (the bitmap) and far
    // beyond it: each code becomes the rank of its value among those present
    std::mt19937_64 rng(5);
    for (std::uint64_t spread :
         {std::uint64_t{100}, std::uint64_t{64 * 3000}, std::uint64_t{1} << 50}) {
        std::vector<std::int64_t> codes(3000);
        for (auto &c : codes) {
            c = rng() % 9 == 0 ? -1 : static_cast<std::int64_t>(rng() % spread);
        }
        std::map<std::int64_t, std::int64_t> rank;
        for (std::int64_t c : codes) {
            if (c >= 0) {
                rank[c] = 0;
            }
        }
        std::int64_t r = 0;
        for (auto &[c, v] : rank) {
            v = r++;
        }
        std::vector<std::int64_t> want(codes.size());
        for (std::size_t i = 0; i < codes.size(); ++i) {
            want[i] = codes[i] < 0 ? -1 : rank[codes[i]];
        }
        EXPECT_EQ(dense_rank(codes), r);
        EXPECT_EQ(codes, want);
    }
    std::vector<std::int64_t> none{-1, -1};
    EXPECT_EQ(dense_rank(none), 0);
    std::vector<std::int64_t> edge{63, 64, 0, 127, 64};
    EXPECT_EQ(dense_rank(edge), 4);
    EXPECT_EQ(edge, (std::vector<std::int64_t>{1, 2, 0, 3, 2}));
}

TEST(GroupColumns, LargeTablesGiveTheSameColumn) {
    // a table past the cached size goes another way to the same doubles
    std::mt19937_64 rng(13);
    const std::size_t groups = 40000, n = 90000;
    std::vector<double> table(groups);
    for (double &v : table) {
        v = rng() % 50 == 0 ? NAN : static_cast<double>(rng() % 100000) / 3;
    }
    std::vector<std::int64_t> codes(n);
    for (auto &c : codes) {
        c = rng() % 100 == 0 ? -1 : static_cast<std::int64_t>(rng() % groups);
    }
    std::vector<double> large_way(n);
    const bool m1 = group_feature_column(table, codes, true, true, large_way);
    std::vector<double> want(n);
    map_groups(table, codes, want);
    standardize_inplace(want);
    fill_missing(want, column_median(want));
    EXPECT_FALSE(m1);
    for (std::size_t i = 0; i < n; ++i) {
        ASSERT_EQ(bits(large_way[i]), bits(want[i])) << i;
    }
}
