// An abstract run of the unpickler's stack machine (CPython's Modules/_pickle.c
// is the reference for stack, mark and memo behaviour).  Values are only
// tracked as far as the checks need them: short texts (module and attribute
// names), small integers, globals, tuples (the arguments of getattr, of
// copyreg's reconstructors and of sized calls, array shapes), list lengths,
// arrays and dtypes.  A value is a small handle into pools, so that DUP and
// the memo copy eight bytes whatever they refer to, and a list or array
// reached through the memo is the same one the stack holds.
//
// Alongside, the memory that unpickling would take is estimated from what
// each opcode builds (CPython's object sizes, rounded up) and from the sizes
// that sized calls are given; it may not pass pickle_memory_budget.
#include "brinvale/pickle_scan.hpp"

#include <cstring>
#include <limits>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace brinvale::core {

namespace {

constexpr std::size_t kNameLimit = 512;  // longer texts are never names
constexpr std::size_t kTupleItems = 64;  // items of a tuple kept (NumPy's most dimensions)

// Rough CPython 3.11 sizes of what the unpickler creates, in bytes.
constexpr std::uint64_t kSlot = 8;  // a reference in a list, tuple, memo or the stack
constexpr std::uint64_t kIntCost = 32;
constexpr std::uint64_t kFloatCost = 24;
constexpr std::uint64_t kTextCost = 56;  // plus the text
constexpr std::uint64_t kTupleCost = 48;
constexpr std::uint64_t kListCost = 56;
constexpr std::uint64_t kDictCost = 64;
constexpr std::uint64_t kDictEntry = 48;
constexpr std::uint64_t kSetCost = 216;
constexpr std::uint64_t kSetEntry = 32;
constexpr std::uint64_t kObjectCost = 64;  // whatever a call or NEWOBJ returns

struct Val {
    enum Kind : std::uint8_t {
        Other,
        None,
        Str,      // ref: texts_
        LongStr,  // a text or bytes too long to be a name (a buffer's contents)
        Bytes,
        Global,  // ref: global index
        Int,     // ref: ints_
        BigInt,  // past 64 bits
        Tuple,   // ref: tuples_
        List,    // ref: lists_ (its length, shared by every handle)
        Array,   // an ndarray from numpy's reconstructor or _frombuffer
        DType,   // a numpy.dtype call; ref: dtypes_
    };
    Kind kind = Other;
    std::uint32_t ref = 0;
};

struct TupleInfo {
    std::uint64_t size = 0;
    std::uint32_t first = 0;  // into items_
    std::uint32_t kept = 0;
};

struct DTypeInfo {
    bool object = false;  // "O8"/"O4": one reference per item, pickled as a list
    bool plain = true;    // no fields, sub-array or size set by its state
};

struct Failure {
    std::string what;
};

// A call whose argument at `index` is a count of `unit` bytes it allocates.
struct SizedCall {
    std::string_view module, old_module, name;
    std::size_t index;
    std::uint64_t unit;
    std::string_view what;
};
constexpr SizedCall kSizedCalls[] = {
    {"builtins", "__builtin__", "bytearray", 0, 1, "bytearray"},
    {"builtins", "__builtin__", "bytes", 0, 1, "bytes"},
    {"sklearn.tree._tree", "sklearn.tree._tree", "Tree", 2, 8, "a tree's outputs"},
};

std::string number(std::uint64_t v) { return std::to_string(v); }

class Scanner {
  public:
    explicit Scanner(std::span<const unsigned char> data)
        : data_(data), budget_(pickle_memory_budget(data.size())) {
        texts_.emplace_back();
        ints_.push_back(0);
        tuples_.emplace_back();
        lists_.push_back(0);
        dtypes_.emplace_back();
    }

    PickleScan run() {
        try {
            loop();
        } catch (const Failure &f) {
            result_.problem = f.what;
            result_.offset = op_at_;
        }
        return std::move(result_);
    }

