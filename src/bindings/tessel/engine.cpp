// The engine installed in the feature engine while one partition is
// evaluated.  Quantities are named by the position of the operator in the
// evaluation (the n-th operator call, the m-th question it asks), which is
// the same on every partition: the feature names, not the data, decide which
// operators run.  A quantity can be collected only when the columns it reads
// are exact, that is when no quantity they depend on is still unknown; the
// engine follows that through the columns each operator reads and writes.
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <unordered_map>

#include "brinvale/elementwise.hpp"
#include "brinvale/groupstats.hpp"
#include "brinvale/partitioned.hpp"
#include "brinvale/window_chain.hpp"
#include "tessel.hpp"

namespace brinvale::tessel {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

enum class Mode { Collect, Apply, Emit, Plain };

Mode parse_mode(const std::string &m) {
    if (m == "collect")
        return Mode::Collect;
    if (m == "apply")
        return Mode::Apply;
    if (m == "emit")
        return Mode::Emit;
    if (m == "plain")
        return Mode::Plain;
    bind::raise(PyExc_ValueError, "unknown engine mode " + m);
}

// One of the questions an operator asks.
struct Ask {
    py::object value;
    bool known = false;
    bool collect = false;  // this partition's share is to be collected now
    bool emit = false;     // this partition's rows go to the shuffle now
};

// Window operators whose value at a row depends only on the rows of its
// window: an ungrouped column is computed with the rows before (and after)
// each partition added.  The others keep a running state from the first row.
bool window_local(const std::string &op, std::int64_t d) {
    static const std::set<std::string> local{"delay",     "ts_o",        "delta",   "ts_min",
                                             "ts_max",    "ts_rank",     "product", "ts_argmax",
                                             "ts_argmin", "decay_linear"};
    return local.count(op) > 0 || d <= 1;
}

bool is_lag(const std::string &op) { return op == "delay" || op == "ts_o" || op == "delta"; }

bool is_pair(const std::string &op) { return op == "tcorrelation" || op == "tcorvariance"; }

bool group_stat_op(const std::string &op) {
    return op == "count" || op == "crosscount" || op == "aggregate" || op == "nunique";
}

char kind_of(const py::array &a) { return a.dtype().kind(); }

py::object python_int(py::handle text) { return py::module_::import("builtins").attr("int")(text); }

}  // namespace

class Engine {
  public:
    Engine(py::dict plan, std::int64_t part, const std::string &mode, py::dict rows,
           py::object emit)
        : plan_(std::move(plan)), part_(part), mode_(parse_mode(mode)), rows_(std::move(rows)) {
        if (mode_ == Mode::Plain) {
            group_ = plan_.contains("group") ? py::object(plan_["group"]) : py::none();
            return;
        }
        known_ = plan_["known"];
        group_ = plan_["group"];
        records_ = plan_["records"];
        py::list offsets = plan_["offsets"];
        offset_ = offsets[static_cast<std::size_t>(part)].cast<std::uint64_t>();
        length_ = offsets[static_cast<std::size_t>(part) + 1].cast<std::uint64_t>() - offset_;
        total_ = plan_["total"].cast<std::uint64_t>();
        nparts_ = static_cast<std::int64_t>(offsets.size()) - 1;
        if (!emit.is_none()) {
            for (py::handle q : emit) {
                targets_.insert(py::str(q).cast<std::string>());
            }
        }
    }

    // ---- what the dispatcher tells ----------------------------------------

    void begin(py::object op, py::list temp, py::object key) {
        if (mode_ == Mode::Plain) {
            return;
        }
        ++seq_;
        asked_ = 0;
        op_ = py::str(op).cast<std::string>();
        out_label_ = py::str(key).cast<std::string>();
        if (op_ == "stddev" && out_label_.rfind("stddev", 0) == 0) {
            out_label_ = "ts_rank" + out_label_.substr(6);  // the label the operator writes
        }
        input_taint_.clear();
        op_unknown_.clear();
        filled_.erase(out_label_);  // the operator writes its column afresh
        auto read = [&](py::handle label) {
            if (!PyUnicode_Check(label.ptr())) {
                return;
            }
            const auto it = taint_.find(py::str(label).cast<std::string>());
            if (it != taint_.end()) {
                input_taint_.insert(it->second.begin(), it->second.end());
            }
        };
        for (std::size_t i = 1; i < temp.size(); ++i) {
            read(temp[i]);
        }
        if (!group_.is_none() && op_ != "crossrank") {
            read(group_);
        }
        if (group_stat_op(op_) && !records_.contains(key)) {
            bind::raise(PyExc_NotImplementedError,
                        "the group statistic " + py::str(key).cast<std::string>() +
                            " has no training record: a frame cut into partitions is computed "
                            "with the records of a result folder");
        }
    }

    void end(py::object) {
        if (mode_ == Mode::Plain) {
            return;
        }
        std::set<std::string> t = input_taint_;
        t.insert(op_unknown_.begin(), op_unknown_.end());
        taint_[out_label_] = std::move(t);
    }

    py::object group() { return group_; }

    void unsupported(py::object what, py::object dtype) {
        if (mode_ == Mode::Plain) {
            return;
        }
        bind::raise(PyExc_NotImplementedError,
                    py::str(what).cast<std::string>() + " of a " +
                        py::str(dtype).cast<std::string>() +
                        " column is not computed over a frame cut into partitions");
    }

