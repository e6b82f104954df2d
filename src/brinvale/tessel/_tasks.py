"""What runs on the workers: the evaluation of one partition, and the
computations over shuffled rows (group tables, ranks, grouped windows) and
over consecutive partitions (running-window carries, group accumulators).
Module-level functions, so that workers in other processes find them by name.
"""

import numpy as np
import pandas as pd

from . import _kernels as K
from ._common import ROWID, TARGET, VALUE, in_row_order, key_column
from . import _engine as E
from ._engine import Engine, Plain, is_pair

NAN = float("nan")
RUNNING = {"tsum", "ts_mean", "stddev", "tcorrelation", "tcorvariance"}


def _wb():
    from brinvale import brinvale as wb

    return wb


def _tavrin():
    from brinvale import tavrin

    return tavrin


# ---- preparation of the input partitions ------------------------------------------


def prepare(part, prep):
    df = part.copy()
    wb = _wb()
    wb._encode_text_columns(df, prep["records"], prep["time_index"])
    if prep["percent"] is None:
        return df
    return wb._convert_percentages(df, prep["percent"])


def encode(part, prep):
    """A partition with its text columns encoded as the records encode them."""
    df = part.copy()
    _wb()._encode_text_columns(df, prep["records"], prep["time_index"])
    return df


def survey(encoded, part, prep):
    """The partition's length, its percentage columns (once encoded) and the
    first value of its time column that is not missing (None without one)."""
    first = None
    time_index = prep["time_index"]
    if time_index is not None and time_index in part.columns:
        present = part[time_index].dropna()
        if len(present) > 0:
            first = present.iloc[0]
    return len(part), _wb()._percent_columns(encoded), first


def initial(encoded, prep, target):
    """A prepared partition before any feature: the state the first round
    continues."""
    df = _wb()._convert_percentages(encoded.copy(), prep["percent"])
    return {"frame": df, "records": dict(prep["records"]), "next": 0,
            "engine": {"seq": 0, "taint": {}, "filled": set()},
            "label": None if target is None else df[target].copy(), "inputs": {}}


def joined(parts):
    """Consecutive encoded partitions as one: their row labels kept where
    they stay unique, else fresh ones (each partition's own labels come back
    with its rows)."""
    df = pd.concat(parts)
    if not df.index.is_unique:
        df = df.reset_index(drop=True)
    return df


def index_of(part):
    return part.index


def rows_of(frame, start, stop, index=None):
    """Rows start:stop of a joined partition's result, under the input
    partition's own row labels where given."""
    out = frame.iloc[start:stop]
    if index is not None:
        out = out.set_axis(index, axis=0)
    return out


def float_columns(state):
    """The labels of a prepared partition's float64 columns (none where
    labels repeat)."""
    df = state["frame"]
    if not df.columns.is_unique:
        return []
    return [label for label, dtype in df.dtypes.items()
            if isinstance(label, str) and dtype == np.float64]


def with_inputs(state):
    """The prepared partition keeping its float64 columns as they are before
    any feature, beside the medians the driver learns of them: a fill of a
    column no operator wrote reads them."""
    df = state["frame"]
    inputs = {label: np.array(df[label].to_numpy(dtype=np.float64), copy=True)
              for label in float_columns(state)}
    return dict(state, inputs=inputs)


def input_labels(state):
    return list(state["inputs"])


def input_pieces(state, labels):
    return {"pieces": {E.INPUT_FILL + label: state["inputs"][label] for label in labels}}


# ---- one partition through the feature engine ----------------------------------------


