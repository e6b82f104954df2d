"""The rounds that learn every whole-frame quantity, the shuffles that bring
rows of one group (or one value range) together and back into the frame's
row order, and the lazy collections returned to the caller.

Each round evaluates, on every partition, only the features not yet exact,
continuing from the state the rounds before left on the workers; one pass
gives both the small shares (reduced here) and the rows the shuffles and
carry chains need.  The last round's partitions are the result.
"""

import contextlib
import uuid

import dask
import dask.array as da
import dask.dataframe as dd
import numpy as np
import pandas as pd
from dask import delayed
from dask._task_spec import List, Task, TaskRef
from dask.delayed import Delayed
from dask.highlevelgraph import HighLevelGraph, MaterializedLayer

from . import _engine as E
from . import _kernels as K
from . import _tasks as T
from ._common import HASH, TARGET, VALUE, key_column

NAN = float("nan")
# A value range holding at most this many values is sent whole to the driver
# when a median is narrowed down; larger ones are split by the next digit.
GATHER_LIMIT = 1 << 20
MAX_ROUNDS = 200


def literal(value):
    """A value every task of a round shares, sent once and never traversed
    nor hashed (the plans hold tables and records)."""
    return delayed(value, name=f"brinvale-{uuid.uuid4().hex}", traverse=False)


def carried_groups():
    """Grouped windows carry each group's state from partition to partition up
    to this many groups (summed over the partitions, a bound of the frame's
    groups); beyond, carrying them costs more than shuffling rows by group."""
    return int(dask.config.get("brinvale.carried-groups", 1 << 14))


def exchange_rows():
    """Rows brought together by an exchange go to one destination per this
    many rows of the frame (at most one per partition): the destinations, and
    so the tasks of an exchange, follow the frame's size, not its cut."""
    return max(1, int(dask.config.get("brinvale.exchange-rows", 1 << 18)))


def partition_rows():
    """Consecutive partitions are evaluated together while they hold at most
    this many rows: a run of features costs a few milliseconds on a
    partition whatever its size, in every round, and much larger ones cost
    more per row again."""
    return max(1, int(dask.config.get("brinvale.partition-rows", 1 << 17)))


class Tasks:
    """Tasks written into one graph by hand.  A delayed call given a list of
    delayed values optimises the graphs of all of them, once per call: with
    many partitions an exchange's graph cost more to build than to run."""

    def __init__(self, name):
        self.name = f"brinvale-{name}-{uuid.uuid4().hex}"
        self.dsk = {}

    def ref(self, value):
        """A reference to a delayed value, whose graph joins this one."""
        self.dsk.update(value.__dask_graph__())
        return TaskRef(value.key)

    def add(self, func, *args):
        key = (self.name, len(self.dsk))
        self.dsk[key] = Task(key, func, *args)
        return TaskRef(key)

    def delayed(self, refs):
        graph = HighLevelGraph({self.name: MaterializedLayer(self.dsk)}, {self.name: set()})
        return [Delayed(r.key, graph, layer=self.name) for r in refs]


def homes_of(parts):
    """The worker holding each persisted partition once computed, on a
    distributed cluster (None elsewhere, or where one is not known)."""
    try:
        from distributed import futures_of, get_client
    except ImportError:
        return None
    futures = [futures_of(p) for p in parts]
    if not all(len(f) == 1 for f in futures):
        return None
    try:
        client = get_client()
    except ValueError:
        return None
    where = client.who_has([f[0] for f in futures])
    homes = [where.get(f[0].key) for f in futures]
    return [h[0] for h in homes] if all(homes) else None


def chunks_of(features):
    """Runs of top-level feature names evaluated together: a name whose
    operator takes two operands but is given one reads the operand the name
    before it left, so it stays with that name."""
    from brinvale import tavrin

    forms = {row["name"]: row["form"] for row in tavrin._operator_registry()}
    chunks = []
    for i, name in enumerate(features):
        parts = tavrin.split_features(name) if isinstance(name, str) else []
        joins = bool(chunks) and (len(parts) < 3 and forms.get(parts[0] if parts else None,
                                                               "two") == "two")
        if joins:
            chunks[-1] = (chunks[-1][0], i + 1)
        else:
            chunks.append((i, i + 1))
    return chunks


