// XGBoost's model buffer: what a pickled Booster holds (`{"Config": ...,
// "Model": ...}`) or a saved model, in UBJSON (XGBoost 2) or JSON text.  The
// library's UBJSON reader copies lengths it reads from the buffer without
// bounds checks, its tree loader indexes parents and categories unchecked,
// and its predictor follows child, feature and group indices as stored (the
// right child is taken to be left + 1).  The buffer is parsed here in full,
// strictly, and every such index is checked before the library sees it.
#include "brinvale/model_eval.hpp"
#include "brinvale/models.hpp"

#include "model_trees.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <unordered_set>

namespace brinvale::core {

namespace {

using detail::parse_int;
using detail::refuse;

constexpr int kMaxDepth = 64;
constexpr std::int64_t kMaxCategory = 1 << 24;  // XGBoost's OutOfRangeCat

struct Value {
    enum class Type { Null, Bool, Int, Float, String, Array, Object, Typed };
    Type type = Type::Null;
    std::int64_t i = 0;
    double f = 0.0;
    bool f32 = false;    // read from a UBJSON float32
    std::string_view s;  // into the buffer, or into the reader's decoded strings
    std::vector<Value> items;
    std::vector<std::pair<std::string_view, Value>> members;
    // A typed UBJSON array stays in the buffer: element marker, big-endian data.
    char elem = 0;
    const std::uint8_t *data = nullptr;
    std::int64_t count = 0;

    const Value *find(std::string_view key) const {
        for (const auto &m : members) {
            if (m.first == key) {
                return &m.second;
            }
        }
        return nullptr;
    }
};

// The keys of one object being read, for refusing a repeated key in time
// linear in the object's size: a short object is searched, a long one hashed.
class KeySet {
  public:
    bool add(const Value &obj, std::string_view key) {
        if (obj.members.size() < kSearched) {
            return obj.find(key) == nullptr;
        }
        if (seen_.empty()) {
            seen_.reserve(obj.members.size() * 2);
            for (const auto &m : obj.members) {
                seen_.insert(m.first);
            }
        }
        return seen_.insert(key).second;
    }

  private:
    static constexpr std::size_t kSearched = 16;
    std::unordered_set<std::string_view> seen_;
};

std::size_t elem_size(char marker) {
    switch (marker) {
    case 'U':
        return 1;
    case 'l':
        return 4;
    case 'd':
        return 4;
    case 'L':
        return 8;
    case 'D':
        return 8;
    default:
        return 0;
    }
}

// ---------------------------------------------------------------- UBJSON

class UbjReader {
  public:
    explicit UbjReader(std::span<const std::uint8_t> buf) : buf_(buf) {}

    Value document() {
        Value v = value(0);
        if (pos_ != buf_.size()) {
            refuse("the XGBoost model has " + std::to_string(buf_.size() - pos_) +
                   " bytes after its end");
        }
        return v;
    }

  private:
    std::span<const std::uint8_t> buf_;
    std::size_t pos_ = 0;

    void need(std::size_t n) {
        if (buf_.size() - pos_ < n) {
            refuse("the XGBoost model is truncated (at byte " + std::to_string(pos_) + ")");
        }
    }
    char next() {
        need(1);
        return static_cast<char>(buf_[pos_++]);
    }
    void expect(char c) {
        if (next() != c) {
            refuse("the XGBoost model is malformed at byte " + std::to_string(pos_ - 1));
        }
    }
    template <typename T>
    T big_endian() {
        need(sizeof(T));
        std::uint8_t bytes[sizeof(T)];
        for (std::size_t k = 0; k < sizeof(T); ++k) {
            bytes[k] = buf_[pos_ + sizeof(T) - 1 - k];
        }
        pos_ += sizeof(T);
        T v;
        std::memcpy(&v, bytes, sizeof(T));
        return v;
    }
    std::int64_t length() {
        expect('L');
        const auto n = big_endian<std::int64_t>();
        if (n < 0 || static_cast<std::uint64_t>(n) > buf_.size()) {
            refuse("the XGBoost model holds a length " + std::to_string(n) +
                   " beyond its own size");
        }
        return n;
    }
    std::string_view text() {
        const auto n = static_cast<std::size_t>(length());
        need(n);
        std::string_view s(reinterpret_cast<const char *>(buf_.data() + pos_), n);
        pos_ += n;
        return s;
    }