def evaluate(state, k, plan, names, *row_parts):
    """The features not yet exact on this partition, continued from `state`:
    what the engine gathered, what each run of features depends on, the state
    after the longest run of features now exact (the next round continues
    from there), and the partition in the model's form once every feature is
    exact.  A run that cannot give anything new this round (exact, or
    waiting for quantities still unknown) is replayed from what it wrote
    when it was last evaluated."""
    tavrin = _tavrin()
    engine = Engine(plan, k, dict(zip(names, row_parts)), state["engine"], state["inputs"])
    # The operators add columns to the frame and records to the dict they are
    # given: copies, never the persisted state (shared by the tasks of a worker).
    df = state["frame"].copy(deep=False)
    records = dict(state["records"])
    replays = state.get("replays", {})
    committed, clean, chunks, kept = state, True, {}, {}
    for i, (start, stop) in enumerate(plan["chunks"]):
        if start < state["next"]:
            continue
        delta = replays.get(i)
        if (delta is not None and i not in plan["live"]
                and set(df.columns.tolist()) == delta["before"]):
            df = replay(df, records, engine, delta)
        else:
            before, marks = df.copy(deep=False), engine.state()
            records_before = dict(records)
            unknown, shares = len(engine.unknown), len(engine.small) + len(engine.pieces)
            engine.deps, engine.touched = set(), set()
            df = tavrin._with_engine(engine, tavrin.name2feature, df,
                                     plan["features"][start:stop], records)
            delta = written(before, df, engine.touched, marks, engine.state(), records_before,
                            records)
            if delta is not None:
                delta["unknown"] = engine.unknown[unknown:]
                delta["exact"] = not engine.deps and len(engine.unknown) == unknown
            chunks[i] = (engine.deps, len(engine.small) + len(engine.pieces) > shares,
                         delta is not None)
        if delta is None or not delta["exact"]:
            clean = False
        if clean:
            committed = {"frame": df.copy(deep=False), "records": dict(records), "next": stop,
                         "engine": engine.state(), "label": state["label"],
                         "inputs": state["inputs"]}
        elif delta is not None:
            kept[i] = delta
    if committed is state:
        committed = dict(state)
    committed["replays"] = kept
    result = engine.result()
    result["state"] = committed
    result["chunks"] = chunks
    if not result["unknown"]:
        result["done"] = finish(df, k, plan, state["label"])
    return result


def _same_column(a, b):
    """Whether a column not written by the run holds what it held: merges
    copy the columns they do not write, so only the dtype is compared."""
    if a is b:
        return True
    if isinstance(a, np.ndarray) and isinstance(b, np.ndarray):
        return a.dtype == b.dtype and a.shape == b.shape
    return getattr(a, "dtype", None) == getattr(b, "dtype", None) and len(a) == len(b)


def _unique(index, labels):
    """Index.is_unique, which hashes the labels anew for every new frame."""
    if len(set(labels)) != len(labels):
        return False
    if any(isinstance(label, float) and label != label for label in labels):
        return index.is_unique  # NaN labels: pandas counts them equal
    return True


def written(before, after, touched, engine_before, engine_after, records_before, records):
    """What a run of features wrote on this partition: its columns (new ones,
    its operators' and its fills', any whose dtype changed), the frame's
    column order and index, and its marks in the engine's bookkeeping; None
    where the frame's labels repeat."""
    # labels as lists: iterating an Index of texts costs a call per label
    before_labels, after_labels = before.columns.tolist(), after.columns.tolist()
    if not (_unique(before.columns, before_labels) and _unique(after.columns, after_labels)):
        return None
    where = {label: j for j, label in enumerate(before_labels)}
    columns = {}
    for j, label in enumerate(after_labels):
        if (label not in where or label in touched
                or not _same_column(after._get_column_array(j),
                                    before._get_column_array(where[label]))):
            columns[label] = after[label].array
    taint = {key: set(v) for key, v in engine_after["taint"].items()
             if engine_before["taint"].get(key) != v}
    return {"before": set(before_labels), "columns": columns, "order": after.columns,
            "index": after.index, "seq": engine_after["seq"] - engine_before["seq"],
            "taint": taint, "filled_add": engine_after["filled"] - engine_before["filled"],
            "filled_del": engine_before["filled"] - engine_after["filled"],
            "records": {key: v for key, v in records.items()
                        if key not in records_before or records_before[key] is not v}}


def replay(df, records, engine, delta):
    """A run of features exact on this partition, applied again from what it
    wrote (its values cannot have changed: they read only exact columns)."""
    for label, values in delta["columns"].items():
        df[label] = values
    # written columns keep their places and new ones come last, as the run
    # left them, mostly: the frame is taken in the run's order only if not
    if not df.columns.equals(delta["order"]):
        df = df[delta["order"]]
    df.index = delta["index"]
    engine.seq += delta["seq"]
    for key, v in delta["taint"].items():
        engine.taint[key] = set(v)
    engine.filled -= delta["filled_del"]
    engine.filled |= delta["filled_add"]
    records.update(delta["records"])
    engine.unknown.extend(delta["unknown"])
    return df