  private:
    std::span<const unsigned char> data_;
    std::uint64_t budget_;
    std::size_t pos_ = 0;
    std::size_t op_at_ = 0;
    std::vector<Val> stack_;
    std::vector<std::size_t> marks_;
    std::vector<Val> memo_;  // dense: a genuine pickler numbers its memo entries 0, 1, 2, ...
    std::unordered_map<std::string, std::size_t> index_;  // "module\nname" -> global
    std::vector<std::string> texts_;
    std::vector<std::int64_t> ints_;
    std::vector<TupleInfo> tuples_;
    std::vector<Val> items_;
    std::vector<std::uint64_t> lists_;
    std::vector<DTypeInfo> dtypes_;
    PickleScan result_;

    [[noreturn]] static void fail(std::string what) { throw Failure{std::move(what)}; }

    // ---- memory -------------------------------------------------------------

    std::string beyond() const {
        return "more than a pickle of " + number(data_.size()) + " bytes can justify (at most " +
               number(budget_) + " bytes for everything it builds)";
    }
    void charge(std::uint64_t bytes) {
        if (bytes > budget_ - result_.memory) {
            fail("building its objects would take more than " + number(budget_) +
                 " bytes of memory, " + beyond());
        }
        result_.memory += bytes;
    }
    // One allocation a call or a state asks for, named in the refusal.
    void charge(std::uint64_t count, std::uint64_t unit, const std::string &what) {
        if (count > (budget_ - result_.memory) / unit) {
            fail(what + " would allocate " +
                 (count > std::numeric_limits<std::uint64_t>::max() / unit
                      ? number(count) + " times " + number(unit)
                      : number(count * unit)) +
                 " bytes, " + beyond());
        }
        result_.memory += count * unit;
    }

    // ---- reading ------------------------------------------------------------

    std::span<const unsigned char> take(std::uint64_t n) {
        if (n > data_.size() - pos_) {
            fail("the pickle ends in the middle of an opcode");
        }
        auto s = data_.subspan(pos_, static_cast<std::size_t>(n));
        pos_ += static_cast<std::size_t>(n);
        return s;
    }
    std::uint64_t le(std::size_t bytes) {
        auto s = take(bytes);
        std::uint64_t v = 0;
        for (std::size_t i = bytes; i-- > 0;) {
            v = (v << 8) | s[i];
        }
        return v;
    }
    std::string_view line() {
        const std::size_t start = pos_;
        while (pos_ < data_.size() && data_[pos_] != '\n') {
            ++pos_;
        }
        if (pos_ == data_.size()) {
            fail("the pickle ends in the middle of an opcode");
        }
        ++pos_;
        return {reinterpret_cast<const char *>(data_.data()) + start, pos_ - start - 1};
    }
    std::uint64_t decimal(std::string_view s) {
        std::uint64_t v = 0;
        if (s.empty()) {
            fail("a memo index is not a number");
        }
        for (char c : s) {
            if (c < '0' || c > '9' || v > std::numeric_limits<std::uint64_t>::max() / 10 - 9) {
                fail("a memo index is not a number");
            }
            v = v * 10 + static_cast<std::uint64_t>(c - '0');
        }
        return v;
    }

    // ---- values -------------------------------------------------------------

    template <typename Pool>
    std::uint32_t next_ref(const Pool &pool) {
        if (pool.size() >= std::numeric_limits<std::uint32_t>::max()) {
            fail("the pickle holds too many values");
        }
        return static_cast<std::uint32_t>(pool.size());
    }
    Val make(Val::Kind kind, std::uint32_t ref = 0) {
        Val v;
        v.kind = kind;
        v.ref = ref;
        return v;
    }