    // ---- column statistics ----------------------------------------------------

    py::object standardize(py::array values) {
        if (mode_ == Mode::Plain) {
            return py::none();
        }
        const std::string base = next_base();
        const char kind = kind_of(values);
        const py::tuple placeholder = py::make_tuple(kNaN, kNaN);
        if (kind == 'f' && values.itemsize() == 8) {
            py::array_t<double> v = as_f64(values);
            Ask m = ask(base + ".m", true);
            Ask s = ask(base + ".s", true);
            if (!m.known) {
                if (m.collect) {
                    small_[py::str(base + ".m")] = psum(skip_missing(v));
                }
                return placeholder;
            }
            const auto [sum, count] = sum_count(m.value);
            const double mean = count == 0 ? kNaN : sum / static_cast<double>(count);
            if (!s.known) {
                if (s.collect) {
                    small_[py::str(base + ".s")] = psum(squares(v, mean));
                }
                return placeholder;
            }
            return py::make_tuple(mean, deviation(s.value, count));
        }
        if (kind == 'i' || kind == 'u') {
            // pandas: the mean of an integer column sums NumPy's cast blocks,
            // the variance the float64 copy in one pairwise pass
            py::array_t<double> v = as_f64(values.attr("astype")("float64"));
            Ask c = ask(base + ".c", true);
            Ask m = ask(base + ".m", true);
            Ask s = ask(base + ".s", true);
            if (!c.known || !m.known) {
                if (c.collect) {
                    small_[py::str(base + ".c")] = chunked_psum(v);
                }
                if (m.collect) {
                    small_[py::str(base + ".m")] = psum(v);
                }
                return placeholder;
            }
            const auto [csum, count] = sum_count(c.value);
            const auto [fsum, fcount] = sum_count(m.value);
            const double centre = csum / static_cast<double>(count);
            const double avg = fsum / static_cast<double>(fcount);
            if (!s.known) {
                if (s.collect) {
                    small_[py::str(base + ".s")] = psum(squares(v, avg));
                }
                return placeholder;
            }
            return py::make_tuple(centre, deviation(s.value, count));
        }
        unsupported(py::str("standardisation"), values.attr("dtype"));
        return py::none();
    }

    py::object mean(py::array values) {
        if (mode_ == Mode::Plain) {
            return py::none();
        }
        const std::string base = next_base();
        const char kind = kind_of(values);
        py::array_t<double> v = as_f64(values.attr("astype")("float64"));
        const bool integral = kind == 'i' || kind == 'u';
        if (!integral && !(kind == 'f' && values.itemsize() == 8)) {
            unsupported(py::str("the mean"), values.attr("dtype"));
        }
        const std::string q = base + (integral ? ".c" : ".m");
        Ask a = ask(q, true);
        if (!a.known) {
            if (a.collect) {
                small_[py::str(q)] = integral ? chunked_psum(v) : psum(skip_missing(v));
            }
            return py::float_(kNaN);
        }
        const auto [sum, count] = sum_count(a.value);
        return py::float_(count == 0 ? kNaN : sum / static_cast<double>(count));
    }

    py::object column_total(py::array_t<double> values) {
        if (mode_ == Mode::Plain) {
            return py::none();
        }
        const std::string q = next_base() + ".t";
        Ask a = ask(q, true);
        if (!a.known) {
            if (a.collect) {
                small_[py::str(q)] = psum(as_f64(values));
            }
            return py::float_(kNaN);
        }
        return py::float_(sum_count(a.value).first);
    }

    py::object column_min(py::array values) {
        if (mode_ == Mode::Plain) {
            return py::none();
        }
        const std::string q = next_base() + ".min";
        Ask a = ask(q, true);
        if (!a.known) {
            if (a.collect) {
                const core::ColumnMinimum lo = core::column_minimum(numeric(values));
                py::dict d;
                d["f"] = lo.value;
                d["i"] = lo.integer;
                d["integral"] = kind_of(values) != 'f';
                d["n"] = py::len(values);
                small_[py::str(q)] = d;
            }
            return py::make_tuple(kNaN, std::int64_t{0});
        }
        return a.value;
    }

    py::object softmax_max(py::array values) {
        if (mode_ == Mode::Plain) {
            return py::none();
        }
        const std::string q = next_base() + ".max";
        Ask a = ask(q, true);
        if (!a.known) {
            if (a.collect) {
                const core::ColumnMaximum hi = core::softmax_maximum(numeric(values));
                py::dict d;
                d["f"] = hi.value;
                d["i"] = hi.integer;
                small_[py::str(q)] = d;
            }
            return py::make_tuple(kNaN, std::int64_t{0});
        }
        return a.value;
    }

    py::object any_missing(py::array_t<double> values) {
        if (mode_ == Mode::Plain) {
            return py::none();
        }
        const std::string q = next_base() + ".any";
        Ask a = ask(q, true);
        if (!a.known) {
            if (a.collect) {
                bool any = false;
                for (double v : view(as_f64(values))) {
                    any = any || std::isnan(v);
                }
                small_[py::str(q)] = any;
            }
            return py::bool_(true);
        }
        return a.value;
    }

    // ---- ranks over the whole column ---------------------------------------------

