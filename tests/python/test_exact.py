"""Bit-identical values with pandas for every reduction that feeds a
standardisation, a fill or a rank.

A last-digit difference in one intermediate can turn a standardised feature
from NaN into about ±1 (a constant group mean whose pandas standard
deviation is exactly 0, or not) or move a window rank through a tie, so no
tolerance is allowed here: values must be the same doubles, NaN where pandas
has NaN.  Thousands of small random columns are packed into few calls: as the
groups of one frame, or as separate frames where the case is about the whole
frame (one group, one row).
"""


import numpy as np
import pandas as pd
import pytest

import pandas_twin as twins  # noqa: E402

from brinvale import tavrin  # noqa: E402

STATS = ["min", "max", "mean", "median", "var", "std", "sum", "count"]


def assert_same_bits(got, want, what=""):
    """Same length, NaN at the same places, identical doubles elsewhere
    (0.0 and -0.0 differ)."""
    got = np.asarray(got, dtype=np.float64)
    want = np.asarray(want, dtype=np.float64)
    assert got.shape == want.shape, what
    nan_got, nan_want = np.isnan(got), np.isnan(want)
    bad = (nan_got != nan_want) | (~nan_want & (got.view(np.int64) != want.view(np.int64)))
    if bad.any():
        i = np.flatnonzero(bad)[:5]
        raise AssertionError(f"{what}: {bad.sum()} of {len(got)} differ, e.g. rows {i}: "
                             f"got {got[i].tolist()} want {want[i].tolist()}")


def column(r, n, constant=False, ints=False, nan=0.0, inf=0.0):
    """A small column with ties, decimals that binary floats cannot hold,
    and sometimes a constant value."""
    if ints:
        x = r.integers(-20, 20, n).astype(np.float64)
    else:
        x = (r.normal(size=n) * 10 ** r.integers(0, 3)).round(int(r.integers(0, 3)))
    if constant:
        x[:] = x[0]
    x[r.random(n) < nan] = np.nan
    x[r.random(n) < inf] = np.inf
    return x


def many_groups(seed, groups=1500, sorted_rows=False, nan=0.0, ints=False, text=False):
    """One frame holding `groups` small random columns as groups; some
    constant, some of one row.  Sorted rows follow the order of the keys
    (text keys sort as text)."""
    r = np.random.default_rng(seed)
    parts, keys = [], []
    for g in range(groups):
        n = int(r.integers(1, 13))
        parts.append(column(r, n, constant=r.random() < 0.2, ints=ints, nan=nan))
        keys.append(np.full(n, g))
    x, k = np.concatenate(parts), np.concatenate(keys)
    if text:
        k = np.array([f"k{v}" for v in k], dtype=object)
    order = np.argsort(k, kind="stable") if sorted_rows else r.permutation(len(x))
    df = pd.DataFrame({"x": x[order], "g": k[order]})
    if ints:
        df["x"] = df["x"].astype(np.int64)
    return df


# ---- group statistics ---------------------------------------------------------

@pytest.mark.parametrize("sorted_rows", [True, False], ids=["sorted", "shuffled"])
@pytest.mark.parametrize("nan", [0.0, 0.1], ids=["complete", "missing"])
@pytest.mark.parametrize("ints", [False, True], ids=["float", "int"])
@pytest.mark.parametrize("text", [False, True], ids=["int-keys", "text-keys"])
def test_group_statistics_are_pandas_doubles(sorted_rows, nan, ints, text):
    if ints and nan:
        pytest.skip("integer columns hold no missing values")
    df = many_groups(7 + sorted_rows + 2 * ints, sorted_rows=sorted_rows, nan=nan, ints=ints,
                     text=text)
    for stat in STATS:
        rec = {}
        name = f"aggregate###{stat}|||x|||g$$$"
        tavrin.aggregate(df.copy(), "x", "g", [stat], rec)
        got = rec[name]["data"] if stat == "mean" else rec[name]
        want = df.groupby(["g"])["x"].agg(stat)
        assert_same_bits(got.to_numpy(), want.to_numpy(), stat)
        assert got.index.equals(want.index)


def test_one_group_frames_standardise_like_pandas():
    """Every predicted row in one group: the feature is the standardised
    constant, NaN or a rounding residue, exactly as pandas has it."""
    r = np.random.default_rng(11)
    for t in range(50):
        n = int(r.integers(1, 9))
        x = column(r, n, constant=r.random() < 0.3, nan=0.1 * (t % 2))
        df = pd.DataFrame({"x": x, "g": ["a"] * n})
        for stat in ["mean", "sum", "median", "min", "std"]:
            got = tavrin.aggregate(df.copy(), "x", "g", [stat], {})
            want = twins.aggregate(df.copy(), "x", "g", [stat], {})
            name = f"aggregate###{stat}|||x|||g$$$"
            assert_same_bits(got[name], want[name], f"{stat} {x.tolist()}")