    std::size_t fence() const { return marks_.empty() ? 0 : marks_.back(); }
    Val pop() {
        if (stack_.size() <= fence()) {
            fail("the pickle's stack underflows");
        }
        Val v = stack_.back();
        stack_.pop_back();
        return v;
    }
    Val &top() {
        if (stack_.size() <= fence()) {
            fail("the pickle's stack underflows");
        }
        return stack_.back();
    }
    std::vector<Val> pop_mark() {
        if (marks_.empty()) {
            fail("the pickle has no mark where one is needed");
        }
        const std::size_t k = marks_.back();
        marks_.pop_back();
        std::vector<Val> items(stack_.begin() + static_cast<std::ptrdiff_t>(k), stack_.end());
        stack_.resize(k);
        return items;
    }

    // A value placed into a container, a tuple or an object's state.
    void consume(const Val &v) {
        if (v.kind == Val::Global) {
            result_.globals[v.ref].uses |= kUseValue;
        }
    }
    Val tuple(const std::vector<Val> &items) {
        if (items.empty()) {
            return make(Val::Tuple, 0);  // the empty tuple is a singleton
        }
        charge(kTupleCost + kSlot * items.size());
        TupleInfo t;
        t.size = items.size();
        t.first = next_ref(items_);
        for (const Val &v : items) {
            consume(v);
        }
        t.kept = static_cast<std::uint32_t>(std::min(items.size(), kTupleItems));
        items_.insert(items_.end(), items.begin(), items.begin() + t.kept);
        const std::uint32_t ref = next_ref(tuples_);
        tuples_.push_back(t);
        return make(Val::Tuple, ref);
    }
    const TupleInfo *tuple_of(const Val &v) const {
        return v.kind == Val::Tuple ? &tuples_[v.ref] : nullptr;
    }
    // Item i of a tuple, Other when not kept.
    Val item(const Val &v, std::size_t i) const {
        const TupleInfo *t = tuple_of(v);
        return t != nullptr && i < t->kept ? items_[t->first + i] : Val{};
    }
    std::size_t size_of(const Val &v) const {
        const TupleInfo *t = tuple_of(v);
        return t != nullptr ? static_cast<std::size_t>(t->size) : 0;
    }
    const std::string *text_of(const Val &v) const {
        return v.kind == Val::Str ? &texts_[v.ref] : nullptr;
    }
    void push_text(std::span<const unsigned char> s, bool is_text = true) {
        charge(kTextCost + s.size());
        if (is_text && s.size() <= kNameLimit) {
            const std::uint32_t ref = next_ref(texts_);
            texts_.emplace_back(reinterpret_cast<const char *>(s.data()), s.size());
            stack_.push_back(make(Val::Str, ref));
        } else {
            stack_.push_back(make(Val::LongStr));
        }
    }
    void push_bytes(std::uint64_t n) {
        take(n);
        charge(kTextCost + n);
        stack_.push_back(make(Val::Bytes));
    }
    void push_int(std::int64_t v) {
        charge(kIntCost);
        const std::uint32_t ref = next_ref(ints_);
        ints_.push_back(v);
        stack_.push_back(make(Val::Int, ref));
    }
    // LONG1/LONG4: little-endian two's complement.
    void push_long(std::span<const unsigned char> s) {
        if (s.size() > 8) {
            charge(kIntCost + s.size());
            stack_.push_back(make(Val::BigInt));
            return;
        }
        std::uint64_t u = 0;
        for (std::size_t i = s.size(); i-- > 0;) {
            u = (u << 8) | s[i];
        }
        if (!s.empty() && s.size() < 8 && (s.back() & 0x80) != 0) {
            u |= ~std::uint64_t{0} << (8 * s.size());  // sign extension
        }
        push_int(static_cast<std::int64_t>(u));
    }
    // INT and LONG as text ("I01\n" and "I00\n" are True and False).
    void push_decimal(std::string_view s) {
        if (!s.empty() && s.back() == 'L') {
            s.remove_suffix(1);
        }
        bool negative = false;
        if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
            negative = s[0] == '-';
            s.remove_prefix(1);
        }
        std::uint64_t v = 0;
        bool big = s.empty();
        for (char c : s) {
            if (c < '0' || c > '9' || v > (std::uint64_t{1} << 62)) {
                big = true;
                break;
            }
            v = v * 10 + static_cast<std::uint64_t>(c - '0');
        }
        if (big) {
            charge(kIntCost + s.size());
            stack_.push_back(make(Val::BigInt));
            return;
        }
        push_int(negative ? -static_cast<std::int64_t>(v) : static_cast<std::int64_t>(v));
    }

