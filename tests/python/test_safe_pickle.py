import io
import os
import pickle
import warnings

import numpy as np
import pandas as pd
import pytest

import brinvale.brinvale as bv
from brinvale.module.dataprocess.dovrel import LabelEncoderWithOOV


def safe_load(raw):
    return bv._ResultUnpickler(io.BytesIO(raw)).load()


class Payload:
    def __init__(self, func, *args):
        self.func, self.args = func, args

    def __reduce__(self):
        return self.func, self.args


def marker_command(path):
    return f"touch {path}"


@pytest.fixture(scope="module")
def penguins():
    from palmerpenguins import load_penguins

    df = load_penguins().dropna()
    return df[["bill_length_mm", "bill_depth_mm", "flipper_length_mm", "body_mass_g"]], df["species"]


@pytest.mark.parametrize("learner", ["lgbm", "xgboost", "rf", "extra_tree", "lrl1", "xgb_limitdepth"])
def test_genuine_models_of_every_usual_learner_load(penguins, learner):
    from flaml import AutoML

    X, y = penguins
    model = AutoML()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        model.fit(X, y, task="classification", estimator_list=[learner], max_iter=2,
                  n_jobs=1, verbose=0, seed=1)
    loaded = safe_load(pickle.dumps(model))
    np.testing.assert_array_equal(loaded.predict(X), model.predict(X))


def test_records_of_the_engine_load():
    enc = LabelEncoderWithOOV()
    enc.fit(["a", "b"])
    records = {
        "col": enc,
        "count###g$$$": pd.DataFrame({"g": ["a", "b"], "count###g$$$": [2, 1]}),
        "aggregate###mean|||x|||g$$$": {
            "data": pd.Series([1.5], index=pd.Index(["a"], name="g"), name="aggregate###mean|||x|||g$$$"),
            "length": pd.DataFrame({"g": ["a"], "g_count": [2]}),
        },
        "crosscount###a|||b$$$": pd.Series(
            [1, 2], index=pd.MultiIndex.from_tuples([("x", 1), ("y", 2)], names=["a", "b"])
        ),
        "when": pd.Series(pd.to_datetime(["2021-01-01", None])),
        "cat": pd.Series(["u", "v"], dtype="category"),
    }
    for protocol in (2, pickle.HIGHEST_PROTOCOL):
        back = safe_load(pickle.dumps(records, protocol=protocol))
        assert list(back["col"].classes_) == ["a", "b"]
        pd.testing.assert_frame_equal(back["count###g$$$"], records["count###g$$$"])
        pd.testing.assert_series_equal(back["crosscount###a|||b$$$"], records["crosscount###a|||b$$$"])
        pd.testing.assert_series_equal(back["when"], records["when"])


@pytest.mark.parametrize(
    "func",
    [os.system, __import__("subprocess").call, eval, exec, __import__("builtins").__import__,
     pd.read_pickle, np.load, pd.eval],
    ids=lambda f: getattr(f, "__name__", str(f)),
)
def test_crafted_calls_are_refused_before_they_run(tmp_path, func):
    marker = tmp_path / "ran"
    arg = marker_command(marker) if func in (os.system,) else str(marker)
    raw = pickle.dumps(Payload(func, arg))
    with pytest.raises(pickle.UnpicklingError, match="TRUSTED_PICKLE_GLOBALS"):
        safe_load(raw)
    assert not marker.exists()


def test_getattr_reaches_only_class_methods():
    # getattr(DataFrame, "to_csv") would hand out a file writer.
    to_csv = b"cbuiltins\ngetattr\n(cpandas\nDataFrame\nVto_csv\ntR."
    with pytest.raises(pickle.UnpicklingError, match="to_csv"):
        safe_load(to_csv)
    # the class's defining module is not the name genuine pickles use
    with pytest.raises(pickle.UnpicklingError, match="pandas.core.frame.DataFrame"):
        safe_load(to_csv.replace(b"cpandas\n", b"cpandas.core.frame\n"))
    dunder = b"cbuiltins\ngetattr\n(cflaml.automl.model\nLGBMEstimator\nV__init__\ntR."
    with pytest.raises(pickle.UnpicklingError):
        safe_load(dunder)
    # an admitted lookup passes getattr; on its own, as the loaded object,
    # it is a callable where genuine pickles keep data
    size = b"cbuiltins\ngetattr\n(cflaml.automl.model\nLGBMEstimator\nVsize\ntR."
    with pytest.raises(pickle.UnpicklingError, match="LGBMEstimator.size' where genuine result folders keep only"):
        safe_load(size)


def test_memmap_and_file_classes_are_refused(tmp_path):
    path = tmp_path / "mapped"
    raw = pickle.dumps(Payload(np.memmap, str(path), np.uint8, "w+", 0, (4,)))
    with pytest.raises(pickle.UnpicklingError):
        safe_load(raw)
    assert not path.exists()


def test_trusting_a_global_admits_it(monkeypatch):
    raw = pickle.dumps(Payload(os.path.join, "a", "b"))
    with pytest.raises(pickle.UnpicklingError, match="posixpath.join"):
        safe_load(raw)
    monkeypatch.setattr(bv, "TRUSTED_PICKLE_GLOBALS", {"posixpath.join"})
    assert safe_load(raw) == os.path.join("a", "b")