    Value value(int depth) {
        if (depth > kMaxDepth) {
            refuse("the XGBoost model nests deeper than " + std::to_string(kMaxDepth) + " levels");
        }
        Value v;
        const char c = next();
        switch (c) {
        case 'Z':
            return v;
        case 'T':
            v.type = Value::Type::Bool;
            v.i = 1;
            return v;
        case 'F':
            v.type = Value::Type::Bool;
            return v;
        case 'i':
            v.type = Value::Type::Int;
            v.i = big_endian<std::int8_t>();
            return v;
        case 'U':
            v.type = Value::Type::Int;
            v.i = big_endian<std::uint8_t>();
            return v;
        case 'I':
            v.type = Value::Type::Int;
            v.i = big_endian<std::int16_t>();
            return v;
        case 'l':
            v.type = Value::Type::Int;
            v.i = big_endian<std::int32_t>();
            return v;
        case 'L':
            v.type = Value::Type::Int;
            v.i = big_endian<std::int64_t>();
            return v;
        case 'C':
            v.type = Value::Type::Int;
            v.i = big_endian<std::int8_t>();
            return v;
        case 'd':
            v.type = Value::Type::Float;
            v.f = big_endian<float>();
            v.f32 = true;
            return v;
        case 'D':
            v.type = Value::Type::Float;
            v.f = big_endian<double>();
            return v;
        case 'S':
            v.type = Value::Type::String;
            v.s = text();
            return v;
        case '{': {
            v.type = Value::Type::Object;
            KeySet keys;
            while (true) {
                need(1);
                if (buf_[pos_] == '}') {
                    ++pos_;
                    return v;
                }
                std::string_view key = text();
                if (!keys.add(v, key)) {
                    refuse("the XGBoost model repeats the key '" + std::string(key.substr(0, 40)) +
                           "'");
                }
                Value item = value(depth + 1);
                v.members.emplace_back(key, std::move(item));
            }
        }
        case '[': {
            need(1);
            if (buf_[pos_] == '$') {
                ++pos_;
                v.type = Value::Type::Typed;
                v.elem = next();
                const std::size_t size = elem_size(v.elem);
                if (size == 0) {
                    refuse("the XGBoost model holds a typed array of an unknown type");
                }
                expect('#');
                v.count = length();
                need(static_cast<std::size_t>(v.count) * size);
                v.data = buf_.data() + pos_;
                pos_ += static_cast<std::size_t>(v.count) * size;
                return v;
            }
            v.type = Value::Type::Array;
            if (buf_[pos_] == '#') {
                ++pos_;
                const std::int64_t n = length();
                for (std::int64_t k = 0; k < n; ++k) {
                    v.items.push_back(value(depth + 1));
                }
                return v;
            }
            while (true) {
                need(1);
                if (buf_[pos_] == ']') {
                    ++pos_;
                    return v;
                }
                v.items.push_back(value(depth + 1));
            }
        }
        default:
            refuse("the XGBoost model holds an unknown value marker at byte " +
                   std::to_string(pos_ - 1));
        }
    }
};

// ---------------------------------------------------------------- JSON text

class JsonReader {
  public:
    explicit JsonReader(std::string_view text) : t_(text) {}
    JsonReader(const JsonReader &) = delete;

    Value document() {
        Value v = value(0);
        skip_space();
        if (pos_ != t_.size()) {
            refuse("the XGBoost model has text after its end");
        }
        return v;
    }

  private:
    std::string_view t_;
    std::size_t pos_ = 0;
    std::deque<std::string> decoded_;  // the strings values point into

