"""The engine installed in the feature engine while one partition is evaluated.

Quantities are named by the position of the operator in the evaluation (the
n-th operator call, the m-th question it asks), which is the same on every
partition: the feature names, not the data, decide which operators run.  A
quantity is collected only when the columns it reads are exact, that is when
no quantity they depend on is still unknown; the engine follows that through
the columns each operator reads and writes.

When a quantity needs rows brought together (a group table, ranks, a grouped
window, a running window's chain), the partition's share of those rows is
emitted in the same evaluation that asks for it, so that one pass over the
partitions both learns the small quantities and feeds the shuffles.
"""

import functools

import numpy as np
import pandas as pd

from . import _kernels as K
from ._common import HASH, ROWID, TARGET, VALUE, hashable_keys, key_column

NAN = float("nan")

def operators(test):
    """The names of the registry's operators whose row passes `test`."""
    return frozenset(row["name"] for row in _registry() if test(row))


@functools.cache
def _registry():
    return tuple(tavrin()._operator_registry())


@functools.cache
def local_windows():
    """Window operators whose value at a row depends only on the rows of its
    window: an ungrouped column is computed with the rows before (and after)
    each partition added.  The others keep a running state from the first
    row."""
    return operators(lambda row: "preceding_rows" in row["needs"])


@functools.cache
def recorded_statistics():
    """The group statistics combined with a training record."""
    return operators(lambda row: {"group_table", "final_fill"} <= set(row["needs"]))


# The median of an input column, learnt before the first round: the fill of a
# column no operator wrote is that median where the column holds what it held
# before any feature (checked bit for bit); where it does not, the partition
# says so and the rounds start again without these medians.
INPUT_FILL = "input.fill."
INPUT_CHANGED = "input.changed"

# NumPy's buffered reductions of an integer column cast to float64 sum each
# block of this many values pairwise and the blocks in order.
CAST_BLOCK = 8192


@functools.cache
def labels():
    """The label operator of each operator's result column."""
    return {row["name"]: row["label"] for row in _registry()}


@functools.cache
def lags():
    return operators(lambda row: row["family"] == "lag")


@functools.cache
def pairs():
    return operators(lambda row: row["family"] == "window_pair")


def window_local(op, d):
    return op in local_windows() or d <= 1


def is_lag(op):
    return op in lags()


def is_pair(op):
    return op in pairs()


def native_numeric(values):
    if values is None:
        return False
    dtype = values.dtype
    return isinstance(dtype, np.dtype) and dtype.kind in "iuf"


def tavrin():
    from brinvale import tavrin as t

    return t


class Plain:
    """Installed while an operator runs on rows that already form the whole
    frame (a shuffled group, a partition with its neighbours' rows): it only
    names the group column."""

    def __init__(self, group):
        self._group = group

    def group(self):
        return self._group

    def __getattr__(self, name):
        # every other question is answered by the operator itself
        return _none


def _none(*args, **kwargs):
    return None


def plain_op(op, frame, name, operands, group):
    """The operator itself on `frame` as a whole: its column's values."""
    t = tavrin()
    out = t._with_engine(Plain(group), getattr(t, op), frame.copy(deep=False), *operands)
    return out[name].array


class Ask:
    __slots__ = ("value", "known", "collect")

    def __init__(self, value=None, known=False, collect=False):
        self.value, self.known, self.collect = value, known, collect


