import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

sys.path.insert(0, str(Path(__file__).parent))
import twins  # noqa: E402

from brinvale import tavrin  # noqa: E402

ONE = ["tsum", "ts_mean", "ts_min", "ts_max", "ts_rank", "stddev", "product", "ts_argmax",
       "ts_argmin", "decay_linear", "delay", "ts_o", "delta"]


def data(n=600, seed=0, groups=20):
    r = np.random.default_rng(seed)
    x = r.normal(size=n).round(1)  # rounding makes ties
    x[r.random(n) < 0.03] = np.nan
    x[r.random(n) < 0.01] = np.inf
    g = r.integers(0, groups, n)
    g[:3] = groups + 1  # a group of three rows
    g[5] = groups + 2  # a group of one row
    return pd.DataFrame({"x": x, "y": r.normal(size=n) * 50, "g": g.astype(str)})


def label(op, *operands):
    return ("ts_rank" if op == "stddev" else op) + "###" + "|||".join(operands) + "$$$"


def close(got, want, scale=None):
    np.testing.assert_allclose(got, want, rtol=1e-12, atol=1e-11 * (scale or 1), equal_nan=True)


@pytest.mark.parametrize("op", ONE)
@pytest.mark.parametrize("d", [1, 2, 3, 5, 20, 70, 150])
@pytest.mark.parametrize("grouped_by", [None, "g"])
def test_window_operator_matches_pandas(op, d, grouped_by, ungrouped, grouped):
    if grouped_by:
        grouped(grouped_by)
    df = data()
    out = getattr(tavrin, op)(df, "x", str(d))
    assert out is df
    want = twins.window(op, df["x"], d, df["g"] if grouped_by else None)
    if op == "ts_mean" and grouped_by:  # grouped means are window sums
        want = twins.window("tsum", df["x"], d, df["g"])
    close(out[label(op, "x", str(d))].to_numpy(), want, scale=d)


@pytest.mark.parametrize("op", ["tcorrelation", "tcorvariance"])
@pytest.mark.parametrize("d", [1, 2, 3, 10, 40])
@pytest.mark.parametrize("grouped_by", [None, "g"])
def test_pair_operators_match_pandas(op, d, grouped_by, ungrouped, grouped):
    if grouped_by:
        grouped(grouped_by)
    df = data(seed=1)
    out = getattr(tavrin, op)(df, "x", "y", str(d))
    want = twins.pairwise(op, df["x"], df["y"], d, df["g"] if grouped_by else None)
    close(out[label(op, "x", "y", str(d))].to_numpy(), want, scale=100)


def test_documented_values(ungrouped, grouped):
    df = pd.DataFrame({"x": [4.0, 2, 5, 1]})
    assert tavrin.ts_min(df, "x", "3")["ts_min###x|||3$$$"].tolist()[2:] == [2.0, 1.0]
    df = pd.DataFrame({"x": [1.0, 3, 5]})
    tavrin.stddev(df, "x", "2")
    assert "stddev###x|||2$$$" not in df
    close(df["ts_rank###x|||2$$$"], [np.nan, 2 ** 0.5, 2 ** 0.5])
    df = pd.DataFrame({"x": [1.0, 2, 3]})
    close(tavrin.delay(df, "x", "-1")["delay###x|||-1$$$"], [2, 3, np.nan])
    close(tavrin.decay_linear(df, "x", "1")["decay_linear###x|||1$$$"], [0.1, 0.2, 0.3])
    close(tavrin.decay_linear(df, "x", "3")["decay_linear###x|||3$$$"], [np.nan, np.nan, 4.2])
    df = pd.DataFrame({"a": ["a", "a", "b"], "b": [5, 1, 7]})
    assert tavrin.crossrank(df, "a", "b")["crossrank###a|||b$$$"].tolist() == [2.0, 1.0, 1.0]
    grouped("g")
    df = pd.DataFrame({"g": list("aabb"), "x": [1.0, 2, 3, 4]})
    close(tavrin.ts_mean(df, "x", "2")["ts_mean###x|||2$$$"], [np.nan, 3, np.nan, 7])


def test_grouped_values_land_on_their_own_rows(grouped):
    grouped("g")
    df = pd.DataFrame({"g": list("abab"), "x": [1.0, 2, 3, 4]}, index=[10, 11, 12, 12])
    close(tavrin.delay(df, "x", "1")["delay###x|||1$$$"], [np.nan, np.nan, 1, 2])
    close(tavrin.tsum(df, "x", "2")["tsum###x|||2$$$"], [np.nan, np.nan, 4, 6])
    df = pd.DataFrame({"g": ["a", None, "a"], "x": [1.0, 2, 3]})
    close(tavrin.delta(df, "x", "1")["delta###x|||1$$$"], [np.nan, np.nan, 2])


