#include "brinvale/formula.hpp"

#include "brinvale/names.hpp"

#include <array>
#include <vector>

namespace brinvale::core {

namespace {

enum class Shape {
    aggregate,  // Agg<Stat>(a,b)
    infix,      // a OP b, nested operands in one pair of parentheses
    call2,      // Name(a,b), nested second operand as (b))
    call1,      // Name(a)
    square_root,
    quadratic,
    pair,  // Name(ab): no separator between the operands
    time,  // Name(a,b), nested first operand as ((a),
    softmax,
};

struct Rendering {
    std::u32string_view op;
    Shape shape;
    std::u32string_view text;  // infix operator or display name with its "(" if any
};

// First match wins; the order is the one the platform's renderer tests in.
constexpr std::array<Rendering, 41> kRenderings{{
    {U"aggregate", Shape::aggregate, U""},
    {U"add", Shape::infix, U"+"},
    {U"subtract", Shape::infix, U"-"},
    {U"multiply", Shape::infix, U"\\times "},
    {U"crosscount", Shape::call2, U"CrossCount"},
    {U"nunique", Shape::call2, U"Nunique"},
    {U"histstat", Shape::call2, U"Histstat"},
    {U"sine", Shape::call1, U"sin("},
    {U"cosine", Shape::call1, U"cos("},
    {U"square_root", Shape::square_root, U""},
    {U"percentile", Shape::call1, U"Percentile("},
    {U"entropy", Shape::call1, U"Entropy("},
    {U"count", Shape::call1, U"Count("},
    {U"divide", Shape::infix, U"\\div "},
    {U"combine", Shape::pair, U"Combine"},
    {U"minimize", Shape::pair, U"Min"},
    {U"maximize", Shape::pair, U"Max"},
    {U"quadratic", Shape::quadratic, U""},
    {U"log", Shape::call1, U"Log("},
    {U"sigmoid", Shape::call1, U"Sigmoid("},
    {U"round", Shape::call1, U"Round("},
    {U"residual", Shape::call1, U"Residual("},
    {U"delay", Shape::time, U"Delay"},
    {U"equal", Shape::time, U"Equal"},
    {U"tcorrelation", Shape::time, U"Correlation"},
    {U"tcorvariance", Shape::time, U"Covariance"},
    {U"tsum", Shape::time, U"ts_sum"},
    {U"delta", Shape::time, U"Delta"},
    {U"decay_linear", Shape::time, U"Decay"},
    {U"ts_min", Shape::time, U"ts_min"},
    {U"ts_max", Shape::time, U"ts_max"},
    {U"ts_argmax", Shape::time, U"ts_argmax"},
    {U"ts_argmin", Shape::time, U"ts_argmin"},
    {U"ts_rank", Shape::time, U"ts_rank"},
    {U"ts_mean", Shape::time, U"ts_mean"},
    {U"ts_o", Shape::time, U"ts_o"},
    {U"stddev", Shape::time, U"Stddev"},
    {U"smaller", Shape::infix, U"<"},
    {U"bigger", Shape::infix, U">"},
    {U"softmax", Shape::softmax, U""},
    {U"orop", Shape::infix, U"\\vee "},
}};

// Plain operands show their underscores escaped for LaTeX.
std::u32string escape_underscores(std::u32string_view text) {
    std::u32string out;
    out.reserve(text.size());
    for (char32_t c : text) {
        if (c == U'_') {
            out.push_back(U'\\');
        }
        out.push_back(c);
    }
    return out;
}

class Renderer {
  public:
    explicit Renderer(const Capitalize &capitalize) : capitalize_(capitalize) {}

