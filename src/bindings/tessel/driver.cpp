// The driver: the rounds over the partitions that learn every whole-frame
// quantity, the shuffles that bring rows of one group (or one value range)
// together and back into the frame's row order, and the lazy collections
// returned to the caller.
#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "brinvale/groupstats.hpp"
#include "brinvale/partitioned.hpp"
#include "tessel.hpp"

namespace brinvale::tessel {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// A value range holding at most this many values is sent whole to the driver
// when a median is narrowed down; larger ones are split by the next digit.
constexpr std::int64_t kGatherLimit = 1 << 20;
constexpr int kMaxRounds = 200;

py::module_ dask() { return py::module_::import("dask"); }
py::module_ dd() { return py::module_::import("dask.dataframe"); }
py::module_ tessel() { return py::module_::import("brinvale.tessel"); }

// Dask's choice, except its on-disk shuffle of the local schedulers, which
// leaves its files behind in the temporary folder: shuffles in memory there.
// Dask's own choice takes a distributed client for the scheduler whenever
// one exists, also under `dask.config.set(scheduler="threads")`.
py::object shuffle_method() {
    py::object method = py::module_::import("dask.utils").attr("get_default_shuffle_method")();
    const std::string name = py::str(method).cast<std::string>();
    if (name == "disk") {
        return py::str("tasks");
    }
    if (name == "p2p") {
        py::object scheduler = py::module_::import("dask.base").attr("get_scheduler")();
        py::object owner = py::getattr(scheduler, "__self__", py::none());
        if (owner.is_none() ||
            py::str(py::type::handle_of(owner).attr("__name__")).cast<std::string>() != "Client") {
            return py::str("tasks");
        }
    }
    return method;
}

// The partitions of a Dask DataFrame as delayed objects: Dask cannot persist
// a mix of DataFrame expressions and delayed objects in one call.
py::list delayed_parts(py::handle frame) {
    return frame.attr("to_delayed")("optimize_graph"_a = false);
}

// Grouped windows carry each group's state from partition to partition up
// to this many groups (summed over the partitions, a bound of the frame's
// groups); beyond, carrying them costs more than shuffling rows by group,
// which gathers each group's rows on one worker instead.
std::int64_t carried_groups() {
    return dask()
        .attr("config")
        .attr("get")("brinvale.carried-groups", 1 << 14)
        .cast<std::int64_t>();
}

py::object delayed(py::handle fn) { return dask().attr("delayed")(fn); }
py::object literal(py::handle value) { return dask().attr("delayed")(value, "traverse"_a = false); }

// "3.0.tab" -> ("3", "0", "tab"); "3.fill.price" -> ("3", "fill", "price")
std::vector<std::string> split_qid(const std::string &q) {
    std::vector<std::string> parts;
    std::size_t a = q.find('.');
    std::size_t b = q.find('.', a + 1);
    parts.push_back(q.substr(0, a));
    parts.push_back(q.substr(a + 1, b - a - 1));
    parts.push_back(b == std::string::npos ? "" : q.substr(b + 1));
    return parts;
}

struct Median {
    std::int64_t n = 0;
    std::vector<std::int64_t> ranks;  // 0-based ranks among the non-missing values
    struct Search {
        int level = 0;
        std::uint64_t prefix = 0;
        std::int64_t below = 0;
        bool gather = false;
        bool done = false;
        double value = kNaN;
    };
    std::vector<Search> search;  // one per rank
};

// The state of one call of preprocess.
class Run {
  public:
    Run(py::object obj, py::object ddf, py::object return_y)
        : obj_(std::move(obj)), ddf_(std::move(ddf)), return_y_(std::move(return_y)) {}

    py::object preprocess() {
        prepare();
        rounds();
        return result_frame();
    }

    py::object predict(const std::string &method) {
        py::object model = obj_.attr("model");
        const auto width = py::len(model.attr("feature_names_in_"));
        py::object frame;
        if (width == py::len(ddf_.attr("columns")) &&
            py::set(ddf_.attr("columns").attr("tolist")())
                .equal(py::set(py::module_::import("builtins")
                                   .attr("map")(py::module_::import("builtins").attr("str"),
                                                model.attr("feature_names_in_"))))) {
            // the model's own input, taken as it is
            frame = ddf_;
            py::list sizes;
            py::object len = py::module_::import("builtins").attr("len");
            for (py::handle part : frame.attr("to_delayed")()) {
                sizes.append(delayed(len)(part));
            }
            lengths_ = py::list(dask().attr("compute")(*py::tuple(sizes)));
            head_ = frame.attr("head")(1, "npartitions"_a = -1);
        } else {
            return_y_ = py::bool_(true);
            prepare();
            rounds();
            frame = result_frame();
        }
        py::object target = obj_.attr("target_name");
        // the output's type and width, from the model's answer for one row
        py::object probe_frame = head_;
        if (py::bool_(probe_frame.attr("columns").attr("tolist")().attr("__contains__")(target))) {
            probe_frame = probe_frame.attr("drop")("columns"_a = py::list(py::make_tuple(target)));
        }
        py::object probe = np().attr("asarray")(model.attr(method.c_str())(probe_frame));
        py::object da = py::module_::import("dask.array");
        py::object meta = probe.attr("__getitem__")(py::slice(0, 0, 1));
        py::object lazy = frame.attr("map_partitions")(tessel().attr("_predict_part"), model,
                                                       target, method, "meta"_a = meta);
        // the partitions' lengths are known: the array's chunks are given
        py::list chunks;
        chunks.append(py::tuple(lengths_));
        for (py::ssize_t d = 1; d < py::len(probe.attr("shape")); ++d) {
            chunks.append(py::make_tuple(probe.attr("shape")[py::int_(d)]));
        }
        return da.attr("Array")(lazy.attr("__dask_graph__")(), lazy.attr("name"), py::tuple(chunks),
                                "meta"_a = meta);
    }