    std::size_t add_global(std::string module, std::string name) {
        std::string key = module + '\n' + name;
        auto it = index_.find(key);
        if (it != index_.end()) {
            return it->second;
        }
        const std::size_t g = result_.globals.size();
        result_.globals.push_back(PickleGlobal{std::move(module), std::move(name), 0});
        index_.emplace(std::move(key), g);
        return g;
    }
    void push_global(std::size_t g) {
        if (g >= std::numeric_limits<std::uint32_t>::max()) {
            fail("the pickle names too many globals");
        }
        stack_.push_back(make(Val::Global, static_cast<std::uint32_t>(g)));
    }
    bool is(const Val &v, std::string_view module, std::string_view old_module,
            std::string_view name) const {
        if (v.kind != Val::Global) {
            return false;
        }
        const PickleGlobal &g = result_.globals[v.ref];
        return (g.module == module || g.module == old_module) && g.name == name;
    }

    // Appending, setting items, adding or building state on a class or a
    // function would change it for every later user in the process.
    void mutate_target() {
        const Val &t = top();
        if (t.kind == Val::Global) {
            const PickleGlobal &g = result_.globals[t.ref];
            fail("the pickle changes the global '" + g.module + "." + g.name +
                 "' instead of an object it built");
        }
    }

    // ---- arrays ---------------------------------------------------------------

    std::string shape_text(const Val &shape) const {
        std::string s = "(";
        for (std::size_t i = 0; i < size_of(shape); ++i) {
            const Val d = item(shape, i);
            s += i > 0 ? ", " : "";
            s += d.kind == Val::Int ? std::to_string(ints_[d.ref]) : "?";
        }
        return s + (size_of(shape) == 1 ? ",)" : ")");
    }
    // The number of items of an array shape, which must be a tuple of
    // non-negative integers; beyond the file's size it is refused.
    std::uint64_t items_of(const Val &shape, const char *whose) {
        const TupleInfo *t = tuple_of(shape);
        if (shape.kind != Val::Tuple || (t != nullptr && t->kept < t->size)) {
            fail(std::string(whose) + " is not a tuple of dimensions");
        }
        std::uint64_t n = 1;
        bool overflow = false;
        for (std::size_t i = 0; i < size_of(shape); ++i) {
            const Val d = item(shape, i);
            if (d.kind != Val::Int || ints_[d.ref] < 0) {
                fail(std::string(whose) + " " + shape_text(shape) +
                     " is not a tuple of dimensions");
            }
            const auto k = static_cast<std::uint64_t>(ints_[d.ref]);
            if (k != 0 && n > std::numeric_limits<std::uint64_t>::max() / k) {
                overflow = true;
            }
            n *= k;
        }
        if (n == 0) {
            return 0;
        }
        if (overflow || n > data_.size()) {
            fail(std::string(whose) + " " + shape_text(shape) +
                 " holds more items than a pickle of " + number(data_.size()) +
                 " bytes can describe");
        }
        return n;
    }

