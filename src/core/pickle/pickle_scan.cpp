// An abstract run of the unpickler's stack machine (CPython's Modules/_pickle.c
// is the reference for stack, mark and memo behaviour).  Values are only
// tracked as far as the checks need them: short texts (module and attribute
// names), globals, and the first items of tuples (the arguments of getattr
// and of copyreg's reconstructors).
#include "brinvale/pickle_scan.hpp"

#include <cstring>
#include <limits>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace brinvale::core {

namespace {

constexpr std::size_t kNameLimit = 512;  // longer texts are never names
constexpr std::size_t kTupleItems = 4;   // items of a tuple kept for the checks

struct Val {
    enum Kind : std::uint8_t { Other, Str, Global, Tuple };
    Kind kind = Other;
    std::size_t global = 0;  // Global
    std::string text;        // Str
    std::size_t size = 0;    // Tuple: number of items
    std::vector<Val> items;  // Tuple: the first kTupleItems items, without their own items
};

struct Failure {
    std::string what;
};

class Scanner {
  public:
    explicit Scanner(std::span<const unsigned char> data) : data_(data) {}

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
    std::size_t pos_ = 0;
    std::size_t op_at_ = 0;
    std::vector<Val> stack_;
    std::vector<std::size_t> marks_;
    std::unordered_map<std::uint64_t, Val> memo_;
    std::unordered_map<std::string, std::size_t> index_;  // "module\nname" -> global
    PickleScan result_;

    [[noreturn]] static void fail(std::string what) { throw Failure{std::move(what)}; }

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

    std::size_t fence() const { return marks_.empty() ? 0 : marks_.back(); }
    Val pop() {
        if (stack_.size() <= fence()) {
            fail("the pickle's stack underflows");
        }
        Val v = std::move(stack_.back());
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
        std::vector<Val> items(
            std::make_move_iterator(stack_.begin() + static_cast<std::ptrdiff_t>(k)),
            std::make_move_iterator(stack_.end()));
        stack_.resize(k);
        return items;
    }

    // A value placed into a container, a tuple or an object's state.
    void consume(const Val &v) {
        if (v.kind == Val::Global) {
            result_.globals[v.global].uses |= kUseValue;
        }
    }
    Val tuple(std::vector<Val> items) {
        Val t;
        t.kind = Val::Tuple;
        t.size = items.size();
        for (std::size_t i = 0; i < items.size(); ++i) {
            consume(items[i]);
            if (i < kTupleItems) {
                items[i].items.clear();
                t.items.push_back(std::move(items[i]));
            }
        }
        return t;
    }
    void push_text(std::span<const unsigned char> s, bool is_text = true) {
        Val v;
        if (is_text && s.size() <= kNameLimit) {
            v.kind = Val::Str;
            v.text.assign(reinterpret_cast<const char *>(s.data()), s.size());
        }
        stack_.push_back(std::move(v));
    }
    void push_other() { stack_.emplace_back(); }

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
        Val v;
        v.kind = Val::Global;
        v.global = g;
        stack_.push_back(std::move(v));
    }
    bool is(const Val &v, std::string_view module, std::string_view old_module,
            std::string_view name) const {
        if (v.kind != Val::Global) {
            return false;
        }
        const PickleGlobal &g = result_.globals[v.global];
        return (g.module == module || g.module == old_module) && g.name == name;
    }

    // Appending, setting items, adding or building state on a class or a
    // function would change it for every later user in the process.
    void mutate_target() {
        const Val &t = top();
        if (t.kind == Val::Global) {
            const PickleGlobal &g = result_.globals[t.global];
            fail("the pickle changes the global '" + g.module + "." + g.name +
                 "' instead of an object it built");
        }
    }

    void call(Val callable, const Val &args, bool init) {
        if (callable.kind != Val::Global) {
            fail("the pickle calls an object it built instead of a named global");
        }
        result_.globals[callable.global].uses |= init ? kUseCall : kUseNew;
        Val out;
        if (is(callable, "builtins", "__builtin__", "getattr")) {
            // Protocols before 4 reach nested classes and class methods this
            // way: the result is judged like the qualified name it stands for.
            if (args.kind != Val::Tuple || args.size != 2 || args.items[0].kind != Val::Global ||
                args.items[1].kind != Val::Str) {
                fail("the pickle looks up an attribute of an object it built");
            }
            result_.getattrs.push_back(PickleGetattr{args.items[0].global, args.items[1].text});
            const PickleGlobal &owner = result_.globals[args.items[0].global];
            std::string module = owner.module;
            std::string name = owner.name + "." + args.items[1].text;
            out.kind = Val::Global;
            out.global = add_global(std::move(module), std::move(name));
        } else if (is(callable, "copyreg", "copy_reg", "__newobj__") ||
                   is(callable, "copyreg", "copy_reg", "__newobj_ex__") ||
                   is(callable, "copyreg", "copy_reg", "_reconstructor")) {
            if (args.kind == Val::Tuple && !args.items.empty() &&
                args.items[0].kind == Val::Global) {
                result_.globals[args.items[0].global].uses |= kUseNew;
            }
            // _reconstructor(cls, base, state) runs base.__init__ on the object
            if (is(callable, "copyreg", "copy_reg", "_reconstructor") && args.items.size() > 1 &&
                args.items[1].kind == Val::Global) {
                result_.globals[args.items[1].global].uses |= kUseCall;
            }
        }
        stack_.push_back(std::move(out));
    }

