"""The platform's pipeline in plain pandas: every step and every operator
written as its pandas expression, for clarity, not speed.  The native engine
is compared with it bit for bit.

Where pandas' own expression corrupts the frame, brinvale does the sound thing
instead (docs/design.md, "Sound behaviour"); this twin does the same sound thing in
plain pandas where that is one expression (missing keys counted as one group,
windows and histstat written by position, grouped window correlations within
each group, combine value by value, the final fill over numeric columns), and
raises `Sound` for the cases it leaves to the tests that cover them.
"""

import copy
from collections import Counter

import numpy as np
import pandas as pd

AGGREGATE_TYPE = ["min", "max", "mean", "median", "var"]
AGG = AGGREGATE_TYPE
REPLACED = list(":[]（）！＠＃￥％…《》【】")


class Sound(Exception):
    """pandas' expression corrupts the frame here; brinvale's documented
    behaviour differs on purpose."""


# ---- names -------------------------------------------------------------------


def split(name):
    """Operator and outer-level operands of a combination feature name."""
    head = name.index("###")
    op, body = name[:head], name[head + 3:]
    depth, parts, start, i = 0, [], 0, 0
    while i < len(body):
        if body.startswith("###", i):
            depth += 1
            i += 3
        elif body.startswith("$$$", i):
            if depth == 0:
                parts.append(body[start:i])
                break
            depth -= 1
            i += 3
        elif body.startswith("|||", i) and depth == 0:
            parts.append(body[start:i])
            i += 3
            start = i
        else:
            i += 1
    return [op] + parts


def is_feature(text):
    return isinstance(text, str) and text.count("#") >= 3 and text.count("$") >= 3


def label(op, operands):
    """The label of the column an operator writes; stddev writes ts_rank's."""
    return ("ts_rank" if op == "stddev" else op) + "###" + "|||".join(operands) + "$$$"


def colname_filter(name):
    for ch in REPLACED:
        name = name.replace(ch, "_")
    return name


def clean_labels(columns):
    return [str(c).strip().replace(" ", "_") for c in columns]


# ---- group statistics ----------------------------------------------------------


def zscore(df, name):
    df[name] = (df[name] - df[name].mean()) / df[name].std()


def final_fill(df):
    return df.fillna(df.median(numeric_only=True))


def counted(values, col, name):
    """Counter of the values as a two-column table, in order of first
    appearance; every missing value is one key (Counter would count each NaN
    apart, and the merge would then multiply those rows)."""
    counts = Counter()
    missing = None
    for v in values:
        if pd.isna(v):
            missing = v if missing is None else missing
            counts[("missing",)] += 1
        else:
            counts[v] += 1
    keys = [missing if k == ("missing",) else k for k in counts]
    return pd.DataFrame({col: keys, name: list(counts.values())})


def merged(df, table, on):
    out = df.merge(table, on=on, how="left")
    if len(out) != len(df):
        raise Sound("the merge multiplies rows")
    return out


def count(df, col, records):
    name = label("count", [col])
    if records.get(name) is None:
        table = counted(df[col], col, name)
        records[name] = table
    else:
        new = counted(df[col], col, name + "_2")
        table = records[name].merge(new, left_on=col, right_on=col, how="outer")
        table[name] = table[name].fillna(0) + table[name + "_2"].fillna(0)
        table = table.drop(columns=[name + "_2"])
    df = merged(df, table, col)
    zscore(df, name)
    return final_fill(df)


def crosscount(df, cols, records):
    name = label("crosscount", cols)
    if records.get(name) is None:
        table = df.groupby(cols)[cols[1]].count().rename(name)
        records[name] = table
    else:
        new = df.groupby(cols)[cols[1]].count().rename(name + "_2")
        table = pd.merge(records[name], new, left_on=cols, right_on=cols, how="outer")
        table[name] = table[name].fillna(0) + table[name + "_2"].fillna(0)
        table = table.drop(columns=[name + "_2"])
    df = merged(df, table, cols)
    zscore(df, name)
    return final_fill(df)