    py::object percentile(py::array values) {
        if (mode_ == Mode::Plain) {
            return py::none();
        }
        const std::string base = next_base();
        if (!ranked_rows(base, values, "percentile")) {
            return placeholder_column();
        }
        return rows_[py::str(base + ".rows")];
    }

    py::object entropy(py::array values) {
        if (mode_ == Mode::Plain) {
            return py::none();
        }
        const std::string base = next_base();
        if (!ranked_rows(base, values, "entropy")) {
            return py::float_(kNaN);
        }
        Ask t = ask(base + ".t", true);
        if (!t.known) {
            if (t.collect) {
                py::dict dist = known_[py::str(base + ".dist")];
                py::array_t<std::int64_t> codes = as_i64(rows_[py::str(base + ".rows")]);
                py::array_t<double> terms(codes.size());
                core::entropy_terms(view(codes), dist["total"].cast<std::int64_t>(),
                                    {terms.mutable_data(), static_cast<std::size_t>(terms.size())});
                small_[py::str(base + ".t")] = psum(terms);
            }
            return py::float_(kNaN);
        }
        return py::float_(sum_count(t.value).first);
    }

    // ---- group tables -------------------------------------------------------------

    py::object group_table(const std::string &kind, py::object stat, py::list keys,
                           py::object values, py::array_t<std::int64_t> codes, std::int64_t ngroups,
                           bool derived) {
        if (mode_ == Mode::Plain) {
            return py::none();
        }
        const std::string base = next_base();
        const std::string stat_name = stat.is_none() ? "" : py::str(stat).cast<std::string>();
        const bool runs =
            kind == "aggregate" && native_numeric(values) &&
            (stat_name == "sum" || stat_name == "mean" || stat_name == "min" || stat_name == "max");
        py::array_t<double> placeholder(ngroups);
        std::fill(placeholder.mutable_data(), placeholder.mutable_data() + ngroups, kNaN);
        bool ready = true;
        if (runs) {
            Ask r = ask(base + ".runs", derived);
            if (!r.known) {
                ready = false;
                if (r.collect) {
                    small_[py::str(base + ".runs")] = runs_partial(keys[0], values);
                }
            }
        }
        Ask t = ask(base + ".tab", derived || runs);
        if (t.known) {
            return match_table(t.value, kind, keys, codes, ngroups);
        }
        if (t.emit) {
            emitted(base + ".tab", table_columns(keys, values));
        } else if (t.collect && ready) {
            py::dict req;
            req["kind"] = "table";
            req["table"] = kind;
            req["stat"] = stat;
            req["keys"] = py::len(keys);
            req["values"] = !values.is_none();
            req["runs"] = runs ? py::object(known_[py::str(base + ".runs")]) : py::none();
            req["meta"] = meta_of(table_columns(keys, values));
            // Statistics read once in row order are carried along the
            // partitions as each group's accumulators: no group's rows ever
            // gather in one place.  Medians, distinct counts, the library's
            // statistics and NumPy's sorted runs see a group's rows at once.
            core::GroupStat gs{};
            const bool sorted = runs && req["runs"].cast<bool>();
            req["stream"] = kind != "aggregate" ||
                            (core::parse_group_stat(stat_name, gs) &&
                             core::group_state_width(gs) > 0 && native_numeric(values) && !sorted);
            requests_[py::str(base + ".tab")] = req;
        }
        return placeholder;
    }

    // ---- the final fill -------------------------------------------------------------

    py::object fill_value(py::object label, std::int64_t, py::array_t<double> values) {
        if (mode_ == Mode::Plain) {
            return py::none();
        }
        const std::string name = py::str(label).cast<std::string>();
        // A column filled by an earlier operator and not written since holds
        // no missing value, or only missing values: its fill changes nothing,
        // whatever the median.  Only new columns need the whole column's.
        if (name != out_label_ && filled_.count(name) > 0) {
            return py::float_(kNaN);
        }
        filled_.insert(name);
        const std::string q = std::to_string(seq_) + ".fill." + name;
        // the op's own column depends on what the op asked; others on their past
        std::set<std::string> deps;
        if (name == out_label_) {
            deps = input_taint_;
            deps.insert(op_unknown_.begin(), op_unknown_.end());
        } else if (const auto it = taint_.find(name); it != taint_.end()) {
            deps = it->second;
        }
        if (known_.contains(q)) {
            return known_[py::str(q)];
        }
        if (mode_ == Mode::Apply) {
            missing(q);
        }
        unknown_.append(py::str(q));
        if (name != out_label_) {
            taint_[name].insert(q);
        } else {
            op_unknown_.insert(q);
        }
        if (mode_ == Mode::Collect && deps.empty()) {
            small_[py::str(q)] = median_partial(q, as_f64(values));
        }
        return py::float_(kNaN);
    }

    // ---- windows ----------------------------------------------------------------------