    std::optional<std::u32string> render(std::u32string_view name, int depth) {
        if (depth > kMaxFormulaDepth) {
            throw FormulaTooDeep();
        }
        const SplitName split = split_feature_name(name);
        parts_stack_.emplace_back();
        struct Pop {
            std::vector<std::vector<std::u32string>> &stack;
            ~Pop() { stack.pop_back(); }
        } pop{parts_stack_};

        std::vector<std::u32string> &parts = parts_stack_.back();
        for (std::size_t k = 0; k < split.count; ++k) {
            std::u32string_view piece =
                name.substr(split.parts[k].begin, split.parts[k].end - split.parts[k].begin);
            if (k > 0 && !is_combination_name(piece)) {
                parts.push_back(escape_underscores(piece));
            } else {
                parts.emplace_back(piece);
            }
        }

        const std::u32string_view op = parts[0];
        for (const Rendering &r : kRenderings) {
            if (r.op == op) {
                return apply(r, depth);
            }
        }
        return std::nullopt;
    }

  private:
    const std::u32string &part(std::size_t k) {
        const auto &parts = parts_stack_.back();
        if (k >= parts.size()) {
            throw std::out_of_range("list index out of range");
        }
        return parts[k];
    }

    bool nested(std::size_t k) { return is_combination_name(part(k)); }

    // An operand that is itself a feature name whose operator has no
    // rendering leaves nothing to concatenate.
    std::u32string sub(std::size_t k, int depth) {
        const std::u32string operand = part(k);
        std::optional<std::u32string> inner = render(operand, depth + 1);
        if (!inner) {
            throw FormulaOperandUnrendered();
        }
        return *inner;
    }

    std::u32string apply(const Rendering &r, int depth) {
        std::u32string out;
        const std::u32string_view t = r.text;
        switch (r.shape) {
        case Shape::aggregate:
            out = U"Agg" + capitalize_(part(1)) + U"(";
            out += nested(2) ? U"(" + sub(2, depth) + U")," : part(2) + U",";
            out += nested(3) ? sub(3, depth) + U")" : part(3) + U")";
            break;
        case Shape::infix:
            out = nested(1) ? U"(" + sub(1, depth) + U")" : part(1);
            out += t;
            out += nested(2) ? U"(" + sub(2, depth) + U")" : part(2);
            break;
        case Shape::call2:
            out = std::u32string(t) + U"(" + (nested(1) ? sub(1, depth) : part(1)) + U",";
            out += nested(2) ? U"(" + sub(2, depth) + U"))" : part(2) + U")";
            break;
        case Shape::call1:
            out = std::u32string(t) + (nested(1) ? sub(1, depth) : part(1)) + U")";
            break;
        case Shape::square_root:
            out = nested(1) ? U"\\sqrt{(" + sub(1, depth) + U")}" : U"\\sqrt{" + part(1) + U"}";
            break;
        case Shape::quadratic:
            out = nested(1) ? U"(" + sub(1, depth) + U")^2" : part(1) + U"^2";
            break;
        case Shape::pair:
            out = std::u32string(t) + (nested(1) ? U"((" + sub(1, depth) + U")" : U"(" + part(1));
            out += nested(2) ? U"(" + sub(2, depth) + U"))" : part(2) + U")";
            break;
        case Shape::time:
            out = std::u32string(t) +
                  (nested(1) ? U"((" + sub(1, depth) + U")," : U"(" + part(1) + U",");
            out += nested(2) ? U"(" + sub(2, depth) + U"))" : part(2) + U")";
            break;
        case Shape::softmax:
            out = nested(1) ? U"Softmax((" + sub(1, depth) + U"))" : U"Softmax(" + part(1) + U")";
            break;
        }
        return out;
    }

    const Capitalize &capitalize_;
    std::vector<std::vector<std::u32string>> parts_stack_;
};

}  // namespace

std::u32string ascii_capitalize(std::u32string_view text) {
    std::u32string out(text);
    for (std::size_t k = 0; k < out.size(); ++k) {
        char32_t &c = out[k];
        if (k == 0 && c >= U'a' && c <= U'z') {
            c = c - U'a' + U'A';
        } else if (k > 0 && c >= U'A' && c <= U'Z') {
            c = c - U'A' + U'a';
        }
    }
    return out;
}

std::optional<std::u32string> render_formula(std::u32string_view name,
                                             const Capitalize &capitalize) {
    Renderer renderer(capitalize);
    return renderer.render(name, 0);
}

}  // namespace brinvale::core