def aggregate(df, num, group, stats, records):
    for stat in stats:
        name = label("aggregate", [stat, num, group])
        rec = records.get(name)
        if rec is None:
            table = df.groupby([group])[num].agg(stat).rename(name)
            records[name] = table
            if stat == "mean":
                records[name] = {"data": table, "length": counted(df[group], group, group + "_count")}
        else:
            new = df.groupby([group])[num].agg(stat).rename(name + "_2")
            on = dict(left_on=group, right_on=group, how="outer")
            if stat in ("min", "max"):
                table = pd.merge(rec, new, **on)
                table[name] = getattr(table[[name, name + "_2"]], stat)(axis=1)
                table = table.drop(columns=[name + "_2"])
            elif stat == "mean":
                # pandas' fillna(0) makes a missing key the key 0: harmless
                # unless a real key is 0 (brinvale's table keeps the keys it has)
                keys = pd.concat([df[group], rec["length"][group]], ignore_index=True)
                if keys.isna().any() and (keys == 0).any():
                    raise Sound("a missing key of a mean record becomes the key 0")
                lengths = counted(df[group], group, group + "_count_2")
                table = pd.merge(rec["data"], new, **on)
                table = pd.merge(table, pd.merge(rec["length"], lengths, **on), **on).fillna(0)
                records[name + "_mean_count"] = table.copy()
                n1, n2 = table[group + "_count"], table[group + "_count_2"]
                table[name] = (n2 * table[name + "_2"] + n1 * table[name]) / (n1 + n2)
                table = table.drop(columns=[name + "_2", group + "_count_2", group + "_count"])
            elif stat == "median":
                table = pd.merge(rec, new, **on)
                table[name] = (table[name] + table[name + "_2"]) / 2
                table = table.drop(columns=[name + "_2"])
            elif stat == "var":
                table = rec
            else:
                # pandas labels it name + "_2" and then fails: the new rows'
                # statistic under the feature's own label
                table = new.rename(name)
        df = merged(df, table, group)
        zscore(df, name)
    return final_fill(df)


def nunique(df, id_col, group, records):
    name = label("nunique", [id_col, group])
    if records.get(name) is None:
        records[name] = df.groupby([group])[id_col].nunique().rename(name)
    df = merged(df, records[name], [group])
    return final_fill(df)


def histstat(df, id_col, group, stats=AGGREGATE_TYPE):
    """Every statistic writes the same label: the column holds the last one."""
    name = label("histstat", [id_col, group])
    frequency = df.groupby(id_col)[id_col].transform("count")
    values = frequency.groupby(df[group]).agg(stats[-1])
    df[name] = values.reindex(df[group]).to_numpy()
    return df


# ---- element-wise operators --------------------------------------------------------


def standardised(df, name, values):
    df[name] = values
    zscore(df, name)
    return df


def elementwise(df, op, args):
    name = label(op, args)
    x = df[args[0]]
    y = df[args[1]] if len(args) > 1 else None
    if op == "add":
        return standardised(df, name, x + y)
    if op == "subtract":
        return standardised(df, name, x - y)
    if op == "multiply":
        return standardised(df, name, x * y)
    if op == "divide":
        df[name] = x / y
        df[name] = df[name].replace(float("inf"), 1e12)
        df[name] = df[name].replace(float("-inf"), -1e12)
        df[name] = df[name].replace(np.nan, 0)
        zscore(df, name)
        return df
    if op == "sine":
        df[name] = np.sin(x)
    elif op == "cosine":
        df[name] = np.cos(x)
    elif op == "round":
        df[name] = np.round(x)
    elif op == "quadratic":
        df[name] = x**2
    elif op == "square_root":
        df[name] = np.sqrt(x - np.min(x))
    elif op == "log":
        df[name] = np.log((1e-06 + x) - np.min(x))
    elif op == "residual":
        df[name] = np.modf(x)[0]
    elif op == "sigmoid":
        df[name] = x.apply(lambda v: 1 / (1 + np.exp(-v)))
    elif op == "percentile":
        df[name] = x.rank(pct=True)
    elif op == "softmax":
        values = x.values
        e_x = np.exp(values - np.max(values))
        df[name] = e_x / e_x.sum()
    elif op == "entropy":
        from scipy import stats
        from sklearn.preprocessing import LabelEncoder

        df[name] = stats.entropy(LabelEncoder().fit_transform(x))
    elif op == "minimize":
        df[name] = np.min([x, y], axis=0)
    elif op == "maximize":
        df[name] = np.max([x, y], axis=0)
    elif op == "bigger":
        df[name] = x > y
    elif op == "smaller":
        df[name] = x < y
    elif op == "equal":
        df[name] = x == y
    elif op == "orop":
        m = np.mean(x + y)
        df[name] = (x > m) | (y > m)
    elif op == "combine":
        # the text of each value (pandas 3's Series.agg would pass the whole column)
        df[name] = pd.Series([str(a) + "_" + str(b) for a, b in zip(x, y)], index=df.index)
    else:
        raise NotImplementedError(op)
    return df


