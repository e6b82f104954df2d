"""Random differential run of the feature engine against plain pandas.

Each case builds a small random frame (sometimes one row, sometimes one
group, missing and infinite values, missing group keys, integer and float
columns), picks a random feature name (group statistics, windows, lags,
window correlations, arithmetic with standardisation, nested names) and
computes it with `brinvale.tavrin.name2feature` and with the pandas
expression of the operator written out here.  Group-statistic records of a
first frame are applied to a second frame in half of the cases.  The values
must be the same doubles (NaN where pandas has NaN), of the same dtypes, or
both sides must raise the same exception type.

Cases where pandas' own expression corrupts the frame (missing keys that
multiply rows or become the key 0 in a combined mean record; grouped window
correlations, which pandas cannot assign) are the sound behaviours of the
README and are counted apart, not compared.

Run: PYTHONPATH=src python scripts/differential.py [cases] [seed]
"""

import sys
import tempfile
import warnings
from collections import Counter

import numpy as np
import pandas as pd
import yaml

from brinvale import tavrin
from brinvale.module.common.quillet import TaskConfig

warnings.simplefilter("ignore")

AGG = ["min", "max", "mean", "median", "var", "std", "sum", "count"]
WINDOW = ["tsum", "ts_mean", "ts_min", "ts_max", "ts_rank", "stddev", "product", "ts_argmax",
          "ts_argmin", "decay_linear", "delay", "ts_o", "delta"]
ROLL = {"tsum": "sum", "ts_min": "min", "ts_max": "max", "ts_rank": "rank", "stddev": "std"}
APPLY = {"product": lambda w: w.prod(), "ts_argmax": lambda w: w.argmax(),
         "ts_argmin": lambda w: w.argmin()}


class Sound(Exception):
    """pandas' expression corrupts the frame here; brinvale's documented
    behaviour differs on purpose."""


def configure(group):
    TaskConfig._TaskConfig__species = None
    TaskConfig._TaskConfig__first_init = True
    feature = {"TargetName": "target"}
    if group is not None:
        feature["GroupIndex"] = group
    with tempfile.NamedTemporaryFile("w", suffix=".yaml", delete=False) as f:
        yaml.safe_dump({"Feature": feature, "AutoFE": {}, "AutoML": {}}, f)
    TaskConfig(f.name)


def split(name):
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


# ---- the pandas expressions -----------------------------------------------------

def zscore(df, name):
    df[name] = (df[name] - df[name].mean()) / df[name].std()


def fill(df):
    return df.fillna(df.median(numeric_only=True))


def counted(values, col, label):
    c = Counter(values)
    return pd.DataFrame({col: list(c.keys()), label: list(c.values())})


def merged(df, table, on, n):
    out = df.merge(table, on=on, how="left")
    if len(out) != n:
        raise Sound("missing keys multiply rows")
    return out


def p_count(df, col, rec):
    name = f"count###{col}$$$"
    if rec.get(name) is None:
        table = counted(df[col], col, name)
        rec[name] = table
    else:
        new = counted(df[col], col, name + "_2")
        table = rec[name].merge(new, left_on=col, right_on=col, how="outer")
        table[name] = table[name].fillna(0) + table[name + "_2"].fillna(0)
        table = table.drop(columns=[name + "_2"])
    df = merged(df, table, col, len(df))
    zscore(df, name)
    return fill(df)


def p_crosscount(df, cols, rec):
    name = "crosscount###" + "|||".join(cols) + "$$$"
    if rec.get(name) is None:
        table = df.groupby(cols)[cols[1]].count().rename(name)
        rec[name] = table
    else:
        new = df.groupby(cols)[cols[1]].count().rename(name + "_2")
        table = pd.merge(rec[name], new, left_on=cols, right_on=cols, how="outer")
        table[name] = table[name].fillna(0) + table[name + "_2"].fillna(0)
        table = table.drop(columns=[name + "_2"])
    df = merged(df, table, cols, len(df))
    zscore(df, name)
    return fill(df)