    py::object window(const std::string &op, py::object df, py::object name, py::list operands) {
        if (mode_ == Mode::Plain) {
            return py::none();
        }
        const bool grouped = op == "crossrank" || !group_.is_none();
        const std::string base = next_base();
        const std::string q = base + (grouped ? ".rows" : ".win");
        std::vector<py::object> columns;  // operand columns, in operand order
        const std::size_t ncols = op == "crossrank" || is_pair(op) ? 2 : 1;
        for (std::size_t i = 0; i < ncols; ++i) {
            columns.push_back(operands[i]);
        }
        if (grouped) {
            // A grouped window may be carried along the partitions (each
            // group continuing from its running state or its last rows); the
            // driver decides from the number of groups.  Leads and ranks
            // across a group are always computed on rows shuffled by group.
            std::int64_t d = 0, before = 0, groups = -1;
            bool carried = false;
            if (op != "crossrank") {
                try {
                    d = python_int(operands[operands.size() - 1]).cast<std::int64_t>();
                    const bool local = window_local(op, d);
                    before = is_lag(op) ? d : std::max<std::int64_t>(d - 1, 0);
                    carried = !(is_lag(op) && d < 0);
                    for (std::size_t i = 0; i < ncols && !local; ++i) {
                        carried = carried && native_numeric(df.attr("__getitem__")(columns[i]));
                    }
                    py::object keys = df.attr("__getitem__")(group_);
                    carried = carried && py::hasattr(keys, "dtype");
                } catch (const py::error_already_set &) {
                    // a length, an operand or a group the operator itself refuses,
                    // with its own message, on the shuffled rows
                    carried = false;
                } catch (const py::cast_error &) {
                    carried = false;
                }
            }
            bool derived = false;
            if (carried) {
                const std::string gq = base + ".groups";
                Ask g = ask(gq, false);
                if (g.known) {
                    groups = g.value.cast<std::int64_t>();
                } else {
                    if (g.collect) {
                        py::tuple f = pd().attr("factorize")(df.attr("__getitem__")(group_),
                                                             "use_na_sentinel"_a = false);
                        small_[py::str(gq)] = py::int_(py::len(f[1]));
                    }
                    derived = true;
                }
            }
            Ask a = ask(q, derived);
            if (a.known) {
                return a.value;
            }
            py::object key = op == "crossrank" ? columns[0] : group_;
            py::object local =
                plain_op(op, df, name, operands, op == "crossrank" ? py::none() : group_);
            py::dict cols = window_columns(df, key, columns);
            if (a.emit) {
                emitted(q, cols);
            } else if (a.collect) {
                py::dict req;
                req["kind"] = "window";
                req["op"] = op;
                req["operands"] = operands;
                req["key"] = key;
                req["group"] = op == "crossrank" ? py::none() : group_;
                req["dtype"] = local.attr("dtype");
                req["meta"] = meta_of(cols);
                req["carried"] = carried;
                req["groups"] = groups;
                req["window"] = d;
                req["before"] = before;
                requests_[py::str(q)] = req;
            }
            return local;
        }
        const std::int64_t d = python_int(operands[operands.size() - 1]).cast<std::int64_t>();
        if (window_local(op, d)) {
            // the rows just before (and, for leads, just after) the partition
            std::int64_t before = 0, after = 0;
            if (is_lag(op)) {
                before = d > 0 ? d : 0;
                after = d < 0 ? -d : 0;
            } else {
                before = d > 1 ? d - 1 : 0;
            }
            Ask a = ask(q, false);
            if (a.known) {
                return extended_op(op, df, name, operands, columns, a.value);
            }
            py::object local = plain_op(op, df, name, operands, py::none());
            if (a.collect) {
                py::object frame = df.attr("__getitem__")(column_list(columns));
                py::dict edge;
                const auto n = static_cast<std::int64_t>(py::len(frame));
                edge["head"] = frame.attr("iloc")[py::slice(0, std::min(after, n), 1)];
                edge["tail"] = frame.attr("iloc")[py::slice(n - std::min(before, n), n, 1)];
                edge["before"] = before;
                edge["after"] = after;
                small_[py::str(q)] = edge;
            }
            return local;
        }
        // running windows: continued from the state the partitions before left
        Ask a = ask(q, false);
        if (a.known) {
            return continued_op(op, df, columns, d,
                                py::list(a.value)[static_cast<std::size_t>(part_)]);
        }
        py::object local = plain_op(op, df, name, operands, py::none());
        if (a.emit || a.collect) {
            py::dict piece;
            for (std::size_t i = 0; i < columns.size(); ++i) {
                piece[py::str(key_column(i))] = float_column(df, columns[i]);
            }
            if (a.emit) {
                emitted(q, piece);
            } else {
                py::dict req;
                req["kind"] = "chain";
                req["op"] = op;
                req["window"] = d;
                req["columns"] = columns.size();
                requests_[py::str(q)] = req;
            }
        }
        return local;
    }

    py::dict result() const {
        py::dict r;
        r["small"] = small_;
        r["requests"] = requests_;
        r["pieces"] = pieces_;
        r["unknown"] = unknown_;
        return r;
    }

  private:
    // ---- bookkeeping ------------------------------------------------------------

    std::string next_base() { return std::to_string(seq_) + "." + std::to_string(asked_++); }

    Ask ask(const std::string &q, bool derived) {
        Ask a;
        py::str key(q);
        const bool per_row = q.ends_with(".rows");
        if (per_row ? rows_.contains(key) : known_.contains(key)) {
            a.value = per_row ? py::object(rows_[key]) : py::object(known_[key]);
            a.known = true;
            return a;
        }
        if (mode_ == Mode::Apply) {
            missing(q);
        }
        const bool blocked = !input_taint_.empty() || (derived && !op_unknown_.empty());
        op_unknown_.insert(q);
        unknown_.append(key);
        a.collect = mode_ == Mode::Collect && !blocked;
        a.emit = mode_ == Mode::Emit && targets_.count(q) > 0;
        return a;
    }