# ---- windows -------------------------------------------------------------------------

ROLLING = {"tsum": "sum", "ts_min": "min", "ts_max": "max", "ts_rank": "rank", "stddev": "std"}
APPLIED = {"product": lambda w: w.prod(), "ts_argmax": lambda w: w.argmax(), "ts_argmin": lambda w: w.argmin()}


def window_values(op, s, d, grouped):
    """The values of a one-column window operator over the series `s`."""
    if op in ("delay", "ts_o"):
        return s.shift(d)
    if op == "delta":
        return s - s.shift(d)
    r = s.rolling(d)
    if op in ROLLING:
        return getattr(r, ROLLING[op])()
    if op == "ts_mean":
        return r.sum() if grouped else r.mean()
    if op == "decay_linear":
        if d > len(s):
            return r.sum()  # no window is ever full: nothing is applied
        weights = np.linspace(0.1, 1, d)
        return r.apply(lambda v: (v * weights).sum())
    return r.apply(APPLIED[op])


def by_group(values_of, columns, groups):
    """values_of(*series) within every group, written by position; rows
    without a group get a missing value."""
    n = len(columns[0])
    out = pd.Series(np.nan, index=range(n), dtype=float)
    columns = [c.reset_index(drop=True) for c in columns]
    keys = pd.Series(np.asarray(groups, dtype=object)).reset_index(drop=True)
    for _, idx in keys.groupby(keys, sort=False).groups.items():
        part = values_of(*[c[idx] for c in columns])
        out[idx] = part.to_numpy()
    return out.to_numpy()


def window(op, s, d, groups=None):
    """The values of a one-column window operator over the series `s`,
    restarting in every group of `groups`, by position."""
    if groups is None or (d == 0 and op in ("delay", "delta")):
        # groupby's shift(0) and diff(0) keep every row, those without a group
        # too; ts_o's apply leaves them out
        return window_values(op, s, d, groups is not None).to_numpy()
    if d == 0 and op == "ts_o" and not pd.Series(np.asarray(groups, dtype=object)).isna().any():
        return s.to_numpy(copy=True)  # every row in a group: the values, of their own dtype
    return by_group(lambda part: window_values(op, part, d, True), [s], groups)


def pairwise(op, x, y, d, groups=None):
    """A rolling correlation or covariance of two series, within every group."""

    def values_of(a, b):
        r = a.rolling(d)
        return r.corr(b) if op == "tcorrelation" else r.cov(b)

    if groups is None:
        return values_of(x.reset_index(drop=True), y.reset_index(drop=True)).to_numpy()
    return by_group(values_of, [x, y], groups)


def window_feature(df, op, args, group):
    df[label(op, args)] = window(op, df[args[0]], int(args[1]), None if group is None else df[group])
    return df


def window_pair_feature(df, op, args, group):
    df[label(op, args)] = pairwise(op, df[args[0]], df[args[1]], int(args[2]),
                                   None if group is None else df[group])
    return df


def crossrank(df, args):
    name = label("crossrank", args)
    df[name] = df.groupby(args[0])[args[1]].transform("rank").to_numpy()
    return df


# ---- dispatcher -------------------------------------------------------------------------

ELEMENTWISE = {"add", "subtract", "multiply", "divide", "sine", "cosine", "round", "quadratic",
               "square_root", "log", "residual", "sigmoid", "percentile", "softmax", "entropy",
               "minimize", "maximize", "bigger", "smaller", "equal", "orop", "combine"}
WINDOWS = {"delay", "ts_o", "delta", "tsum", "ts_mean", "ts_min", "ts_max", "ts_rank", "stddev",
           "product", "ts_argmax", "ts_argmin", "decay_linear"}