class Engine:
    """One partition's evaluation in one round.

    `plan` holds what every partition shares (the known quantities, offsets,
    records, group column); `state` the bookkeeping the features evaluated in
    earlier rounds left (operator count, the columns' dependencies, the
    columns filled since last written), continued here."""

    def __init__(self, plan, part, rows, state, inputs=None):
        self.plan = plan
        self.inputs = inputs or {}
        self.input_fills = plan.get("input_fills") or {}
        self.part = part
        self.rows = rows
        self.known = plan["known"]
        self.group_ = plan["group"]
        self.records = plan["records"]
        offsets = plan["offsets"]
        self.offset = offsets[part]
        self.length = offsets[part + 1] - self.offset
        self.total = plan["total"]
        self.seq = state["seq"]
        self.taint = {k: set(v) for k, v in state["taint"].items()}
        self.filled = set(state["filled"])
        self.asked = 0
        self.op = ""
        self.out_label = ""
        self.input_taint = set()
        self.op_unknown = set()
        self.small, self.requests, self.pieces = {}, {}, {}
        self.unknown = []
        # the unknown quantities the current run of features asked or read
        # columns depending on: it can only change once one of them is known
        self.deps = set()
        # the columns the current run of features wrote (its operators'
        # columns, the columns its final fills filled)
        self.touched = set()

    def state(self):
        return {"seq": self.seq, "taint": {k: set(v) for k, v in self.taint.items()},
                "filled": set(self.filled)}

    # ---- what the dispatcher tells ------------------------------------------

    def begin(self, op, temp, key):
        self.seq += 1
        self.asked = 0
        self.op = str(op)
        # the label the operator writes: the registry's label operator in
        # front of its operands (stddev writes ts_rank's)
        self.out_label = str(key)
        label = labels().get(self.op, self.op)
        if label != self.op and self.out_label.startswith(self.op):
            self.out_label = label + self.out_label[len(self.op):]
        self.input_taint = set()
        self.op_unknown = set()
        self.filled.discard(self.out_label)  # the operator writes its column afresh
        self.touched.add(self.out_label)
        self.touched.add(str(key))

        def read(label):
            if isinstance(label, str) and label in self.taint:
                self.input_taint |= self.taint[label]

        for label in list(temp)[1:]:
            read(label)
        if self.group_ is not None and self.op != "crossrank":
            read(self.group_)
        self.deps |= self.input_taint
        if self.op in recorded_statistics() and key not in self.records:
            raise NotImplementedError(
                f"the group statistic {key} has no training record: a frame cut into "
                "partitions is computed with the records of a result folder")

    def end(self, key):
        self.taint[self.out_label] = self.input_taint | self.op_unknown

    def group(self):
        return self.group_

    def unsupported(self, what, dtype):
        raise NotImplementedError(
            f"{what} of a {dtype} column is not computed over a frame cut into partitions")

    # ---- bookkeeping ------------------------------------------------------------

    def next_base(self):
        base = f"{self.seq}.{self.asked}"
        self.asked += 1
        return base

    def ask(self, q, derived):
        table = self.rows if q.endswith(".rows") else self.known
        if q in table:
            return Ask(table[q], True)
        blocked = bool(self.input_taint) or (derived and bool(self.op_unknown))
        self.op_unknown.add(q)
        self.unknown.append(q)
        self.deps.add(q)
        return Ask(collect=not blocked)

    def emit(self, q, columns):
        columns[ROWID] = np.arange(self.offset, self.offset + self.length, dtype=np.int64)
        self.pieces[q] = pd.DataFrame(columns)

    def request(self, q, req, columns):
        """A quantity learnt from rows brought together: asked of the driver
        once (by the first partition), this partition's rows emitted now."""
        if self.part == 0:
            req["meta"] = meta_of(columns)
            self.requests[q] = req
        self.emit(q, columns)

    def chain(self, q, req, values):
        """A quantity learnt in several steps over one column (a mean, then
        the deviations from it; digits, then the values under a prefix): the
        column stays on the worker and the driver takes every step over it in
        this round, without evaluating the features again."""
        if self.part == 0:
            self.requests[q] = req
        # a copy: the operator goes on to write into the array it asked about
        self.pieces[q] = np.array(values, copy=True)

    # ---- pairwise sums ------------------------------------------------------------

    def psum(self, values, skipped=0):
        return psum(values, self.offset, self.total, skipped)

    def chunked_psum(self, values):
        return chunked_psum(values, self.offset, self.total)

    def skip_missing_sum(self, v):
        return skip_missing_sum(v, self.offset, self.total)

    @staticmethod
    def squares(v, mean):
        return squares(v, mean)

    # ---- column statistics ----------------------------------------------------------

    def standardize(self, values):
        values = np.asarray(values)
        base = self.next_base()
        kind = values.dtype.kind
        placeholder = (NAN, NAN)
        if kind == "f" and values.dtype.itemsize == 8:
            v = np.ascontiguousarray(values, dtype=np.float64)
            m = self.ask(base + ".m", True)
            s = self.ask(base + ".s", True)
            if not m.known:
                if m.collect:
                    self.chain(base + ".std", {"kind": "standardize", "base": base}, v)
                return placeholder
            total, count = m.value
            mean = NAN if count == 0 else total / count
            if not s.known:
                if s.collect:
                    self.small[base + ".s"] = self.psum(self.squares(v, mean))
                return placeholder
            return mean, deviation(s.value, count)
        if kind in "iu":
            # pandas: the mean of an integer column sums NumPy's cast blocks,
            # the variance the float64 copy in one pairwise pass
            v = values.astype("float64")
            c = self.ask(base + ".c", True)
            m = self.ask(base + ".m", True)
            s = self.ask(base + ".s", True)
            if not c.known or not m.known:
                if c.collect and m.collect:
                    self.chain(base + ".std", {"kind": "standardize", "base": base}, v)
                elif c.collect:
                    self.small[base + ".c"] = self.chunked_psum(v)
                elif m.collect:
                    self.small[base + ".m"] = self.psum(v)
                return placeholder
            csum, count = c.value
            fsum, fcount = m.value
            centre = csum / count
            avg = fsum / fcount
            if not s.known:
                if s.collect:
                    self.small[base + ".s"] = self.psum(self.squares(v, avg))
                return placeholder
            return centre, deviation(s.value, count)
        self.unsupported("standardisation", values.dtype)

    def mean(self, values):
        values = np.asarray(values)
        base = self.next_base()
        kind = values.dtype.kind
        integral = kind in "iu"
        if not integral and not (kind == "f" and values.dtype.itemsize == 8):
            self.unsupported("the mean", values.dtype)
        v = np.ascontiguousarray(values.astype("float64"))
        q = base + (".c" if integral else ".m")
        a = self.ask(q, True)
        if not a.known:
            if a.collect:
                self.small[q] = self.chunked_psum(v) if integral else self.skip_missing_sum(v)
            return NAN
        total, count = a.value
        return NAN if count == 0 else total / count

    def column_total(self, values):
        q = self.next_base() + ".t"
        a = self.ask(q, True)
        if not a.known:
            if a.collect:
                self.small[q] = self.psum(values)
            return NAN
        return a.value[0]

    def _extreme(self, values, suffix, kernel):
        # a whole-column extreme and its position, collected per partition
        q = self.next_base() + suffix
        a = self.ask(q, True)
        if not a.known:
            if a.collect:
                f, i = kernel(np.asarray(values))
                self.small[q] = {"f": f, "i": i}
            return NAN, 0
        return a.value

    def column_min(self, values):
        return self._extreme(values, ".min", K.column_minimum)

    def softmax_max(self, values):
        return self._extreme(values, ".max", K.softmax_maximum)

    def any_missing(self, values):
        q = self.next_base() + ".any"
        a = self.ask(q, True)
        if not a.known:
            if a.collect:
                self.small[q] = bool(np.isnan(np.asarray(values, dtype=np.float64)).any())
            return True
        return a.value

    # ---- ranks over the whole column ------------------------------------------------

    def percentile(self, values):
        values = np.asarray(values)
        base = self.next_base()
        if not self.ranked_rows(base, values, "percentile"):
            return np.full(self.length, NAN)
        return self.rows[base + ".rows"]

    def entropy(self, values):
        values = np.asarray(values)
        base = self.next_base()
        if not self.ranked_rows(base, values, "entropy"):
            return NAN
        t = self.ask(base + ".t", True)
        if not t.known:
            if t.collect:
                dist = self.known[base + ".dist"]
                codes = np.ascontiguousarray(self.rows[base + ".rows"], dtype=np.int64)
                self.small[base + ".t"] = self.psum(K.entropy_terms(codes, dist["total"]))
            return NAN
        return t.value[0]

    def ranked_rows(self, base, values, what):
        """The digit histogram, then (entropy) the distinct values per value
        range, then the rows themselves; true once the rows are here."""
        if values.dtype.kind not in "fiu" or values.dtype.itemsize != 8:
            self.unsupported(what, values.dtype)
        entropy = what == "entropy"
        h = self.ask(base + ".hist", False)
        dist = self.ask(base + ".dist", True) if entropy else None
        r = self.ask(base + ".rows", True)
        if not h.known:
            if h.collect:
                self.chain(base + ".hist", {"kind": "ranked", "what": what, "base": base,
                                            "dtype": values.dtype}, values)
            return False
        if entropy and not dist.known:
            if dist.collect:
                self.request(base + ".dist", {"kind": "entropy_dist", "hist": h.value},
                             self.ranked_columns(values, h.value))
            return False
        if not r.known:
            if r.collect:
                req = {"kind": what, "hist": h.value}
                if entropy:
                    req["dist"] = dist.value
                self.request(base + ".rows", req, self.ranked_columns(values, h.value))
            return False
        return True

    def ranked_columns(self, values, hist):
        return ranked_frame(values, hist, self.offset)

    # ---- group tables -----------------------------------------------------------------

    def group_table(self, kind, stat, keys, values, codes, ngroups, derived):
        base = self.next_base()
        stat_name = "" if stat is None else str(stat)
        runs = (kind == "aggregate" and native_numeric(values)
                and stat_name in ("sum", "mean", "min", "max"))
        placeholder = np.full(ngroups, NAN)
        ready, pending = True, False
        if runs:
            r = self.ask(base + ".runs", derived)
            if not r.known:
                if r.collect:
                    self.small[base + ".runs"] = runs_partial(keys[0], values)
                    # the driver reduces the runs in this round before it
                    # computes the table: the table's rows go with them
                    pending = True
                else:
                    ready = False
        t = self.ask(base + ".tab", derived)
        if t.known:
            return match_table(t.value, kind, keys, np.asarray(codes, dtype=np.int64), ngroups)
        if t.collect and ready:
            sorted_runs = bool(runs and not pending and self.known[base + ".runs"])
            # Statistics read once in row order are carried along the
            # partitions as each group's accumulators: no group's rows ever
            # gather in one place.  Medians, distinct counts, the library's
            # statistics and NumPy's sorted runs see a group's rows at once.
            stream = kind != "aggregate" or (
                K.carried_width(stat_name) > 0 and native_numeric(values) and not sorted_runs)
            req = {"kind": "table", "table": kind, "stat": stat, "keys": len(keys),
                   "runs": sorted_runs if runs else None, "stream": stream,
                   "runs_of": base + ".runs" if pending else None}
            self.request(base + ".tab", req, table_columns(keys, values))
        return placeholder

    # ---- the final fill -------------------------------------------------------------------

    def fill_value(self, label, j, values):
        name = str(label)
        # A column filled by an earlier operator and not written since holds
        # no missing value, or only missing values: its fill changes nothing,
        # whatever the median.  Only new columns need the whole column's.
        if name != self.out_label and name in self.filled:
            return NAN
        self.filled.add(name)
        self.touched.add(name)
        if name != self.out_label and name not in self.taint and name in self.input_fills:
            if same_bits(values, self.inputs.get(name)):
                return self.input_fills[name]
            self.small[INPUT_CHANGED] = True
        q = f"{self.seq}.fill.{name}"
        # the op's own column depends on what the op asked; others on their past
        if name == self.out_label:
            deps = self.input_taint | self.op_unknown
        else:
            deps = set(self.taint.get(name, ()))
        if q in self.known:
            return self.known[q]
        self.unknown.append(q)
        self.deps |= deps
        self.deps.add(q)
        if name != self.out_label:
            self.taint.setdefault(name, set()).add(q)
        else:
            self.op_unknown.add(q)
        if not deps:
            self.chain(q, {"kind": "median"}, np.ascontiguousarray(values, dtype=np.float64))
        return NAN

    # ---- windows --------------------------------------------------------------------------

    def window(self, op, df, name, operands):
        grouped = op == "crossrank" or self.group_ is not None
        base = self.next_base()
        q = base + (".rows" if grouped else ".win")
        ncols = 2 if op == "crossrank" or is_pair(op) else 1
        columns = list(operands[:ncols])
        if grouped:
            return self.grouped_window(op, df, name, operands, columns, base, q)
        d = int(operands[-1])
        if window_local(op, d):
            # the rows just before (and, for leads, just after) the partition
            if is_lag(op):
                before, after = max(d, 0), max(-d, 0)
            else:
                before, after = max(d - 1, 0), 0
            a = self.ask(q, False)
            if a.known:
                return self.extended_op(op, df, name, operands, columns, a.value)
            local = plain_op(op, df, name, operands, None)
            if a.collect:
                frame = df[columns]
                n = len(frame)
                self.small[q] = {"head": frame.iloc[:min(after, n)],
                                 "tail": frame.iloc[n - min(before, n):],
                                 "before": before, "after": after}
            return local
        # running windows: continued from the state the partitions before left
        a = self.ask(q, False)
        if a.known:
            x = self.float_column(df, columns[0])
            y = self.float_column(df, columns[1]) if is_pair(op) else None
            out, _ = K.rolling_continue(op, x, y, d, self.total, a.value[self.part])
            return out
        local = plain_op(op, df, name, operands, None)
        if a.collect:
            piece = {key_column(i): self.float_column(df, c) for i, c in enumerate(columns)}
            self.request(q, {"kind": "chain", "op": op, "window": d, "columns": len(columns)},
                         piece)
        return local

    def grouped_window(self, op, df, name, operands, columns, base, q):
        # A grouped window may be carried along the partitions (each group
        # continuing from its running state or its last rows); the driver
        # decides from the number of groups.  Leads and ranks across a group
        # are always computed on rows shuffled by group.
        d = before = 0
        groups = -1
        carried = False
        if op != "crossrank":
            try:
                d = int(operands[-1])
                local = window_local(op, d)
                before = d if is_lag(op) else max(d - 1, 0)
                carried = not (is_lag(op) and d < 0)
                for c in columns:
                    if not local:
                        carried = carried and native_numeric(df[c])
                carried = carried and hasattr(df[self.group_], "dtype")
            except (KeyError, ValueError, TypeError, OverflowError):
                # a length, an operand or a group the operator itself refuses,
                # with its own message, on the shuffled rows
                carried = False
        if carried:
            g = self.ask(base + ".groups", False)
            if g.known:
                groups = g.value
            else:
                if g.collect:
                    _, uniques = pd.factorize(df[self.group_], use_na_sentinel=False)
                    self.small[base + ".groups"] = len(uniques)
        a = self.ask(q, False)
        if a.known:
            return a.value
        key = columns[0] if op == "crossrank" else self.group_
        group = None if op == "crossrank" else self.group_
        local = plain_op(op, df, name, operands, group)
        if a.collect:
            req = {"kind": "window", "op": op, "operands": list(operands), "key": key,
                   "group": group, "dtype": local.dtype, "carried": carried,
                   "groups": base + ".groups" if carried and groups < 0 else groups,
                   "window": d, "before": before}
            self.request(q, req, window_columns(df, key, columns))
        return local

    def extended_op(self, op, df, name, operands, columns, edges):
        before, after = edges[self.part]
        extended = pd.concat([before, df[columns], after], ignore_index=True)
        values = plain_op(op, extended, name, operands, None)
        b = len(before)
        return values[b:b + self.length]

    def float_column(self, df, col):
        s = df[col]
        if not pd.api.types.is_numeric_dtype(s.dtype):
            self.unsupported("a running window", s.dtype)
        return np.ascontiguousarray(s.to_numpy(dtype="float64", na_value=NAN))

    def result(self):
        return {"small": self.small, "requests": self.requests, "pieces": self.pieces,
                "unknown": self.unknown}


