#include "brinvale/operators.hpp"

#include <array>

namespace brinvale::core {

namespace {

constexpr Operand X = Operand::number;
constexpr Operand C = Operand::column;
constexpr Operand L = Operand::length;
constexpr Operand S = Operand::statistic;
constexpr Operand N = Operand::none;

constexpr std::uint32_t kStandardised = need_result_moments;
constexpr std::uint32_t kRecorded = need_group_table | need_result_moments | need_final_fill;
constexpr std::uint32_t kLocal = need_preceding_rows | need_config_group;
constexpr std::uint32_t kRunning = need_running_state | need_config_group;

using F = Family;
using K = CallForm;

// The dispatcher's table, row by row and in its test order.
constexpr std::array<OperatorInfo, 43> kOperators{{
    {"entropy", "entropy", F::whole_column, K::one, {C, N, N}, need_column_codes},
    {"sine", "sine", F::transform, K::one, {X, N, N}, 0},
    {"cosine", "cosine", F::transform, K::one, {X, N, N}, 0},
    {"square_root", "square_root", F::shifted, K::one, {X, N, N}, need_column_min},
    {"percentile", "percentile", F::whole_column, K::one, {C, N, N}, need_column_rank},
    {"round", "round", F::transform, K::one, {X, N, N}, 0},
    {"log", "log", F::shifted, K::one, {X, N, N}, need_column_min},
    {"sigmoid", "sigmoid", F::transform, K::one, {X, N, N}, 0},
    {"residual", "residual", F::transform, K::one, {X, N, N}, 0},
    {"quadratic", "quadratic", F::transform, K::one, {X, N, N}, 0},
    {"softmax", "softmax", F::whole_column, K::one, {X, N, N}, need_column_max_sum},

    {"add", "add", F::arithmetic, K::two, {X, X, N}, kStandardised},
    {"subtract", "subtract", F::arithmetic, K::two, {X, X, N}, kStandardised},
    // id frequencies over the whole frame, then their statistics per group
    {"histstat", "histstat", F::group_statistic, K::two, {C, C, N}, need_group_table},
    {"multiply", "multiply", F::arithmetic, K::two, {X, X, N}, kStandardised},
    {"divide", "divide", F::arithmetic, K::two, {X, X, N}, kStandardised},
    {"combine", "combine", F::pairwise, K::two, {C, C, N}, 0},
    {"maximize", "maximize", F::pairwise, K::two, {C, C, N}, 0},
    {"minimize", "minimize", F::pairwise, K::two, {C, C, N}, 0},
    {"delay", "delay", F::lag, K::two, {C, L, N}, kLocal},
    {"delta", "delta", F::lag, K::two, {X, L, N}, kLocal},
    {"ts_rank", "ts_rank", F::window, K::two, {X, L, N}, kLocal},
    {"ts_argmax", "ts_argmax", F::window, K::two, {X, L, N}, kLocal},
    {"ts_argmin", "ts_argmin", F::window, K::two, {X, L, N}, kLocal},
    {"ts_max", "ts_max", F::window, K::two, {X, L, N}, kLocal},
    {"ts_min", "ts_min", F::window, K::two, {X, L, N}, kLocal},
    // labelled as ts_rank over the same operands, as the platform writes it
    {"stddev", "ts_rank", F::running_window, K::two, {X, L, N}, kRunning},
    {"decay_linear", "decay_linear", F::window, K::two, {X, L, N}, kLocal},
    {"tsum", "tsum", F::running_window, K::two, {X, L, N}, kRunning},
    {"product", "product", F::window, K::two, {X, L, N}, kLocal},
    {"crossrank", "crossrank", F::group_rank, K::two, {C, C, N}, need_group_rows},
    {"bigger", "bigger", F::pairwise, K::two, {C, C, N}, 0},
    {"smaller", "smaller", F::pairwise, K::two, {C, C, N}, 0},
    {"equal", "equal", F::pairwise, K::two, {C, C, N}, 0},
    {"orop", "orop", F::pairwise, K::two, {X, X, N}, need_operand_sum_mean},
    {"ts_o", "ts_o", F::lag, K::two, {C, L, N}, kLocal},
    {"ts_mean", "ts_mean", F::running_window, K::two, {X, L, N}, kRunning},

    {"tcorvariance", "tcorvariance", F::window_pair, K::window_pair, {X, X, L}, kRunning},
    {"tcorrelation", "tcorrelation", F::window_pair, K::window_pair, {X, X, L}, kRunning},

    {"aggregate", "aggregate", F::group_statistic, K::aggregate, {S, X, C}, kRecorded},
    {"crosscount", "crosscount", F::group_statistic, K::crosscount, {C, C, N}, kRecorded},
    {"nunique",
     "nunique",
     F::group_statistic,
     K::nunique,
     {C, C, N},
     need_group_table | need_final_fill},
    {"count", "count", F::group_statistic, K::count, {C, N, N}, kRecorded},
}};

constexpr std::array<OperatorInfo, 4> kCalendar{{
    {"day_of_year", "day_of_year", F::calendar, K::calendar, {C, N, N}, 0},
    {"day_of_week", "day_of_week", F::calendar, K::calendar, {C, N, N}, 0},
    {"month", "month", F::calendar, K::calendar, {C, N, N}, 0},
    {"year", "year", F::calendar, K::calendar, {C, N, N}, 0},
}};

constexpr auto kAll = [] {
    std::array<OperatorInfo, kOperators.size() + kCalendar.size()> all{};
    std::size_t k = 0;
    for (const OperatorInfo &op : kOperators) {
        all[k++] = op;
    }
    for (const OperatorInfo &op : kCalendar) {
        all[k++] = op;
    }
    return all;
}();

void append_utf8(std::u32string &out, std::string_view ascii) {
    for (char c : ascii) {
        out.push_back(static_cast<char32_t>(static_cast<unsigned char>(c)));
    }
}

}  // namespace

std::span<const OperatorInfo> operators() { return kAll; }

const OperatorInfo *find_operator(std::string_view name) {
    for (const OperatorInfo &op : kAll) {
        if (op.name == name) {
            return &op;
        }
    }
    return nullptr;
}

std::string_view family_name(Family family) {
    switch (family) {
    case Family::group_statistic:
        return "group_statistic";
    case Family::arithmetic:
        return "arithmetic";
    case Family::transform:
        return "transform";
    case Family::shifted:
        return "shifted";
    case Family::whole_column:
        return "whole_column";
    case Family::pairwise:
        return "pairwise";
    case Family::window:
        return "window";
    case Family::running_window:
        return "running_window";
    case Family::lag:
        return "lag";
    case Family::window_pair:
        return "window_pair";
    case Family::group_rank:
        return "group_rank";
    case Family::calendar:
        return "calendar";
    }
    return "";
}

std::string_view form_name(CallForm form) {
    switch (form) {
    case CallForm::one:
        return "one";
    case CallForm::two:
        return "two";
    case CallForm::window_pair:
        return "window_pair";
    case CallForm::aggregate:
        return "aggregate";
    case CallForm::crosscount:
        return "crosscount";
    case CallForm::nunique:
        return "nunique";
    case CallForm::count:
        return "count";
    case CallForm::calendar:
        return "calendar";
    }
    return "";
}

std::string_view operand_name(Operand operand) {
    switch (operand) {
    case Operand::none:
        return "none";
    case Operand::number:
        return "number";
    case Operand::column:
        return "column";
    case Operand::length:
        return "length";
    case Operand::statistic:
        return "statistic";
    }
    return "";
}

std::u32string result_label(const OperatorInfo &op, std::u32string_view const *operands,
                            std::size_t count) {
    std::u32string out;
    append_utf8(out, op.label);
    if (op.family == Family::calendar) {
        out += U"@@@";
        if (count > 0) {
            out += operands[0];
        }
        return out;
    }
    out += U"###";
    for (std::size_t k = 0; k < count; ++k) {
        if (k) {
            out += U"|||";
        }
        out += operands[k];
    }
    out += U"$$$";
    return out;
}

}  // namespace brinvale::core
