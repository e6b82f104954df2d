"""A plain pandas twin of the preprocessing pipeline, for the operators the
sample result folders use.  Written for clarity, not speed: each operator is
its formula, one pandas expression per step."""

from collections import Counter

import numpy as np
import pandas as pd

REPLACED = list(":[]（）！＠＃￥％…《》【】")


def split(name):
    """Operator and outer-level operands of a combination feature name."""
    head = name.index("###")
    op, body = name[:head], name[head + 3 :]
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
    return "###" in text and "$$$" in text


def zscore(s):
    return (s - s.mean()) / s.std()


def final_fill(df):
    return df.fillna(df.median(numeric_only=True))


def counts_table(values, col, label):
    c = Counter(values)
    return pd.DataFrame({col: list(c.keys()), label: list(c.values())})


def op_count(df, col, records):
    name = f"count###{col}$$$"
    if records.get(name) is None:
        table = counts_table(df[col], col, name)
        records[name] = table
    else:
        new = counts_table(df[col], col, name + "_2")
        table = records[name].merge(new, left_on=col, right_on=col, how="outer")
        table[name] = table[name].fillna(0) + table[name + "_2"].fillna(0)
        table = table.drop(columns=[name + "_2"])
    df = df.merge(table, on=col, how="left")
    df[name] = zscore(df[name])
    return final_fill(df)


def op_crosscount(df, cols, records):
    name = "crosscount###" + "|||".join(cols) + "$$$"
    if records.get(name) is None:
        table = df.groupby(cols)[cols[1]].count().rename(name)
        records[name] = table
    else:
        new = df.groupby(cols)[cols[1]].count().rename(name + "_2")
        table = pd.merge(records[name], new, left_on=cols, right_on=cols, how="outer")
        table[name] = table[name].fillna(0) + table[name + "_2"].fillna(0)
        table = table.drop(columns=[name + "_2"])
    df = df.merge(table, on=cols, how="left")
    df[name] = zscore(df[name])
    return final_fill(df)


def op_aggregate(df, num, group, stat, records):
    name = f"aggregate###{stat}|||{num}|||{group}$$$"
    rec = records.get(name)
    if rec is None:
        table = df.groupby([group])[num].agg(stat).rename(name)
        records[name] = table
        if stat == "mean":
            records[name] = {"data": table, "length": counts_table(df[group], group, group + "_count")}
    else:
        new = df.groupby([group])[num].agg(stat).rename(name + "_2")
        on = dict(left_on=group, right_on=group, how="outer")
        if stat in ("min", "max", "median"):
            table = pd.merge(rec, new, **on)
            pair = table[[name, name + "_2"]]
            table[name] = {"min": pair.min(axis=1), "max": pair.max(axis=1)}.get(
                stat, (table[name] + table[name + "_2"]) / 2
            )
            table = table.drop(columns=[name + "_2"])
        elif stat == "mean":
            lengths = counts_table(df[group], group, group + "_count_2")
            table = pd.merge(rec["data"], new, **on)
            table = pd.merge(table, pd.merge(rec["length"], lengths, **on), **on).fillna(0)
            records[name + "_mean_count"] = table.copy()
            n1, n2 = table[group + "_count"], table[group + "_count_2"]
            table[name] = (n2 * table[name + "_2"] + n1 * table[name]) / (n1 + n2)
            table = table.drop(columns=[name + "_2", group + "_count_2", group + "_count"])
        else:  # var: the training statistic alone
            table = rec
    df = df.merge(table, on=group, how="left")
    df[name] = zscore(df[name])
    return final_fill(df)


def op_nunique(df, id_col, group, records):
    name = f"nunique###{id_col}|||{group}$$$"
    if records.get(name) is None:
        records[name] = df.groupby([group])[id_col].nunique().rename(name)
    df = df.merge(records[name], on=[group], how="left")
    return final_fill(df)


def arithmetic(df, name, values):
    df[name] = values
    df[name] = zscore(df[name])
    return df


def divide_values(x, y):
    q = x / y
    return q.replace(float("inf"), 1e12).replace(float("-inf"), -1e12).replace(np.nan, 0)


