import os
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

from workbench_fixtures import load, raw, sample_dirs  # noqa: F401


@pytest.fixture
def xy():
    X = pd.DataFrame({"a": np.arange(10)}, index=list("abcdefghij"))
    y = pd.Series(np.arange(10) * 1.5, index=X.index, name="t")
    return X, y


def test_time_split_keeps_order(load, xy):
    obj = load("regression")
    X, y = xy
    X_train, X_val, y_train, y_val = obj._split_train_test(X, y, "time")
    assert X_train.index.tolist() == list("abcdefg") and X_val.index.tolist() == list("hij")
    assert y_train.tolist() == y.iloc[:7].tolist() and y_val.tolist() == y.iloc[7:].tolist()


def test_stratified_regression_balances_median_bins(load):
    obj = load("regression")
    y = pd.Series(np.arange(40.0), name="t")
    X = pd.DataFrame({"a": np.arange(40)})
    _, _, y_train, y_val = obj._split_train_test(X, y, "stratified")
    assert (y_train < 20).sum() == (y_train >= 20).sum()
    assert (y_val < 20).sum() == (y_val >= 20).sum()


@pytest.mark.parametrize("kind", ["random", "shuffle", ""])
def test_unknown_split_is_random(load, xy, kind):
    from sklearn.model_selection import train_test_split

    obj = load("regression")
    X, y = xy
    got = obj._split_train_test(X, y, kind)
    expected = train_test_split(X, y, test_size=0.25, random_state=7)
    for a, b in zip(got, expected):
        assert a.index.tolist() == b.index.tolist()


@pytest.mark.parametrize("bad", [None, b"time", 1])
def test_split_type_checked(load, xy, bad):
    with pytest.raises(TypeError, match="Argument 'split_type' has incorrect type"):
        load("regression")._split_train_test(*xy, bad)


def test_get_train_validation_data(load, raw, tmp_path):
    obj = load("classification")
    with pytest.raises(AssertionError, match="请输入数据集路径，或者先调用load_training_data函数。"):
        obj.get_train_validation_data()
    raw.to_csv(tmp_path / "d.csv", index=False)
    X_train, X_val, y_train, y_val = obj.get_train_validation_data(str(tmp_path / "d.csv"))
    assert obj.training_data is not None
    assert len(X_train) + len(X_val) == len(raw) and len(y_train) == len(X_train)
    assert "species" not in X_train.columns and y_train.name == "species"
    assert set(X_train.index).isdisjoint(X_val.index)
    assert set(y_train.unique()) == set(y_val.unique())
    again = obj.get_train_validation_data()
    pd.testing.assert_frame_equal(again[0], X_train)
    pd.testing.assert_series_equal(again[3], y_val)


def test_get_train_validation_data_path_type(load):
    with pytest.raises(TypeError, match="Argument 'path' has incorrect type"):
        load("classification").get_train_validation_data(pd.DataFrame())


def test_preprocess_failure_exits_with_minus_one(sample_dirs, tmp_path):
    pd.DataFrame({"unrelated": [1, 2]}).to_csv(tmp_path / "bad.csv", index=False)
    code = (
        "from brinvale.brinvale import tabular_incrml\n"
        f"t = tabular_incrml({sample_dirs['classification']!r})\n"
        f"t.get_train_validation_data({str(tmp_path / 'bad.csv')!r})\n"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env=dict(os.environ))
    assert done.returncode == 255
    assert done.stdout.startswith("请确保数据和上传到brinvale平台的数据一致。\n")