def same_bits(values, before):
    if before is None:
        return False
    v = np.ascontiguousarray(values, dtype=np.float64)
    return v.shape == before.shape and bool((v.view(np.int64) == before.view(np.int64)).all())


def psum(values, offset, total, skipped=0):
    """This part's pieces of NumPy's pairwise sum of the whole column."""
    values = np.ascontiguousarray(values, dtype=np.float64)
    d = K.pairwise_pieces(values, offset, total)
    d["count"] = len(values) - skipped
    return d


def chunked_psum(values, offset, total):
    """Blocks of CAST_BLOCK values: each summed pairwise, the blocks in order."""
    values = np.ascontiguousarray(values, dtype=np.float64)
    blocks = []
    pos, end = offset, offset + len(values)
    while pos < end:
        block = pos // CAST_BLOCK
        start = block * CAST_BLOCK
        length = min(CAST_BLOCK, total - start)
        stop = min(start + length, end)
        piece = values[pos - offset:stop - offset]
        blocks.append((block, length, K.pairwise_pieces(piece, pos - start, length)))
        pos = stop
    return {"blocks": blocks, "count": len(values)}


def skip_missing_sum(v, offset, total):
    # missing values as 0, as pandas sums them; their number is left out of the count
    missing = np.isnan(v)
    return psum(np.where(missing, 0.0, v), offset, total, int(missing.sum()))