    [[noreturn]] void missing(const std::string &q) const {
        bind::raise(PyExc_RuntimeError,
                    "the partitioned engine has no value for the quantity " + q +
                        "; the feature names or the records changed between rounds");
    }

    void emitted(const std::string &q, py::dict columns) {
        const auto n = static_cast<py::ssize_t>(length_);
        py::array_t<std::int64_t> ids(n);
        for (py::ssize_t i = 0; i < n; ++i) {
            ids.mutable_data()[i] = static_cast<std::int64_t>(offset_) + i;
        }
        columns[kRowId] = ids;
        pieces_[py::str(q)] = pd().attr("DataFrame")(columns);
        targets_.erase(q);
        if (targets_.empty()) {
            py::object done = py::module_::import("brinvale.tessel").attr("_EmitDone");
            PyErr_SetNone(done.ptr());
            throw py::error_already_set();
        }
    }

    // ---- pairwise sums ------------------------------------------------------------

    py::dict psum(const py::array_t<double> &values) {
        core::PairwisePieces p;
        std::size_t count = 0;
        {
            std::span<const double> v = view(values);
            py::gil_scoped_release release;
            p = core::pairwise_pieces(v, offset_, total_);
            count = v.size();
        }
        py::dict d = pieces_to_python(p);
        d["count"] = count - skipped_;
        skipped_ = 0;
        return d;
    }

    // blocks of kCastBlock values: each summed pairwise, the blocks in order
    py::dict chunked_psum(const py::array_t<double> &values) {
        py::list blocks;
        const std::uint64_t n = static_cast<std::uint64_t>(values.size());
        std::uint64_t pos = offset_;
        while (pos < offset_ + n) {
            const std::uint64_t block = pos / kCastBlock;
            const std::uint64_t start = block * kCastBlock;
            const std::uint64_t len = std::min(kCastBlock, total_ - start);
            const std::uint64_t stop = std::min(start + len, offset_ + n);
            std::span<const double> part(values.data() + (pos - offset_), stop - pos);
            core::PairwisePieces p = core::pairwise_pieces(part, pos - start, len);
            blocks.append(py::make_tuple(block, len, pieces_to_python(p)));
            pos = stop;
        }
        py::dict d;
        d["blocks"] = blocks;
        d["count"] = n;
        return d;
    }

    // missing values as 0, as pandas sums them; their number is left out of the count
    py::array_t<double> skip_missing(const py::array_t<double> &v) {
        py::array_t<double> out(v.size());
        std::size_t missing_values = 0;
        for (py::ssize_t i = 0; i < v.size(); ++i) {
            const double x = v.data()[i];
            missing_values += std::isnan(x);
            out.mutable_data()[i] = std::isnan(x) ? 0.0 : x;
        }
        skipped_ = missing_values;
        return out;
    }

    py::array_t<double> squares(const py::array_t<double> &v, double mean) {
        py::array_t<double> out(v.size());
        for (py::ssize_t i = 0; i < v.size(); ++i) {
            const double x = v.data()[i];
            const double d = mean - x;
            out.mutable_data()[i] = std::isnan(x) ? 0.0 : d * d;
        }
        return out;
    }

    static std::pair<double, std::uint64_t> sum_count(py::handle known) {
        py::tuple t = py::reinterpret_borrow<py::tuple>(known);
        return {t[0].cast<double>(), t[1].cast<std::uint64_t>()};
    }

    static double deviation(py::handle squares_known, std::uint64_t count) {
        if (count < 2) {
            return kNaN;
        }
        return std::sqrt(sum_count(squares_known).first / static_cast<double>(count - 1));
    }

    core::NumericColumn numeric(const py::array &values) {
        if (kind_of(values) == 'f') {
            hold_ = as_f64(values);
            return {static_cast<const double *>(hold_.data()), nullptr,
                    static_cast<std::size_t>(hold_.size())};
        }
        hold_ = as_i64(values);
        return {nullptr, static_cast<const std::int64_t *>(hold_.data()),
                static_cast<std::size_t>(hold_.size())};
    }

    // ---- ranks --------------------------------------------------------------------

    py::object placeholder_column() {
        py::array_t<double> a(static_cast<py::ssize_t>(length_));
        std::fill(a.mutable_data(), a.mutable_data() + a.size(), kNaN);
        return a;
    }