  private:
    // ---- the pipeline's steps before the feature engine ----------------------------

    void prepare() {
        py::object builtins = py::module_::import("builtins");
        // labels: blanks around them removed, spaces as "_" (the frame's own
        // labels, as _process_data cleans them)
        py::object meta = ddf_.attr("_meta").attr("copy")();
        py::list stripped;
        for (py::handle col : meta.attr("columns").attr("tolist")()) {
            stripped.append(col.attr("strip")());
        }
        meta.attr("columns") = stripped;
        meta = obj_.attr("_normalize_column_names")(meta);
        py::list labels = meta.attr("columns").attr("tolist")();
        std::set<std::string> seen;
        for (py::handle l : labels) {
            if (!seen.insert(py::str(l).cast<std::string>()).second) {
                bind::raise(PyExc_ValueError,
                            "the input has repeated column labels (after blanks around labels are "
                            "removed and spaces become '_'): " +
                                py::repr(l).cast<std::string>());
            }
        }
        ddf_ = ddf_.attr("rename")("columns"_a = builtins.attr("dict")(builtins.attr("zip")(
                                       ddf_.attr("columns").attr("tolist")(), labels)));
        for (const char *attr : {"time_index", "group_id"}) {
            if (!obj_.attr(attr).is_none()) {
                obj_.attr(attr) = obj_.attr("_colname_filter")(obj_.attr(attr));
            }
        }
        if (!obj_.attr("target_name").is_none()) {
            obj_.attr("target_name") = obj_.attr("_colname_filter")(obj_.attr("target_name"));
        }
        // every input column the features and the model read
        py::list needed = py::module_::import("brinvale.brinvale").attr("_input_columns")(obj_);
        py::list lacking;
        for (py::handle c : needed) {
            if (!py::bool_(labels.attr("__contains__")(c))) {
                lacking.append(py::repr(c));
            }
        }
        if (py::len(lacking) > 0) {
            bind::raise_object(PyExc_KeyError,
                               py::str("the input lacks {} column{} the model needs: {}")
                                   .format(py::len(lacking), py::len(lacking) == 1 ? "" : "s",
                                           py::str(", ").attr("join")(lacking)));
        }

        records_ = obj_.attr("lec_record_dt");
        py::dict prep;
        prep["records"] = records_;
        prep["time_index"] = obj_.attr("time_index");
        prep["percent"] = py::none();
        // lengths and percentage columns, in one pass
        py::list parts = ddf_.attr("to_delayed")();
        py::object prep_d = literal(prep);
        py::list surveys;
        for (py::handle p : parts) {
            surveys.append(delayed(tessel().attr("_survey"))(p, prep_d));
        }
        py::tuple answers = dask().attr("compute")(*py::tuple(surveys));
        py::list percent;
        py::object first_time = py::none();
        std::uint64_t total = 0;
        offsets_ = py::list();
        offsets_.append(0);
        py::list kept;
        for (std::size_t k = 0; k < parts.size(); ++k) {
            py::tuple a = answers[k];
            const auto n = a[0].cast<std::uint64_t>();
            for (py::handle c : a[1]) {
                if (!py::bool_(percent.attr("__contains__")(c))) {
                    percent.append(c);
                }
            }
            if (first_time.is_none() && !py::object(a[2]).is_none()) {
                first_time = a[2];
            }
            if (n == 0) {
                continue;  // empty partitions take no part
            }
            kept.append(parts[k]);
            lengths_.append(n);
            total += n;
            offsets_.append(total);
        }
        if (total == 0) {
            bind::raise(PyExc_ValueError, "the input has no rows");
        }
        total_ = total;
        prep["percent"] = percent;
        prep_d = literal(prep);
        prepared_ = py::list();
        for (py::handle p : kept) {
            prepared_.append(delayed(tessel().attr("_prepare"))(p, prep_d));
        }
        nparts_ = py::len(prepared_);

        py::object cfg = py::getattr(obj_, "_folder_cfg", py::none());
        if (cfg.is_none()) {
            cfg = py::module_::import("module.common.quillet").attr("TaskConfig")().attr("cfg");
        }
        group_ = py::object(cfg["Feature"]).attr("get")("GroupIndex", py::none());

        py::list features = obj_.attr("adv_features");
        bool fresh = false;
        for (py::handle f : features) {
            const std::string name = py::str(f).cast<std::string>();
            for (const char *op : {"count###", "crosscount###", "aggregate###", "nunique###"}) {
                fresh = fresh || name.find(op) != std::string::npos;
            }
        }
        py::object target = obj_.attr("target_name");
        const bool running = py::bool_(py::getattr(obj_, "automl_running", py::none()));
        const bool has_target = !target.is_none() && py::bool_(labels.attr("__contains__")(target));
        py::dict post;
        post["fresh_index"] = fresh;
        post["id_index"] = obj_.attr("id_index");
        py::list ignore;
        for (py::handle i : obj_.attr("ignore_features")) {
            py::object label = py::reinterpret_borrow<py::object>(i);
            if (!label.equal(obj_.attr("time_index")) && !label.equal(obj_.attr("group_id"))) {
                ignore.append(label);
            }
        }
        post["ignore"] = ignore;
        post["time_index"] = obj_.attr("time_index");
        // the format pandas' to_datetime infers from the whole column's first
        // text, so that every partition reads its dates as one machine does
        post["time_format"] = py::none();
        if (PyUnicode_CheckExact(first_time.ptr())) {
            py::object format =
                py::module_::import("pandas.tseries.api").attr("guess_datetime_format")(first_time);
            // no format from the first text: pandas reads every value on its
            // own, which "mixed" asks of each partition
            post["time_format"] = format.is_none() ? py::str("mixed") : format;
        }
        post["target"] = target;
        post["append_target"] = running && py::bool_(return_y_) && has_target;
        post["drop_target"] = !running && !py::bool_(return_y_);

        base_["features"] = features;
        base_["records"] = records_;
        base_["group"] = group_;
        base_["offsets"] = offsets_;
        base_["total"] = total_;
        base_["post"] = post;
    }

