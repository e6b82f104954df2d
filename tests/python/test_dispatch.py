"""The dispatcher: nested operands, the operator table and its failures."""

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings, strategies as st

from brinvale import tavrin


@pytest.fixture
def df():
    return pd.DataFrame({"col1": [1.0, 2.0, 4.0, 8.0], "col2": [3.0, 0.5, 0.0, 2.0]}, index=[9, 3, 5, 1])


def test_empty_feature_space_returns_same_frame(df):
    before = df.copy()
    assert tavrin.name2feature(df, []) is df
    pd.testing.assert_frame_equal(df, before)


def test_nested_operand_is_computed_then_dropped(df):
    name = "divide###add###col1|||col2$$$|||col2$$$"
    out = tavrin.name2feature(df, [name])
    assert list(out.columns) == ["col1", "col2", name]
    expect = tavrin.divide(tavrin.add(df.copy(), "col1", "col2"), "add###col1|||col2$$$", "col2")
    pd.testing.assert_series_equal(out[name], expect[name])


def test_existing_nested_column_is_kept(df):
    tavrin.add(df, "col1", "col2")
    df["add###col1|||col2$$$"] = 1.0  # not recomputed
    out = tavrin.name2feature(df, ["sine###add###col1|||col2$$$$$$"])
    assert (out["add###col1|||col2$$$"] == 1.0).all()
    assert np.allclose(out["sine###add###col1|||col2$$$$$$"], np.sin(1.0))


@pytest.mark.parametrize("name", ["target###col1$$$", "sum###col1|||col2$$$",
                                  "indneutralize###col1$$$", "day_of_year###col1$$$", "col1"])
def test_unknown_operator(df, name):
    with pytest.raises(RuntimeError) as info:
        tavrin.name2feature(df, [name])
    assert str(info.value) == "Do not support this OP: " + name


def test_all_table_rows_reach_their_operator(df, monkeypatch):
    calls = []
    for op in ("tcorrelation", "aggregate", "crosscount", "nunique", "count"):
        monkeypatch.setattr(tavrin, op, lambda *a, _op=op: calls.append((_op, a[1:])) or a[0], raising=False)
    records = {}
    names = ["tcorrelation###col1|||col2|||3$$$", "aggregate###mean|||col1|||col2$$$",
             "crosscount###col1|||col2$$$", "nunique###col1|||col2$$$", "count###col1$$$"]
    assert tavrin.name2feature(df, names, records) is df
    assert calls == [
        ("tcorrelation", ("col1", "col2", "3")),
        ("aggregate", ("col1", "col2", ["mean"], records)),
        ("crosscount", (["col1", "col2"], records)),
        ("nunique", ("col1", "col2", records)),
        ("count", ("col1", records)),
    ]


def test_default_records_are_one_shared_dict(df, monkeypatch):
    seen = []
    monkeypatch.setattr(tavrin, "count", lambda d, c, rec: seen.append(rec) or d, raising=False)
    tavrin.name2feature(df, ["count###col1$$$"])
    tavrin.name2feature(df, ["count###col2$$$"], cfg="ignored")
    assert seen[0] is seen[1] and isinstance(seen[0], dict)


def test_missing_operator_function_is_a_clear_error(df, monkeypatch):
    monkeypatch.delattr(tavrin, "nunique", raising=False)
    with pytest.raises(NameError, match="nunique"):
        tavrin.name2feature(df, ["nunique###col1|||col2$$$"])


def test_row_two_with_one_operand(df, capsys):
    with pytest.raises(NameError, match="'j'"):
        tavrin.name2feature(df, ["add###col1$$$"])
    assert capsys.readouterr().out == "add\n"
    # With an earlier second operand the call goes ahead with (df, 1, j).
    with pytest.raises(TypeError):
        tavrin.name2feature(df, ["add###col1|||col2$$$", "subtract###col1$$$"])


def test_missing_operand_of_other_rows(df):
    with pytest.raises(IndexError):
        tavrin.name2feature(df, ["tcorrelation###col1|||col2$$$"])


def test_feature_space_must_be_a_list(df):
    with pytest.raises(AssertionError):
        tavrin.name2feature(df, ("add###col1|||col2$$$",))
    with pytest.raises(AssertionError):
        tavrin.name2timefeature(df, "day_of_year@@@col1")


def test_name2timefeature(df, monkeypatch):
    calls = []
    monkeypatch.setattr(tavrin, "day_of_year", lambda d, c: calls.append(c) or d, raising=False)
    assert tavrin.name2timefeature(df, ["day_of_year@@@col1", "day_of_year@@@col2@@@x"]) is df
    assert calls == ["col1", "col2"]
    with pytest.raises(RuntimeError) as info:
        tavrin.name2timefeature(df, ["delay@@@col1"])
    assert str(info.value) == "Do not support this timefeature OP:delay@@@col1"


def test_deep_nesting_is_a_recursion_error(df):
    name = "col1"
    for _ in range(2000):
        name = f"sine###{name}$$$"
    with pytest.raises(RecursionError):
        tavrin.name2feature(df, [name])


# Random texts of marker characters and letters must only ever raise Python
# exceptions from the parsers and the dispatcher.
alphabet = st.sampled_from(list("#$|@") * 4 + ["a", "b", "é", "列", "😀", "_"])
texts = st.lists(alphabet, max_size=30).map("".join)
structured = st.builds(
    lambda op, a, b: f"{op}###{a}|||{b}$$$",
    st.sampled_from(["add", "sine", "combine", "aggregate", "x", ""]), texts, texts)


@settings(max_examples=800, deadline=None)
@given(st.one_of(texts, structured))
def test_fuzz_never_crashes(text):
    frame = pd.DataFrame({"a": [1.0, 2.0], "b": [0.0, 1.0]})
    for call in (tavrin.split_features, tavrin.name2formula, tavrin.is_combination_feature,
                 lambda t: tavrin.name2feature(frame, [t]), lambda t: tavrin.feature2table([t])):
        try:
            call(text)
        except (IndexError, KeyError, RuntimeError, TypeError, NameError, ValueError, RecursionError):
            pass