def summary(result, k):
    """What the driver reads of an evaluation: the small shares; the requests,
    the unknown quantities and the result's form from the first partition."""
    out = {"small": result["small"]}
    if k == 0:
        out["requests"] = result["requests"]
        out["unknown"] = result["unknown"]
        out["chunks"] = result["chunks"]
        out["done"] = "done" in result
        if "done" in result:
            out["meta"] = result["done"].iloc[:0]
            out["head"] = result["done"].iloc[:1]
    return out


def state_of(result):
    return result["state"]


def done_of(result):
    return result["done"]


def pieces(result, q):
    return result["pieces"][q]


def finish(df, k, plan, label):
    """The steps of the pipeline after the feature engine, on one partition."""
    post = plan["post"]
    n = len(df)
    offset = plan["offsets"][k]
    if post["fresh_index"]:
        # merged frames get a fresh 0..n-1 index: positions in the whole frame
        df.index = pd.RangeIndex(offset, offset + n)
    df = _wb()._finish_steps(df, post["id_index"], post["ignore"], post["time_index"],
                             post["group_id"], post["time_format"])
    df = _wb()._target_step(df, label if post["append_target"] else None, post["target"],
                            post["running"], post["return_y"])
    if post["append_target"]:
        df.index = pd.RangeIndex(offset, offset + n)
    return df


# ---- rows exchanged between partitions --------------------------------------------------


def split(frame, how, n):
    """The rows of `frame` for each of `n` destinations, in row order: by
    the hash of key columns (rows of one group meet), by a column naming the
    destination, or by the partition a row id belongs to."""
    kind, arg = how
    if kind == "hash":
        dest = pd.util.hash_pandas_object(frame[arg], index=False).to_numpy() % np.uint64(n)
    elif kind == "column":
        dest = frame[arg].to_numpy(dtype=np.int64) % n
    else:
        dest = np.searchsorted(np.asarray(arg), frame[ROWID].to_numpy(dtype=np.int64),
                               side="right") - 1
    dest = np.asarray(dest, dtype=np.int64)
    order = np.argsort(dest, kind="stable")
    bounds = np.searchsorted(dest[order], np.arange(n + 1))
    return tuple(frame.take(order[bounds[j]:bounds[j + 1]]) for j in range(n))


def gather(pieces):
    return pd.concat(pieces, ignore_index=True)


def on_gathered(func, pieces, *args):
    """`func` over the rows sent to one destination, gathered in one frame."""
    return func(gather(pieces), *args)


def restored_values(pieces, length):
    """A per-row quantity's values of one partition, from the rows computed
    elsewhere, in the partition's row order."""
    part = in_row_order(pd.concat(pieces, ignore_index=True))
    if len(part) != length:
        raise RuntimeError(f"a partition of {length} rows got {len(part)} rows back")
    return part[VALUE].array


# ---- steps over one column kept on the worker -----------------------------------------


def column_sums(values, offset, total):
    """A column's share of its mean: the pairwise pieces of its values (and
    of NumPy's cast blocks for integers)."""
    if values.dtype.kind in "iu":
        v = values.astype("float64")
        return {"c": E.chunked_psum(v, offset, total), "m": E.psum(v, offset, total)}
    return {"m": E.skip_missing_sum(values, offset, total)}


def column_squares(values, offset, total, mean):
    return E.psum(E.squares(values.astype("float64"), mean), offset, total)


def median_step(values, targets):
    return E.median_partial(targets, values)


# One task per partition for every column a round keeps: many small tasks
# cost more than the steps themselves.


def kept_columns(result, qs):
    return {q: result["pieces"][q] for q in qs}


def first_steps(cols, kinds, offset, total):
    out = {}
    for q, kind in kinds.items():
        if kind == "standardize":
            out[q] = column_sums(cols[q], offset, total)
        elif kind == "median":
            out[q] = median_step(cols[q], None)
        else:
            out[q] = histogram(cols[q])
    return out


def square_steps(cols, means, offset, total):
    return {q: column_squares(cols[q], offset, total, mean) for q, mean in means.items()}


def median_steps(cols, targets):
    return {q: median_step(cols[q], t) for q, t in targets.items()}


def histogram(values):
    digits, counts = K.digit_counts(values.astype("float64"), 0, 0)
    return {"digits": digits, "counts": counts}