    py::dict plan() const {
        py::dict p = base_.attr("copy")();
        p["known"] = known_.attr("copy")();
        py::dict rounds;
        for (const auto &[q, m] : medians_) {
            py::list targets;
            for (const Median::Search &s : m.search) {
                if (!s.done) {
                    targets.append(py::make_tuple(s.level, s.prefix, s.gather));
                }
            }
            rounds[py::str(q)] = targets;
        }
        p["median"] = rounds;
        return p;
    }

    // The evaluation of every partition in `mode`, with the per-row
    // quantities known so far handed to each.
    py::list evaluations(const char *mode, py::object emit, py::dict plan_now,
                         const std::map<std::string, py::list> &recipes) const {
        py::object plan_d = literal(plan_now);
        py::list names;
        for (const auto &[q, parts] : recipes) {
            names.append(py::str(q));
        }
        py::list out;
        for (std::int64_t k = 0; k < nparts_; ++k) {
            py::list args;
            args.append(prepared_[static_cast<std::size_t>(k)]);
            args.append(k);
            args.append(plan_d);
            args.append(mode);
            args.append(emit);
            args.append(names);
            for (const auto &[q, parts] : recipes) {
                args.append(parts[static_cast<std::size_t>(k)]);
            }
            out.append(delayed(tessel().attr("_evaluate"))(*py::tuple(args)));
        }
        return out;
    }

    // ---- rounds ------------------------------------------------------------------------

    void rounds() {
        for (int round = 0; round < kMaxRounds; ++round) {
            py::dict plan_now = plan();
            py::list tasks = evaluations("collect", py::none(), plan_now, recipes_);
            py::tuple results = dask().attr("compute")(*py::tuple(tasks));
            py::dict first = results[0];
            if (py::len(first["unknown"]) == 0) {
                meta_ = first["meta"];
                head_ = first["head"];
                final_plan_ = plan_now;
                return;
            }
            bool progress = false;
            // this round's shares, per quantity in partition order
            std::map<std::string, py::list> shares;
            for (std::size_t k = 0; k < results.size(); ++k) {
                py::dict small = py::dict(py::dict(results[k])["small"]);
                for (auto item : small) {
                    const std::string q = py::str(item.first).cast<std::string>();
                    auto it = shares.find(q);
                    if (it == shares.end()) {
                        py::list l;
                        for (std::size_t j = 0; j < results.size(); ++j) {
                            l.append(py::none());
                        }
                        it = shares.emplace(q, l).first;
                    }
                    it->second[k] = item.second;
                }
            }
            for (auto &[q, parts] : shares) {
                reduce(q, parts);
                progress = true;
            }
            py::dict requests = first["requests"];
            if (py::len(requests) > 0) {
                learn(requests, plan_now);
                progress = true;
            }
            if (!progress) {
                bind::raise(PyExc_RuntimeError,
                            "the partitioned engine cannot learn the quantities it needs: " +
                                py::str(first["unknown"]).cast<std::string>());
            }
        }
        bind::raise(PyExc_RuntimeError, "the partitioned engine did not finish in " +
                                            std::to_string(kMaxRounds) + " rounds");
    }