class Median:
    def __init__(self, n, ranks):
        self.n = n
        self.ranks = ranks
        # per rank: level, prefix, rows below the prefix, gather, done, value
        self.search = [{"level": 0, "prefix": 0, "below": 0, "gather": False, "done": False,
                        "value": NAN} for _ in ranks]


def descend(s, counts, rank):
    below = s["below"]
    for d in sorted(counts):
        c = counts[d]
        if below + c > rank:
            s["prefix"] = (s["prefix"] << 16) | d
            s["level"] += 1
            s["below"] = below
            if s["level"] == 4:
                s["value"] = K.key_value(s["prefix"])
                s["done"] = True
            else:
                s["gather"] = c <= GATHER_LIMIT
            return
        below += c
    raise RuntimeError("a median's rank lies outside its column")


def add_counts(counts, digits, values):
    for d, c in zip(np.asarray(digits).tolist(), np.asarray(values).tolist()):
        counts[d] = counts.get(d, 0) + c


def persist(*collections):
    return dask.persist(*collections) if collections else ()


class Run:
    """The state of one call of preprocess or predict."""

    def __init__(self, obj, ddf, return_y):
        self.obj, self.ddf, self.return_y = obj, ddf, return_y
        self.known, self.medians, self.recipes = {}, {}, {}
        self.lengths, self.offsets = [], [0]
        self.rounds_run = 0
        self.homes = None  # the worker of each partition, on a distributed cluster
        self.pieces = None  # per partition evaluated, the input partitions' lengths it joins
        self.input_index = None  # the input partitions' row labels, where joined
        # per run of features: the unknown quantities it depended on when it
        # was last evaluated, whether it learnt anything then, and that round
        self.chunk_seen = {}
        self.known_in = {}  # the round each quantity became known in

    # ---- the pipeline's steps before the feature engine ---------------------------

    def prepare(self):
        obj = self.obj
        meta = self.ddf._meta.copy()
        meta.columns = [c.strip() for c in meta.columns]
        meta = obj._normalize_column_names(meta)
        labels = meta.columns.tolist()
        seen = set()
        for label in labels:
            if label in seen:
                raise ValueError(
                    "the input has repeated column labels (after blanks around labels are "
                    f"removed and spaces become '_'): {label!r}")
            seen.add(label)
        self.ddf = self.ddf.rename(columns=dict(zip(self.ddf.columns.tolist(), labels)))
        for attr in ("time_index", "group_id"):
            if getattr(obj, attr) is not None:
                setattr(obj, attr, obj._colname_filter(getattr(obj, attr)))
        if obj.target_name is not None:
            obj.target_name = obj._colname_filter(obj.target_name)
        from brinvale import brinvale as wb

        lacking = [repr(c) for c in wb._input_columns(obj) if c not in labels]
        if lacking:
            raise KeyError(f"the input lacks {len(lacking)} column{'' if len(lacking) == 1 else 's'}"
                           f" the model needs: {', '.join(lacking)}")

        self.records = obj.lec_record_dt
        prep = {"records": self.records, "time_index": obj.time_index, "percent": None}
        # the input is read and encoded once: its partitions stay on the
        # workers until they are prepared
        raw = self.ddf.to_delayed()
        prep_d = literal(prep)
        encoded = persist(*[delayed(T.encode)(p, prep_d) for p in raw])
        answers = dask.compute(*[delayed(T.survey)(e, p, prep_d) for e, p in zip(encoded, raw)])
        homes = homes_of(encoded)
        percent, first_time, kept, self.homes = [], None, [], None if homes is None else []
        for i, (part, (n, cols, first)) in enumerate(zip(encoded, answers)):
            for c in cols:
                if c not in percent:
                    percent.append(c)
            if first_time is None and first is not None:
                first_time = first
            if n == 0:
                continue  # empty partitions take no part
            kept.append(part)
            if homes is not None:
                self.homes.append(homes[i])
            self.lengths.append(n)
            self.offsets.append(self.offsets[-1] + n)
        self.total = self.offsets[-1]
        if self.total == 0:
            raise ValueError("the input has no rows")
        kept = self.join_small(kept)
        self.nparts = len(kept)
        self.targets = max(1, min(self.nparts, -(-self.total // exchange_rows())))
        prep["percent"] = percent

        cfg = getattr(obj, "_folder_cfg", None)
        if cfg is None:
            from brinvale.module.common.quillet import TaskConfig

            cfg = TaskConfig().cfg
        self.group = cfg["Feature"].get("GroupIndex", None)

        features = list(obj.adv_features)
        from brinvale import tavrin

        # operators whose frame gets fresh row labels (pandas' merges)
        merging = [row["name"] + "###" for row in tavrin._operator_registry() if row["fresh_index"]]
        fresh = any(op in str(f) for f in features for op in merging)
        target = obj.target_name
        running = bool(getattr(obj, "automl_running", None))
        has_target = target is not None and target in labels
        post = {"fresh_index": fresh, "id_index": obj.id_index,
                "ignore": list(obj.ignore_features), "group_id": obj.group_id,
                "time_index": obj.time_index, "time_format": None, "target": target,
                "append_target": running and bool(self.return_y) and has_target,
                "running": running, "return_y": bool(self.return_y)}
        # the format pandas' to_datetime infers from the whole column's first
        # text, so that every partition reads its dates as one machine does
        if type(first_time) is str:
            from pandas.tseries.api import guess_datetime_format

            fmt = guess_datetime_format(first_time)
            # no format from the first text: pandas reads every value on its
            # own, which "mixed" asks of each partition
            post["time_format"] = "mixed" if fmt is None else fmt
        self.base = {"features": features, "chunks": chunks_of(features),
                     "records": self.records, "group": self.group, "offsets": self.offsets,
                     "total": self.total, "post": post}
        label = target if post["append_target"] else None
        prep_d = literal(prep)
        self.states = list(persist(*[self.task(k, T.initial, p, prep_d, label)
                                     for k, p in enumerate(kept)]))
        self.input_fills = {}
        if fresh:
            # group statistics fill every float column with its median
            # first: the input columns' medians are learnt before any round
            self.learn_input_fills()
        self.initial_states = self.states

    def join_small(self, kept):
        """Consecutive partitions joined while together they hold at most
        `partition_rows()` rows (larger ones stay as they are); the result is
        cut back into the input's partitions."""
        rows = partition_rows()
        groups, current, acc = [], [], 0
        for k, n in enumerate(self.lengths):
            if current and acc + n > rows:
                groups.append(current)
                current, acc = [], 0
            current.append(k)
            acc += n
        groups.append(current)
        self.input_lengths = list(self.lengths)
        if len(groups) == len(kept):
            return kept
        joined = [kept[g[0]] if len(g) == 1 else self.task(g[0], T.joined, [kept[k] for k in g])
                  for g in groups]
        # a joined partition whose row labels repeat is evaluated with fresh
        # ones; the input's come back when the result is cut
        self.input_index = list(persist(*[self.task(k, T.index_of, p)
                                          for k, p in enumerate(kept)]))
        if self.homes is not None:
            self.homes = [self.homes[g[0]] for g in groups]
        self.pieces = [[self.lengths[k] for k in g] for g in groups]
        self.lengths = [sum(p) for p in self.pieces]
        self.offsets = [0]
        for n in self.lengths:
            self.offsets.append(self.offsets[-1] + n)
        return list(persist(*joined))

    def input_cut(self, parts):
        """The result's partitions as the input's (without its empty ones),
        with the input's row labels where the features keep them."""
        if self.pieces is None:
            return parts
        out, k = [], 0
        for b, lengths in enumerate(self.pieces):
            start = 0
            for n in lengths:
                index = None if self.base["post"]["fresh_index"] else self.input_index[k]
                out.append(self.task(b, T.rows_of, parts[b], start, start + n, index))
                start += n
                k += 1
        return out

    def learn_input_fills(self):
        self.states = list(persist(*[self.task(k, T.with_inputs, s)
                                     for k, s in enumerate(self.states)]))
        labels = dask.compute(*[self.task(k, T.input_labels, s) for k, s in enumerate(self.states)])
        common = [c for c in labels[0] if all(c in other for other in labels[1:])]
        if not common:
            return
        self.learn_chains({E.INPUT_FILL + c: {"kind": "median"} for c in common},
                          [self.task(k, T.input_pieces, s, common)
                           for k, s in enumerate(self.states)])
        self.input_fills = {c: self.known.pop(E.INPUT_FILL + c) for c in common}

    def task(self, k, func, *args, nout=None):
        """func(*args) delayed, run where the k-th partition lives: a
        partition's state, rows and steps stay on one worker, not moved to
        another that happens to be idle."""
        if self.homes is None:
            where = contextlib.nullcontext()
        else:
            where = dask.annotate(workers=[self.homes[k]], allow_other_workers=True)
        with where:
            return delayed(func, nout=nout)(*args)

    def start_again(self):
        """The rounds from the prepared partitions, without the input
        columns' medians: a partition's column changed before its fill."""
        self.input_fills = {}
        self.known, self.medians, self.recipes = {}, {}, {}
        self.chunk_seen, self.known_in = {}, {}
        self.states = self.initial_states

    def live(self, i):
        """Whether the i-th run of features can give anything new: never
        evaluated (or not replayable), it learnt something, or something it
        waits for became known since.  The others are replayed."""
        if i not in self.chunk_seen:
            return True
        deps, active, replayable, seen = self.chunk_seen[i]
        if not replayable:
            return True
        return active or any(self.known_in.get(q, -1) >= seen for q in deps)

    def plan(self):
        p = dict(self.base)
        p["live"] = {i for i in range(len(self.base["chunks"])) if self.live(i)}
        p["known"] = dict(self.known)
        p["input_fills"] = self.input_fills
        p["median"] = {q: [(s["level"], s["prefix"], s["gather"]) for s in m.search
                           if not s["done"]] for q, m in self.medians.items()}
        return p

    # ---- rounds ----------------------------------------------------------------------

    def rounds(self):
        for _ in range(MAX_ROUNDS):
            self.rounds_run += 1
            plan = self.plan()
            plan_d = literal(plan)
            names = list(self.recipes)
            results = persist(*[
                self.task(k, T.evaluate, self.states[k], k, plan_d, names,
                                    *[self.recipes[q][k] for q in names])
                for k in range(self.nparts)])
            summaries = dask.compute(*[self.task(k, T.summary, r, k) for k, r in enumerate(results)])
            changed = [s["small"].pop(E.INPUT_CHANGED, False) for s in summaries]
            if any(changed) and self.input_fills:
                self.start_again()
                continue
            first = summaries[0]
            for i, (deps, active, replayed) in first["chunks"].items():
                self.chunk_seen[i] = (deps, active, replayed, self.rounds_run)
            if first["done"]:
                self.meta, self.head = first["meta"], first["head"]
                return [self.task(k, T.done_of, r) for k, r in enumerate(results)]
            progress = False
            shares = {}
            for k, s in enumerate(summaries):
                for q, v in s["small"].items():
                    shares.setdefault(q, [None] * self.nparts)[k] = v
            for q, parts in shares.items():
                self.reduce(q, parts)
                progress = True
            if first["requests"]:
                self.learn(first["requests"], results)
                progress = True
            if not progress and len(plan["live"]) < len(plan["chunks"]):
                self.chunk_seen.clear()  # evaluate every run again
                continue
            if not progress:
                raise RuntimeError("the partitioned engine cannot learn the quantities it needs: "
                                   f"{first['unknown']}")
            self.states = [self.task(k, T.state_of, r) for k, r in enumerate(results)]
            for q in [*self.known, *self.recipes]:
                self.known_in.setdefault(q, self.rounds_run)
        raise RuntimeError(f"the partitioned engine did not finish in {MAX_ROUNDS} rounds")

    # ---- small quantities ---------------------------------------------------------------

    def reduce(self, q, parts):
        _, what, kind = (q.split(".", 2) + ["", ""])[:3]
        if what == "fill":
            self.reduce_median(q, parts)
        elif kind in ("m", "s", "t"):
            self.known[q] = (K.pairwise_total(self.total, parts), sum(p["count"] for p in parts))
        elif kind == "c":
            # blocks of NumPy's cast buffer, each pairwise, summed in order from 0.0
            blocks = {}
            for p in parts:
                for index, length, pieces in p["blocks"]:
                    blocks.setdefault(index, (length, []))[1].append(pieces)
            acc = 0.0
            for index in sorted(blocks):
                length, pieces = blocks[index]
                acc += K.pairwise_total(length, pieces)
            self.known[q] = (acc, sum(p["count"] for p in parts))
        elif kind == "min":
            best, ibest = NAN, np.iinfo(np.int64).max
            for p in parts:
                f = p["f"]
                if not np.isnan(f) and (np.isnan(best) or f < best):
                    best = f
                ibest = min(ibest, p["i"])
            self.known[q] = (best, ibest)
        elif kind == "max":
            best, ibest, first = 0.0, np.iinfo(np.int64).min, True
            for p in parts:
                f = p["f"]
                ibest = max(ibest, p["i"])
                if not first and np.isnan(best):
                    continue  # the first NaN stays
                if first or np.isnan(f) or f > best:
                    best = f
                first = False
            self.known[q] = (best, ibest)
        elif kind == "any":
            self.known[q] = any(parts)
        elif kind == "runs":
            self.known[q] = self.reduce_runs(parts)
        elif kind == "hist":
            self.known[q] = self.reduce_hist(parts)
        elif kind == "win":
            self.known[q] = self.reduce_edges(parts)
        elif kind == "groups":
            self.known[q] = sum(0 if p is None else p for p in parts)
        else:
            raise RuntimeError(f"no reduction for the quantity {q}")

    @staticmethod
    def reduce_runs(parts):
        """Keys in sorted order along all rows (missing keys first), and no NaN
        among the values: pandas then sums each group's run with reduceat."""
        ok, previous = True, None
        for p in parts:
            ok = ok and p["sorted"] and not p["nan_values"]
            if previous is not None and ok:
                both = pd.concat([previous, p["first"]], ignore_index=True)
                c, _ = pd.factorize(both, sort=True)
                a, b = int(c[0]), int(c[1])
                ok = a < 0 or (b >= 0 and a <= b)
            previous = p["last"]
        return ok

    def reduce_hist(self, parts):
        """Per first key digit: the shuffle target that ranks its values,
        targets holding consecutive digits of about equal numbers of values."""
        counts = np.zeros(65536, dtype=np.int64)
        for p in parts:
            np.add.at(counts, np.asarray(p["digits"], dtype=np.int64), np.asarray(p["counts"]))
        valid = int(counts.sum())
        ntargets = self.targets
        share = max(1, -(-valid // ntargets))
        digit_target = np.zeros(65536, dtype=np.int64)
        below = [0]
        target = in_target = seen = 0
        for d in np.flatnonzero(counts).tolist():
            if in_target >= share and target + 1 < ntargets:
                # digits without values just before d stay with the target before
                target += 1
                in_target = 0
                below.append(seen)
                digit_target[d:] = target
            in_target += int(counts[d])
            seen += int(counts[d])
        below += [seen] * (ntargets - len(below))
        return {"digit_target": digit_target, "below_target": np.asarray(below, dtype=np.int64),
                "valid": valid, "ntargets": ntargets}

    @staticmethod
    def reduce_edges(parts):
        """For every partition, the rows just before it and just after it."""
        before, after = parts[0]["before"], parts[0]["after"]
        n = len(parts)
        empty = parts[0]["tail"].iloc[:0]
        prev, nxt = [None] * n, [None] * n
        acc = empty
        for k in range(n):
            prev[k] = acc
            acc = pd.concat([acc, parts[k]["tail"]], ignore_index=True)
            acc = acc.iloc[max(0, len(acc) - before):]
        acc = empty
        for k in range(n - 1, -1, -1):
            nxt[k] = acc
            acc = pd.concat([parts[k]["head"], acc], ignore_index=True)
            acc = acc.iloc[:min(after, len(acc))]
        return [(prev[k], nxt[k]) for k in range(n)]

    # ---- medians ----------------------------------------------------------------------

    def reduce_median(self, q, parts):
        m = self.medians.get(q)
        if m is None:
            n = sum(p["n"] for p in parts)
            nan_count = sum(p["nan"] for p in parts)
            if nan_count == 0 or n == 0:
                # nothing to fill, or a column without values (its median is NaN)
                self.known[q] = NAN
                return
            counts = {}
            for p in parts:
                add_counts(counts, p["digits"], p["counts"])
            ranks = sorted({(n - 1) // 2, n // 2})
            m = Median(n, ranks)
            for s, r in zip(m.search, ranks):
                descend(s, counts, r)
            self.medians[q] = m
        else:
            open_ = [i for i, s in enumerate(m.search) if not s["done"]]
            for t, i in enumerate(open_):
                s, rank = m.search[i], m.ranks[i]
                if s["gather"]:
                    values = np.concatenate([np.asarray(p["targets"][t]) for p in parts])
                    s["value"] = float(K.sorted_by_key(values)[rank - s["below"]])
                    s["done"] = True
                else:
                    counts = {}
                    for p in parts:
                        digits, c = p["targets"][t]
                        add_counts(counts, digits, c)
                    descend(s, counts, rank)
        if all(s["done"] for s in m.search):
            # NumPy's median of the middle value(s), as the column's own median takes it
            self.known[q] = K.column_median(np.array([s["value"] for s in m.search]))
            del self.medians[q]

    # ---- rows brought together --------------------------------------------------------

    def exchange(self, tasks, parts, how, func, *args):
        """Rows of every partition sent to the destination `how` names for
        them, `func(rows, *args)` computed at each destination (a task-based
        shuffle: the rows are a few columns wide).  References in `tasks`."""
        m = self.targets
        splits = [tasks.add(T.split, tasks.ref(p), how, m) for p in parts]
        return [tasks.add(T.on_gathered, func, List(*[tasks.add(T.item, s, j) for s in splits]),
                          *args)
                for j in range(m)]

    def emitted(self, results, q):
        return [self.task(k, T.pieces, r, q) for k, r in enumerate(results)]

    @staticmethod
    def table_meta(req):
        cols = {key_column(j): req["meta"][key_column(j)].array for j in range(req["keys"])}
        cols[VALUE] = np.zeros(0)
        return pd.DataFrame(cols)

    def learn(self, requests, results):
        """Quantities learnt from rows brought together: group tables, carries
        and distinct counts come back to the driver, per-row quantities stay
        on the workers (persisted: later rounds and the result read them)."""
        chains = {q: req for q, req in requests.items()
                  if req["kind"] in ("standardize", "median", "ranked")}
        self.learn_chains(chains, results)
        lazy, names = [], []
        for q, req in requests.items():
            kind = req["kind"]
            if q in chains:
                continue
            piece = [self.task(k, T.pieces, r, q) for k, r in enumerate(results)]
            if kind == "window" and isinstance(req["groups"], str):
                req = dict(req, groups=self.known[req["groups"]])
            if kind == "table" and req.get("runs_of"):
                # the keys' runs, reduced this round: sorted runs are summed
                # as NumPy sums them, on each group's rows at once
                sorted_runs = bool(self.known[req["runs_of"]])
                req = dict(req, runs=sorted_runs, stream=req["stream"] and not sorted_runs)
            if kind == "chain":
                carry, carries = K.empty_carry(), []
                for k in range(self.nparts):
                    carries.append(carry)
                    carry = self.task(k, T.chain_step, carry, piece[k], req["op"], req["window"],
                                      self.total)
                lazy.append(carries)
            elif kind == "table" and req["stream"]:
                # each group's accumulators carried from partition to partition
                state = None
                for k in range(self.nparts):
                    state = self.task(k, T.group_step, state, piece[k], req["table"],
                                      req["stat"], req["keys"])
                lazy.append([delayed(T.group_final)(state, req["table"], req["stat"],
                                                    req["keys"], self.table_meta(req))])
            elif kind == "table":
                on = [HASH + str(j) for j in range(req["keys"])]
                tasks = Tasks("table")
                lazy.append(tasks.delayed(self.exchange(
                    tasks, piece, ("hash", on), T.table, req["table"], req["stat"], req["keys"],
                    req["runs"])))
            elif kind == "entropy_dist":
                tasks = Tasks("distinct")
                lazy.append(tasks.delayed(self.exchange(tasks, piece, ("column", TARGET),
                                                        T.entropy_distinct)))
            elif (kind == "window" and req["carried"]
                  and req["groups"] <= carried_groups()):
                # each group's state carried from partition to partition
                state, values = None, []
                for k in range(self.nparts):
                    step = self.task(
                        k, T.group_window_step, state, piece[k], req["op"], req["operands"],
                        req["group"], req["dtype"], req["window"], req["before"], self.total, nout=2)
                    values.append(step[0])
                    state = step[1]
                lazy.append(values)
            else:
                lazy.append(self.recipe(req, piece))
            names.append(q)
        # one evaluation of the partitions feeds every quantity
        kept = persist(*lazy)
        small = [None if q.endswith(".rows") else kept[i] for i, q in enumerate(names)]
        done = dask.compute(*small)
        for i, q in enumerate(names):
            req = requests[q]
            kind = req["kind"]
            if kind == "chain":
                self.known[q] = list(done[i])
            elif kind == "table":
                t = pd.concat(done[i], ignore_index=True)
                self.known[q] = {"keys": [t[key_column(j)].array for j in range(req["keys"])],
                                 "values": t[VALUE].to_numpy()}
            elif q.endswith(".rows"):
                self.recipes[q] = list(kept[i])
            else:
                self.known[q] = self.reduce_distinct(pd.concat(done[i], ignore_index=True),
                                                     req["hist"])

    def learn_chains(self, chains, results):
        """Quantities learnt in several steps over one column each (means and
        deviations, medians, ranks): the columns stay on the workers, kept from
        this round's evaluation, and every step reads them there."""
        if not chains:
            return
        offsets = self.offsets
        qs = list(chains)
        cols = persist(*[self.task(k, T.kept_columns, r, qs) for k, r in enumerate(results)])
        # first steps: sums, digits
        kinds = {q: req["kind"] for q, req in chains.items()}
        done = dask.compute(*[self.task(k, T.first_steps, c, kinds, offsets[k], self.total)
                              for k, c in enumerate(cols)])
        means, ranked = {}, []
        for q, req in chains.items():
            parts = [d[q] for d in done]
            if req["kind"] == "standardize":
                base = req["base"]
                self.reduce(base + ".m", [p["m"] for p in parts])
                if "c" in parts[0]:
                    self.reduce(base + ".c", [p["c"] for p in parts])
                total, count = self.known[base + ".m"]
                means[q] = NAN if count == 0 else total / count
            elif req["kind"] == "median":
                self.reduce_median(q, parts)
            else:
                self.known[q] = self.reduce_hist(parts)
                ranked.append(q)
        if means:
            done = dask.compute(*[self.task(k, T.square_steps, c, means, offsets[k], self.total)
                                  for k, c in enumerate(cols)])
            for q in means:
                self.reduce(chains[q]["base"] + ".s", [d[q] for d in done])
        # medians: narrowed down together, one step for all of them at a time
        while True:
            targets = {q: [(s["level"], s["prefix"], s["gather"]) for s in self.medians[q].search
                           if not s["done"]] for q in qs if q in self.medians}
            if not targets:
                break
            done = dask.compute(*[self.task(k, T.median_steps, c, targets)
                                  for k, c in enumerate(cols)])
            for q in targets:
                self.reduce_median(q, [d[q] for d in done])
        for q in ranked:
            self.learn_ranked(q, chains[q], [self.task(k, T.item, c, q) for k, c in enumerate(cols)])

    def learn_ranked(self, q, req, cols):
        """Ranks over the whole column (percentile), or codes of its distinct
        values (entropy): rows shuffled to value ranges, ranked there with the
        counts below each range, back in the frame's order."""
        base, hist = req["base"], self.known[q]
        frame = [self.task(k, T.ranked_rows, c, hist, self.offsets[k]) for k, c in enumerate(cols)]
        dist = None
        if req["what"] == "entropy":
            tasks = Tasks("distinct")
            parts = dask.compute(*tasks.delayed(self.exchange(tasks, frame, ("column", TARGET),
                                                              T.entropy_distinct)))
            dist = self.known[base + ".dist"] = self.reduce_distinct(
                pd.concat(parts, ignore_index=True), hist)
        rows = {"kind": req["what"], "hist": hist}
        if dist is not None:
            rows["dist"] = dist
        (self.recipes[base + ".rows"],) = persist(self.recipe(rows, frame))

    @staticmethod
    def reduce_distinct(table, hist):
        """Distinct values below each target, all distinct values, and the sum
        of every row's code (missing values coded after all distinct values)."""
        ntargets = hist["ntargets"]
        distinct, count, codesum = [0] * ntargets, [0] * ntargets, [0] * ntargets
        # one row per value range and shuffled partition: few, summed as exact integers
        for t, d, c, s in zip(*(table[c].to_numpy(np.int64).tolist()
                                for c in ("target", "distinct", "count", "codesum"))):
            distinct[t] += d
            count[t] += c
            codesum[t] += s
        missing = int(table["missing"].to_numpy(np.int64).sum())
        below, acc, total = [], 0, 0
        for k in range(ntargets):
            below.append(acc)
            total += codesum[k] + count[k] * acc
            acc += distinct[k]
        total += missing * acc
        return {"below_distinct": np.asarray(below, dtype=np.int64), "D": acc, "total": total}

    def recipe(self, req, parts):
        """The rows a per-row quantity gives every partition: the emitted rows
        brought together by key, computed together, and put back in the
        frame's order."""
        tasks = Tasks("rows")
        if req["kind"] == "window":
            computed = self.exchange(tasks, parts, ("hash", [HASH + "0"]), T.window_rows,
                                     req["op"], req["operands"], req["group"], req["dtype"])
        else:
            computed = self.exchange(tasks, parts, ("column", TARGET), T.ranks, req["kind"],
                                     req["hist"], req.get("dist"))
        n = self.nparts
        back = [tasks.add(T.split, c, ("rows", self.offsets[:-1]), n) for c in computed]
        return tasks.delayed([tasks.add(T.restored_values,
                                        List(*[tasks.add(T.item, b, k) for b in back]), length)
                              for k, length in enumerate(self.lengths)])

    # ---- the result ------------------------------------------------------------------

    def preprocess(self):
        self.prepare()
        parts = self.input_cut(self.rounds())
        return dd.from_delayed(parts, meta=self.meta)

    def predict(self, method):
        model = self.obj.model
        names = {str(c) for c in model.feature_names_in_}
        columns = self.ddf.columns.tolist()
        if len(model.feature_names_in_) == len(columns) and set(columns) == names:
            # the model's own input, taken as it is
            parts = self.ddf.to_delayed()
            lengths = list(dask.compute(*[delayed(len)(p) for p in parts]))
            head = self.ddf.head(1, npartitions=-1)
        else:
            self.return_y = True
            self.prepare()
            # each input partition scored alone, as the model scores it:
            # BLAS sums of linear models change with the rows scored at once
            parts = self.input_cut(self.rounds())
            lengths, head = self.input_lengths, self.head
        target = self.obj.target_name
        # the output's type and width, from the model's answer for one row
        probe = T.predict_part(head, model, target, method)
        meta = probe[:0]
        model_d = literal(model)
        arrays = [da.from_delayed(delayed(T.predict_part)(p, model_d, target, method),
                                  shape=(n,) + probe.shape[1:], dtype=probe.dtype, meta=meta)
                  for p, n in zip(parts, lengths)]
        if not arrays:
            return da.from_array(meta)
        return da.concatenate(arrays, axis=0)
