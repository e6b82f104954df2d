#include "brinvale/hashing.hpp"

#include <cmath>
#include <functional>
#include <stdexcept>
#include <string>
#include <unordered_set>

namespace brinvale::core {

namespace {

// -0.0 == 0.0 must hash alike.
double canonical(double v) { return v == 0.0 ? 0.0 : v; }

struct KeyHash {
    std::size_t operator()(const ValueKey &k) const noexcept {
        switch (k.kind) {
        case ValueKey::Kind::Number:
            return std::hash<double>{}(canonical(k.number)) * 3u + 1u;
        case ValueKey::Kind::Text:
            return std::hash<std::string_view>{}(k.text) * 3u + 2u;
        case ValueKey::Kind::None:
            break;
        }
        return 0;
    }
};

struct KeyEqual {
    bool operator()(const ValueKey &a, const ValueKey &b) const noexcept {
        if (a.kind != b.kind) {
            return false;
        }
        switch (a.kind) {
        case ValueKey::Kind::Number:
            return a.number == b.number;
        case ValueKey::Kind::Text:
            return a.text == b.text;
        case ValueKey::Kind::None:
            break;
        }
        return true;
    }
};

void check_sizes(std::size_t values, std::size_t out) {
    if (values != out) {
        throw std::invalid_argument("member_mask: output length differs from input length");
    }
}

}  // namespace

void member_mask(std::span<const ValueKey> known, std::span<const ValueKey> values,
                 std::span<std::uint8_t> out) {
    check_sizes(values.size(), out.size());
    std::unordered_set<ValueKey, KeyHash, KeyEqual> table;
    table.reserve(known.size() * 2 + 1);
    for (const ValueKey &k : known) {
        if (k.kind == ValueKey::Kind::Number && std::isnan(k.number)) {
            continue;
        }
        table.insert(k);
    }
    for (std::size_t i = 0; i < values.size(); ++i) {
        const ValueKey &v = values[i];
        const bool nan = v.kind == ValueKey::Kind::Number && std::isnan(v.number);
        out[i] = (!nan && table.find(v) != table.end()) ? 1 : 0;
    }
}

void member_mask(std::span<const double> known, std::span<const double> values,
                 std::span<std::uint8_t> out) {
    check_sizes(values.size(), out.size());
    std::unordered_set<double> table;
    table.reserve(known.size() * 2 + 1);
    for (double k : known) {
        if (!std::isnan(k)) {
            table.insert(canonical(k));
        }
    }
    for (std::size_t i = 0; i < values.size(); ++i) {
        const double v = values[i];
        out[i] = (!std::isnan(v) && table.count(canonical(v)) != 0) ? 1 : 0;
    }
}

}  // namespace brinvale::core
