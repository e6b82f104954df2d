import pandas as pd
import pytest

from brinvale import tavrin

DOC = "\n    Converts the {} column to the {}\n    \n    return:\n        df\n    "


@pytest.mark.parametrize("fn,doc,value", [
    ("day_of_year", DOC.format("datetime", "day of the year"), 63),
    ("day_of_week", DOC.format("datatime", "day of the week"), 3),
    ("month", DOC.format("datatime", "month of the year"), 3),
    ("year", DOC.format("datatime", "year"), 2021),
])
def test_calendar_parts(fn, doc, value):
    f = getattr(tavrin, fn)
    assert f.__doc__ == doc
    df = pd.DataFrame({"date": ["2021-03-04", None]})
    out = f(df, "date")
    assert out is df
    assert out[fn + "@@@date"].iloc[0] == value
    assert pd.api.types.is_datetime64_any_dtype(out["date"])
    bad = pd.DataFrame({"date": ["not a date", "x"]})
    assert f(bad, "date").columns.tolist() == ["date"]


@pytest.mark.parametrize("fn", ["day_of_week", "month", "year"])
def test_missing_column_raises(fn):
    with pytest.raises(KeyError) as err:
        getattr(tavrin, fn)(pd.DataFrame({"a": [1]}), "date")
    assert err.value.args[0] == "date not in the columns"


def test_day_of_year_ignores_missing_column():
    df = pd.DataFrame({"a": [1]})
    assert tavrin.day_of_year(df, "date") is df and df.columns.tolist() == ["a"]