def test_lags_keep_the_column_type(ungrouped):
    df = pd.DataFrame({"s": ["p", "q", "r"], "i": [1, 2, 3]})
    assert tavrin.delay(df, "s", "1")["delay###s|||1$$$"].tolist()[1:] == ["p", "q"]
    assert tavrin.ts_o(df, "i", "0")["ts_o###i|||0$$$"].dtype == np.int64


def test_crossrank_matches_pandas(ungrouped):
    df = data(seed=3)
    df["k"] = df["g"].where(df.index % 7 != 0)
    got = tavrin.crossrank(df, "k", "x")["crossrank###k|||x$$$"]
    want = df.groupby("k")["x"].transform("rank")
    close(got.to_numpy(), want.to_numpy())


@pytest.mark.parametrize("op", ["tsum", "ts_mean", "ts_min", "stddev", "ts_rank", "product",
                                "decay_linear"])
def test_window_zero_and_huge(op, ungrouped):
    df = data(n=50)
    got = getattr(tavrin, op)(df, "x", "0")[label(op, "x", "0")].to_numpy()
    close(got, twins.window(op, df["x"], 0))
    big = getattr(tavrin, op)(df, "x", str(2 ** 62))[label(op, "x", str(2 ** 62))]
    assert big.isna().all()


def test_errors_write_nothing(ungrouped, task_config):
    df = pd.DataFrame({"x": [1.0, 2.0]})
    with pytest.raises(ValueError):
        tavrin.tsum(df, "x", "2.5")
    with pytest.raises(ValueError, match="0 or greater"):
        tavrin.ts_max(df, "x", "-1")
    with pytest.raises(ValueError, match="argmax"):
        tavrin.ts_argmax(df, "x", "0")
    with pytest.raises(TypeError):
        tavrin.tsum(df, "x", 2)
    with pytest.raises(KeyError):
        tavrin.ts_min(df, "nope", "2")
    with pytest.raises(OverflowError):
        tavrin.tsum(df, "x", str(10 ** 30))
    assert df.columns.tolist() == ["x"]
    from conftest import reset_task_config
    reset_task_config()
    from brinvale.module.common.quillet import TaskConfig
    TaskConfig()
    with pytest.raises(AttributeError):
        tavrin.tsum(df, "x", "2")
    assert tavrin.indneutralize(df, "x", "2") is None


def keyed(kind, n=500, seed=4):
    """Group keys of the dtypes coded natively, and a frame over them."""
    r = np.random.default_rng(seed)
    base = r.integers(0, 12, n)
    keys = {
        "int_small_range": base - 5,
        "int_wide_range": base.astype(np.int64) * 10**15 - 7,
        "uint8": base.astype(np.uint8),
        "float_with_nan": np.where(base == 3, np.nan, base * 0.5),
        "signed_zero": np.where(base < 6, 0.0, -0.0),
        "many_small_groups": r.integers(0, n // 2, n),  # more groups than one pass holds
    }[kind]
    x = r.normal(size=n).round(1)
    x[r.random(n) < 0.05] = np.nan
    x[r.random(n) < 0.02] = -np.inf
    return pd.DataFrame({"x": x, "k": keys})


KEY_KINDS = ["int_small_range", "int_wide_range", "uint8", "float_with_nan", "signed_zero",
             "many_small_groups"]


@pytest.mark.parametrize("kind", KEY_KINDS)
@pytest.mark.parametrize("op", ["tsum", "ts_mean", "ts_min", "ts_max", "ts_rank", "stddev",
                                "ts_argmax", "delay", "delta"])
@pytest.mark.parametrize("d", [1, 4, -2])
def test_numeric_group_keys_partition_like_groupby(kind, op, d, grouped):
    if d < 0 and op not in ("delay", "delta"):
        return
    grouped("k")
    df = keyed(kind)
    got = getattr(tavrin, op)(df, "x", str(d))[label(op, "x", str(d))].to_numpy()
    # pandas' groupby leaves rows with a missing key out of every group
    if op in ("delay", "delta"):
        by = df.groupby("k")["x"]
        want = (by.shift(d) if op == "delay" else by.diff(d)).to_numpy()
    else:
        keys = df["k"].astype(object).where(df["k"].notna(), "<none>")
        want = np.array(twins.window("tsum" if op == "ts_mean" else op, df["x"], d, keys))
        want[df["k"].isna().to_numpy()] = np.nan
    close(got, want, scale=abs(d))


@pytest.mark.parametrize("grouped_by", [None, "g"])
def test_operators_leave_their_inputs_unchanged(grouped_by, ungrouped, grouped):
    if grouped_by:
        grouped(grouped_by)
    df = data(seed=5)
    before = df.copy()
    for op in ONE:
        getattr(tavrin, op)(df, "x", "3")
    tavrin.tcorrelation(df, "x", "y", "3")
    pd.testing.assert_frame_equal(df[before.columns], before)
    assert np.isinf(df["x"]).any()  # infinities are missing only inside the windows