def p_aggregate(df, num, group, stat, rec):
    name = f"aggregate###{stat}|||{num}|||{group}$$$"
    r = rec.get(name)
    if r is None:
        table = df.groupby([group])[num].agg(stat).rename(name)
        rec[name] = table
        if stat == "mean":
            rec[name] = {"data": table, "length": counted(df[group], group, group + "_count")}
    else:
        new = df.groupby([group])[num].agg(stat).rename(name + "_2")
        kw = dict(left_on=group, right_on=group, how="outer")
        if stat in ("min", "max"):
            table = pd.merge(r, new, **kw)
            table[name] = getattr(table[[name, name + "_2"]], stat)(axis=1)
            table = table.drop(columns=[name + "_2"])
        elif stat == "mean":
            if df[group].isna().any() or r["length"][group].isna().any():
                raise Sound("a missing key of a mean record becomes the key 0")
            nl = counted(df[group], group, group + "_count_2")
            a = pd.merge(r["data"], new, **kw)
            b = pd.merge(r["length"], nl, **kw)
            table = pd.merge(a, b, **kw).fillna(0)
            rec[name + "_mean_count"] = table.copy()
            n1, n2 = table[group + "_count"], table[group + "_count_2"]
            table[name] = (n2 * table[name + "_2"] + n1 * table[name]) / (n1 + n2)
            table = table.drop(columns=[name + "_2", group + "_count_2", group + "_count"])
        elif stat == "median":
            table = pd.merge(r, new, **kw)
            table[name] = (table[name] + table[name + "_2"]) / 2
            table = table.drop(columns=[name + "_2"])
        elif stat == "var":
            table = r
        else:
            raise Sound("no combination rule: pandas' platform fails on the label")
    df = merged(df, table, group, len(df))
    zscore(df, name)
    return fill(df)


def p_nunique(df, id_col, group, rec):
    name = f"nunique###{id_col}|||{group}$$$"
    if rec.get(name) is None:
        rec[name] = df.groupby([group])[id_col].nunique().rename(name)
    df = merged(df, rec[name], [group], len(df))
    return fill(df)


def p_window(df, op, col, d, gid):
    label = "ts_rank" if op == "stddev" else op
    name = f"{label}###{col}|||{d}$$$"
    if op == "decay_linear":
        w = np.linspace(0.1, 1, int(d))
    if gid is not None:
        g = df.groupby(gid)[col]
        if op not in ("delay", "delta", "ts_o") and len(df) and df[gid].isna().all():
            df[col].rolling(int(d))  # a bad window is still an error
            raise Sound("pandas' grouped windows fail when every key is missing")
        if op == "delay":
            res = g.shift(int(d)).reset_index(0, drop=True)
        elif op == "ts_o":
            res = g.apply(lambda s: s.shift(int(d))).reset_index(0, drop=True)
        elif op == "delta":
            res = g.diff(int(d))
        else:
            r = g.rolling(int(d))
            if op in APPLY or op == "decay_linear":
                f = (lambda v: (v * w).sum()) if op == "decay_linear" else APPLY[op]
                try:
                    res = r.apply(f)
                except ValueError:
                    if df[gid].isna().any():
                        raise Sound("pandas' grouped rolling apply fails on missing keys")
                    raise
            elif op == "ts_mean":
                res = r.sum()
            else:
                res = getattr(r, ROLL[op])()
            res = res.reset_index(0, drop=True)
    else:
        s = df[col]
        if op in ("delay", "ts_o"):
            res = s.shift(int(d))
        elif op == "delta":
            res = s - s.shift(int(d))
        else:
            r = s.rolling(int(d))
            if op == "decay_linear":
                res = r.apply(lambda v: (v * w).sum())
            elif op in APPLY:
                res = r.apply(APPLY[op])
            elif op == "ts_mean":
                res = r.mean()
            else:
                res = getattr(r, ROLL[op])()
    df[name] = res
    return df


def p_pair(df, op, c1, c2, d, gid):
    name = f"{op}###{c1}|||{c2}|||{d}$$$"
    if gid is not None:
        df.groupby(gid)[c1].rolling(int(d))  # raises what pandas raises first
        raise Sound("pandas cannot assign a grouped window correlation")
    r = df[c1].rolling(int(d))
    df[name] = r.corr(df[c2]) if op == "tcorrelation" else r.cov(df[c2])
    return df


