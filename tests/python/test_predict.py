import numpy as np
import pandas as pd
import pytest

from workbench_fixtures import load, raw, sample_dirs  # noqa: F401


def model_input(obj, raw):
    return obj.preprocess(raw.copy())[list(obj.model.feature_names_in_)]


def test_model_width_frame_goes_to_the_model_unchanged(load, raw, monkeypatch):
    obj = load("classification")
    X = model_input(obj, raw)
    seen = []
    monkeypatch.setattr(obj, "preprocess", lambda *a, **k: seen.append(a) or X)
    out = obj.predict(X)
    assert seen == [] and out.shape == (len(raw),)


def test_raw_columns_of_the_model_width_are_preprocessed(load, raw):
    # raw input columns exactly as many as the model's inputs are no model
    # input: they are preprocessed, not scored as they stand
    obj = load("classification")
    width = len(obj.model.feature_names_in_)
    want = obj.predict(raw.copy())
    padded = raw.copy()
    assert padded.shape[1] < width
    for k in range(width - padded.shape[1]):
        padded[f"extra_{k}"] = 0.0
    assert padded.shape[1] == width
    assert (obj.predict(padded) == want).all()


def test_other_widths_are_preprocessed(load, raw, monkeypatch):
    obj = load("classification")
    calls = []
    real = obj.preprocess
    monkeypatch.setattr(obj, "preprocess", lambda df, **k: calls.append(k) or real(df, **k))
    obj.predict(raw.copy())
    assert calls == [{"return_y": True}]


def test_csv_with_target(load, raw, tmp_path):
    obj = load("classification")
    raw.to_csv(tmp_path / "d.csv", index=False)
    pred = obj.predict(str(tmp_path / "d.csv"))
    proba = obj.predict_proba(test_path=str(tmp_path / "d.csv"))
    assert isinstance(pred, np.ndarray) and pred.shape == (len(raw),)
    assert proba.shape == (len(raw), 3)
    np.testing.assert_allclose(proba.sum(axis=1), 1.0)
    assert (proba.argmax(axis=1) == pred).all()


def test_array_in_model_order(load, raw):
    obj = load("regression")
    X = model_input(obj, raw)
    np.testing.assert_allclose(obj.predict(X.to_numpy()), obj.model.predict(X))


@pytest.mark.parametrize("shape", [(3,), (3, 2), (2, 3, 4)])
def test_array_of_other_shape(load, shape):
    obj = load("regression")
    with pytest.raises(ValueError, match="one column per model feature"):
        obj.predict(np.zeros(shape))


@pytest.mark.parametrize("bad", [None, [1, 2], 3.0])
def test_unsupported_input(load, bad):
    obj = load("classification")
    with pytest.raises(TypeError, match=type(bad).__name__):
        obj.predict(bad)
    with pytest.raises(TypeError):
        obj.predict_proba(bad)


def test_validation_data_needs_training_data(load):
    obj = load("classification")
    with pytest.raises(AssertionError, match="请先使用load_training_data上传训练时的数据"):
        obj._validation_data()


def test_validation_data(load, sample_dirs, raw):
    obj = load("classification")
    obj.training_data = raw
    X, y = obj._validation_data()
    val = pd.read_csv(f"{sample_dirs['classification']}/automl/val_res")
    assert len(X) == len(y) == len(val)
    assert y.name == "species" and y.dtype == np.int64
    assert "ypred" not in X.columns and "species" not in X.columns
    np.testing.assert_array_equal(
        y, obj.lec_record_dt["species"].transform(val["species"].astype(str)))


def test_validation_data_missing_file(load, raw, tmp_path):
    obj = load("classification")
    obj.training_data = raw
    obj.path = str(tmp_path)
    with pytest.raises(AssertionError, match="请保证result内的文件保持不变。"):
        obj._validation_data()