    // ---- small quantities ------------------------------------------------------------

    void reduce(const std::string &q, py::list parts) {
        const std::vector<std::string> id = split_qid(q);
        const std::string &kind = id[2];
        py::str key(q);
        if (id[1] == "fill") {
            reduce_median(q, parts);
        } else if (kind == "m" || kind == "s" || kind == "t") {
            std::vector<core::PairwiseNode> nodes;
            std::vector<core::PairwiseFragment> frags;
            std::uint64_t count = 0;
            for (py::handle p : parts) {
                pieces_from_python(p, nodes, frags);
                count += p["count"].cast<std::uint64_t>();
            }
            known_[key] = py::make_tuple(core::pairwise_total(total_, nodes, frags), count);
        } else if (kind == "c") {
            // blocks of NumPy's cast buffer, each pairwise, summed in order from 0.0
            std::map<std::uint64_t,
                     std::pair<std::uint64_t, std::pair<std::vector<core::PairwiseNode>,
                                                        std::vector<core::PairwiseFragment>>>>
                blocks;
            std::uint64_t count = 0;
            for (py::handle p : parts) {
                count += p["count"].cast<std::uint64_t>();
                for (py::handle b : p["blocks"]) {
                    py::tuple t = py::reinterpret_borrow<py::tuple>(b);
                    auto &entry = blocks[t[0].cast<std::uint64_t>()];
                    entry.first = t[1].cast<std::uint64_t>();
                    pieces_from_python(t[2], entry.second.first, entry.second.second);
                }
            }
            double acc = 0.0;
            for (auto &[index, entry] : blocks) {
                acc += core::pairwise_total(entry.first, entry.second.first, entry.second.second);
            }
            known_[key] = py::make_tuple(acc, count);
        } else if (kind == "min") {
            double best = kNaN;
            std::int64_t ibest = std::numeric_limits<std::int64_t>::max();
            for (py::handle p : parts) {
                const double f = p["f"].cast<double>();
                if (!std::isnan(f) && (std::isnan(best) || f < best)) {
                    best = f;
                }
                ibest = std::min(ibest, p["i"].cast<std::int64_t>());
            }
            known_[key] = py::make_tuple(best, ibest);
        } else if (kind == "max") {
            double best = 0.0;
            bool first = true;
            std::int64_t ibest = std::numeric_limits<std::int64_t>::min();
            for (py::handle p : parts) {
                const double f = p["f"].cast<double>();
                ibest = std::max(ibest, p["i"].cast<std::int64_t>());
                if (!first && std::isnan(best)) {
                    continue;  // the first NaN stays
                }
                if (first || std::isnan(f) || f > best) {
                    best = f;
                }
                first = false;
            }
            known_[key] = py::make_tuple(best, ibest);
        } else if (kind == "any") {
            bool any = false;
            for (py::handle p : parts) {
                any = any || p.cast<bool>();
            }
            known_[key] = any;
        } else if (kind == "runs") {
            known_[key] = reduce_runs(parts);
        } else if (kind == "hist") {
            known_[key] = reduce_hist(parts);
        } else if (kind == "win") {
            known_[key] = reduce_edges(parts);
        } else if (kind == "groups") {
            std::int64_t n = 0;
            for (py::handle p : parts) {
                n += p.is_none() ? 0 : p.cast<std::int64_t>();
            }
            known_[key] = n;
        } else {
            bind::raise(PyExc_RuntimeError, "no reduction for the quantity " + q);
        }
    }

    // Keys in sorted order along all rows (missing keys first), and no NaN
    // among the values: pandas then sums each group's run with reduceat.
    bool reduce_runs(py::list parts) {
        bool ok = true;
        py::object previous = py::none();
        for (py::handle p : parts) {
            ok = ok && p["sorted"].cast<bool>() && !p["nan_values"].cast<bool>();
            if (!previous.is_none() && ok) {
                py::list pair;
                pair.append(previous);
                pair.append(p["first"]);
                py::object both = pd().attr("concat")(pair, "ignore_index"_a = true);
                py::tuple f = pd().attr("factorize")(both, "sort"_a = true);
                py::array_t<std::int64_t> c = as_i64(f[0]);
                const std::int64_t a = c.data()[0], b = c.data()[1];
                ok = a < 0 || (b >= 0 && a <= b);
            }
            previous = p["last"];
        }
        return ok;
    }

