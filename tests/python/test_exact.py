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

import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

sys.path.insert(0, str(Path(__file__).parent))
import twins  # noqa: E402

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


def many_groups(seed, groups=1500, sorted_rows=False, nan=0.0, ints=False):
    """One frame holding `groups` small random columns as groups; some
    constant, some of one row."""
    r = np.random.default_rng(seed)
    parts, keys = [], []
    for g in range(groups):
        n = int(r.integers(1, 13))
        parts.append(column(r, n, constant=r.random() < 0.2, ints=ints, nan=nan))
        keys.append(np.full(n, g))
    x, k = np.concatenate(parts), np.concatenate(keys)
    order = np.arange(len(x)) if sorted_rows else r.permutation(len(x))
    df = pd.DataFrame({"x": x[order], "g": k[order]})
    if ints:
        df["x"] = df["x"].astype(np.int64)
    return df


# ---- group statistics ---------------------------------------------------------

@pytest.mark.parametrize("sorted_rows", [True, False], ids=["sorted", "shuffled"])
@pytest.mark.parametrize("nan", [0.0, 0.1], ids=["complete", "missing"])
@pytest.mark.parametrize("ints", [False, True], ids=["float", "int"])
def test_group_statistics_are_pandas_doubles(sorted_rows, nan, ints):
    if ints and nan:
        pytest.skip("integer columns hold no missing values")
    df = many_groups(7 + sorted_rows + 2 * ints, sorted_rows=sorted_rows, nan=nan, ints=ints)
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
    for t in range(80):
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
    for t in range(25):
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