def ranked_rows(values, hist, offset):
    cols = E.ranked_frame(values, hist, offset)
    cols[ROWID] = np.arange(offset, offset + len(values), dtype=np.int64)
    return pd.DataFrame(cols)


# ---- group tables ---------------------------------------------------------------------


def key_codes(keys, count):
    """One code per group of the key columns (rows in order), as the single
    machine's table codes them: each column factorized in order of first
    appearance (missing keys a group of their own for counts), then combined."""
    codes, sizes = [], []
    for k in keys:
        c, uniques = pd.factorize(k, sort=False, use_na_sentinel=not count)
        codes.append(np.asarray(c, dtype=np.int64))
        sizes.append(len(uniques))
    if len(keys) == 1:
        return codes[0], sizes[0]
    return K.combine_codes(codes, sizes)


def _float_values(x):
    return np.ascontiguousarray(x.to_numpy(dtype="float64", na_value=NAN))


def table(part, kind, stat, nkeys, runs):
    """One row per group of the shuffled rows (groups never straddle shuffled
    partitions): the keys, and the statistic in the frame's row order."""
    part = in_row_order(part)
    keys = [part[key_column(j)] for j in range(nkeys)]
    combined, ngroups = key_codes(keys, kind == "count")
    if kind == "aggregate":
        x = part[VALUE]
        native = isinstance(x.dtype, np.dtype) and x.dtype.kind in "iuf"
        if K.native_stat(str(stat)) and native:
            values = K.group_reduce(str(stat), _float_values(x), combined, ngroups, bool(runs))
        else:
            # what the data-frame library computes for other statistics
            codes = pd.Series(combined)
            codes = codes.where(codes >= 0)
            res = pd.Series(np.asarray(x.array)).groupby(codes).agg(stat)
            res = res.reindex(np.arange(ngroups).astype("float64"))
            values = res.to_numpy(dtype="float64", na_value=NAN)
    else:
        values = K.group_sizes(combined, ngroups)
    first = K.first_rows(combined, ngroups)
    out = {key_column(j): part[key_column(j)].take(first).array for j in range(nkeys)}
    out[VALUE] = values
    return pd.DataFrame(out)


def _carried_stat(kind, stat):
    name = str(stat) if kind == "aggregate" else "size"
    if K.carried_width(name) == 0:
        raise RuntimeError("the statistic cannot be carried along partitions")
    return name


def _field(i):
    return f"__f{i}"


def group_step(state, piece, kind, stat, nkeys):
    """The accumulators of every group met so far (`state`: one row per group,
    its keys and fields; None before the first partition) continued with the
    rows one partition emitted, in row order.  Keys are matched as the
    data-frame library matches them (factorize over both)."""
    name = _carried_stat(kind, stat)
    width = K.carried_width(name)
    nold = 0 if state is None else len(state)
    keys = []
    for j in range(nkeys):
        k = piece[key_column(j)]
        if nold:
            k = pd.concat([state[key_column(j)], k], ignore_index=True)
        else:
            k = k.reset_index(drop=True)
        keys.append(k)
    combined, ngroups = key_codes(keys, kind == "count")
    if kind == "aggregate":
        x = _float_values(piece[VALUE])
    else:
        x = np.zeros(len(piece))
    old = (np.column_stack([state[_field(f)].to_numpy(dtype="float64") for f in range(width)])
           if nold else np.zeros((0, width)))
    fields = K.group_accumulate(name, x, combined[nold:], ngroups, old, combined[:nold])
    first = K.first_rows(combined, ngroups)
    out = {key_column(j): keys[j].take(first).array for j in range(nkeys)}
    for f in range(width):
        out[_field(f)] = fields[:, f]
    return pd.DataFrame(out)


def group_final(state, kind, stat, nkeys, meta):
    """The table of a carried statistic: keys and values, one row per group."""
    if state is None:
        return meta
    name = _carried_stat(kind, stat)
    width = K.carried_width(name)
    fields = np.column_stack([state[_field(f)].to_numpy(dtype="float64") for f in range(width)])
    out = {key_column(j): state[key_column(j)].array for j in range(nkeys)}
    out[VALUE] = K.group_finish(name, np.ascontiguousarray(fields))
    return pd.DataFrame(out)