    // Per first key digit: the shuffle target that ranks its values, targets
    // holding consecutive digits of about equal numbers of values.
    py::dict reduce_hist(py::list parts) {
        std::vector<std::int64_t> counts(65536, 0);
        std::int64_t valid = 0;
        for (py::handle p : parts) {
            py::array_t<std::int64_t> d = as_i64(p["digits"]), c = as_i64(p["counts"]);
            for (py::ssize_t i = 0; i < d.size(); ++i) {
                counts[static_cast<std::size_t>(d.data()[i])] += c.data()[i];
                valid += c.data()[i];
            }
        }
        const std::int64_t ntargets = std::max<std::int64_t>(1, nparts_);
        const std::int64_t share = std::max<std::int64_t>(1, (valid + ntargets - 1) / ntargets);
        py::array_t<std::int64_t> digit_target(65536);
        std::vector<std::int64_t> below;
        std::int64_t target = 0, in_target = 0, seen = 0;
        below.push_back(0);
        for (std::size_t d = 0; d < counts.size(); ++d) {
            if (in_target >= share && counts[d] > 0 && target + 1 < ntargets) {
                ++target;
                in_target = 0;
                below.push_back(seen);
            }
            digit_target.mutable_data()[d] = target;
            in_target += counts[d];
            seen += counts[d];
        }
        while (static_cast<std::int64_t>(below.size()) < ntargets) {
            below.push_back(seen);
        }
        py::dict h;
        h["digit_target"] = digit_target;
        h["below_target"] = py::array_t<std::int64_t>(below.size(), below.data());
        h["valid"] = valid;
        h["ntargets"] = ntargets;
        return h;
    }

    // For every partition, the rows just before it and just after it.
    py::list reduce_edges(py::list parts) {
        const auto before = py::object(parts[0]["before"]).cast<std::int64_t>();
        const auto after = py::object(parts[0]["after"]).cast<std::int64_t>();
        const std::size_t n = parts.size();
        std::vector<py::object> prev(n), next(n);
        py::object empty = py::object(parts[0]["tail"]).attr("iloc")[py::slice(0, 0, 1)];
        py::object acc = empty;
        for (std::size_t k = 0; k < n; ++k) {
            prev[k] = acc;
            py::list l;
            l.append(acc);
            l.append(parts[k]["tail"]);
            acc = pd().attr("concat")(l, "ignore_index"_a = true);
            const auto m = static_cast<std::int64_t>(py::len(acc));
            acc = acc.attr("iloc")[py::slice(std::max<std::int64_t>(0, m - before), m, 1)];
        }
        acc = empty;
        for (std::size_t k = n; k-- > 0;) {
            next[k] = acc;
            py::list l;
            l.append(parts[k]["head"]);
            l.append(acc);
            acc = pd().attr("concat")(l, "ignore_index"_a = true);
            acc = acc.attr("iloc")[py::slice(
                0, std::min<std::int64_t>(after, static_cast<std::int64_t>(py::len(acc))), 1)];
        }
        py::list out;
        for (std::size_t k = 0; k < n; ++k) {
            out.append(py::make_tuple(prev[k], next[k]));
        }
        return out;
    }

    // ---- medians ----------------------------------------------------------------------

    static void descend(Median::Search &s, const std::map<std::uint16_t, std::int64_t> &counts,
                        std::int64_t rank) {
        std::int64_t below = s.below;
        for (const auto &[d, c] : counts) {
            if (below + c > rank) {
                s.prefix = (s.prefix << 16) | d;
                s.level += 1;
                s.below = below;
                if (s.level == 4) {
                    s.value = core::key_value(s.prefix);
                    s.done = true;
                } else {
                    s.gather = c <= kGatherLimit;
                }
                return;
            }
            below += c;
        }
        bind::raise(PyExc_RuntimeError, "a median's rank lies outside its column");
    }