@pytest.mark.parametrize("key_nan", [False, True], ids=["keys", "missing-keys"])
def test_records_applied_to_new_frames_like_pandas(key_nan):
    """The statistics of one frame combined with those of another, and the
    combined feature standardised: mean (n2*m2 + n1*m1)/(n1+n2), min, max,
    median."""
    r = np.random.default_rng(12 + key_nan)
    for t in range(15):
        frames = []
        for part in range(2):
            n = int(r.integers(1, 30))
            g = r.integers(0, int(r.integers(1, 6)), n).astype(float)
            if key_nan:
                g[r.random(n) < 0.15] = np.nan
            if r.random() < 0.5:
                g = np.sort(g)
            frames.append(pd.DataFrame({"x": column(r, n, constant=r.random() < 0.2), "g": g}))
        # pandas' platform code turns a missing key of a mean record into the
        # key 0 and multiplies rows; brinvale keeps one row per row instead
        for stat in ["min", "max", "median", "var"] + ([] if key_nan else ["mean"]):
            mine, theirs = {}, {}
            for df in frames:
                got = tavrin.aggregate(df.copy(), "x", "g", [stat], mine)
                want = twins.aggregate(df.copy(), "x", "g", [stat], theirs)
                name = f"aggregate###{stat}|||x|||g$$$"
                assert_same_bits(got[name], want[name], stat)
            if stat == "mean":
                key = "aggregate###mean|||x|||g$$$_mean_count"
                table, expect = mine[key], theirs[key]
                for col in expect.columns:
                    assert_same_bits(table[col], expect[col], col)


def test_histogram_statistics_like_pandas():
    r = np.random.default_rng(13)
    for t in range(30):
        n = int(r.integers(1, 200))
        df = pd.DataFrame({"i": r.integers(0, int(r.integers(1, 40)), n),
                           "g": r.integers(0, int(r.integers(1, 8)), n)})
        if t % 2:
            df = df.sort_values("g", kind="stable", ignore_index=True)
        for stat in ["mean", "var", "median", "max"]:
            got = tavrin.histstat(df.copy(), "i", "g", [stat])
            want = twins.histstat(df.copy(), "i", "g", [stat])
            assert_same_bits(got["histstat###i|||g$$$"], want["histstat###i|||g$$$"], stat)


def test_the_filed_group_means():
    for x in ([0.22, 11.77, 6.81, 3.83, -5.64, -13.82], [1.3, 2.3, 9.3]):
        df = pd.DataFrame({"x": x, "g": ["a"] * len(x)})
        rec = {}
        got = tavrin.aggregate(df.copy(), "x", "g", ["mean"], rec)
        want = twins.aggregate(df.copy(), "x", "g", ["mean"], {})
        expect = df.groupby(["g"])["x"].agg("mean").iloc[0]
        assert rec["aggregate###mean|||x|||g$$$"]["data"].iloc[0] == expect
        assert_same_bits(got["aggregate###mean|||x|||g$$$"], want["aggregate###mean|||x|||g$$$"])


# ---- whole-column reductions ---------------------------------------------------

def test_standardisation_over_small_columns_like_pandas():
    """z = (s - s.mean()) / s.std() with NumPy's pairwise sums, on thousands of
    small columns (constant ones give NaN, one-row ones too)."""
    r = np.random.default_rng(14)
    for t in range(1500):
        n = int(r.integers(1, 300 if t % 10 == 0 else 12))
        df = pd.DataFrame({"x": column(r, n, constant=r.random() < 0.2, nan=0.1 * (t % 3 == 0)),
                           "zero": np.zeros(n)})
        got = tavrin.add(df, "x", "zero")["add###x|||zero$$$"]
        s = df["x"] + df["zero"]
        assert_same_bits(got, (s - s.mean()) / s.std(), str(df["x"].tolist()))


def test_final_fill_uses_pandas_medians():
    r = np.random.default_rng(15)
    for t in range(300):
        n = int(r.integers(1, 25))
        df = pd.DataFrame({"i": r.integers(0, 3, n), "g": r.integers(0, 3, n),
                           "v": column(r, n, constant=r.random() < 0.2, nan=0.3)})
        got = tavrin.nunique(df.copy(), "i", "g", {})
        assert_same_bits(got["v"], df["v"].fillna(df["v"].median()), str(df["v"].tolist()))


# ---- windows ------------------------------------------------------------------

ROLLING = {"tsum": "sum", "ts_mean": "mean", "ts_min": "min", "ts_max": "max",
           "ts_rank": "rank", "stddev": "std"}
APPLIED = {"product": lambda w: w.prod(), "ts_argmax": lambda w: w.argmax(),
           "ts_argmin": lambda w: w.argmin()}