# ---- ranks over shuffled value ranges ---------------------------------------------------


def ranks(part, kind, hist, dist):
    targets = part[TARGET].to_numpy(dtype=np.int64)
    values = np.asarray(part[VALUE].to_numpy())
    if kind == "percentile":
        below, total_distinct = hist["below_target"], 0
    else:
        below, total_distinct = dist["below_distinct"], dist["D"]
    out = K.ranks(kind, targets, values, below, float(hist["valid"]), total_distinct)
    return pd.DataFrame({ROWID: part[ROWID].to_numpy(dtype=np.int64), VALUE: out})


def entropy_distinct(part):
    targets = part[TARGET].to_numpy(dtype=np.int64)
    return pd.DataFrame(K.entropy_distinct(targets, np.asarray(part[VALUE].to_numpy())))


# ---- grouped windows ----------------------------------------------------------------------


def plain_window(frame, op, operands, group):
    """The column a grouped window operator adds to `frame`, computed by the
    single-machine operator on these rows alone."""
    tavrin = _tavrin()
    frame = frame.copy()
    before = frame.columns.tolist()
    out = tavrin._with_engine(Plain(group), getattr(tavrin, op), frame, *operands)
    added = None
    for c in out.columns:
        if c not in before:
            added = c
    return out[added]


def window_rows(part, op, operands, group, dtype):
    part = in_row_order(part)
    values = plain_window(part, op, operands, group)
    return pd.DataFrame({ROWID: part[ROWID].array, VALUE: values.astype(dtype).array})


def group_window_step(state, piece, op, operands, group, dtype, window, before, total):
    """One partition's values of a grouped window and what its groups leave
    the partitions after it: `state` (None before the first partition) holds,
    for running windows, the groups' keys and their carries, and for the
    others the last `before` rows of every group, which the partition's rows
    are computed after."""
    nnew = len(piece)
    if op not in RUNNING or window <= 1:
        frame, nold = piece, 0
        if state is not None:
            nold = len(state)
            frame = pd.concat([state, piece], ignore_index=True)
        values = plain_window(frame, op, operands, group).iloc[nold:nold + nnew]
        tails = (frame.groupby(group, dropna=False, sort=False).tail(max(before, 0))
                 .reset_index(drop=True))
        return values.astype(dtype).array, tails
    piece_keys = piece[group].reset_index(drop=True)
    parts, carries, nold = [piece_keys], [], 0
    if state is not None:
        old_keys, carries = state
        nold = len(old_keys)
        parts = [old_keys, piece_keys]
    keys = pd.concat(parts, ignore_index=True) if nold else piece_keys
    joint = K.joint_codes(parts)
    if joint is not None:
        codes, ngroups = joint
    else:
        codes, uniques = pd.factorize(keys, sort=False, use_na_sentinel=True)
        codes, ngroups = np.asarray(codes, dtype=np.int64), len(uniques)
    # the groups met before keep their codes' order: first appearance
    if not np.array_equal(codes[:nold], np.arange(nold)):
        raise RuntimeError("the carried groups do not match their keys")
    x = _float_values(piece[operands[0]])
    y = _float_values(piece[operands[1]]) if is_pair(op) else None
    out, kept = K.rolling_grouped_continue(op, x, y, np.ascontiguousarray(codes[nold:]), ngroups,
                                           window, total, carries)
    first = K.first_rows(codes, ngroups)
    values = pd.Series(out).astype(dtype).array
    return values, (keys.take(first).reset_index(drop=True), kept)


def item(pair, i):
    return pair[i]


# ---- running windows along the partitions -------------------------------------------------


def chain_step(carry, piece, op, window, total):
    x = _float_values(piece[key_column(0)])
    y = _float_values(piece[key_column(1)]) if is_pair(op) else None
    _, carry = K.rolling_continue(op, x, y, window, total, carry)
    return carry


def row_values(part):
    """A per-row quantity's values in a partition, without the row ids."""
    return part[VALUE].array


def predict_part(df, model, target, method):
    """A partition in the model's form scored as predict scores a frame: by
    the native evaluator where it serves the model, else by the model."""
    out = _wb()._model_output(model, df, target, method)
    if out is not None:
        return out
    if target in df.columns.tolist():
        df = df.drop(columns=[target])
    return np.asarray(getattr(model, method)(df))