    void reduce_median(const std::string &q, py::list parts) {
        auto it = medians_.find(q);
        if (it == medians_.end()) {
            std::int64_t n = 0, nan_count = 0;
            std::map<std::uint16_t, std::int64_t> counts;
            for (py::handle p : parts) {
                n += p["n"].cast<std::int64_t>();
                nan_count += p["nan"].cast<std::int64_t>();
                py::array_t<std::int64_t> d = as_i64(p["digits"]), c = as_i64(p["counts"]);
                for (py::ssize_t i = 0; i < d.size(); ++i) {
                    counts[static_cast<std::uint16_t>(d.data()[i])] += c.data()[i];
                }
            }
            if (nan_count == 0 || n == 0) {
                // nothing to fill, or a column without values (its median is NaN)
                known_[py::str(q)] = kNaN;
                return;
            }
            Median m;
            m.n = n;
            m.ranks = {(n - 1) / 2, n / 2};
            if (m.ranks[0] == m.ranks[1]) {
                m.ranks.pop_back();
            }
            for (std::int64_t r : m.ranks) {
                Median::Search s;
                descend(s, counts, r);
                m.search.push_back(s);
            }
            it = medians_.emplace(q, m).first;
        } else {
            Median &m = it->second;
            std::vector<std::size_t> open;
            for (std::size_t i = 0; i < m.search.size(); ++i) {
                if (!m.search[i].done) {
                    open.push_back(i);
                }
            }
            for (std::size_t t = 0; t < open.size(); ++t) {
                Median::Search &s = m.search[open[t]];
                const std::int64_t rank = m.ranks[open[t]];
                if (s.gather) {
                    std::vector<double> values;
                    for (py::handle p : parts) {
                        py::array_t<double> v = as_f64(py::list(p["targets"])[t]);
                        values.insert(values.end(), v.data(), v.data() + v.size());
                    }
                    std::sort(values.begin(), values.end(), [](double a, double b) {
                        return core::order_key(a) < core::order_key(b);
                    });
                    s.value = values.at(static_cast<std::size_t>(rank - s.below));
                    s.done = true;
                } else {
                    std::map<std::uint16_t, std::int64_t> counts;
                    for (py::handle p : parts) {
                        py::tuple dc = py::list(p["targets"])[t];
                        py::array_t<std::int64_t> d = as_i64(dc[0]), c = as_i64(dc[1]);
                        for (py::ssize_t i = 0; i < d.size(); ++i) {
                            counts[static_cast<std::uint16_t>(d.data()[i])] += c.data()[i];
                        }
                    }
                    descend(s, counts, rank);
                }
            }
        }
        Median &m = it->second;
        if (std::all_of(m.search.begin(), m.search.end(),
                        [](const Median::Search &s) { return s.done; })) {
            std::vector<double> middle;
            for (const Median::Search &s : m.search) {
                middle.push_back(s.value);
            }
            // NumPy's median of the middle value(s), as the column's own median takes it
            known_[py::str(q)] = core::column_median(middle);
            medians_.erase(it);
        }
    }

    // ---- shuffles ------------------------------------------------------------------------

    // Rows emitted by every partition for the quantities `targets`.
    py::list emit_pass(py::list targets, py::dict plan_now,
                       const std::map<std::string, py::list> &recipes) const {
        return evaluations("emit", targets, plan_now, recipes);
    }

    py::object emitted_frame(py::list emits, py::str q, py::object meta) const {
        py::list pieces;
        for (py::handle e : emits) {
            pieces.append(delayed(tessel().attr("_pieces"))(e, q));
        }
        // verified: unverified partitions of dask's from_delayed are aliases
        // under the wrong key, which the array optimiser's fusion then misses
        return dd().attr("from_delayed")(pieces, "meta"_a = meta);
    }

    // The empty table of a group statistic: its key columns and the value.
    static py::object table_meta(py::dict req) {
        py::dict cols;
        py::object m = req["meta"];
        for (std::int64_t j = 0; j < req["keys"].cast<std::int64_t>(); ++j) {
            const std::string col = key_column(static_cast<std::size_t>(j));
            cols[py::str(col)] = m.attr("__getitem__")(col).attr("array");
        }
        cols[kValue] = py::array_t<double>(0);
        return pd().attr("DataFrame")(cols);
    }