def p_arith(df, op, a, b):
    name = f"{op}###{a}|||{b}$$$"
    x, y = df[a], df[b]
    if op == "add":
        df[name] = x + y
    elif op == "subtract":
        df[name] = x - y
    elif op == "multiply":
        df[name] = x * y
    else:
        df[name] = x / y
        df[name] = df[name].replace(float("inf"), 1e12).replace(float("-inf"), -1e12)
        df[name] = df[name].replace(np.nan, 0)
    zscore(df, name)
    return df


def reference(df, names, rec, gid):
    for key in names:
        temp = split(key)
        op, added = temp[0], []
        for operand in temp[1:]:
            if "###" in operand and "$$$" in operand and operand not in df.columns:
                df = reference(df, [operand], rec, gid)
                added.append(operand)
        if op == "aggregate":
            df = p_aggregate(df, temp[2], temp[3], temp[1], rec)
        elif op == "count":
            df = p_count(df, temp[1], rec)
        elif op == "crosscount":
            df = p_crosscount(df, [temp[1], temp[2]], rec)
        elif op == "nunique":
            df = p_nunique(df, temp[1], temp[2], rec)
        elif op in ("tcorrelation", "tcorvariance"):
            df = p_pair(df, op, temp[1], temp[2], temp[3], gid)
        elif op in WINDOW:
            df = p_window(df, op, temp[1], temp[2], gid)
        elif op in ("add", "subtract", "multiply", "divide"):
            df = p_arith(df, op, temp[1], temp[2])
        else:
            raise NotImplementedError(op)
        df = df.drop(columns=added)
    return df


# ---- random cases ----------------------------------------------------------------

def column(r, n, kind):
    if kind == "int":
        return r.integers(-9, 9, n)
    x = (r.normal(size=n) * 10.0 ** int(r.integers(0, 3))).round(int(r.integers(0, 3)))
    if r.random() < 0.25:
        x[:] = x[0]
    if r.random() < 0.3:
        x[r.random(n) < 0.15] = np.nan
    if r.random() < 0.1:
        x[r.random(n) < 0.1] = np.inf
    if r.random() < 0.1:
        x = x + 10.0 ** int(r.integers(4, 9))
    return x


def frame(r, n, text_keys, key_nan, groups):
    g = r.integers(0, groups, n)
    if r.random() < 0.4:
        g = np.sort(g)
    keys = np.array([f"k{v}" for v in g], dtype=object) if text_keys else g.astype(float)
    if key_nan:
        keys[r.random(n) < 0.15] = np.nan
    return pd.DataFrame({"x": column(r, n, "float"), "y": column(r, n, "float"),
                         "i": column(r, n, "int"), "g": keys,
                         "h": r.integers(0, 3, n)})


def feature(r, grouped):
    kind = r.choice(["aggregate", "count", "crosscount", "nunique", "window", "pair", "arith",
                     "nested"], p=[0.3, 0.05, 0.05, 0.05, 0.3, 0.1, 0.05, 0.1])
    num = r.choice(["x", "i", "y"])
    d = str(r.choice([-2, -1, 0, 1, 2, 3, 4, 7, 20, 60]))
    if kind == "aggregate":
        return f"aggregate###{r.choice(AGG)}|||{num}|||{r.choice(['g', 'h'])}$$$"
    if kind == "count":
        return f"count###{r.choice(['g', 'h', 'i'])}$$$"
    if kind == "crosscount":
        return "crosscount###g|||h$$$"
    if kind == "nunique":
        return f"nunique###{r.choice(['i', 'x'])}|||{r.choice(['g', 'h'])}$$$"
    if kind == "window":
        return f"{r.choice(WINDOW)}###{num}|||{d}$$$"
    if kind == "pair":
        return f"{r.choice(['tcorrelation', 'tcorvariance'])}###{num}|||{r.choice(['x', 'y'])}|||{d}$$$"
    if kind == "arith":
        return f"{r.choice(['add', 'subtract', 'multiply', 'divide'])}###{num}|||y$$$"
    inner = feature(r, grouped)
    while inner.startswith(("aggregate", "count", "crosscount", "nunique")) or "|||-" in inner:
        inner = feature(r, grouped)
    outer = r.choice(["ts_rank", "tsum", "stddev", "delta", "add"])
    if outer == "add":
        return f"add###{inner}|||x$$$"
    return f"{outer}###{inner}|||{r.choice([2, 3])}$$$"