def squares(v, mean):
    d = mean - v
    return np.where(np.isnan(v), 0.0, d * d)


def ranked_frame(values, hist, offset):
    """The rows of a ranked column with the value range each is ranked in
    (missing values spread over the ranges by row)."""
    digits = K.top_digits(values.astype("float64"))
    ids = np.arange(offset, offset + len(digits), dtype=np.int64)
    target = np.where(digits < 0, ids % hist["ntargets"], hist["digit_target"][np.maximum(digits, 0)])
    return {VALUE: values, TARGET: target.astype(np.int64)}


def deviation(squares_known, count):
    if count < 2:
        return NAN
    return float(np.sqrt(squares_known[0] / (count - 1)))


def runs_partial(keys, values):
    """Whether the keys run in sorted order (missing keys first) within this
    partition, its first and last key, and whether the values hold NaN:
    pandas' groupby sums runs of sorted keys with NumPy's reduceat."""
    codes, _ = pd.factorize(keys, sort=True)
    codes = np.asarray(codes, dtype=np.int64)
    return {"sorted": bool((codes[1:] >= codes[:-1]).all()), "first": keys.iloc[:1],
            "last": keys.iloc[len(keys) - 1:], "nan_values": bool(values.isna().any())}


def table_columns(keys, values):
    cols = {}
    for j, k in enumerate(keys):
        cols[key_column(j)] = k.array
        cols[HASH + str(j)] = hashable_keys(k).array
    if values is not None:
        cols[VALUE] = values.array
    return cols