    // Quantities learnt from rows brought together: every partition is
    // evaluated once for all of them, group tables, carries and distinct
    // counts come back to the driver, and per-row quantities stay on the
    // workers (persisted: later rounds and the result read them there).
    void learn(py::dict requests, py::dict plan_now) {
        py::list targets;
        for (auto item : requests) {
            targets.append(item.first);
        }
        py::list emits = emit_pass(targets, plan_now, recipes_);
        py::list lazy;
        std::vector<std::string> names;
        for (py::handle t : targets) {
            const std::string q = py::str(t).cast<std::string>();
            py::dict req = requests[t];
            const std::string kind = py::str(req["kind"]).cast<std::string>();
            if (kind == "chain") {
                py::object carry = carry_to_python(core::WindowCarry{});
                py::list carries;
                for (std::int64_t k = 0; k < nparts_; ++k) {
                    carries.append(carry);
                    carry = delayed(tessel().attr("_chain_step"))(
                        carry, emits[static_cast<std::size_t>(k)], q, req["op"], req["window"],
                        total_);
                }
                lazy.append(carries);
            } else if (kind == "table" && req["stream"].cast<bool>()) {
                // each group's accumulators carried from partition to partition
                const auto nkeys = req["keys"].cast<std::int64_t>();
                py::object state = py::none();
                for (std::int64_t k = 0; k < nparts_; ++k) {
                    state = delayed(tessel().attr("_group_step"))(
                        state, emits[static_cast<std::size_t>(k)], t, req["table"], req["stat"],
                        nkeys);
                }
                py::list final;
                final.append(delayed(tessel().attr("_group_final"))(
                    state, req["table"], req["stat"], nkeys, table_meta(req)));
                lazy.append(final);
            } else if (kind == "table") {
                py::object frame = emitted_frame(emits, py::str(t), req["meta"]);
                const auto nkeys = req["keys"].cast<std::int64_t>();
                py::list on;
                for (std::int64_t j = 0; j < nkeys; ++j) {
                    on.append(py::str(hash_column(static_cast<std::size_t>(j))));
                }
                py::object shuffled = frame.attr("shuffle")("on"_a = on, "npartitions"_a = nparts_,
                                                            "shuffle_method"_a = shuffle_method());
                lazy.append(delayed_parts(shuffled.attr("map_partitions")(
                    tessel().attr("_table"), req["table"], req["stat"], nkeys, req["values"],
                    req["runs"], "meta"_a = table_meta(req))));
            } else if (kind == "entropy_dist") {
                py::object frame = emitted_frame(emits, py::str(t), req["meta"]);
                py::object shuffled =
                    frame.attr("shuffle")("on"_a = kTarget, "npartitions"_a = nparts_,
                                          "shuffle_method"_a = shuffle_method());
                py::dict meta_cols;
                for (const char *c : {"target", "distinct", "count", "codesum", "missing"}) {
                    meta_cols[c] = py::array_t<std::int64_t>(0);
                }
                lazy.append(delayed_parts(
                    shuffled.attr("map_partitions")(tessel().attr("_entropy_distinct"),
                                                    "meta"_a = pd().attr("DataFrame")(meta_cols))));
            } else if (kind == "window" && req["carried"].cast<bool>() &&
                       req["groups"].cast<std::int64_t>() <= carried_groups()) {
                // each group's state carried from partition to partition
                py::object state = py::none();
                py::list values;
                for (std::int64_t k = 0; k < nparts_; ++k) {
                    py::object step = delayed(tessel().attr("_group_window_step"))(
                        state, emits[static_cast<std::size_t>(k)], t, req["op"], req["operands"],
                        req["group"], req["dtype"], req["window"], req["before"], total_);
                    values.append(step.attr("__getitem__")(0));
                    state = step.attr("__getitem__")(1);
                }
                lazy.append(values);
            } else {
                lazy.append(recipe(q, req, emits));
            }
            names.push_back(q);
        }
        // one evaluation of the partitions feeds every quantity
        py::tuple kept = dask().attr("persist")(*py::tuple(lazy));
        py::list small;
        for (std::size_t i = 0; i < names.size(); ++i) {
            small.append(names[i].ends_with(".rows") ? py::object(py::none())
                                                     : py::object(kept[i]));
        }
        py::tuple done = dask().attr("compute")(*py::tuple(small));
        for (std::size_t i = 0; i < names.size(); ++i) {
            const std::string &q = names[i];
            py::dict req = requests[py::str(q)];
            const std::string kind = py::str(req["kind"]).cast<std::string>();
            if (kind == "chain") {
                known_[py::str(q)] = done[i];
            } else if (kind == "table") {
                py::object t = pd().attr("concat")(done[i], "ignore_index"_a = true);
                py::list keys;
                for (std::int64_t j = 0; j < req["keys"].cast<std::int64_t>(); ++j) {
                    keys.append(t.attr("__getitem__")(key_column(static_cast<std::size_t>(j)))
                                    .attr("array"));
                }
                py::dict table;
                table["keys"] = keys;
                table["values"] = t.attr("__getitem__")(kValue).attr("to_numpy")();
                known_[py::str(q)] = table;
            } else if (q.ends_with(".rows")) {
                recipes_[q] = py::list(kept[i]);
            } else {
                known_[py::str(q)] = reduce_distinct(
                    pd().attr("concat")(done[i], "ignore_index"_a = true), req["hist"]);
            }
        }
    }

    // Distinct values below each target, all distinct values, and the sum
    // of every row's code (missing values coded after all distinct values).
    py::dict reduce_distinct(py::object table, py::dict hist) {
        const auto ntargets = hist["ntargets"].cast<std::int64_t>();
        std::vector<std::int64_t> distinct(static_cast<std::size_t>(ntargets), 0),
            count(static_cast<std::size_t>(ntargets), 0),
            codesum(static_cast<std::size_t>(ntargets), 0);
        std::int64_t missing = 0;
        py::array_t<std::int64_t> t = as_i64(table.attr("__getitem__")("target"));
        py::array_t<std::int64_t> d = as_i64(table.attr("__getitem__")("distinct"));
        py::array_t<std::int64_t> c = as_i64(table.attr("__getitem__")("count"));
        py::array_t<std::int64_t> s = as_i64(table.attr("__getitem__")("codesum"));
        py::array_t<std::int64_t> m = as_i64(table.attr("__getitem__")("missing"));
        for (py::ssize_t i = 0; i < t.size(); ++i) {
            const auto k = static_cast<std::size_t>(t.data()[i]);
            distinct[k] += d.data()[i];
            count[k] += c.data()[i];
            codesum[k] += s.data()[i];
            missing += m.data()[i];
        }
        std::vector<std::int64_t> below(static_cast<std::size_t>(ntargets), 0);
        std::int64_t acc = 0, total = 0;
        for (std::size_t k = 0; k < below.size(); ++k) {
            below[k] = acc;
            total += codesum[k] + count[k] * acc;
            acc += distinct[k];
        }
        total += missing * acc;
        py::dict out;
        out["below_distinct"] = py::array_t<std::int64_t>(below.size(), below.data());
        out["D"] = acc;
        out["total"] = total;
        return out;
    }

