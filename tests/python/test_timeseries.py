
import numpy as np
import pandas as pd
import pytest

import pandas_twin as twins  # noqa: E402

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


def lag_reference(op, df, d, group):
    """The lag operators' pandas expressions, dtype included."""
    if group is None:
        s = df["x"]
        return s.shift(d) if op == "delay" else s - s.shift(d)
    by = df.groupby(group)["x"]
    return by.shift(d).reset_index(0, drop=True) if op == "delay" else by.diff(d)


@pytest.mark.parametrize("dtype", ["int64", "int32", "int16", "int8", "uint8", "float64"])
@pytest.mark.parametrize("d", [0, 1, -1, 2, -3, 50])
@pytest.mark.parametrize("grouped_by", [None, "g"])
def test_lags_of_any_length_keep_pandas_values_and_dtype(dtype, d, grouped_by, ungrouped, grouped):
    """Window 0 keeps an integer column integer (int8/int16 differences of
    groups are float32, as groupby's diff makes them); groupby's shift(0)
    keeps the rows without a group."""
    if grouped_by:
        grouped(grouped_by)
    r = np.random.default_rng(abs(d) + len(dtype))
    for n in (1, 2, 9, 40):
        g = r.choice(["a", "b", "c"], n).astype(object)
        g[r.random(n) < 0.2] = np.nan
        x = r.integers(-50, 50, n).astype(dtype)
        for op in ("delay", "delta"):
            df = pd.DataFrame({"x": x, "g": g})
            got = getattr(tavrin, op)(df, "x", str(d))[f"{op}###x|||{d}$$$"]
            want = lag_reference(op, df, d, grouped_by)
            if grouped_by and op == "delay" and d != 0:
                want = want.sort_index()  # positional labels: rows land on their own rows
            assert got.dtype == want.dtype, (op, n)
            pd.testing.assert_series_equal(got, want, check_names=False, check_index=False)


def test_filed_lag_cases(ungrouped, grouped):
    df = pd.DataFrame({"i": [1, 2, 3]})
    assert tavrin.delta(df, "i", "0")["delta###i|||0$$$"].tolist() == [0, 0, 0]
    assert df["delta###i|||0$$$"].dtype == np.int64
    grouped("g")
    df = pd.DataFrame({"x": [1, 2, 3], "g": ["a", np.nan, "a"]})
    tavrin.delay(df, "x", "0")
    tavrin.delta(df, "x", "0")
    assert df["delay###x|||0$$$"].tolist() == [1, 2, 3] and df["delay###x|||0$$$"].dtype == np.int64
    assert df["delta###x|||0$$$"].tolist() == [0, 0, 0] and df["delta###x|||0$$$"].dtype == np.int64


WINDOW_OPS = ["tsum", "ts_mean", "ts_min", "ts_max", "ts_rank", "stddev", "product",
              "ts_argmax", "ts_argmin", "delay", "ts_o", "delta"]


def pandas_error(op, df, col, d, group, other=None):
    """The exception of the pandas expression of a window operator."""
    try:
        if op in ("tcorrelation", "tcorvariance"):
            obj = df.groupby(group)[col] if group else df[col]
            r = obj.rolling(int(d))
            getattr(r, "corr" if op == "tcorrelation" else "cov")(df[other])
        elif op in ("delay", "ts_o"):
            (df.groupby(group)[col] if group else df[col]).shift(int(d))
        elif op == "delta":
            df.groupby(group)[col].diff(int(d)) if group else df[col] - df[col].shift(int(d))
        else:
            (df.groupby(group)[col] if group else df[col]).rolling(int(d))
    except Exception as e:  # noqa: BLE001 - the type is what is compared
        return type(e)
    return None


@pytest.mark.parametrize("grouped_by", [None, "g", "nokey"])
def test_window_operators_raise_what_pandas_raises_first(grouped_by, ungrouped, grouped):
    """A missing column is reported before a bad window text, a bad window
    text before a missing second column."""
    if grouped_by:
        grouped(grouped_by)
    for col, d, other in [("nope", "x", "y"), ("nope", "-1", "y"), ("x", "x", "nope"),
                          ("x", "-1", "nope"), ("x", "2.5", "y"), ("x", "-2", "y")]:
        df = pd.DataFrame({"x": [1.0, 2, 3], "y": [3.0, 1, 2], "g": ["a", "a", "b"]})
        for op in WINDOW_OPS + ["tcorrelation", "tcorvariance"]:
            want = pandas_error(op, df, col, d, None if grouped_by is None else grouped_by, other)
            if want is None:
                continue
            args = (col, other, d) if op in ("tcorrelation", "tcorvariance") else (col, d)
            with pytest.raises(want):
                getattr(tavrin, op)(df, *args)
            assert df.columns.tolist() == ["x", "y", "g"], op


def test_decay_weights_come_before_the_columns(ungrouped):
    df = pd.DataFrame({"x": [1.0, 2.0]})
    with pytest.raises(ValueError, match="must be non-negative"):
        tavrin.decay_linear(df, "nope", "-1")
    with pytest.raises(ValueError):
        tavrin.decay_linear(df, "nope", "x")
