import numpy as np
import pandas as pd
import pytest

from workbench_fixtures import load, sample_dirs  # noqa: F401


@pytest.fixture
def obj(load):
    return load("classification")


def test_encode_series_with_missing_values(obj):
    enc = obj.lec_record_dt["sex"]
    out = obj.labelencode(pd.Series(["male", None], name="sex", index=[7, 8]))
    assert out.dtype == np.int64 and out.index.tolist() == [0, 1] and out.name is None
    assert out.iloc[0] == list(enc.classes_).index("male")
    assert out.iloc[1] == list(enc.classes_).index("na")


def test_encode_numbers_as_text(obj):
    from brinvale.module.dataprocess.dovrel import LabelEncoderWithOOV

    e = LabelEncoderWithOOV()
    e.fit(["1", "2"])
    obj.lec_record_dt["n"] = e
    assert obj.labelencode(pd.Series([2, 1], name="n")).tolist() == [1, 0]


def test_frame_needs_feature_name(obj):
    df = pd.DataFrame({"sex": ["male"]})
    with pytest.raises(AssertionError, match="请指定要进行编码的特征名"):
        obj.labelencode(df)
    with pytest.raises(AssertionError, match="请指定要进行解码的特征名"):
        obj.labeldecode(df)
    codes = pd.DataFrame({"sex": obj.labelencode(df, "sex").astype(float)})
    assert obj.labeldecode(codes, "sex").tolist() == ["male"]


@pytest.mark.parametrize("method", ["labelencode", "labeldecode"])
def test_errors(obj, method):
    f = getattr(obj, method)
    with pytest.raises(IndexError, match="所选的列名在训练过程中并未进行编码。"):
        f(pd.Series(["male"], name="gender"))
    with pytest.raises(IndexError, match="所选的列名在训练过程中并未进行编码。"):
        f(pd.DataFrame({"bill_length_mm": [1.0]}), "bill_length_mm")
    with pytest.raises(TypeError, match="暂不支持该数据类型。"):
        f(["male"], "sex")
    with pytest.raises(TypeError, match="Argument 'feature_name' has incorrect type"):
        f(pd.Series(["male"], name="sex"), 1)


def test_decode_prints_failure(obj, capsys):
    assert obj.labeldecode(pd.Series(["abc"], name="sex")) is None
    assert capsys.readouterr().out.startswith("解码出错，请确认输入是否正确：")
    assert obj.labelencode(pd.DataFrame({"a": [1]}), "sex") is None
    assert capsys.readouterr().out.startswith("编码出错，请确认输入是否正确：")