    [[noreturn]] void bad() {
        refuse("the XGBoost model's JSON is malformed at character " + std::to_string(pos_));
    }
    void skip_space() {
        while (pos_ < t_.size() &&
               (t_[pos_] == ' ' || t_[pos_] == '\n' || t_[pos_] == '\r' || t_[pos_] == '\t')) {
            ++pos_;
        }
    }
    char peek() {
        skip_space();
        if (pos_ >= t_.size()) {
            bad();
        }
        return t_[pos_];
    }
    void literal(std::string_view word) {
        if (t_.substr(pos_, word.size()) != word) {
            bad();
        }
        pos_ += word.size();
    }
    std::string_view string() {
        if (peek() != '"') {
            bad();
        }
        ++pos_;
        std::string &out = decoded_.emplace_back();
        while (true) {
            if (pos_ >= t_.size()) {
                bad();
            }
            const char c = t_[pos_++];
            if (c == '"') {
                return out;
            }
            if (static_cast<unsigned char>(c) < 0x20) {
                bad();
            }
            if (c != '\\') {
                out += c;
                continue;
            }
            if (pos_ >= t_.size()) {
                bad();
            }
            const char e = t_[pos_++];
            switch (e) {
            case '"':
                out += '"';
                break;
            case '\\':
                out += '\\';
                break;
            case '/':
                out += '/';
                break;
            case 'b':
                out += '\b';
                break;
            case 'f':
                out += '\f';
                break;
            case 'n':
                out += '\n';
                break;
            case 'r':
                out += '\r';
                break;
            case 't':
                out += '\t';
                break;
            case 'u': {
                // Kept as written: only keys and numbers matter here.
                if (pos_ + 4 > t_.size()) {
                    bad();
                }
                for (int k = 0; k < 4; ++k) {
                    if (!std::isxdigit(static_cast<unsigned char>(t_[pos_ + k]))) {
                        bad();
                    }
                }
                out += "\\u";
                out += t_.substr(pos_, 4);
                pos_ += 4;
                break;
            }
            default:
                bad();
            }
        }
    }
    Value number() {
        Value v;
        std::size_t start = pos_;
        if (t_[pos_] == '-' || t_[pos_] == '+') {
            ++pos_;
        }
        if (t_.substr(pos_, 8) == "Infinity") {
            pos_ += 8;
            v.type = Value::Type::Float;
            v.f = t_[start] == '-' ? -INFINITY : INFINITY;
            return v;
        }
        bool is_float = false;
        while (pos_ < t_.size()) {
            const char c = t_[pos_];
            if (c >= '0' && c <= '9') {
                ++pos_;
            } else if (c == '.' || c == 'e' || c == 'E' ||
                       ((c == '-' || c == '+') && (t_[pos_ - 1] == 'e' || t_[pos_ - 1] == 'E'))) {
                is_float = true;
                ++pos_;
            } else {
                break;
            }
        }
        std::string_view token = t_.substr(start, pos_ - start);
        if (!token.empty() && token[0] == '+') {
            token.remove_prefix(1);
        }
        if (!is_float) {
            v.type = Value::Type::Int;
            if (!parse_int<std::int64_t>(token, v.i)) {
                bad();
            }
        } else {
            v.type = Value::Type::Float;
            if (!detail::parse_double(token, v.f)) {
                bad();
            }
        }
        return v;
    }
    Value value(int depth) {
        if (depth > kMaxDepth) {
            refuse("the XGBoost model nests deeper than " + std::to_string(kMaxDepth) + " levels");
        }
        Value v;
        const char c = peek();
        if (c == '{') {
            ++pos_;
            v.type = Value::Type::Object;
            if (peek() == '}') {
                ++pos_;
                return v;
            }
            KeySet keys;
            while (true) {
                std::string_view key = string();
                if (!keys.add(v, key)) {
                    refuse("the XGBoost model repeats the key '" + std::string(key.substr(0, 40)) +
                           "'");
                }
                if (peek() != ':') {
                    bad();
                }
                ++pos_;
                Value item = value(depth + 1);
                v.members.emplace_back(key, std::move(item));
                const char d = peek();
                ++pos_;
                if (d == '}') {
                    return v;
                }
                if (d != ',') {
                    bad();
                }
            }
        }
        if (c == '[') {
            ++pos_;
            v.type = Value::Type::Array;
            if (peek() == ']') {
                ++pos_;
                return v;
            }
            while (true) {
                v.items.push_back(value(depth + 1));
                const char d = peek();
                ++pos_;
                if (d == ']') {
                    return v;
                }
                if (d != ',') {
                    bad();
                }
            }
        }
        if (c == '"') {
            v.type = Value::Type::String;
            v.s = string();
            return v;
        }
        if (c == 't') {
            literal("true");
            v.type = Value::Type::Bool;
            v.i = 1;
            return v;
        }
        if (c == 'f') {
            literal("false");
            v.type = Value::Type::Bool;
            return v;
        }
        if (c == 'n') {
            literal("null");
            return v;
        }
        if (c == 'N') {
            literal("NaN");
            v.type = Value::Type::Float;
            v.f = NAN;
            return v;
        }
        if (c == '-' || c == '+' || c == 'I' || (c >= '0' && c <= '9')) {
            if (c == 'I') {
                literal("Infinity");
                v.type = Value::Type::Float;
                v.f = INFINITY;
                return v;
            }
            return number();
        }
        bad();
    }
};

// ---------------------------------------------------------------- model checks

// Array access over both typed (UBJSON) and generic arrays.
class Array {
  public:
    Array(const Value *v, std::string name) : v_(v), name_(std::move(name)) {}

    std::int64_t size() const {
        return v_->type == Value::Type::Typed ? v_->count
                                              : static_cast<std::int64_t>(v_->items.size());
    }

