// The operator registry: every operator of the feature vocabulary, how the
// dispatcher calls it, what its operands are, how its result column is
// labelled, and which whole-frame and per-group quantities its values depend
// on.  The dispatcher, the input check, formula rendering and the partitioned
// engine read this table; none keeps a list of its own.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace brinvale::core {

enum class Family : std::uint8_t {
    group_statistic,  // per-key tables, combined with the training records
    arithmetic,       // two columns, standardised over the whole result column
    transform,        // one column, value by value
    shifted,          // one column shifted by its own minimum (log, square_root)
    whole_column,     // one column against a whole-column quantity (percentile, softmax, entropy)
    pairwise,         // two columns, value by value (min/max, comparisons, combine, orop)
    window,           // a window of the preceding rows of a column, per configured group
    running_window,   // pandas keeps running state from the first row (sums, variances)
    lag,              // a shift by a number of rows, per configured group
    window_pair,      // a rolling covariance or correlation of two columns
    group_rank,       // the rank within the rows sharing a key (crossrank)
    calendar,         // a date part of a date column ("@@@" names)
};

// How the dispatcher builds the call, one form per row of its table.
enum class CallForm : std::uint8_t {
    one,          // op(df, i)
    two,          // op(df, i, j), with the single-operand guard
    window_pair,  // op(df, i, j, p)
    aggregate,    // op(df, i, j, [stat], records)
    crosscount,   // op(df, [i, j], records)
    nunique,      // op(df, i, j, records)
    count,        // op(df, i, records)
    calendar,     // op(df, i), from name2timefeature
};

// An operand column is read either as numbers (arithmetic, windows, the
// numeric column of an aggregate) or as values of any kind (keys, texts,
// comparisons, lags), which pandas computes on text as well.
enum class Operand : std::uint8_t { none, number, column, length, statistic };

// Whole-frame and per-group quantities the values depend on: what a frame cut
// into parts must learn about the whole before any part can be computed.
enum Need : std::uint32_t {
    need_result_moments = 1u << 0,    // mean and std of the result column (standardisation)
    need_column_min = 1u << 1,        // minimum of the operand
    need_column_rank = 1u << 2,       // ranks over the whole operand
    need_column_max_sum = 1u << 3,    // maximum of the operand, sum of the exponentials
    need_column_codes = 1u << 4,      // sorted distinct values of the operand and their counts
    need_operand_sum_mean = 1u << 5,  // mean of the row sums of both operands
    need_group_table = 1u << 6,       // a per-key table over the whole frame (and the record)
    need_final_fill = 1u << 7,        // medians of every numeric column of the frame
    need_preceding_rows = 1u << 8,    // the d - 1 rows before each row, per group
    need_running_state = 1u << 9,     // running state from the first row, per group
    need_group_rows = 1u << 10,       // every row sharing the key (ranks within a key)
    need_config_group = 1u << 11,     // restarts within the configured GroupIndex column
};

struct OperatorInfo {
    std::string_view name;   // the operator text, also the function's name
    std::string_view label;  // operator text of the result column's label
    Family family;
    CallForm form;
    Operand operands[3];  // kinds of temp[1], temp[2], temp[3] as the call takes them

    static bool reads_column(Operand kind) {
        return kind == Operand::number || kind == Operand::column;
    }
    std::uint32_t needs;
    // The group statistics combined with a record are pandas merges: the
    // frame they return carries fresh row labels 0..n-1.
    bool fresh_index() const {
        return form == CallForm::count || form == CallForm::crosscount ||
               form == CallForm::aggregate || form == CallForm::nunique;
    }

    int arity() const {
        int n = 0;
        while (n < 3 && operands[n] != Operand::none) {
            ++n;
        }
        return n;
    }
};

// Every operator, in the dispatcher's test order.
std::span<const OperatorInfo> operators();

// The registry entry of an operator, or nullptr for text the dispatcher
// refuses ("target", "sum", an unknown name).
const OperatorInfo *find_operator(std::string_view name);

std::string_view family_name(Family family);
std::string_view form_name(CallForm form);
std::string_view operand_name(Operand operand);

// The label of the column an operator writes for the operands it was called
// with (as many as the call takes): the label operator, "###", the operands
// joined by "|||", "$$$"; calendar operators write operator "@@@" column.
// Labels are what stored models were trained on: stddev writes ts_rank's.
std::u32string result_label(const OperatorInfo &op, std::u32string_view const *operands,
                            std::size_t count);

}  // namespace brinvale::core