    // The digit histogram, then (entropy) the distinct values per shuffle
    // target, then the rows themselves; true once the rows are here.
    bool ranked_rows(const std::string &base, py::array values, const char *what) {
        const char kind = kind_of(values);
        if (!(kind == 'f' || kind == 'i' || kind == 'u') || values.itemsize() != 8) {
            unsupported(py::str(what), values.attr("dtype"));
        }
        const bool entropy = std::strcmp(what, "entropy") == 0;
        Ask h = ask(base + ".hist", false);
        std::optional<Ask> dist;
        if (entropy) {
            dist = ask(base + ".dist", true);
        }
        Ask r = ask(base + ".rows", true);
        if (!h.known) {
            if (h.collect) {
                py::array_t<double> v = as_f64(values.attr("astype")("float64"));
                core::DigitCounts c = core::digit_counts(view(v), 0, 0);
                py::dict d;
                d["digits"] = py::array_t<std::uint16_t>(c.digits.size(), c.digits.data());
                d["counts"] = py::array_t<std::int64_t>(c.counts.size(), c.counts.data());
                small_[py::str(base + ".hist")] = d;
            }
            return false;
        }
        if (entropy && !dist->known) {
            if (dist->emit) {
                emitted(base + ".dist", ranked_columns(values, h.value));
            } else if (dist->collect) {
                py::dict req;
                req["kind"] = "entropy_dist";
                req["hist"] = h.value;
                req["meta"] = meta_of(ranked_columns(values, h.value));
                requests_[py::str(base + ".dist")] = req;
            }
            return false;
        }
        if (!r.known) {
            if (r.emit) {
                emitted(base + ".rows", ranked_columns(values, h.value));
            } else if (r.collect) {
                py::dict req;
                req["kind"] = what;
                req["hist"] = h.value;
                req["meta"] = meta_of(ranked_columns(values, h.value));
                if (entropy) {
                    req["dist"] = dist->value;
                }
                requests_[py::str(base + ".rows")] = req;
            }
            return false;
        }
        return true;
    }

    py::dict ranked_columns(py::array values, py::dict hist) {
        py::array_t<double> v = as_f64(values.attr("astype")("float64"));
        py::array_t<std::int64_t> digit_target = as_i64(hist["digit_target"]);
        const auto ntargets = hist["ntargets"].cast<std::int64_t>();
        py::array_t<std::int64_t> target(v.size());
        for (py::ssize_t i = 0; i < v.size(); ++i) {
            const double x = v.data()[i];
            target.mutable_data()[i] = std::isnan(x)
                                           ? (static_cast<std::int64_t>(offset_) + i) % ntargets
                                           : digit_target.data()[core::order_key(x) >> 48];
        }
        py::dict cols;
        cols[kValue] = values;
        cols[kTarget] = target;
        return cols;
    }

    // ---- group tables -----------------------------------------------------------

    static bool native_numeric(py::handle values) {
        if (values.is_none()) {
            return false;
        }
        py::object dtype = values.attr("dtype");
        if (!py::isinstance(dtype, np().attr("dtype"))) {
            return false;
        }
        const std::string kind = py::str(dtype.attr("kind")).cast<std::string>();
        return kind == "i" || kind == "u" || kind == "f";
    }

    // Whether the keys run in sorted order (missing keys first) within this
    // partition, its first and last key, and whether the values hold NaN:
    // pandas' groupby sums runs of sorted keys with NumPy's reduceat.
    py::dict runs_partial(py::handle keys, py::handle values) {
        py::tuple f = pd().attr("factorize")(keys, "sort"_a = true);
        py::array_t<std::int64_t> codes = as_i64(f[0]);
        bool sorted = true;
        for (py::ssize_t i = 1; i < codes.size(); ++i) {
            sorted = sorted && codes.data()[i - 1] <= codes.data()[i];
        }
        py::dict d;
        const auto n = static_cast<py::ssize_t>(py::len(keys));
        d["sorted"] = sorted;
        d["first"] = keys.attr("iloc")[py::slice(0, 1, 1)];
        d["last"] = keys.attr("iloc")[py::slice(n - 1, n, 1)];
        d["nan_values"] = py::bool_(values.attr("isna")().attr("any")());
        return d;
    }

    py::dict table_columns(py::list keys, py::object values) {
        py::dict cols;
        for (std::size_t j = 0; j < keys.size(); ++j) {
            py::object k = keys[j];
            cols[py::str(key_column(j))] = k.attr("array");
            cols[py::str(hash_column(j))] = hashable_keys(k).attr("array");
        }
        if (!values.is_none()) {
            cols[kValue] = values.attr("array");
        }
        return cols;
    }