    // ndarray.__setstate__((version,) shape, dtype, is_fortran, data): NumPy
    // allocates the whole shape before it reads an object array's list, and
    // reads as many list items as the shape has, whatever the list's length.
    void build_array(const Val &state) {
        const std::size_t n = size_of(state);
        if (state.kind != Val::Tuple || (n != 4 && n != 5)) {
            fail("an array's state is not the tuple NumPy writes");
        }
        const std::size_t at = n == 5 ? 1 : 0;
        const Val shape = item(state, at);
        const Val dtype = item(state, at + 1);
        const Val data = item(state, at + 3);
        const std::uint64_t count = items_of(shape, "an array's shape");
        if (data.kind == Val::List) {
            if (dtype.kind != Val::DType || !dtypes_[dtype.ref].object ||
                !dtypes_[dtype.ref].plain) {
                fail("an array of shape " + shape_text(shape) +
                     " has its items as a list but not the object dtype");
            }
            const std::uint64_t listed = lists_[data.ref];
            if (listed != count) {
                fail("an object array of shape " + shape_text(shape) + " (" + number(count) +
                     " items) is given a list of " + number(listed) + " items");
            }
            charge(count, kSlot, "an object array of shape " + shape_text(shape));
        } else if (count > 0 && data.kind != Val::Bytes && data.kind != Val::LongStr &&
                   data.kind != Val::Str) {
            // NumPy checks the length of bytes against the shape itself
            fail("an array of shape " + shape_text(shape) +
                 " has contents that are neither bytes nor a list of its items");
        }
    }

    // dtype.__setstate__: only the state of a plain dtype leaves it as its
    // constructor made it.
    void build_dtype(const Val &state) {
        DTypeInfo &d = dtypes_[top().ref];
        if (state.kind != Val::Tuple || size_of(state) < 5) {
            d.plain = false;
            return;
        }
        for (std::size_t i = 2; i < 5; ++i) {
            if (item(state, i).kind != Val::None) {
                d.plain = false;
            }
        }
        const Val elsize = item(state, 5);
        if (size_of(state) > 5 && (elsize.kind != Val::Int || ints_[elsize.ref] != -1)) {
            d.plain = false;
        }
    }

    // ---- calls ---------------------------------------------------------------

    void call(Val callable, const Val &args, bool init) {
        if (callable.kind != Val::Global) {
            fail("the pickle calls an object it built instead of a named global");
        }
        result_.globals[callable.ref].uses |= init ? kUseCall : kUseNew;
        charge(kObjectCost);
        Val out;
        for (const SizedCall &c : kSizedCalls) {
            if (!is(callable, c.module, c.old_module, c.name)) {
                continue;
            }
            const Val size = item(args, c.index);
            if (size.kind == Val::BigInt) {
                fail(std::string(c.what) + " of a size past 64 bits is refused");
            }
            if (size.kind == Val::Int && ints_[size.ref] > 0) {
                const auto k = static_cast<std::uint64_t>(ints_[size.ref]);
                charge(k, c.unit, std::string(c.what) + " of " + number(k));
            }
        }
        if (is(callable, "builtins", "__builtin__", "getattr")) {
            // Protocols before 4 reach nested classes and class methods this
            // way: the result is judged like the qualified name it stands for.
            const Val owner = item(args, 0);
            const std::string *attribute = text_of(item(args, 1));
            if (args.kind != Val::Tuple || size_of(args) != 2 || owner.kind != Val::Global ||
                attribute == nullptr) {
                fail("the pickle looks up an attribute of an object it built");
            }
            result_.getattrs.push_back(PickleGetattr{owner.ref, *attribute});
            const PickleGlobal &g = result_.globals[owner.ref];
            std::string module = g.module;
            std::string name = g.name + "." + *attribute;
            const std::size_t found = add_global(std::move(module), std::move(name));
            push_global(found);
            return;
        }
        if (is(callable, "copyreg", "copy_reg", "__newobj__") ||
            is(callable, "copyreg", "copy_reg", "__newobj_ex__") ||
            is(callable, "copyreg", "copy_reg", "_reconstructor")) {
            const Val cls = item(args, 0);
            if (cls.kind == Val::Global) {
                result_.globals[cls.ref].uses |= kUseNew;
            }
            // _reconstructor(cls, base, state) runs base.__init__ on the object
            const Val base = item(args, 1);
            if (is(callable, "copyreg", "copy_reg", "_reconstructor") && base.kind == Val::Global) {
                result_.globals[base.ref].uses |= kUseCall;
            }
        } else if (is(callable, "numpy._core.multiarray", "numpy.core.multiarray",
                      "_reconstruct")) {
            // NumPy writes every array as an empty one that its state then
            // fills; a shape here would be allocated with nothing to check it.
            if (items_of(item(args, 1), "the shape given to numpy's array reconstructor") != 0) {
                fail("numpy's array reconstructor is given the shape " + shape_text(item(args, 1)) +
                     "; NumPy itself always gives an empty one");
            }
            out = make(Val::Array);
        } else if (is(callable, "numpy._core.numeric", "numpy.core.numeric", "_frombuffer")) {
            out = make(Val::Array);  // a view of its buffer, until a state replaces it
        } else if (is(callable, "numpy", "numpy", "dtype")) {
            const std::string *code = text_of(item(args, 0));
            DTypeInfo d;
            d.object = code != nullptr && (*code == "O" || *code == "O8" || *code == "O4");
            out = make(Val::DType, next_ref(dtypes_));
            dtypes_.push_back(d);
        } else if (is(callable, "_codecs", "_codecs", "encode") ||
                   is(callable, "builtins", "__builtin__", "bytes") ||
                   is(callable, "builtins", "__builtin__", "bytearray")) {
            out = make(Val::Bytes);  // how protocols before 3 write bytes
        }
        stack_.push_back(out);
    }