def window_frame(seed, groups=300, nan=0.03):
    """Many small random columns back to back, as groups of one frame; runs of
    equal values and columns far from zero test the running states."""
    r = np.random.default_rng(seed)
    parts, keys = [], []
    for g in range(groups):
        n = int(r.integers(1, 40))
        x = column(r, n, constant=r.random() < 0.15, nan=nan, inf=0.01)
        if r.random() < 0.2:
            x = x + 10.0 ** int(r.integers(3, 9))  # a large offset: cancellation
        if r.random() < 0.2:
            x[int(r.integers(0, n)):] = x[0]  # a constant tail
        parts.append(x)
        keys.append(np.full(n, g))
    x = np.concatenate(parts)
    return pd.DataFrame({"x": x, "y": np.roll(x, 7) * 0.5 + r.normal(size=len(x)).round(1),
                         "g": np.concatenate(keys)})


def pandas_window(op, s, d):
    r = s.rolling(d)
    if op in APPLIED:
        return r.apply(APPLIED[op])
    if op == "decay_linear":
        w = np.linspace(0.1, 1, d)
        return r.apply(lambda v: (v * w).sum())
    return getattr(r, ROLLING[op])()


def label(op, *operands):
    return ("ts_rank" if op == "stddev" else op) + "###" + "|||".join(operands) + "$$$"


@pytest.mark.parametrize("op", list(ROLLING) + ["decay_linear", "product"])
@pytest.mark.parametrize("d", [0, 1, 2, 3, 5, 17, 40])
def test_window_statistics_are_pandas_doubles(op, d, ungrouped):
    if d == 0 and op in ("decay_linear", "product"):
        pytest.skip("pandas' window function gets empty windows")
    # pandas calls Python once per window of the applied functions: fewer rows
    df = window_frame(20 + d, groups=300 if op in ROLLING else 50)
    got = getattr(tavrin, op)(df, "x", str(d))[label(op, "x", str(d))]
    assert_same_bits(got, pandas_window(op, df["x"], d), f"{op} {d}")


@pytest.mark.parametrize("op", ["tsum", "stddev", "ts_rank", "ts_max"])
@pytest.mark.parametrize("d", [1, 2, 3, 6, 25])
def test_grouped_window_statistics_are_pandas_doubles(op, d, grouped):
    grouped("g")
    df = window_frame(40 + d)
    got = getattr(tavrin, op)(df, "x", str(d))[label(op, "x", str(d))]
    want = getattr(df.groupby("g")["x"].rolling(d), ROLLING[op])().reset_index(0, drop=True)
    assert_same_bits(got, want.sort_index(), f"{op} {d}")


@pytest.mark.parametrize("op", ["tcorrelation", "tcorvariance"])
@pytest.mark.parametrize("d", [1, 2, 3, 4, 9, 30])
def test_window_correlations_are_pandas_doubles(op, d, ungrouped):
    df = window_frame(60 + d)
    got = getattr(tavrin, op)(df, "x", "y", str(d))[label(op, "x", "y", str(d))]
    r = df["x"].rolling(d)
    want = r.corr(df["y"]) if op == "tcorrelation" else r.cov(df["y"])
    assert_same_bits(got, want, f"{op} {d}")


@pytest.mark.parametrize("op", ["tcorrelation", "tcorvariance"])
@pytest.mark.parametrize("d", [2, 5])
def test_grouped_window_correlations_are_pandas_doubles(op, d, grouped):
    """pandas cannot assign the grouped result; each group's own windows are
    the reference."""
    grouped("g")
    df = window_frame(80 + d, groups=60)
    got = getattr(tavrin, op)(df, "x", "y", str(d))[label(op, "x", "y", str(d))]
    want = np.full(len(df), np.nan)
    for _, rows in df.groupby("g").groups.items():
        r = df.loc[rows, "x"].rolling(d)
        y = df.loc[rows, "y"]
        want[rows] = (r.corr(y) if op == "tcorrelation" else r.cov(y)).to_numpy()
    assert_same_bits(got, want, f"{op} {d}")


def test_the_filed_window_correlation(ungrouped):
    df = pd.DataFrame({"a": [3, 0], "b": [-12.27, -6.83]})
    got = tavrin.tcorrelation(df, "a", "b", "2")["tcorrelation###a|||b|||2$$$"]
    assert got.iloc[1] == df["a"].rolling(2).corr(df["b"]).iloc[1] == -1.0
    df = pd.DataFrame({"a": [2, 0, 3, 0], "b": [1.67, 1.09, -12.27, -6.83]})
    out = tavrin.name2feature(df, ["ts_rank###tcorrelation###a|||b|||2$$$|||3$$$"], {})
    want = df["a"].rolling(2).corr(df["b"]).rolling(3).rank()
    assert_same_bits(out["ts_rank###tcorrelation###a|||b|||2$$$|||3$$$"], want)
    assert want.iloc[3] == 1.5