    // The whole frame's table at this partition's codes: each code's keys
    // (taken at its first row) looked up among the table's keys, as pandas
    // matches keys (factorize over both).
    py::object match_table(py::dict table, const std::string &kind, py::list keys,
                           const py::array_t<std::int64_t> &codes, std::int64_t ngroups) {
        std::vector<std::int64_t> first(static_cast<std::size_t>(ngroups), -1);
        for (py::ssize_t i = 0; i < codes.size(); ++i) {
            const std::int64_t c = codes.data()[i];
            if (c >= 0 && c < ngroups && first[static_cast<std::size_t>(c)] < 0) {
                first[static_cast<std::size_t>(c)] = i;
            }
        }
        std::vector<std::int64_t> present;
        std::vector<std::int64_t> rows;
        for (std::size_t c = 0; c < first.size(); ++c) {
            if (first[c] >= 0) {
                present.push_back(static_cast<std::int64_t>(c));
                rows.push_back(first[c]);
            }
        }
        py::list table_keys = table["keys"];
        py::array_t<double> table_values = as_f64(table["values"]);
        const auto nt = static_cast<std::int64_t>(table_values.size());
        const auto np_ = static_cast<std::int64_t>(present.size());
        py::array_t<std::int64_t> take(np_, rows.data());
        // joint codes of (table keys, partition keys), one key column at a time
        std::vector<std::int64_t> tab(static_cast<std::size_t>(nt), 0),
            mine(static_cast<std::size_t>(np_), 0);
        std::int64_t radix = 1;
        for (std::size_t j = 0; j < keys.size(); ++j) {
            py::object mine_keys = py::object(keys[j]).attr("take")(take);
            py::list parts;
            parts.append(pd().attr("Series")(np().attr("asarray")(table_keys[j])));
            parts.append(pd().attr("Series")(np().attr("asarray")(mine_keys)));
            py::object both = pd().attr("concat")(parts, "ignore_index"_a = true);
            py::tuple f = pd().attr("factorize")(both, "sort"_a = false,
                                                 "use_na_sentinel"_a = kind != "count");
            py::array_t<std::int64_t> jc = as_i64(f[0]);
            const auto levels = static_cast<std::int64_t>(py::len(f[1])) + 1;
            for (std::int64_t r = 0; r < nt; ++r) {
                const std::int64_t c = jc.data()[r];
                tab[static_cast<std::size_t>(r)] =
                    tab[static_cast<std::size_t>(r)] < 0 || c < 0
                        ? -1
                        : tab[static_cast<std::size_t>(r)] * levels + c;
            }
            for (std::int64_t r = 0; r < np_; ++r) {
                const std::int64_t c = jc.data()[nt + r];
                mine[static_cast<std::size_t>(r)] =
                    mine[static_cast<std::size_t>(r)] < 0 || c < 0
                        ? -1
                        : mine[static_cast<std::size_t>(r)] * levels + c;
            }
            radix *= levels;
        }
        std::unordered_map<std::int64_t, double> lookup;
        for (std::int64_t r = 0; r < nt; ++r) {
            if (tab[static_cast<std::size_t>(r)] >= 0) {
                lookup.emplace(tab[static_cast<std::size_t>(r)], table_values.data()[r]);
            }
        }
        py::array_t<double> out(ngroups);
        std::fill(out.mutable_data(), out.mutable_data() + ngroups, kNaN);
        for (std::int64_t r = 0; r < np_; ++r) {
            const auto it = lookup.find(mine[static_cast<std::size_t>(r)]);
            if (it != lookup.end()) {
                out.mutable_data()[present[static_cast<std::size_t>(r)]] = it->second;
            }
        }
        return out;
    }

    // ---- medians --------------------------------------------------------------------

    // Round 0: the column's size and first digits; later rounds: the digits
    // or the values under the prefixes the driver narrowed down to.
    py::dict median_partial(const std::string &q, const py::array_t<double> &v) {
        py::dict d;
        py::object rounds = plan_.contains("median") ? py::object(plan_["median"]) : py::dict();
        if (!py::bool_(rounds.attr("__contains__")(q))) {
            std::int64_t nan_count = 0;
            for (double x : view(v)) {
                nan_count += std::isnan(x);
            }
            core::DigitCounts c = core::digit_counts(view(v), 0, 0);
            d["nan"] = nan_count;
            d["n"] = static_cast<std::int64_t>(v.size()) - nan_count;
            d["digits"] = py::array_t<std::uint16_t>(c.digits.size(), c.digits.data());
            d["counts"] = py::array_t<std::int64_t>(c.counts.size(), c.counts.data());
            return d;
        }
        py::list found;
        for (py::handle t : py::object(rounds[py::str(q)])) {
            py::tuple target = py::reinterpret_borrow<py::tuple>(t);
            const int level = target[0].cast<int>();
            const auto prefix = target[1].cast<std::uint64_t>();
            const bool gather = target[2].cast<bool>();
            if (gather) {
                std::vector<double> vals = core::values_with_prefix(view(v), level, prefix);
                found.append(py::array_t<double>(vals.size(), vals.data()));
            } else {
                core::DigitCounts c = core::digit_counts(view(v), level, prefix);
                found.append(
                    py::make_tuple(py::array_t<std::uint16_t>(c.digits.size(), c.digits.data()),
                                   py::array_t<std::int64_t>(c.counts.size(), c.counts.data())));
            }
        }
        d["targets"] = found;
        return d;
    }

    // ---- windows --------------------------------------------------------------------

    py::list column_list(const std::vector<py::object> &columns) {
        py::list l;
        for (const py::object &c : columns) {
            l.append(c);
        }
        return l;
    }

    // The operator itself on `frame` as a whole (no engine but the group).
    py::object plain_op(const std::string &op, py::object frame, py::object name, py::list operands,
                        py::object group) {
        py::object copy = frame.attr("copy")("deep"_a = false);
        py::object plain =
            py::module_::import("brinvale.tessel")
                .attr("_Engine")(py::dict("group"_a = group), 0, "plain", py::dict(), py::none());
        py::list args;
        args.append(plain);
        args.append(tavrin().attr(op.c_str()));
        args.append(copy);
        for (py::handle o : operands) {
            args.append(o);
        }
        py::object out = tavrin().attr("_with_engine")(*py::tuple(args));
        return py::object(out.attr("__getitem__")(name)).attr("array");
    }