def windowed(df, col, d, stat, group):
    if group is None:
        return getattr(df[col].rolling(int(d)), stat)()
    return getattr(df.groupby(group)[col].rolling(int(d)), stat)().reset_index(0, drop=True)


def compute(df, name, records, group):
    parts = split(name)
    op, args = parts[0], parts[1:]
    added = []
    for a in args:
        if is_feature(a) and a not in df.columns:
            df = compute(df, a, records, group)
            added.append(a)
    if op in ("add", "subtract", "multiply", "divide"):
        x, y = df[args[0]], df[args[1]]
        values = {"add": lambda: x + y, "subtract": lambda: x - y, "multiply": lambda: x * y,
                  "divide": lambda: divide_values(x, y)}[op]()
        df = arithmetic(df, name, values)
    elif op == "log":
        x = df[args[0]]
        df[name] = np.log((1e-06 + x) - np.min(x))
    elif op == "sine":
        df[name] = np.sin(df[args[0]])
    elif op == "square_root":
        x = df[args[0]]
        df[name] = np.sqrt(x - np.min(x))
    elif op == "percentile":
        df[name] = df[args[0]].rank(pct=True)
    elif op == "minimize":
        df[name] = np.min([df[args[0]], df[args[1]]], axis=0)
    elif op == "count":
        df = op_count(df, args[0], records)
    elif op == "crosscount":
        df = op_crosscount(df, [args[0], args[1]], records)
    elif op == "aggregate":
        df = op_aggregate(df, args[1], args[2], args[0], records)
    elif op == "nunique":
        df = op_nunique(df, args[0], args[1], records)
    elif op in ("ts_mean", "tsum", "ts_max", "ts_min"):
        stat = {"ts_mean": "sum" if group is not None else "mean", "tsum": "sum",
                "ts_max": "max", "ts_min": "min"}[op]
        df[name] = windowed(df, args[0], args[1], stat, group)
    elif op == "delay":
        d = int(args[1])
        df[name] = (df[args[0]].shift(d) if group is None
                    else df.groupby(group)[args[0]].shift(d).reset_index(0, drop=True))
    elif op == "delta":
        d = int(args[1])
        df[name] = (df[args[0]] - df[args[0]].shift(d) if group is None
                    else df.groupby(group)[args[0]].diff(d))
    else:
        raise NotImplementedError(op)
    if added:
        df = df.drop(columns=added)
    return df


def name2feature(df, names, records, group=None):
    for name in names:
        df = compute(df, name, records, group)
    return df


def clean(name):
    for ch in REPLACED:
        name = name.replace(ch, "_")
    return name


def preprocess(frame, cfg, records, features):
    """The model input for a raw frame (target column dropped), from the
    configuration mapping, the record dictionary and the feature list."""
    feature = cfg["Feature"]
    target = clean(feature["TargetName"])
    time_col = feature.get("TimeIndex")
    group = feature.get("GroupIndex")
    time_col = clean(time_col) if time_col is not None else None
    group = clean(group) if group is not None else None
    df = frame.copy()
    df.columns = [str(c).strip().replace(" ", "_") for c in df.columns]
    for col in df.columns:
        text = df[col].dtype == object or pd.api.types.is_string_dtype(df[col].dtype)
        if text and col != time_col and col in records:
            df[col] = np.asarray(records[col].transform(df[col].fillna("na").astype(str)))
    for col in df.columns:
        if pd.api.types.is_string_dtype(df[col].dtype):
            # a missing value is the text "nan" (pandas before 3 writes None as "None")
            s = df[col].astype(object).where(df[col].notna(), np.nan).astype(str)
            if s.str.endswith("%").any():
                df[col] = s.str.replace("%", "").astype(float) / 100
    df = name2feature(df, list(features), records, group)
    drop = [feature.get("id_index")] + [
        c for c in feature.get("IgnoreFeature", []) if c not in (time_col, group)
    ]
    df = df.drop(columns=[c for c in drop if c in df.columns])
    if time_col is not None and time_col in df.columns:
        df[time_col] = pd.to_datetime(df[time_col])
    return df.drop(columns=[target], errors="ignore")