    void loop() {
        for (;;) {
            op_at_ = pos_;
            const unsigned char op = take(1)[0];
            switch (op) {
            case '(':  // MARK
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
                Val v = top();
                stack_.push_back(std::move(v));
                break;
            }
            case 'F':
            case 'I':
            case 'L':  // FLOAT, INT, LONG (text)
                line();
                push_other();
                break;
            case 'J':
                take(4);
                push_other();
                break;  // BININT
            case 'K':
                take(1);
                push_other();
                break;  // BININT1
            case 'M':
                take(2);
                push_other();
                break;  // BININT2
            case 'G':
                take(8);
                push_other();
                break;  // BINFLOAT
            case 'N':
            case 0x88:
            case 0x89:  // NONE, NEWTRUE, NEWFALSE
                push_other();
                break;
            case 0x8a:
                take(le(1));
                push_other();
                break;    // LONG1
            case 0x8b: {  // LONG4
                const std::uint64_t n = le(4);
                if (n > 0x7fffffffu) {
                    fail("a negative length in the pickle");
                }
                take(n);
                push_other();
                break;
            }
            case 'S':  // STRING: a quoted literal, never taken as a name
                line();
                push_other();
                break;
            case 'T': {  // BINSTRING
                const std::uint64_t n = le(4);
                if (n > 0x7fffffffu) {
                    fail("a negative length in the pickle");
                }
                push_text(take(n));
                break;
            }
            case 'U':
                push_text(take(le(1)));
                break;   // SHORT_BINSTRING
            case 'V': {  // UNICODE, raw-unicode-escape
                std::string_view s = line();
                const bool plain = s.find('\\') == std::string_view::npos;
                push_text({reinterpret_cast<const unsigned char *>(s.data()), s.size()}, plain);
                break;
            }
            case 'X':
                push_text(take(le(4)));
                break;  // BINUNICODE
            case 0x8c:
                push_text(take(le(1)));
                break;  // SHORT_BINUNICODE
            case 0x8d:
                push_text(take(le(8)));
                break;  // BINUNICODE8
            case 'B':
                take(le(4));
                push_other();
                break;  // BINBYTES
            case 'C':
                take(le(1));
                push_other();
                break;  // SHORT_BINBYTES
            case 0x8e:
                take(le(8));
                push_other();
                break;  // BINBYTES8
            case 0x96:
                take(le(8));
                push_other();
                break;  // BYTEARRAY8
            case ')':   // EMPTY_TUPLE
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
                stack_.push_back(tuple(std::move(items)));
                break;
            }
            case ']':
            case '}':
            case 0x8f:  // EMPTY_LIST, EMPTY_DICT, EMPTY_SET
                push_other();
                break;
            case 'l':
            case 'd':
            case 0x91:  // LIST, DICT, FROZENSET
                for (const Val &v : pop_mark()) {
                    consume(v);
                }
                push_other();
                break;
            case 'a': {  // APPEND
                Val v = pop();
                consume(v);
                mutate_target();
                break;
            }
            case 's': {  // SETITEM
                Val v = pop();
                Val k = pop();
                consume(v);
                consume(k);
                mutate_target();
                break;
            }
            case 'e':
            case 'u':
            case 0x90: {  // APPENDS, SETITEMS, ADDITEMS
                for (const Val &v : pop_mark()) {
                    consume(v);
                }
                mutate_target();
                break;
            }
            case 'b': {  // BUILD
                Val state = pop();
                consume(state);
                mutate_target();
                break;
            }
            case 'R': {  // REDUCE
                Val args = pop();
                Val callable = pop();
                consume(args);
                call(std::move(callable), args, true);
                break;
            }
            case 0x81: {  // NEWOBJ
                Val args = pop();
                Val cls = pop();
                call(std::move(cls), args, false);
                break;
            }
            case 0x92: {  // NEWOBJ_EX
                consume(pop());
                Val args = pop();
                Val cls = pop();
                call(std::move(cls), args, false);
                break;
            }
            case 'o': {  // OBJ
                std::vector<Val> items = pop_mark();
                if (items.empty()) {
                    fail("the pickle's stack underflows");
                }
                Val cls = std::move(items[0]);
                items.erase(items.begin());
                call(std::move(cls), tuple(std::move(items)), true);
                break;
            }
            case 'c':
            case 'i': {  // GLOBAL, INST
                std::string module(line());
                std::string name(line());
                const std::size_t g = add_global(std::move(module), std::move(name));
                if (op == 'c') {
                    push_global(g);
                } else {
                    Val cls;
                    cls.kind = Val::Global;
                    cls.global = g;
                    call(std::move(cls), tuple(pop_mark()), true);
                }
                break;
            }
            case 0x93: {  // STACK_GLOBAL
                Val name = pop();
                Val module = pop();
                if (name.kind != Val::Str || module.kind != Val::Str) {
                    fail("the pickle names a global through a value it computes");
                }
                push_global(add_global(std::move(module.text), std::move(name.text)));
                break;
            }
            case 'p':
                memo_[decimal(line())] = top();
                break;  // PUT
            case 'q':
                memo_[le(1)] = top();
                break;  // BINPUT
            case 'r':
                memo_[le(4)] = top();
                break;    // LONG_BINPUT
            case 0x94: {  // MEMOIZE
                const Val &v = top();
                memo_[memo_.size()] = v;
                break;
            }
            case 'g':
            case 'h':
            case 'j': {  // GET, BINGET, LONG_BINGET
                const std::uint64_t k = op == 'g' ? decimal(line()) : le(op == 'h' ? 1 : 4);
                auto it = memo_.find(k);
                if (it == memo_.end()) {
                    fail("the pickle reads a memo entry it never wrote");
                }
                stack_.push_back(it->second);
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
                le(8);
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