def compute(df, name, records, group):
    parts = split(name)
    op, args = parts[0], parts[1:]
    added = []
    for a in args:
        if is_feature(a) and a not in df.columns:
            df = compute(df, a, records, group)
            added.append(a)
    if op in ELEMENTWISE:
        df = elementwise(df, op, args[: 1 if op in ("sine", "cosine", "round", "quadratic", "square_root", "log",
                                                     "residual", "sigmoid", "percentile", "softmax",
                                                     "entropy") else 2])
    elif op in WINDOWS:
        df = window_feature(df, op, args[:2], group)
    elif op in ("tcorrelation", "tcorvariance"):
        df = window_pair_feature(df, op, args[:3], group)
    elif op == "crossrank":
        df = crossrank(df, args[:2])
    elif op == "count":
        df = count(df, args[0], records)
    elif op == "crosscount":
        df = crosscount(df, [args[0], args[1]], records)
    elif op == "aggregate":
        df = aggregate(df, args[1], args[2], [args[0]], records)
    elif op == "nunique":
        df = nunique(df, args[0], args[1], records)
    elif op == "histstat":
        df = histstat(df, args[0], args[1])
    else:
        raise NotImplementedError(op)
    if added:
        df = df.drop(columns=added)
    return df


def name2feature(df, names, records, group=None):
    for name in names:
        df = compute(df, name, records, group)
    return df


# ---- the pipeline ---------------------------------------------------------------------------


def is_text(dtype):
    return dtype == object or pd.api.types.is_string_dtype(dtype) or dtype.name == "category"  # noqa: E721


def encoder_input(s):
    if s.dtype.name == "category" or pd.api.types.is_datetime64_any_dtype(s.dtype):
        s = s.astype(object)
    return s.fillna("na").astype(str)


def percentages(df):
    out = pd.DataFrame()
    for col in df.columns:
        s = df[col]
        if is_text(s.dtype):
            text = s.astype(str)
            if text.str.endswith("%").any():
                s = text.str.replace("%", "").astype(float) / 100
        out[col] = s
    return out


def preprocess(frame, cfg, records, features, return_y=False):
    """What `tabular_incrml.preprocess(frame, return_y)` returns for a folder of
    this configuration, records (changed as the pipeline changes them) and
    feature names."""
    feature = cfg["Feature"]
    target = feature.get("TargetName")
    target = colname_filter(target) if target is not None else None
    time_col = feature.get("TimeIndex")
    time_col = colname_filter(time_col) if time_col is not None else None
    group = feature.get("GroupIndex")
    group = colname_filter(group) if group is not None else None
    df = frame.copy()
    df.columns = clean_labels(df.columns)
    y = df[target].copy() if target in df.columns else None
    for col in df.columns:
        dtype = df[col].dtype
        text = is_text(dtype) or pd.api.types.is_datetime64_any_dtype(dtype)
        if text and col != time_col and col in records:
            df[col] = np.asarray(records[col].transform(encoder_input(df[col])))
    if y is not None and target in records:
        y = df[target]
    df = percentages(df)
    df = name2feature(df, list(features), records, group)
    drop = [feature.get("id_index")] + [c for c in feature.get("IgnoreFeature", []) if c not in (time_col, group)]
    df = df.drop(columns=[c for c in dict.fromkeys(drop) if c in df.columns])
    if time_col is not None and time_col in df.columns:
        df[time_col] = pd.to_datetime(df[time_col])
    if cfg["AutoML"].get("Running"):
        if return_y and y is not None:
            df = df.drop(columns=[target], errors="ignore").reset_index(drop=True)
            df[target] = y.reset_index(drop=True)
        return df
    if not return_y and target in df.columns:
        return df.drop(columns=[target])
    return df


def model_frame(df, target):
    return df.drop(columns=[target]) if target in df.columns else df


def model_input(frame, cfg, records, features):
    """The frame the model's own predict receives: the pipeline's output with
    the target removed."""
    target = cfg["Feature"].get("TargetName")
    df = preprocess(frame, cfg, records, features, return_y=True)
    return model_frame(df, colname_filter(target)) if target is not None else df


def copied(records):
    return copy.deepcopy(records)