def window_columns(df, key, columns):
    """The key and operand columns under their own labels (the operator reads
    them by name on the shuffled rows), and the key's hashable stand-in."""
    k = df[key]
    cols = {key: k.array}
    for c in columns:
        cols[c] = df[c].array
    cols[HASH + "0"] = hashable_keys(k).array
    return cols


def meta_of(cols):
    """The empty frame the emitted rows of a quantity fill."""
    empty = {label: pd.Series(values).iloc[:0].array for label, values in cols.items()}
    empty[ROWID] = np.zeros(0, dtype=np.int64)
    return pd.DataFrame(empty)


def match_table(table, kind, keys, codes, ngroups):
    """The whole frame's table at this partition's codes: each code's keys
    (taken at its first row) looked up among the table's keys, as pandas
    matches keys (factorize over both)."""
    first = K.first_rows(np.where((codes >= 0) & (codes < ngroups), codes, -1), ngroups)
    present = np.flatnonzero(first >= 0)
    take = first[present]
    table_keys, table_values = table["keys"], table["values"]
    nt = len(table_values)
    tab = np.zeros(nt, dtype=np.int64)
    mine = np.zeros(len(present), dtype=np.int64)
    for j, k in enumerate(keys):
        both = pd.concat([pd.Series(np.asarray(table_keys[j])), pd.Series(np.asarray(k.take(take)))],
                         ignore_index=True)
        jc, levels = pd.factorize(both, sort=False, use_na_sentinel=kind != "count")
        jc = np.asarray(jc, dtype=np.int64)
        radix = len(levels) + 1
        tab = np.where((tab < 0) | (jc[:nt] < 0), -1, tab * radix + jc[:nt])
        mine = np.where((mine < 0) | (jc[nt:] < 0), -1, mine * radix + jc[nt:])
    out = np.full(ngroups, NAN)
    out[present] = K.lookup(tab, np.asarray(table_values, dtype=np.float64), mine)
    return out


def median_partial(targets, v):
    """Round 0: the column's size and first digits; later rounds: the digits
    or the values under the prefixes the driver narrowed down to."""
    if targets is None:
        nan_count = int(np.isnan(v).sum())
        digits, counts = K.digit_counts(v, 0, 0)
        return {"nan": nan_count, "n": len(v) - nan_count, "digits": digits, "counts": counts}
    found = []
    for level, prefix, gather in targets:
        if gather:
            found.append(K.values_with_prefix(v, level, prefix))
        else:
            found.append(K.digit_counts(v, level, prefix))
    return {"targets": found}