    void memo_put(std::uint64_t index) {
        const Val v = top();
        if (index > memo_.size()) {
            fail("the pickle writes memo entry " + number(index) + " when only " +
                 number(memo_.size()) + " were written before it");
        }
        if (index == memo_.size()) {
            charge(2 * kSlot);  // the unpickler's memo table doubles as it grows
            memo_.push_back(v);
        } else {
            memo_[index] = v;
        }
    }

    // Items placed into the container on top of the stack.
    void fill(std::uint64_t n, std::uint64_t each) {
        const Val &t = top();
        if (t.kind == Val::List) {
            lists_[t.ref] += n;
        }
        charge(n, each, "filling a container");
    }
    void push_list(std::uint64_t n) {
        charge(kListCost);
        charge(n, kSlot, "a list");
        const std::uint32_t ref = next_ref(lists_);
        lists_.push_back(n);
        stack_.push_back(make(Val::List, ref));
    }

    void loop() {
        for (;;) {
            op_at_ = pos_;
            const unsigned char op = take(1)[0];
            switch (op) {
            case '(':  // MARK
                charge(kSlot);
                marks_.push_back(stack_.size());
                break;
            case '.':  // STOP
                pop();
                return;
            case '0': {  // POP
                if (!marks_.empty() && marks_.back() == stack_.size()) {
                    marks_.pop_back();
                } else {
                    consume(pop());
                }
                break;
            }
            case '1':  // POP_MARK
                for (const Val &v : pop_mark()) {
                    consume(v);
                }
                break;
            case '2': {  // DUP
                const Val v = top();
                charge(kSlot);
                stack_.push_back(v);
                break;
            }
            case 'F':  // FLOAT (text)
                line();
                charge(kFloatCost);
                stack_.push_back(make(Val::Other));
                break;
            case 'I':
            case 'L':  // INT, LONG (text)
                push_decimal(line());
                break;
            case 'J':  // BININT
                push_int(static_cast<std::int32_t>(static_cast<std::uint32_t>(le(4))));
                break;
            case 'K':  // BININT1
                push_int(static_cast<std::int64_t>(le(1)));
                break;
            case 'M':  // BININT2
                push_int(static_cast<std::int64_t>(le(2)));
                break;
            case 'G':  // BINFLOAT
                take(8);
                charge(kFloatCost);
                stack_.push_back(make(Val::Other));
                break;
            case 'N':  // NONE
                stack_.push_back(make(Val::None));
                break;
            case 0x88:
            case 0x89:  // NEWTRUE, NEWFALSE
                stack_.push_back(make(Val::Other));
                break;
            case 0x8a:  // LONG1
                push_long(take(le(1)));
                break;
            case 0x8b: {  // LONG4
                const std::uint64_t n = le(4);
                if (n > 0x7fffffffu) {
                    fail("a negative length in the pickle");
                }
                push_long(take(n));
                break;
            }
            case 'S':  // STRING: a quoted literal, never taken as a name
            {
                const std::string_view s = line();
                charge(kTextCost + s.size());
                stack_.push_back(make(Val::LongStr));
                break;
            }
            case 'T': {  // BINSTRING
                const std::uint64_t n = le(4);
                if (n > 0x7fffffffu) {
                    fail("a negative length in the pickle");
                }
                push_text(take(n));
                break;
            }
            case 'U':  // SHORT_BINSTRING
                push_text(take(le(1)));
                break;
            case 'V': {  // UNICODE, raw-unicode-escape
                std::string_view s = line();
                const bool plain = s.find('\\') == std::string_view::npos;
                push_text({reinterpret_cast<const unsigned char *>(s.data()), s.size()}, plain);
                break;
            }
            case 'X':  // BINUNICODE
                push_text(take(le(4)));
                break;
            case 0x8c:  // SHORT_BINUNICODE
                push_text(take(le(1)));
                break;
            case 0x8d:  // BINUNICODE8
                push_text(take(le(8)));
                break;
            case 'B':  // BINBYTES
                push_bytes(le(4));
                break;
            case 'C':  // SHORT_BINBYTES
                push_bytes(le(1));
                break;
            case 0x8e:  // BINBYTES8
                push_bytes(le(8));
                break;
            case 0x96:  // BYTEARRAY8
                push_bytes(le(8));
                break;
            case ')':  // EMPTY_TUPLE
                stack_.push_back(tuple({}));
                break;
            case 't':  // TUPLE
                stack_.push_back(tuple(pop_mark()));
                break;
            case 0x85:
            case 0x86:
            case 0x87: {  // TUPLE1..3
                const std::size_t n = op - 0x84u;
                std::vector<Val> items(n);
                for (std::size_t i = n; i-- > 0;) {
                    items[i] = pop();
                }
                stack_.push_back(tuple(items));
                break;
            }
            case ']':  // EMPTY_LIST
                push_list(0);
                break;
            case '}':  // EMPTY_DICT
                charge(kDictCost);
                stack_.push_back(make(Val::Other));
                break;
            case 0x8f:  // EMPTY_SET
                charge(kSetCost);
                stack_.push_back(make(Val::Other));
                break;
            case 'l': {  // LIST
                const std::vector<Val> items = pop_mark();
                for (const Val &v : items) {
                    consume(v);
                }
                push_list(items.size());
                break;
            }
            case 'd':     // DICT
            case 0x91: {  // FROZENSET
                const std::vector<Val> items = pop_mark();
                for (const Val &v : items) {
                    consume(v);
                }
                charge(op == 'd' ? kDictCost : kSetCost);
                charge(items.size(), op == 'd' ? kDictEntry / 2 : kSetEntry, "a container");
                stack_.push_back(make(Val::Other));
                break;
            }
            case 'a': {  // APPEND
                Val v = pop();
                consume(v);
                mutate_target();
                fill(1, kSlot);
                break;
            }
            case 's': {  // SETITEM
                Val v = pop();
                Val k = pop();
                consume(v);
                consume(k);
                mutate_target();
                fill(1, kDictEntry);
                break;
            }
            case 'e':
            case 'u':
            case 0x90: {  // APPENDS, SETITEMS, ADDITEMS
                const std::vector<Val> items = pop_mark();
                for (const Val &v : items) {
                    consume(v);
                }
                mutate_target();
                if (op == 'e') {
                    fill(items.size(), kSlot);
                } else if (op == 'u') {
                    fill(items.size() / 2, kDictEntry);
                } else {
                    fill(items.size(), kSetEntry);
                }
                break;
            }
            case 'b': {  // BUILD
                Val state = pop();
                consume(state);
                mutate_target();
                if (top().kind == Val::Array) {
                    build_array(state);
                } else if (top().kind == Val::DType) {
                    build_dtype(state);
                }
                break;
            }
            case 'R': {  // REDUCE
                Val args = pop();
                Val callable = pop();
                consume(args);
                call(callable, args, true);
                break;
            }
            case 0x81: {  // NEWOBJ
                Val args = pop();
                Val cls = pop();
                call(cls, args, false);
                break;
            }
            case 0x92: {  // NEWOBJ_EX
                consume(pop());
                Val args = pop();
                Val cls = pop();
                call(cls, args, false);
                break;
            }
            case 'o': {  // OBJ
                std::vector<Val> items = pop_mark();
                if (items.empty()) {
                    fail("the pickle's stack underflows");
                }
                Val cls = items[0];
                items.erase(items.begin());
                call(cls, tuple(items), true);
                break;
            }
            case 'c':
            case 'i': {  // GLOBAL, INST
                std::string module(line());
                std::string name(line());
                charge(kTextCost + module.size() + name.size());
                const std::size_t g = add_global(std::move(module), std::move(name));
                if (op == 'c') {
                    push_global(g);
                } else {
                    push_global(g);
                    const Val cls = stack_.back();
                    stack_.pop_back();
                    call(cls, tuple(pop_mark()), true);
                }
                break;
            }
            case 0x93: {  // STACK_GLOBAL
                Val name = pop();
                Val module = pop();
                if (name.kind != Val::Str || module.kind != Val::Str) {
                    fail("the pickle names a global through a value it computes");
                }
                push_global(add_global(texts_[module.ref], texts_[name.ref]));
                break;
            }
            case 'p':  // PUT
                memo_put(decimal(line()));
                break;
            case 'q':  // BINPUT
                memo_put(le(1));
                break;
            case 'r':  // LONG_BINPUT
                memo_put(le(4));
                break;
            case 0x94:  // MEMOIZE
                memo_put(memo_.size());
                break;
            case 'g':
            case 'h':
            case 'j': {  // GET, BINGET, LONG_BINGET
                const std::uint64_t k = op == 'g' ? decimal(line()) : le(op == 'h' ? 1 : 4);
                if (k >= memo_.size()) {
                    fail("the pickle reads a memo entry it never wrote");
                }
                charge(kSlot);
                stack_.push_back(memo_[static_cast<std::size_t>(k)]);
                break;
            }
            case 0x80: {  // PROTO
                const auto p = static_cast<int>(le(1));
                if (p > 5) {
                    fail("the pickle's protocol " + std::to_string(p) + " is not supported");
                }
                result_.protocol = p;
                break;
            }
            case 0x95:  // FRAME: its opcodes follow inline
                if (le(8) > data_.size() - pos_) {
                    fail("a frame of the pickle runs past its end");
                }
                break;
            case 'P':
            case 'Q':
                fail("the pickle refers to persistent objects");
            case 0x82:
            case 0x83:
            case 0x84:
                fail("the pickle names a global through the extension registry");
            case 0x97:
            case 0x98:
                fail("the pickle refers to out-of-band buffers");
            default:
                fail("the pickle holds an unknown opcode");
            }
        }
    }
};

}  // namespace

PickleScan scan_pickle(std::span<const unsigned char> data) { return Scanner(data).run(); }

}  // namespace brinvale::core
