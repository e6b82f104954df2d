"""The operator registry is the one list of operators: the dispatcher, the
operators' own column labels, the constants, the input check and the pandas
twin agree with it on every operator, and text it does not list is refused by
name."""

import numpy as np
import pandas as pd
import pytest

import pandas_twin as twin
from brinvale import tavrin

REGISTRY = tavrin._operator_registry()
COMBINATION = [op for op in REGISTRY if op["family"] != "calendar"]
OPERAND = {"number": None, "column": None, "length": "3", "statistic": "mean"}


def feature_name(op):
    columns = iter(["x", "y", "g"])
    operands = [OPERAND[kind] or next(columns) for kind in op["operands"]]
    if op["name"] in ("count", "crosscount", "nunique", "histstat", "crossrank", "combine"):
        operands = ["g", "k"][: len(operands)]
    if op["name"] == "aggregate":
        operands = ["mean", "x", "g"]
    return op["name"] + "###" + "|||".join(operands) + "$$$"


def frame():
    r = np.random.default_rng(5)
    n = 40
    return pd.DataFrame({"x": r.normal(size=n), "y": r.normal(size=n), "g": r.integers(0, 4, n),
                         "k": r.integers(0, 3, n)})


def test_the_registry_is_complete_and_consistent():
    names = [op["name"] for op in REGISTRY]
    assert len(names) == len(set(names)) == 47
    constants = {v for c in (tavrin.FeatureType, tavrin.TimeFeatureType) for k, v in vars(c).items()
                 if k.isupper()}
    for op in REGISTRY:
        assert op["name"] in constants
        assert callable(getattr(tavrin, op["name"]))
        assert op["label"] == ("ts_rank" if op["name"] == "stddev" else op["name"])
    # constants no row of the dispatcher lists are not operators
    assert constants - set(names) == {"target", "sum", "indneutralize"}


@pytest.mark.parametrize("op", COMBINATION, ids=lambda op: op["name"])
def test_each_operator_writes_the_label_the_registry_gives(op, ungrouped):
    name = feature_name(op)
    df = frame()
    out = tavrin.name2feature(df, [name], {})
    label = tavrin._result_label(name)
    assert label == twin.label(op["name"], twin.split(name)[1:])
    assert label in out.columns
    if op["name"] == "stddev":
        assert name not in out.columns
    # the operators the registry says merge give their frame fresh row labels
    shifted = frame()
    shifted.index = shifted.index + 7
    kept = tavrin.name2feature(shifted, [name], {}).index
    assert kept.equals(pd.RangeIndex(len(shifted)) if op["fresh_index"] else shifted.index)


@pytest.mark.parametrize("op", COMBINATION, ids=lambda op: op["name"])
def test_the_twin_knows_each_operator(op):
    out = twin.name2feature(frame(), [feature_name(op)], {})
    assert tavrin._result_label(feature_name(op)) in out.columns


@pytest.mark.parametrize("text", ["target###x$$$", "sum###x|||y$$$", "indneutralize###x|||3$$$",
                                  "month###x$$$", "x"])
def test_text_the_registry_does_not_list_is_refused_by_name(text):
    with pytest.raises(RuntimeError, match="Do not support this OP: " + text.replace("$", r"\$")):
        tavrin.name2feature(frame(), [text], {})
    assert tavrin._result_label(text) is None


def test_calendar_operators_only_in_calendar_names():
    out = tavrin.name2timefeature(pd.DataFrame({"d": ["2021-03-04"]}), ["month@@@d"])
    assert out["month@@@d"].tolist() == [3]
    with pytest.raises(RuntimeError, match="Do not support this timefeature OP:delay@@@d"):
        tavrin.name2timefeature(pd.DataFrame({"d": ["2021-03-04"]}), ["delay@@@d"])


def test_the_input_check_reads_operand_kinds_from_the_registry(tmp_path):
    # a window length or a statistic is no input column; every column operand is
    from brinvale.brinvale import _input_columns, tabular_incrml

    obj = tabular_incrml.__new__(tabular_incrml)
    obj.adv_features = [feature_name(op) for op in COMBINATION]
    obj.model = None
    obj._folder_cfg = {"Feature": {"GroupIndex": "grp"}}
    assert sorted(_input_columns(obj)) == ["g", "grp", "k", "x", "y"]
