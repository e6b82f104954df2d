"""Plain pandas versions of the group-statistic and window operators, written
straight from their definitions.  The native operators are compared with them.
"""

from collections import Counter

import numpy as np
import pandas as pd

AGG = ["min", "max", "mean", "median", "var"]


def _name(op, operands):
    return op + "###" + "|||".join(operands) + "$$$"


def _std(df, name):
    df[name] = (df[name] - df[name].mean()) / df[name].std()


def _fill(df):
    return df.fillna(df.median(numeric_only=True))


def count(df, col, rec):
    name = _name("count", [col])
    c = Counter(df[col])
    if rec.get(name) is None:
        table = pd.DataFrame({col: list(c.keys()), name: list(c.values())})
        rec[name] = table
    else:
        new = pd.DataFrame({col: list(c.keys()), name + "_2": list(c.values())})
        table = rec[name].merge(new, left_on=col, right_on=col, how="outer")
        table[name] = table[name].fillna(0) + table[name + "_2"].fillna(0)
        table.drop(columns=[name + "_2"], inplace=True)
    df = df.merge(table, on=col, how="left")
    _std(df, name)
    return _fill(df)


def crosscount(df, cols, rec):
    name = _name("crosscount", cols)
    if rec.get(name) is None:
        table = df.groupby(cols)[cols[1]].count().rename(name)
        rec[name] = table
    else:
        new = df.groupby(cols)[cols[1]].count().rename(name + "_2")
        table = pd.merge(rec[name], new, left_on=cols, right_on=cols, how="outer")
        table[name] = table[name].fillna(0) + table[name + "_2"].fillna(0)
        table.drop(columns=[name + "_2"], inplace=True)
    df = df.merge(table, on=cols, how="left")
    _std(df, name)
    return _fill(df)


def aggregate(df, num_col, group_col, stats, rec):
    for i in stats:
        name = _name("aggregate", [i, num_col, group_col])
        if rec.get(name) is None:
            table = df.groupby([group_col])[num_col].agg(i).rename(name)
            rec[name] = table
            if i == "mean":
                c = Counter(df[group_col])
                length = pd.DataFrame({group_col: list(c.keys()), group_col + "_count": list(c.values())})
                rec[name] = {"data": table, "length": length}
        else:
            new = df.groupby([group_col])[num_col].agg(i).rename(name + "_2")
            kw = dict(left_on=group_col, right_on=group_col, how="outer")
            r = rec[name]
            if i in ("min", "max"):
                table = pd.merge(r, new, **kw)
                table[name] = getattr(table[[name, name + "_2"]], i)(axis=1)
                table.drop(columns=[name + "_2"], inplace=True)
            elif i == "mean":
                c = Counter(df[group_col])
                nl = pd.DataFrame({group_col: list(c.keys()), group_col + "_count_2": list(c.values())})
                a = pd.merge(r["data"], new, **kw)
                b = pd.merge(r["length"], nl, **kw)
                table = pd.merge(a, b, **kw).fillna(0)
                rec[name + "_mean_count"] = table.copy()
                n1, n2 = table[group_col + "_count"], table[group_col + "_count_2"]
                table[name] = (n2 * table[name + "_2"] + n1 * table[name]) / (n1 + n2)
                table.drop(columns=[name + "_2", group_col + "_count_2", group_col + "_count"], inplace=True)
            elif i == "median":
                table = pd.merge(r, new, **kw)
                table[name] = (table[name] + table[name + "_2"]) / 2
                table.drop(columns=[name + "_2"], inplace=True)
            elif i == "var":
                table = r
            else:
                table = new
        df = df.merge(table, on=group_col, how="left")
        _std(df, name)
    return _fill(df)


def nunique(df, id_col, group_col, rec):
    name = _name("nunique", [id_col, group_col])
    if rec.get(name) is None:
        rec[name] = df.groupby([group_col])[id_col].nunique().rename(name)
    df = df.merge(rec[name], on=[group_col], how="left")
    return _fill(df)


def histstat(df, id_col, group_col, stats=AGG):
    name = _name("histstat", [id_col, group_col])
    temp = df.groupby(id_col)[id_col].transform("count")
    agg = temp.groupby(df[group_col]).agg(list(stats))
    out = df.copy()
    for i, s in enumerate(stats):
        out[name] = agg[s].reindex(df[group_col]).to_numpy()
    return out


# ---- window operators -------------------------------------------------------

ROLL = {
    "tsum": "sum", "ts_min": "min", "ts_max": "max", "ts_rank": "rank", "stddev": "std",
}
APPLY = {
    "product": lambda w: w.prod(),
    "ts_argmax": lambda w: w.argmax(),
    "ts_argmin": lambda w: w.argmin(),
}


def window(op, s, d, groups=None):
    """The operator's values over series `s`, restarting in every group."""
    def one(x):
        r = x.rolling(d)
        if op in ROLL:
            return getattr(r, ROLL[op])()
        if op == "ts_mean":
            return r.sum() if groups is not None else r.mean()
        if op == "decay_linear":
            if d > len(x):
                # no window is ever full, so pandas applies nothing; weights
                # for a window of billions of rows would not fit in memory
                return r.sum()
            w = np.linspace(0.1, 1, d)
            return r.apply(lambda v: (v * w).sum())
        if op in ("delay", "ts_o"):
            return x.shift(d)
        if op == "delta":
            return x - x.shift(d)
        return r.apply(APPLY[op])

    if groups is None or (d == 0 and op in ("delay", "ts_o", "delta")):
        # groupby's shift(0) keeps every row, those without a group too
        return one(s).to_numpy()
    out = pd.Series(np.nan, index=range(len(s)))
    s = s.reset_index(drop=True)
    for _, idx in pd.Series(np.asarray(groups)).groupby(np.asarray(groups)).groups.items():
        out[idx] = one(s[idx]).to_numpy()
    return out.to_numpy()


def pairwise(op, x, y, d, groups=None):
    def one(a, b):
        r = a.rolling(d)
        return r.corr(b) if op == "tcorrelation" else r.cov(b)

    x = x.reset_index(drop=True)
    y = y.reset_index(drop=True)
    if groups is None:
        return one(x, y).to_numpy()
    out = pd.Series(np.nan, index=range(len(x)))
    for _, idx in pd.Series(np.asarray(groups)).groupby(np.asarray(groups)).groups.items():
        out[idx] = one(x[idx], y[idx]).to_numpy()
    return out.to_numpy()