def same(got, want):
    """(equal, why) for two result frames."""
    if list(got.columns) != list(want.columns):
        return False, f"columns {list(got.columns)} != {list(want.columns)}"
    if len(got) != len(want):
        return False, f"rows {len(got)} != {len(want)}"
    for c in want.columns:
        a, b = got[c], want[c]
        if a.dtype != b.dtype:
            return False, f"{c}: dtype {a.dtype} != {b.dtype}"
        if b.dtype.kind == "f":
            x, y = a.to_numpy(np.float64), b.to_numpy(np.float64)
            nan_x, nan_y = np.isnan(x), np.isnan(y)
            bad = (nan_x != nan_y) | (~nan_y & (x.view(np.int64) != y.view(np.int64)))
            if bad.any():
                i = np.flatnonzero(bad)[0]
                return False, f"{c}: row {i}: {x[i]!r} != {y[i]!r}"
        elif not a.reset_index(drop=True).equals(b.reset_index(drop=True)):
            return False, f"{c}: values differ"
    return True, ""


def run(df, names, rec, gid, mine):
    try:
        if mine:
            out = tavrin.name2feature(df.copy(), names, rec)
        else:
            out = reference(df.copy(), names, rec, gid)
        return out, None
    except Sound:
        raise
    except Exception as e:  # noqa: BLE001 - the type is compared
        return None, e


def case(r):
    grouped = r.random() < 0.4
    text_keys = r.random() < 0.5
    key_nan = r.random() < 0.3
    groups = 1 if r.random() < 0.3 else int(r.integers(2, 6))
    # one row, a few rows, or enough rows for NumPy's blocked sums and long runs
    sizes = [int(r.choice([1, r.integers(2, 40), r.integers(40, 400)], p=[0.1, 0.75, 0.15]))
             for _ in range(2)]
    frames = [frame(r, n, text_keys, key_nan, groups) for n in sizes]
    name = feature(r, grouped)
    gid = "g" if grouped else None
    configure(gid)
    with_record = r.random() < 0.5
    mine_rec, their_rec = {}, {}
    verdicts = []
    for df in frames if with_record else frames[:1]:
        want, want_err = run(df, [name], their_rec, gid, False)
        got, got_err = run(df, [name], mine_rec, gid, True)
        if want_err is not None or got_err is not None:
            ok = type(want_err) is type(got_err)
            why = f"pandas {type(want_err).__name__}: {want_err} / brinvale {type(got_err).__name__}: {got_err}"
            verdicts.append((ok, why))
            break
        verdicts.append(same(got, want))
    ok = all(v[0] for v in verdicts)
    return ok, name, "; ".join(v[1] for v in verdicts if not v[0]), frames, grouped


def main():
    cases = int(sys.argv[1]) if len(sys.argv) > 1 else 3000
    seed = int(sys.argv[2]) if len(sys.argv) > 2 else 0
    r = np.random.default_rng(seed)
    tally = Counter()
    sound = Counter()
    failures = []
    for k in range(cases):
        try:
            ok, name, why, frames, grouped = case(r)
        except Sound as s:
            sound[str(s)] += 1
            continue
        tally["agree" if ok else "disagree"] += 1
        if not ok:
            failures.append((k, name, grouped, why, frames))
    print(f"cases {cases}: agree {tally['agree']}, disagree {tally['disagree']}, "
          f"documented sound behaviour {sum(sound.values())}")
    for reason, n in sound.most_common():
        print(f"  {n:6d}  {reason}")
    for k, name, grouped, why, frames in failures[:40]:
        print(f"case {k}: {name} grouped={grouped}: {why}")
        if len(failures) <= 5:
            print(frames[0].to_string())
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