    // The element as XGBoost's integer accessors read it.
    std::int64_t integer(std::int64_t k) const {
        if (v_->type == Value::Type::Typed) {
            const std::uint8_t *p = v_->data + static_cast<std::size_t>(k) * elem_size(v_->elem);
            switch (v_->elem) {
            case 'U':
                return p[0];
            case 'l':
                return read<std::int32_t>(p);
            case 'L':
                return read<std::int64_t>(p);
            default:
                refuse(name_ + " holds numbers where integers are needed");
            }
        }
        const Value &item = v_->items[static_cast<std::size_t>(k)];
        if (item.type != Value::Type::Int && item.type != Value::Type::Bool) {
            refuse(name_ + " holds a non-integer value");
        }
        return item.i;
    }

    // The element as a float, only where the buffer holds it as one (a typed
    // float32 array, or float32 items): the evaluator reads no value rounded
    // through a text form.
    float float32(std::int64_t k) const {
        if (v_->type == Value::Type::Typed) {
            if (v_->elem != 'd') {
                refuse(name_ + " does not hold float32 values");
            }
            const std::uint8_t *p = v_->data + static_cast<std::size_t>(k) * 4;
            std::uint8_t bytes[4] = {p[3], p[2], p[1], p[0]};
            float v;
            std::memcpy(&v, bytes, 4);
            return v;
        }
        const Value &item = v_->items[static_cast<std::size_t>(k)];
        if (item.type != Value::Type::Float || !item.f32) {
            refuse(name_ + " does not hold float32 values");
        }
        return static_cast<float>(item.f);
    }

  private:
    const Value *v_;
    std::string name_;

