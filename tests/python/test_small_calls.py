"""The per-call shortcuts of the pipeline give what the pandas steps they
replace give: the time column's dates, the numbers-as-text check, the target
appended by `preprocess`."""

import datetime

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from workbench_fixtures import bare, load, raw, sample_dirs  # noqa: F401


@pytest.fixture
def timed(bare):
    bare.time_index = "when"
    return bare


def converted(obj, values, dtype=None):
    df = pd.DataFrame({"x": np.arange(len(values), dtype=float),
                       "when": pd.Series(values, dtype=dtype)})
    return obj._process_data(df)["when"]


def same_as_pandas(obj, values, dtype=None):
    expected = pd.to_datetime(pd.Series(values, dtype=dtype, name="when"))
    pd.testing.assert_series_equal(converted(obj, values, dtype), expected)


# the object only holds configuration the pipeline cleans idempotently
@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.lists(st.dates(datetime.date(1678, 1, 1), datetime.date(2261, 12, 31)),
                min_size=1, max_size=40))
def test_iso_dates_as_pandas_reads_them(timed, dates):
    same_as_pandas(timed, [d.isoformat() for d in dates])


@pytest.mark.parametrize("values", [
    ["2021-03-04", None],                 # missing rows
    ["2021-03-04", "2021-03-05 10:30"],   # times
    ["2021/03/04", "2021/03/05"],         # another form
    ["04.03.2021"],
    ["1500-01-01", "2021-01-01"],         # beyond the nanosecond range
    ["2262-04-11"],
])
def test_other_time_columns_left_to_pandas(timed, values):
    try:
        expected = pd.to_datetime(pd.Series(values, name="when"))
    except (ValueError, OverflowError) as e:
        with pytest.raises(type(e)):
            converted(timed, values)
        return
    pd.testing.assert_series_equal(converted(timed, values), expected)


def test_impossible_dates_raise_pandas_error(timed):
    with pytest.raises(ValueError):
        pd.to_datetime(pd.Series(["2021-02-30"]))
    with pytest.raises(ValueError):
        converted(timed, ["2021-02-28", "2021-02-30"])


@pytest.mark.parametrize("dtype", [object, "str", "string", "category"])
def test_time_column_storages(timed, dtype):
    same_as_pandas(timed, ["2021-03-04", "2020-02-29"], dtype)


def test_time_column_keeps_row_labels(timed):
    df = pd.DataFrame({"when": ["2021-03-04", "2021-03-05"]}, index=[7, 3])
    out = timed._process_data(df)["when"]
    assert out.index.tolist() == [7, 3]
    assert out.tolist() == [pd.Timestamp("2021-03-04"), pd.Timestamp("2021-03-05")]


def test_percent_sign_beyond_the_first_rows_is_no_mistake(load, raw):
    obj = load("classification")
    table = pd.concat([raw] * 2, ignore_index=True)
    late = table.copy()
    late["bill_ratio"] = late["bill_ratio"].str.rstrip("%")
    late.loc[len(late) - 1, "bill_ratio"] += "%"
    # read as percentages, as when every value carries the sign
    everywhere = late.copy()
    everywhere["bill_ratio"] = everywhere["bill_ratio"].where(
        everywhere["bill_ratio"].str.endswith("%"), everywhere["bill_ratio"] + "%")
    pd.testing.assert_frame_equal(obj.preprocess(late.copy()), obj.preprocess(everywhere.copy()))
    without = table.copy()
    without["bill_ratio"] = without["bill_ratio"].str.rstrip("%")
    with pytest.raises(ValueError, match="numbers written as text"):
        obj.preprocess(without)


def test_target_appended_without_touching_the_engine_frame(bare, monkeypatch):
    import brinvale.brinvale as wb

    frames = []

    def engine(df, features, records):
        frames.append(df)
        return df

    monkeypatch.setattr(wb, "name2feature", engine)
    bare.automl_running = True
    df = pd.DataFrame({"a": [1.0, 2.0], "y": [5, 6], "b": [3.0, 4.0]}, index=[4, 9])
    out = bare.preprocess(df, return_y=True)
    assert out.columns.tolist() == ["a", "b", "y"] and out.index.tolist() == [0, 1]
    assert out["y"].tolist() == [5, 6]
    # the frame the engine returned, and the caller's, keep their columns and labels
    for kept in (frames[0], df):
        assert kept.columns.tolist() == ["a", "y", "b"] and kept.index.tolist() == [4, 9]
    expected = pd.concat([frames[0].drop(columns=["y"]).reset_index(drop=True),
                          df["y"].reset_index(drop=True)], axis=1)
    pd.testing.assert_frame_equal(out, expected)