    // The rows a per-row quantity gives every partition: the emitted rows
    // shuffled by key, computed together, and put back in the frame's order.
    py::list recipe(const std::string &q, py::dict req, py::list emits) const {
        py::object frame = emitted_frame(emits, py::str(q), req["meta"]);
        const std::string kind = py::str(req["kind"]).cast<std::string>();
        py::object shuffled, computed;
        py::dict meta_cols;
        meta_cols[kRowId] = py::array_t<std::int64_t>(0);
        if (kind == "window") {
            shuffled = frame.attr("shuffle")("on"_a = hash_column(0), "npartitions"_a = nparts_,
                                             "shuffle_method"_a = shuffle_method());
            meta_cols[kValue] =
                pd().attr("Series")(py::list(), "dtype"_a = req["dtype"]).attr("array");
            computed = shuffled.attr("map_partitions")(
                tessel().attr("_window_rows"), req["op"], req["operands"], req["group"],
                req["dtype"], "meta"_a = pd().attr("DataFrame")(meta_cols));
        } else {
            shuffled = frame.attr("shuffle")("on"_a = kTarget, "npartitions"_a = nparts_,
                                             "shuffle_method"_a = shuffle_method());
            if (kind == "percentile") {
                meta_cols[kValue] = py::array_t<double>(0);
            } else {
                meta_cols[kValue] = py::array_t<std::int64_t>(0);
            }
            py::object dist = req.contains("dist") ? py::object(req["dist"]) : py::none();
            computed =
                shuffled.attr("map_partitions")(tessel().attr("_ranks"), kind, req["hist"], dist,
                                                "meta"_a = pd().attr("DataFrame")(meta_cols));
        }
        py::list divisions;
        for (std::int64_t k = 0; k < nparts_; ++k) {
            divisions.append(offsets_[static_cast<std::size_t>(k)]);
        }
        divisions.append(total_ - 1);
        py::object restored =
            computed.attr("set_index")(kRowId, "divisions"_a = py::tuple(divisions),
                                       "sort"_a = true, "shuffle_method"_a = shuffle_method());
        // only the values are kept: partition k holds rows offsets[k]..
        py::list values;
        for (py::handle part : restored.attr("to_delayed")("optimize_graph"_a = false)) {
            values.append(delayed(tessel().attr("_row_values"))(part));
        }
        return values;
    }

    // ---- the result ----------------------------------------------------------------------

    py::object result_frame() const {
        py::list parts = evaluations("apply", py::none(), final_plan_, recipes_);
        return dd().attr("from_delayed")(parts, "meta"_a = meta_);
    }

    py::object obj_, ddf_, return_y_;
    py::object records_ = py::none(), group_ = py::none();
    py::list prepared_, offsets_, lengths_;
    std::uint64_t total_ = 0;
    std::int64_t nparts_ = 0;
    py::dict base_, known_, final_plan_;
    std::map<std::string, Median> medians_;
    std::map<std::string, py::list> recipes_;
    py::object meta_ = py::none(), head_ = py::none();
};

py::object preprocess(py::object obj, py::object ddf, py::object return_y) {
    Run run(std::move(obj), std::move(ddf), std::move(return_y));
    return run.preprocess();
}

py::object predict(py::object obj, py::object ddf, const std::string &method) {
    if (method != "predict" && method != "predict_proba") {
        bind::raise(PyExc_ValueError, "method must be 'predict' or 'predict_proba'");
    }
    Run run(std::move(obj), std::move(ddf), py::bool_(true));
    return run.predict(method);
}

}  // namespace

void register_driver(py::module_ &m) {
    m.def("preprocess", &preprocess, py::arg("obj"), py::arg("ddf"), py::arg("return_y") = false,
          py::doc("The preprocessing of `obj` (a loaded result folder) applied to a Dask "
                  "DataFrame: a Dask DataFrame in the input's row order, every value the one "
                  "the whole frame gives on one machine.  Whole-frame quantities are computed "
                  "on the active scheduler when this is called."));
    m.def("predict", &predict, py::arg("obj"), py::arg("ddf"), py::arg("method") = "predict",
          py::doc("The model's predict or predict_proba over a Dask DataFrame: a Dask array in "
                  "the input's row order."));
}

}  // namespace brinvale::tessel