    template <typename T>
    static std::int64_t read(const std::uint8_t *p) {
        std::uint8_t bytes[sizeof(T)];
        for (std::size_t k = 0; k < sizeof(T); ++k) {
            bytes[k] = p[sizeof(T) - 1 - k];
        }
        T v;
        std::memcpy(&v, bytes, sizeof(T));
        return static_cast<std::int64_t>(v);
    }
};

const Value &member(const Value &obj, std::string_view key, const std::string &where) {
    if (obj.type != Value::Type::Object) {
        refuse(where + " is not an object");
    }
    const Value *v = obj.find(key);
    if (v == nullptr) {
        refuse(where + " has no '" + std::string(key) + "'");
    }
    return *v;
}

Array array(const Value &obj, std::string_view key, const std::string &where) {
    const Value &v = member(obj, key, where);
    if (v.type != Value::Type::Array && v.type != Value::Type::Typed) {
        refuse(where + "." + std::string(key) + " is not an array");
    }
    return Array(&v, where + "." + std::string(key));
}

// Parameters are stored as text ("29"); absent ones take XGBoost's default.
std::int64_t int_param(const Value &obj, std::string_view key, const std::string &where,
                       std::int64_t fallback, std::int64_t lo, std::int64_t hi) {
    if (obj.type != Value::Type::Object) {
        refuse(where + " is not an object");
    }
    const Value *v = obj.find(key);
    if (v == nullptr) {
        return fallback;
    }
    std::int64_t out = 0;
    if (v->type == Value::Type::Int) {
        out = v->i;
    } else if (v->type != Value::Type::String || !parse_int<std::int64_t>(v->s, out)) {
        refuse(where + "." + std::string(key) + " is not an integer");
    }
    if (out < lo || out > hi) {
        refuse(where + "." + std::string(key) + " = " + std::to_string(out) + " is outside [" +
               std::to_string(lo) + ", " + std::to_string(hi) + "]");
    }
    return out;
}

std::string string_member(const Value &obj, std::string_view key, const std::string &where) {
    const Value &v = member(obj, key, where);
    if (v.type != Value::Type::String) {
        refuse(where + "." + std::string(key) + " is not a string");
    }
    return std::string(v.s);
}

void check_tree(const Value &tree, std::int64_t index, std::int64_t num_feature) {
    const std::string where = "tree " + std::to_string(index);
    const Value &param = member(tree, "tree_param", where);
    const std::int64_t n = int_param(param, "num_nodes", where + ".tree_param", 0, 1,
                                     std::numeric_limits<std::int32_t>::max());
    const std::int64_t num_deleted =
        int_param(param, "num_deleted", where + ".tree_param", 0, 0, n);
    const std::int64_t leaf_vector =
        int_param(param, "size_leaf_vector", where + ".tree_param", 1, 0, 1 << 20);
    const bool multi = leaf_vector > 1;

    auto sized = [&](std::string_view key, std::int64_t expect) {
        Array a = array(tree, key, where);
        if (a.size() != expect) {
            refuse(where + ": " + std::string(key) + " holds " + std::to_string(a.size()) +
                   " values for " + std::to_string(expect));
        }
        return a;
    };
    Array left = sized("left_children", n);
    Array right = sized("right_children", n);
    Array parents = sized("parents", n);
    Array split = sized("split_indices", n);
    sized("split_conditions", n);
    sized("default_left", n);
    sized("base_weights", multi ? n * leaf_vector : n);
    if (!multi) {
        sized("loss_changes", n);
        sized("sum_hessian", n);
    }

    std::vector<std::int64_t> l(static_cast<std::size_t>(n)), r(l), feature(l);
    std::int64_t deleted = 0;
    for (std::int64_t k = 0; k < n; ++k) {
        const auto kk = static_cast<std::size_t>(k);
        l[kk] = left.integer(k);
        r[kk] = right.integer(k);
        feature[kk] = split.integer(k);
        if (static_cast<std::uint32_t>(feature[kk]) == 0xFFFFFFFFu) {
            ++deleted;
        }
        if (k > 0) {
            const std::int64_t p = parents.integer(k);
            if (p < 0 || p >= n) {
                refuse(where + ": node " + std::to_string(k) + " names a parent " +
                       std::to_string(p) + " outside the tree's " + std::to_string(n) + " nodes");
            }
        }
    }
    if (!multi && deleted != num_deleted) {
        refuse(where + " marks " + std::to_string(deleted) + " nodes deleted but declares " +
               std::to_string(num_deleted));
    }

    auto is_leaf = [&](std::int64_t k) { return l[static_cast<std::size_t>(k)] == -1; };
    auto seen = detail::walk_tree(
        n,
        [&](std::int64_t k, int slot) {
            const auto kk = static_cast<std::size_t>(k);
            // The predictor takes left + 1 as the right child.
            if (slot == 1 && r[kk] != l[kk] + 1) {
                refuse(where + ": node " + std::to_string(k) +
                       " does not keep its right child next to its left child");
            }
            return slot == 0 ? l[kk] : r[kk];
        },
        is_leaf, where);
    for (std::int64_t k = 0; k < n; ++k) {
        const auto kk = static_cast<std::size_t>(k);
        const bool is_deleted = static_cast<std::uint32_t>(feature[kk]) == 0xFFFFFFFFu;
        if (seen[kk] && is_deleted) {
            refuse(where + ": deleted node " + std::to_string(k) + " is part of the tree");
        }
        if (!seen[kk] && !is_deleted) {
            refuse(where + ": node " + std::to_string(k) + " is not reached from the root");
        }
        if (seen[kk] && is_leaf(k) && r[kk] != -1) {
            refuse(where + ": leaf " + std::to_string(k) + " has a right child");
        }
        if (seen[kk] && !is_leaf(k)) {
            if (feature[kk] < 0 || feature[kk] >= num_feature) {
                refuse(where + ": node " + std::to_string(k) + " splits on feature " +
                       std::to_string(feature[kk]) + " of a model with " +
                       std::to_string(num_feature) + " features");
            }
            const std::int64_t lk = l[kk];
            if (parents.integer(lk) != k || parents.integer(lk + 1) != k) {
                refuse(where + ": the parents of node " + std::to_string(k) +
                       "'s children do not name it");
            }
        }
    }

    if (tree.find("split_type") == nullptr) {
        return;
    }
    Array split_type = sized("split_type", n);
    Array cat_nodes = array(tree, "categories_nodes", where);
    Array segments = array(tree, "categories_segments", where);
    Array sizes = array(tree, "categories_sizes", where);
    Array categories = array(tree, "categories", where);
    if (segments.size() != cat_nodes.size() || sizes.size() != cat_nodes.size()) {
        refuse(where + ": categories_segments and categories_sizes do not match categories_nodes");
    }
    std::vector<std::uint8_t> categorical(static_cast<std::size_t>(n), 0);
    for (std::int64_t k = 0; k < n; ++k) {
        const std::int64_t t = split_type.integer(k);
        if (t != 0 && t != 1) {
            refuse(where + ": node " + std::to_string(k) + " has an unknown split type");
        }
        categorical[static_cast<std::size_t>(k)] = static_cast<std::uint8_t>(t);
    }
    std::int64_t last = -1;
    std::vector<std::uint8_t> has_set(static_cast<std::size_t>(n), 0);
    for (std::int64_t c = 0; c < cat_nodes.size(); ++c) {
        const std::int64_t node = cat_nodes.integer(c);
        if (node <= last || node >= n) {
            refuse(where + ": categories_nodes must name nodes of the tree in increasing order");
        }
        last = node;
        has_set[static_cast<std::size_t>(node)] = 1;
        const std::int64_t begin = segments.integer(c);
        const std::int64_t size = sizes.integer(c);
        if (begin < 0 || size <= 0 || begin > categories.size() - size) {
            refuse(where + ": the category set of node " + std::to_string(node) +
                   " lies outside the categories array");
        }
        for (std::int64_t j = begin; j < begin + size; ++j) {
            const std::int64_t cat = categories.integer(j);
            if (cat < 0 || cat >= kMaxCategory) {
                refuse(where + ": category " + std::to_string(cat) + " is outside [0, 2^24)");
            }
        }
    }
    for (std::int64_t k = 0; k < n; ++k) {
        const auto kk = static_cast<std::size_t>(k);
        if (seen[kk] && !is_leaf(k) && categorical[kk] != has_set[kk]) {
            refuse(where + ": node " + std::to_string(k) +
                   " and its category set disagree about the split being categorical");
        }
    }
}

XgbSummary check_gbtree(const Value &model, std::int64_t num_feature, std::int64_t groups) {
    XgbSummary out;
    const Value &param = member(model, "gbtree_model_param", "the gbtree model");
    out.num_trees = int_param(param, "num_trees", "gbtree_model_param", 0, 0,
                              std::numeric_limits<std::int32_t>::max());
    int_param(param, "num_parallel_tree", "gbtree_model_param", 1, 1,
              std::numeric_limits<std::int32_t>::max());
    const Value &trees = member(model, "trees", "the gbtree model");
    if (trees.type != Value::Type::Array ||
        static_cast<std::int64_t>(trees.items.size()) != out.num_trees) {
        refuse("the gbtree model lists a number of trees other than its num_trees " +
               std::to_string(out.num_trees));
    }
    Array info = array(model, "tree_info", "the gbtree model");
    if (info.size() != out.num_trees) {
        refuse("tree_info has " + std::to_string(info.size()) + " entries for " +
               std::to_string(out.num_trees) + " trees");
    }
    for (std::int64_t t = 0; t < out.num_trees; ++t) {
        const Value &tree = trees.items[static_cast<std::size_t>(t)];
        const Value &id = member(tree, "id", "tree " + std::to_string(t));
        if (id.type != Value::Type::Int || id.i != t) {
            refuse("tree " + std::to_string(t) + " carries the id of another tree");
        }
        const std::int64_t group = info.integer(t);
        if (group < 0 || group >= groups) {
            refuse("tree " + std::to_string(t) + " adds to output " + std::to_string(group) +
                   " of a model with " + std::to_string(groups) + " outputs");
        }
        check_tree(tree, t, num_feature);
    }
    if (model.find("iteration_indptr") != nullptr) {
        Array indptr = array(model, "iteration_indptr", "the gbtree model");
        std::int64_t prev = 0;
        for (std::int64_t k = 0; k < indptr.size(); ++k) {
            const std::int64_t v = indptr.integer(k);
            if ((k == 0 && v != 0) || v < prev || v > out.num_trees) {
                refuse("iteration_indptr does not step through the trees in order");
            }
            prev = v;
        }
        if (indptr.size() == 0 || prev != out.num_trees) {
            refuse("iteration_indptr does not end at the number of trees");
        }
    }
    return out;
}

XgbSummary check_model(const Value &root) {
    const Value &learner = member(root, "learner", "the XGBoost model");
    const Value &mparam = member(learner, "learner_model_param", "learner");
    const std::int64_t num_feature = int_param(mparam, "num_feature", "learner_model_param", 0, 0,
                                               std::numeric_limits<std::uint32_t>::max());
    const std::int64_t num_class = int_param(mparam, "num_class", "learner_model_param", 0, 0,
                                             std::numeric_limits<std::int32_t>::max());
    const std::int64_t num_target = int_param(mparam, "num_target", "learner_model_param", 1, 1,
                                              std::numeric_limits<std::int32_t>::max());
    const std::int64_t groups = std::max(num_class, num_target);

    const Value &objective = member(learner, "objective", "learner");
    string_member(objective, "name", "learner.objective");
    if (const Value *softmax = objective.find("softmax_multiclass_param")) {
        if (int_param(*softmax, "num_class", "softmax_multiclass_param", num_class, 0,
                      std::numeric_limits<std::int32_t>::max()) != num_class) {
            refuse("the objective's num_class differs from the model's");
        }
    }

    const Value &booster = member(learner, "gradient_booster", "learner");
    const std::string name = string_member(booster, "name", "gradient_booster");
    XgbSummary out;
    if (name == "gbtree") {
        out = check_gbtree(member(booster, "model", "gradient_booster"), num_feature, groups);
    } else if (name == "dart") {
        const Value &inner = member(booster, "gbtree", "gradient_booster");
        out = check_gbtree(member(inner, "model", "gradient_booster.gbtree"), num_feature, groups);
        if (array(booster, "weight_drop", "gradient_booster").size() != out.num_trees) {
            refuse("the dart model's weight_drop does not hold one weight per tree");
        }
    } else if (name == "gblinear") {
        const Value &model = member(booster, "model", "gradient_booster");
        const std::int64_t n = array(model, "weights", "gblinear model").size();
        if (n != (num_feature + 1) * groups) {
            refuse("the linear model holds " + std::to_string(n) + " weights for " +
                   std::to_string(num_feature) + " features and " + std::to_string(groups) +
                   " outputs");
        }
    } else {
        refuse("unknown XGBoost booster '" + name.substr(0, 40) + "'");
    }
    out.booster = name;
    out.num_feature = num_feature;
    out.num_output_group = groups;
    return out;
}

// The configuration a pickled booster is restored with: its thread count
// is what prediction starts.
void check_config(const Value &config) {
    if (config.type != Value::Type::Object) {
        refuse("the XGBoost model's Config is not an object");
    }
    const Value *learner = config.find("learner");
    if (learner == nullptr || learner->type != Value::Type::Object) {
        return;
    }
    if (const Value *generic = learner->find("generic_param")) {
        for (const char *key : {"nthread", "n_jobs"}) {
            int_param(*generic, key, "Config.learner.generic_param", 0, -kMaxModelThreads,
                      kMaxModelThreads);
        }
    }
}

}  // namespace

XgbSummary check_xgboost_model(std::span<const std::uint8_t> buffer) {
    if (buffer.size() < 2 || buffer[0] != '{') {
        refuse("the XGBoost model is in the binary format of XGBoost before 1.0 (or is not a "
               "model); only JSON and UBJSON models are checked and loaded");
    }
    // The library's own test of the second byte: '"' opens a JSON key, a
    // letter the length marker of a UBJSON key.
    Value root;
    JsonReader json(std::string_view(reinterpret_cast<const char *>(buffer.data()), buffer.size()));
    if (buffer[1] == '"') {
        root = json.document();
    } else if (std::isalpha(buffer[1])) {
        root = UbjReader(buffer).document();
    } else {
        refuse("the XGBoost model is neither JSON nor UBJSON");
    }
    const Value *model = root.find("Model");
    if (model != nullptr && model->type != Value::Type::Null) {
        const Value *config = root.find("Config");
        if (config == nullptr) {
            refuse("the XGBoost model has a Model without its Config");
        }
        check_config(*config);
        return check_model(*model);
    }
    return check_model(root);
}

XgbForest parse_xgboost_forest(std::span<const std::uint8_t> buffer) {
    const XgbSummary summary = check_xgboost_model(buffer);
    if (!std::isalpha(buffer[1])) {
        refuse("the XGBoost model is not UBJSON: its float values are read from UBJSON only");
    }
    if (summary.booster != "gbtree") {
        refuse("the " + summary.booster + " booster is not evaluated natively");
    }
    Value root = UbjReader(buffer).document();
    const Value *wrapped = root.find("Model");
    const Value &top = wrapped != nullptr && wrapped->type != Value::Type::Null ? *wrapped : root;
    const Value &learner = member(top, "learner", "the XGBoost model");
    const Value &mparam = member(learner, "learner_model_param", "learner");
    if (int_param(mparam, "num_target", "learner_model_param", 1, 1, 1 << 20) != 1) {
        refuse("models of several targets are not evaluated natively");
    }
    XgbForest f;
    f.num_feature = summary.num_feature;
    f.num_group = static_cast<std::int32_t>(summary.num_output_group);
    if (f.num_group < 1) {
        f.num_group = 1;
    }
    const std::string base = string_member(mparam, "base_score", "learner_model_param");
    // XGBoost writes the float with to_chars and reads it back with from_chars.
    auto [p, ec] = std::from_chars(base.data(), base.data() + base.size(), f.base_score);
    if (ec != std::errc() || p != base.data() + base.size()) {
        refuse("learner_model_param.base_score is not a number");
    }
    f.objective_name =
        string_member(member(learner, "objective", "learner"), "name", "learner.objective");
    const std::string &obj = f.objective_name;
    if (obj == "reg:squarederror" || obj == "reg:squaredlogerror" ||
        obj == "reg:pseudohubererror" || obj == "reg:absoluteerror" || obj == "binary:logitraw") {
        f.objective = XgbForest::Objective::Identity;
        f.base_margin = f.base_score;
    } else if (obj == "binary:logistic" || obj == "reg:logistic") {
        if (!(f.base_score > 0.0f && f.base_score < 1.0f)) {
            refuse("base_score outside (0, 1) for a logistic objective");
        }
        f.objective = XgbForest::Objective::Logistic;
        // RegLossObj<LogisticRegression>::ProbToMargin
        f.base_margin = -logf(1.0f / f.base_score - 1.0f);
    } else if (obj == "multi:softprob") {
        f.objective = XgbForest::Objective::Softprob;
        f.base_margin = f.base_score;
    } else {
        refuse("the objective " + obj.substr(0, 40) + " is not evaluated natively");
    }

    const Value &booster = member(learner, "gradient_booster", "learner");
    const Value &model = member(booster, "model", "gradient_booster");
    const Value &trees = member(model, "trees", "the gbtree model");
    Array info = array(model, "tree_info", "the gbtree model");
    const std::int64_t parallel =
        int_param(member(model, "gbtree_model_param", "the gbtree model"), "num_parallel_tree",
                  "gbtree_model_param", 1, 1, std::numeric_limits<std::int32_t>::max());
    for (std::int64_t t = 0; t < summary.num_trees; ++t) {
        const Value &tree = trees.items[static_cast<std::size_t>(t)];
        const std::string where = "tree " + std::to_string(t);
        const Value &param = member(tree, "tree_param", where);
        if (int_param(param, "size_leaf_vector", where, 1, 0, 1 << 20) > 1) {
            refuse(where + " has vector leaves, which are not evaluated natively");
        }
        const std::int64_t n =
            int_param(param, "num_nodes", where, 0, 1, std::numeric_limits<std::int32_t>::max());
        if (tree.find("split_type") != nullptr) {
            Array types = array(tree, "split_type", where);
            for (std::int64_t k = 0; k < types.size(); ++k) {
                if (types.integer(k) != 0) {
                    refuse(where + " has categorical splits, which are not evaluated natively");
                }
            }
        }
        Array left = array(tree, "left_children", where);
        Array split = array(tree, "split_indices", where);
        Array cond = array(tree, "split_conditions", where);
        Array dleft = array(tree, "default_left", where);
        const auto node0 = static_cast<std::int64_t>(f.nodes.size());
        if (node0 + n > std::numeric_limits<std::int32_t>::max()) {
            refuse("the XGBoost model has too many nodes");
        }
        f.roots.push_back(static_cast<std::int32_t>(node0));
        f.groups.push_back(static_cast<std::int32_t>(info.integer(t)));
        // check_xgboost_model proved every reached node's children and
        // feature in range; unreached (deleted) nodes are made leaves.
        for (std::int64_t k = 0; k < n; ++k) {
            XgbForest::Node nd;
            nd.value = cond.float32(k);
            const std::int64_t l = left.integer(k);
            const auto feature = split.integer(k);
            if (l == -1 || static_cast<std::uint32_t>(feature) == 0xFFFFFFFFu) {
                nd.feature = -1;
            } else {
                nd.feature = static_cast<std::int32_t>(feature);
                nd.left = static_cast<std::int32_t>(node0 + l);
                nd.missing = dleft.integer(k) != 0 ? nd.left : nd.left + 1;
            }
            f.nodes.push_back(nd);
        }
    }
    if (model.find("iteration_indptr") != nullptr) {
        Array indptr = array(model, "iteration_indptr", "the gbtree model");
        for (std::int64_t k = 0; k < indptr.size(); ++k) {
            f.iteration_indptr.push_back(indptr.integer(k));
        }
    } else {
        // GBTreeModel's MakeIndptr for models saved without it.
        std::int64_t groups = 0;
        for (std::int32_t g : f.groups) {
            groups = std::max<std::int64_t>(groups, g + 1);
        }
        const std::int64_t layer = std::max<std::int64_t>(1, parallel * groups);
        f.iteration_indptr.push_back(0);
        for (std::int64_t k = 0; k < summary.num_trees / layer; ++k) {
            f.iteration_indptr.push_back((k + 1) * layer);
        }
    }
    return f;
}

}  // namespace brinvale::core
