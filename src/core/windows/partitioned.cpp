#include "brinvale/partitioned.hpp"

#include <algorithm>
#include <cstring>
#include <map>
#include <stdexcept>
#include <utility>

#include "brinvale/stats.hpp"

namespace brinvale::core {

namespace {

using U64 = std::uint64_t;

constexpr U64 kBlock = 128;  // NumPy's PW_BLOCKSIZE

// The two halves of a node of the summation tree, as pairwise_blocks splits it.
inline U64 left_length(U64 n) {
    U64 n2 = n / 2;
    return n2 - n2 % 8;
}

double block_sum(const double *a, U64 n) {
    return pairwise_blocks([](std::size_t, std::size_t) {}, [a](std::size_t i) { return a[i]; }, 0,
                           static_cast<std::size_t>(n));
}

void collect(std::span<const double> values, U64 lo, U64 hi, U64 s, U64 n, PairwisePieces &out) {
    const U64 e = s + n;
    if (e <= lo || s >= hi) {
        return;
    }
    if (s >= lo && e <= hi) {
        out.nodes.push_back({s, n, block_sum(values.data() + (s - lo), n)});
        return;
    }
    if (n <= kBlock) {
        const U64 a = std::max(s, lo), b = std::min(e, hi);
        PairwiseFragment f;
        f.block_start = s;
        f.block_length = n;
        f.start = a;
        f.values.assign(values.begin() + static_cast<std::ptrdiff_t>(a - lo),
                        values.begin() + static_cast<std::ptrdiff_t>(b - lo));
        out.fragments.push_back(std::move(f));
        return;
    }
    const U64 n2 = left_length(n);
    collect(values, lo, hi, s, n2, out);
    collect(values, lo, hi, s + n2, n - n2, out);
}

double combine(const std::map<std::pair<U64, U64>, double> &known, U64 s, U64 n) {
    const auto it = known.find({s, n});
    if (it != known.end()) {
        return it->second;
    }
    if (n <= kBlock) {
        throw std::invalid_argument("the pieces of a pairwise sum do not cover the column");
    }
    const U64 n2 = left_length(n);
    return combine(known, s, n2) + combine(known, s + n2, n - n2);
}

}  // namespace

PairwisePieces pairwise_pieces(std::span<const double> values, std::uint64_t offset,
                               std::uint64_t total) {
    if (offset + values.size() > total) {
        throw std::invalid_argument("a part reaches past the end of its column");
    }
    PairwisePieces out;
    if (!values.empty()) {
        collect(values, offset, offset + values.size(), 0, total, out);
    }
    return out;
}

double pairwise_total(std::uint64_t total, std::span<const PairwiseNode> nodes,
                      std::span<const PairwiseFragment> fragments) {
    if (total == 0) {
        return 0.0 + block_sum(nullptr, 0);
    }
    std::map<std::pair<U64, U64>, double> known;
    for (const PairwiseNode &n : nodes) {
        known[{n.start, n.length}] = n.sum;
    }
    // Blocks cut between parts: their values in position order, then summed
    // as one block.
    std::map<std::pair<U64, U64>, std::vector<const PairwiseFragment *>> blocks;
    for (const PairwiseFragment &f : fragments) {
        blocks[{f.block_start, f.block_length}].push_back(&f);
    }
    for (auto &[key, parts] : blocks) {
        std::sort(parts.begin(), parts.end(),
                  [](const PairwiseFragment *a, const PairwiseFragment *b) {
                      return a->start < b->start;
                  });
        std::vector<double> joined;
        joined.reserve(static_cast<std::size_t>(key.second));
        U64 next = key.first;
        for (const PairwiseFragment *p : parts) {
            if (p->start != next) {
                throw std::invalid_argument("the pieces of a pairwise sum do not cover the column");
            }
            joined.insert(joined.end(), p->values.begin(), p->values.end());
            next += p->values.size();
        }
        if (next != key.first + key.second) {
            throw std::invalid_argument("the pieces of a pairwise sum do not cover the column");
        }
        known[key] = block_sum(joined.data(), key.second);
    }
    return 0.0 + combine(known, 0, total);
}

std::uint64_t order_key(double v) {
    U64 bits = 0;
    std::memcpy(&bits, &v, sizeof bits);
    // negative values: all bits flipped; others: the sign bit set
    return (bits >> 63) != 0 ? ~bits : bits | (U64{1} << 63);
}

double key_value(std::uint64_t key) {
    const U64 bits = (key >> 63) != 0 ? key & ~(U64{1} << 63) : ~key;
    double v = 0.0;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

namespace {

inline bool has_prefix(U64 key, int level, U64 prefix) {
    return level == 0 || (key >> (64 - 16 * level)) == prefix;
}

inline std::uint16_t digit(U64 key, int level) {
    return static_cast<std::uint16_t>((key >> (48 - 16 * level)) & 0xffffu);
}

}  // namespace

DigitCounts digit_counts(std::span<const double> x, int level, std::uint64_t prefix) {
    if (level < 0 || level > 3) {
        throw std::invalid_argument("a key has four 16-bit digits");
    }
    std::vector<std::int64_t> dense(65536, 0);
    for (double v : x) {
        if (v != v) {
            continue;
        }
        const U64 k = order_key(v);
        if (has_prefix(k, level, prefix)) {
            ++dense[digit(k, level)];
        }
    }
    DigitCounts out;
    for (std::size_t d = 0; d < dense.size(); ++d) {
        if (dense[d] != 0) {
            out.digits.push_back(static_cast<std::uint16_t>(d));
            out.counts.push_back(dense[d]);
        }
    }
    return out;
}

std::vector<double> values_with_prefix(std::span<const double> x, int level, std::uint64_t prefix) {
    if (level < 0 || level > 4) {
        throw std::invalid_argument("a key has four 16-bit digits");
    }
    std::vector<double> out;
    for (double v : x) {
        if (v == v &&
            (level == 4 ? order_key(v) == prefix : has_prefix(order_key(v), level, prefix))) {
            out.push_back(v);
        }
    }
    return out;
}

void standardize_with(std::span<double> values, double mean, double std) {
    for (double &v : values) {
        v = (v - mean) / std;
    }
}

}  // namespace brinvale::core