    py::object extended_op(const std::string &op, py::object df, py::object name, py::list operands,
                           const std::vector<py::object> &columns, py::object edges) {
        py::tuple e = py::list(edges)[static_cast<std::size_t>(part_)];
        py::object before = e[0], after = e[1];
        py::list parts;
        parts.append(before);
        parts.append(df.attr("__getitem__")(column_list(columns)));
        parts.append(after);
        py::object extended = pd().attr("concat")(parts, "ignore_index"_a = true);
        py::object values = plain_op(op, extended, name, operands, py::none());
        const auto b = static_cast<py::ssize_t>(py::len(before));
        return values.attr("__getitem__")(py::slice(b, b + static_cast<py::ssize_t>(length_), 1));
    }

    py::array_t<double> float_column(py::object df, py::object col) {
        py::object s = df.attr("__getitem__")(col);
        py::object types = pd().attr("api").attr("types");
        if (!py::bool_(types.attr("is_numeric_dtype")(s.attr("dtype")))) {
            unsupported(py::str("a running window"), s.attr("dtype"));
        }
        return as_f64(s.attr("to_numpy")("dtype"_a = "float64", "na_value"_a = py::float_(kNaN)));
    }

    py::object continued_op(const std::string &op, py::object df,
                            const std::vector<py::object> &columns, std::int64_t d,
                            py::handle carry_in) {
        core::WindowCarry carry = carry_from_python(carry_in);
        py::array_t<double> out(static_cast<py::ssize_t>(length_));
        py::array_t<double> x = float_column(df, columns[0]);
        std::span<double> o(out.mutable_data(), static_cast<std::size_t>(out.size()));
        const auto window = static_cast<std::uint64_t>(d);
        if (is_pair(op)) {
            py::array_t<double> y = float_column(df, columns[1]);
            const core::PairStat stat =
                op == "tcorrelation" ? core::PairStat::Corr : core::PairStat::Cov;
            {
                py::gil_scoped_release release;
                core::rolling_pair_continue(stat, view(x), view(y), window, total_, carry, o);
            }
        } else {
            const core::WindowStat stat = op == "tsum"      ? core::WindowStat::Sum
                                          : op == "ts_mean" ? core::WindowStat::Mean
                                                            : core::WindowStat::Std;
            {
                py::gil_scoped_release release;
                core::rolling_continue(stat, view(x), window, total_, carry, o);
            }
        }
        return out;
    }

    // The key and operand columns under their own labels (the operator reads
    // them by name on the shuffled rows), and the key's hashable stand-in.
    py::dict window_columns(py::object df, py::object key, const std::vector<py::object> &columns) {
        py::dict cols;
        py::object k = df.attr("__getitem__")(key);
        cols[key] = k.attr("array");
        for (const py::object &c : columns) {
            cols[c] = py::object(df.attr("__getitem__")(c)).attr("array");
        }
        cols[py::str(hash_column(0))] = hashable_keys(k).attr("array");
        return cols;
    }

    // The empty frame the emitted rows of a quantity will fill.
    static py::object meta_of(py::dict cols) {
        py::dict empty;
        for (auto item : cols) {
            empty[item.first] = py::object(pd().attr("Series")(item.second))
                                    .attr("iloc")[py::slice(0, 0, 1)]
                                    .attr("array");
        }
        empty[kRowId] = py::array_t<std::int64_t>(0);
        return pd().attr("DataFrame")(empty);
    }

    py::dict plan_;
    std::int64_t part_ = 0;
    Mode mode_;
    py::dict rows_;
    py::dict known_;
    py::object group_ = py::none();
    py::dict records_;
    std::uint64_t offset_ = 0, length_ = 0, total_ = 0;
    std::int64_t nparts_ = 0;
    std::set<std::string> targets_;

    int seq_ = 0;
    int asked_ = 0;
    std::string op_, out_label_;
    std::set<std::string> input_taint_, op_unknown_;
    std::unordered_map<std::string, std::set<std::string>> taint_;
    std::set<std::string> filled_;  // columns filled since last written

    py::dict small_, requests_, pieces_;
    py::list unknown_;
    std::size_t skipped_ = 0;
    py::array hold_;
};

void register_engine(py::module_ &m) {
    py::class_<Engine>(m, "_Engine")
        .def(py::init<py::dict, std::int64_t, const std::string &, py::dict, py::object>(),
             py::arg("plan"), py::arg("part"), py::arg("mode"), py::arg("rows"), py::arg("emit"))
        .def("begin", &Engine::begin)
        .def("end", &Engine::end)
        .def("group", &Engine::group)
        .def("unsupported", &Engine::unsupported)
        .def("standardize", &Engine::standardize)
        .def("mean", &Engine::mean)
        .def("column_total", &Engine::column_total)
        .def("column_min", &Engine::column_min)
        .def("softmax_max", &Engine::softmax_max)
        .def("any_missing", &Engine::any_missing)
        .def("percentile", &Engine::percentile)
        .def("entropy", &Engine::entropy)
        .def("group_table", &Engine::group_table)
        .def("fill_value", &Engine::fill_value)
        .def("window", &Engine::window)
        .def("result", &Engine::result);
    // Raised through the feature engine once every row a shuffle needs is out.
    m.attr("_EmitDone") = py::reinterpret_steal<py::object>(
        PyErr_NewException("brinvale.tessel._EmitDone", PyExc_Exception, nullptr));
}

}  // namespace brinvale::tessel
