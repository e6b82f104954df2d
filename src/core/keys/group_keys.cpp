#include "brinvale/group_keys.hpp"

#include <algorithm>
#include <cstring>
#include <numeric>
#include <limits>
#include <random>

#include "brinvale/wide.hpp"

namespace brinvale::core {

namespace {

using Size = std::size_t;

inline Size at(std::int64_t v) { return static_cast<Size>(v); }

// A seed drawn once per process: hostile keys cannot be made to collide in
// the tables below without knowing it, so coding stays linear in the rows.
std::uint64_t process_seed() {
    static const std::uint64_t seed = [] {
        std::random_device rd;
        return (static_cast<std::uint64_t>(rd()) << 32) ^ rd() ^ 0x9e3779b97f4a7c15ULL;
    }();
    return seed;
}

inline std::uint64_t mix(std::uint64_t k) {
    k ^= k >> 33;
    k *= 0xff51afd7ed558ccdULL;
    k ^= k >> 33;
    k *= 0xc4ceb9fe1a85ec53ULL;
    k ^= k >> 33;
    return k;
}

template <typename T>
inline std::uint64_t load(const char *p) {
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Two words that hold every byte of a value of up to 16 bytes (overlapping
// loads, so no byte past the value is read), and a prefix of longer ones:
// equal lengths and equal words are equal values up to 16 bytes.
struct TextWords {
    std::uint64_t a = 0, b = 0;
    std::size_t size = 0;

    explicit TextWords(std::string_view s) : size(s.size()) {
        const char *p = s.data();
        const Size n = s.size();
        if (n >= 8) {
            a = load<std::uint64_t>(p);
            b = load<std::uint64_t>(p + (n < 16 ? n - 8 : 8));
        } else if (n >= 4) {
            a = load<std::uint32_t>(p);
            b = load<std::uint32_t>(p + n - 4);
        } else if (n > 0) {
            a = static_cast<std::uint64_t>(static_cast<unsigned char>(p[0])) |
                static_cast<std::uint64_t>(static_cast<unsigned char>(p[n / 2])) << 8 |
                static_cast<std::uint64_t>(static_cast<unsigned char>(p[n - 1])) << 16;
        }
    }
    bool operator==(const TextWords &o) const { return a == o.a && b == o.b && size == o.size; }
};

std::uint64_t hash_text(std::string_view s, const TextWords &w, std::uint64_t seed) {
    std::uint64_t h = seed ^ (static_cast<std::uint64_t>(w.size) * 0x9e3779b97f4a7c15ULL);
    h = (h ^ mix(w.a)) * 0x9fb21c651e98df25ULL;
    h ^= mix(w.b + 0x632be59bd9b4e019ULL);
    // longer values: the rest in words, the last one overlapping
    for (Size i = 16; i < s.size(); i += 8) {
        const Size at = i + 8 <= s.size() ? i : s.size() - 8;
        h = (h ^ mix(load<std::uint64_t>(s.data() + at))) * 0x9fb21c651e98df25ULL;
    }
    return mix(h);
}

// Open addressing over codes; `Same(code)` tells whether the code's key is
// the one looked up.  A slot holds code + 1 (0: free) and the key's hash.
class CodeTable {
  public:
    explicit CodeTable(Size expected) {
        Size cap = 16;
        while (cap < 2 * expected) {
            cap *= 2;
        }
        slots_.assign(cap, Slot{});
        mask_ = cap - 1;
    }

    // The code of the key with hash `h`, or `next` after recording it.
    template <typename Same>
    std::int64_t code(std::uint64_t h, std::int64_t next, const Same &same) {
        Size i = static_cast<Size>(h) & mask_;
        while (slots_[i].code_plus_one != 0) {
            const Slot &s = slots_[i];
            if (s.hash == h && same(s.code_plus_one - 1)) {
                return s.code_plus_one - 1;
            }
            i = (i + 1) & mask_;
        }
        slots_[i] = {h, next + 1};
        if (2 * ++used_ > slots_.size()) {
            grow();
        }
        return next;
    }

  private:
    struct Slot {
        std::uint64_t hash = 0;
        std::int64_t code_plus_one = 0;
    };
    void grow() {
        std::vector<Slot> old = std::move(slots_);
        slots_.assign(2 * old.size(), Slot{});
        mask_ = slots_.size() - 1;
        for (const Slot &s : old) {
            if (s.code_plus_one != 0) {
                Size i = static_cast<Size>(s.hash) & mask_;
                while (slots_[i].code_plus_one != 0) {
                    i = (i + 1) & mask_;
                }
                slots_[i] = s;
            }
        }
    }
    std::vector<Slot> slots_;
    Size mask_ = 0;
    Size used_ = 0;
};

// Records a row of code c (first appearance numbering: a new code is `size`).
inline void count_row(KeyCodes &k, std::int64_t c, Size row) {
    if (c == static_cast<std::int64_t>(k.sizes.size())) {
        k.sizes.push_back(0);
        k.first.push_back(static_cast<std::int64_t>(row));
    }
    ++k.sizes[at(c)];
}

inline void count_missing(KeyCodes &k, Size row) {
    if (k.missing++ == 0) {
        k.first_missing = static_cast<std::int64_t>(row);
    }
}

// Codes increase along the rows, pandas' monotonic group ids: -1 first.
bool codes_nondecreasing(std::span<const std::int64_t> codes) {
    std::int64_t bad = 0;
    for (Size i = 1; i < codes.size(); ++i) {
        bad |= static_cast<std::int64_t>(codes[i] < codes[i - 1]);
    }
    return bad == 0;
}

// Renumbers first-appearance codes by `order` (the old codes in their new
// sequence) and carries the summary along.
void renumber(KeyCodes &k, const std::vector<std::int64_t> &order, std::span<std::int64_t> codes) {
    std::vector<std::int64_t> map(order.size());
    std::vector<std::int64_t> sizes(order.size()), first(order.size());
    for (Size r = 0; r < order.size(); ++r) {
        map[at(order[r])] = static_cast<std::int64_t>(r);
        sizes[r] = k.sizes[at(order[r])];
        first[r] = k.first[at(order[r])];
    }
    for (std::int64_t &c : codes) {
        c = c < 0 ? c : map[at(c)];
    }
    k.sizes = std::move(sizes);
    k.first = std::move(first);
    k.nondecreasing = codes_nondecreasing(codes);
}

// The group count, then, when asked, codes renumbered in the order of their
// keys, the missing key's group (`nan_code`, if any) last.
template <class Key>
KeyCodes finish_codes(KeyCodes k, const std::vector<Key> &keys, std::int64_t nan_code, bool sorted,
                      std::span<std::int64_t> codes) {
    k.ngroups = static_cast<std::int64_t>(keys.size());
    if (!sorted) {
        k.nondecreasing = codes_nondecreasing(codes);
        return k;
    }
    std::vector<std::int64_t> order(keys.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&](std::int64_t a, std::int64_t b) {
        if (a == nan_code || b == nan_code) {
            return b == nan_code && a != nan_code;
        }
        return keys[at(a)] < keys[at(b)];
    });
    renumber(k, order, codes);
    return k;
}

BRINVALE_WIDE_LOOP
void minmax(const std::int64_t *x, Size n, std::int64_t &lo, std::int64_t &hi) {
    std::int64_t a = x[0], b = x[0];
    for (Size i = 0; i < n; ++i) {
        a = x[i] < a ? x[i] : a;
        b = x[i] > b ? x[i] : b;
    }
    lo = a;
    hi = b;
}

inline std::uint64_t bits_of(double v) {
    std::uint64_t b = 0;
    std::memcpy(&b, &v, sizeof b);
    return b;
}

}  // namespace

KeyCodes summarize_codes(std::span<const std::int64_t> codes, std::int64_t ngroups) {
    KeyCodes k;
    k.ngroups = ngroups;
    // size and first row of a group side by side: one cache line per row
    // where many groups make the tables larger than the caches
    struct Group {
        std::int64_t size = 0, first = -1;
    };
    std::vector<Group> groups(at(ngroups));
    std::int64_t prev = std::numeric_limits<std::int64_t>::min(), bad = 0;
    for (Size i = 0; i < codes.size(); ++i) {
        const std::int64_t c = codes[i] < ngroups ? codes[i] : -1;
        bad |= static_cast<std::int64_t>(c < prev);
        prev = c;
        if (c < 0) {
            count_missing(k, i);
            continue;
        }
        Group &g = groups[at(c)];
        if (g.size++ == 0) {
            g.first = static_cast<std::int64_t>(i);
        }
    }
    k.sizes.resize(groups.size());
    k.first.resize(groups.size());
    for (Size g = 0; g < groups.size(); ++g) {
        k.sizes[g] = groups[g].size;
        k.first[g] = groups[g].first;
    }
    k.nondecreasing = bad == 0;
    return k;
}

KeyCodes code_keys(std::span<const std::int64_t> x, bool sorted, std::span<std::int64_t> codes) {
    KeyCodes k;
    const Size n = x.size();
    if (n == 0) {
        return k;
    }
    std::int64_t lo = 0, hi = 0;
    minmax(x.data(), n, lo, hi);
    const std::uint64_t width = static_cast<std::uint64_t>(hi) - static_cast<std::uint64_t>(lo) + 1;
    const auto slot = [lo](std::int64_t v) {
        return static_cast<Size>(static_cast<std::uint64_t>(v) - static_cast<std::uint64_t>(lo));
    };
    if (width != 0 && width <= 4 * static_cast<std::uint64_t>(n) + 4096) {
        // A direct table over the range of the keys.
        if (sorted) {
            std::vector<std::int64_t> count(static_cast<Size>(width), 0);
            std::vector<std::int64_t> first_at(static_cast<Size>(width));
            for (Size i = 0; i < n; ++i) {
                const Size s = slot(x[i]);
                if (count[s]++ == 0) {
                    first_at[s] = static_cast<std::int64_t>(i);
                }
            }
            // the slots in key order; `count` becomes the code of each slot
            std::int64_t g = 0;
            for (Size s = 0; s < count.size(); ++s) {
                if (count[s] != 0) {
                    k.sizes.push_back(count[s]);
                    k.first.push_back(first_at[s]);
                    count[s] = g++;
                }
            }
            std::int64_t prev = 0, bad = 0;
            for (Size i = 0; i < n; ++i) {
                const std::int64_t c = count[slot(x[i])];
                bad |= static_cast<std::int64_t>(c < prev);
                prev = c;
                codes[i] = c;
            }
            k.ngroups = g;
            k.nondecreasing = bad == 0;
            return k;
        }
        std::vector<std::int64_t> code_of(static_cast<Size>(width), -1);
        std::int64_t prev = 0, bad = 0;
        for (Size i = 0; i < n; ++i) {
            std::int64_t &c = code_of[slot(x[i])];
            if (c < 0) {
                c = static_cast<std::int64_t>(k.sizes.size());
            }
            count_row(k, c, i);
            bad |= static_cast<std::int64_t>(c < prev);
            prev = c;
            codes[i] = c;
        }
        k.ngroups = static_cast<std::int64_t>(k.sizes.size());
        k.nondecreasing = bad == 0;
        return k;
    }
    const std::uint64_t seed = process_seed();
    CodeTable table(16);
    std::vector<std::int64_t> keys;
    for (Size i = 0; i < n; ++i) {
        const std::int64_t v = x[i];
        const std::int64_t next = static_cast<std::int64_t>(keys.size());
        const std::int64_t c = table.code(mix(static_cast<std::uint64_t>(v) ^ seed), next,
                                          [&](std::int64_t code) { return keys[at(code)] == v; });
        if (c == next) {
            keys.push_back(v);
        }
        count_row(k, c, i);
        codes[i] = c;
    }
    return finish_codes(std::move(k), keys, -1, sorted, codes);
}

KeyCodes code_keys(std::span<const double> x, bool sorted, bool missing_group,
                   std::span<std::int64_t> codes) {
    KeyCodes k;
    const Size n = x.size();
    const std::uint64_t seed = process_seed();
    CodeTable table(16);
    std::vector<double> keys;
    std::int64_t nan_code = -1;
    for (Size i = 0; i < n; ++i) {
        const double v = x[i];
        std::int64_t c;
        if (v != v) {
            if (!missing_group) {
                codes[i] = -1;
                count_missing(k, i);
                continue;
            }
            if (nan_code < 0) {
                nan_code = static_cast<std::int64_t>(keys.size());
                keys.push_back(v);
            }
            c = nan_code;
        } else {
            // +0.0 for -0.0: pandas hashes both zeros as one key
            const std::uint64_t b = bits_of(v + 0.0);
            const std::int64_t next = static_cast<std::int64_t>(keys.size());
            c = table.code(mix(b ^ seed), next, [&](std::int64_t code) {
                return code != nan_code && bits_of(keys[at(code)] + 0.0) == b;
            });
            if (c == next) {
                keys.push_back(v);
            }
        }
        count_row(k, c, i);
        codes[i] = c;
    }
    return finish_codes(std::move(k), keys, nan_code, sorted, codes);
}

KeyCodes code_keys(std::span<const std::string_view> x, bool sorted, bool missing_group,
                   std::span<std::int64_t> codes) {
    KeyCodes k;
    const Size n = x.size();
    const std::uint64_t seed = process_seed();
    CodeTable table(16);
    std::vector<std::string_view> keys;
    std::vector<TextWords> words;  // of every key, compared before its bytes
    std::int64_t nan_code = -1;
    for (Size i = 0; i < n; ++i) {
        const std::string_view v = x[i];
        std::int64_t c;
        if (v.data() == nullptr) {
            if (!missing_group) {
                codes[i] = -1;
                count_missing(k, i);
                continue;
            }
            if (nan_code < 0) {
                nan_code = static_cast<std::int64_t>(keys.size());
                keys.push_back(v);
                words.emplace_back(std::string_view());
            }
            c = nan_code;
        } else {
            const TextWords w(v);
            const std::int64_t next = static_cast<std::int64_t>(keys.size());
            c = table.code(hash_text(v, w, seed), next, [&](std::int64_t code) {
                return code != nan_code && words[at(code)] == w &&
                       (v.size() <= 16 || keys[at(code)] == v);
            });
            if (c == next) {
                keys.push_back(v);
                words.push_back(w);
            }
        }
        count_row(k, c, i);
        codes[i] = c;
    }
    return finish_codes(std::move(k), keys, nan_code, sorted, codes);
}

}  // namespace brinvale::core
