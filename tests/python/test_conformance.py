"""Genuine result folders of every shape a training run can leave predict what
the plain pandas pipeline followed by the model's own `predict` gives.

The sample builder trains one folder per shape of the conformance space
(`brinvale.sample.CONFORMANCE`: five public tables; binary, multiclass with
text labels and regression; every learner the package supports and FLAML's
default list; date columns of four frequencies written in six forms, seen by
the model or not; text and integer groups; ids; ignored and percentage
columns; labels that need cleaning; `AutoML.Running` true and false; every
operator family, stddev's label and names nested three deep).  For each
folder, `preprocess`, `predict`, `predict_proba`, the training/validation
split, the command line and the Dask path must give exactly what the pandas
twin and the plainly unpickled model give: the same labels, dtypes and bits.
"""

import io
import json
import logging
import os
import pickle
import warnings
from contextlib import redirect_stdout

import numpy as np
import pandas as pd
import pytest
import yaml

import pandas_twin as twin
from brinvale import sample
from brinvale.brinvale import tabular_incrml
from workbench_fixtures import reset_task_config

SHAPES = sample.CONFORMANCE
NAMES = [s.name for s in SHAPES]
CLASSIFIERS = [s.name for s in SHAPES if s.task != "regression"]


@pytest.fixture(scope="session")
def conformance(tmp_path_factory):
    base = tmp_path_factory.mktemp("conformance")
    out = {}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for shape in SHAPES:
            folder = sample.build_folder(str(base / shape.name), shape)
            csv = sample.write_shape_csv(shape, str(base / f"{shape.name}.csv"))
            out[shape.name] = (folder, csv)
    return out


def plain_folder(folder):
    """The folder's files read without brinvale: config, features, records and model."""
    with open(os.path.join(folder, "config.yaml"), encoding="utf-8") as f:
        cfg = yaml.safe_load(f)
    with open(os.path.join(folder, "autofe", "result"), encoding="utf-8") as f:
        features = json.load(f)["combination_features"]
    with open(os.path.join(folder, "autofe", "labelencoder.pkl"), "rb") as f:
        records = pickle.load(f)
    with open(os.path.join(folder, "automl", "result"), "rb") as f:
        model = pickle.load(f)
    return cfg, features, records, model


def expected_frame(folder, frame, return_y):
    cfg, features, records, _ = plain_folder(folder)
    return twin.preprocess(frame, cfg, records, features, return_y=return_y)


def expected_output(folder, csv, method):
    cfg, features, records, model = plain_folder(folder)
    df = twin.preprocess(pd.read_csv(csv), cfg, records, features, return_y=True)
    target = twin.colname_filter(cfg["Feature"]["TargetName"])
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return np.asarray(getattr(model, method)(twin.model_frame(df, target)))


def load(folder):
    reset_task_config()
    return tabular_incrml(folder)


def same_values(a, b):
    a, b = np.asarray(a), np.asarray(b)
    if a.shape != b.shape or a.dtype != b.dtype:
        return False
    if a.dtype.kind == "f":
        return bool(np.array_equal(np.isnan(a), np.isnan(b))
                    and (a[~np.isnan(a)].view(np.int64) == b[~np.isnan(b)].view(np.int64)).all())
    return bool(np.array_equal(a, b))


def assert_same_frame(got, want):
    assert list(got.columns) == list(want.columns)
    assert len(got) == len(want)
    for col in want.columns:
        a, b = got[col], want[col]
        assert a.dtype == b.dtype, (col, a.dtype, b.dtype)
        if b.dtype.kind == "f":
            assert same_values(a.to_numpy(), b.to_numpy()), col
        else:
            assert a.reset_index(drop=True).equals(b.reset_index(drop=True)), col


@pytest.mark.parametrize("return_y", [False, True])
@pytest.mark.parametrize("name", NAMES)
def test_preprocess(conformance, name, return_y, caplog):
    folder, csv = conformance[name]
    got = load(folder).preprocess(csv, return_y=return_y)
    assert_same_frame(got, expected_frame(folder, pd.read_csv(csv), return_y))
    # rows cut out of a frame keep or lose their row labels as the pipeline
    # does (a merged group statistic gives fresh ones); the scoring plan
    # serves every folder
    rows = pd.read_csv(csv).iloc[3:40]
    with caplog.at_level(logging.DEBUG, logger="brinvale.plan"):
        got = load(folder).preprocess(rows.copy(), return_y=return_y)
    assert [r.getMessage() for r in caplog.records if r.name == "brinvale.plan"] == []
    want = expected_frame(folder, rows.copy(), return_y)
    assert_same_frame(got, want)
    assert got.index.equals(want.index)


# learners whose predictions the native evaluator leaves to their own predict
OWN_PREDICT = {"lrl1", "lrl2", "kneighbor"}


@pytest.mark.parametrize("name", NAMES)
def test_predict(conformance, name, caplog):
    folder, csv = conformance[name]
    obj = load(folder)
    want = expected_output(folder, csv, "predict")
    assert same_values(obj.predict(csv), want)
    # a frame as the user reads it, and the same rows through a second call;
    # the scoring plan serves every folder whose learner the native
    # evaluator computes, and steps aside at once for the others
    with caplog.at_level(logging.DEBUG, logger="brinvale.plan"):
        assert same_values(obj.predict(pd.read_csv(csv)), want)
    reasons = [r.getMessage() for r in caplog.records if r.name == "brinvale.plan"]
    shape = next(s for s in SHAPES if s.name == name)
    if shape.learner in OWN_PREDICT:
        assert len(reasons) == 1 and "native evaluator does not serve the model (" in reasons[0]
    else:
        assert reasons == []


@pytest.mark.parametrize("name", CLASSIFIERS)
def test_predict_proba(conformance, name):
    folder, csv = conformance[name]
    got = load(folder).predict_proba(csv)
    assert got.ndim == 2
    assert same_values(got, expected_output(folder, csv, "predict_proba"))


@pytest.mark.parametrize("name", NAMES)
def test_training_and_validation_data(conformance, name):
    folder, csv = conformance[name]
    obj = load(folder)
    X_train, X_val, y_train, y_val = obj.get_train_validation_data(csv)
    assert len(X_train) + len(X_val) == len(pd.read_csv(csv))
    assert list(X_train.columns) == list(X_val.columns)
    features, labels = obj._validation_data()
    assert len(features) == len(labels) == len(pd.read_csv(os.path.join(folder, "automl", "val_res")))


def cli(*argv):
    from brinvale.__main__ import main

    reset_task_config()
    out = io.StringIO()
    with redirect_stdout(out):
        status = main([str(a) for a in argv])
    return status, out.getvalue()


@pytest.mark.parametrize("name", NAMES)
def test_command_line(conformance, name):
    folder, csv = conformance[name]
    shape = next(s for s in SHAPES if s.name == name)
    _, _, records, model = plain_folder(folder)
    status, text = cli("predict", folder, csv)
    assert status == 0
    got = pd.read_csv(io.StringIO(text))
    want = expected_output(folder, csv, "predict")
    target = sample.shape_target(shape)
    if shape.task != "regression" and target in records:
        want = records[target].inverse_transform(want.astype(int))
    expected = pd.read_csv(io.StringIO(pd.DataFrame({"prediction": want}).to_csv(index=False)))
    assert got["prediction"].equals(expected["prediction"])
    if shape.id_column:
        assert got["record_id"].equals(pd.read_csv(csv)["record_id"])
    if shape.task != "regression":
        status, text = cli("predict", folder, csv, "--proba")
        assert status == 0
        proba = pd.read_csv(io.StringIO(text)).drop(columns=["record_id"], errors="ignore")
        want = expected_output(folder, csv, "predict_proba")
        assert np.array_equal(proba.to_numpy(), pd.read_csv(io.StringIO(
            pd.DataFrame(want).to_csv(index=False))).to_numpy())


def test_the_space_is_covered():
    """Every learner, task, date frequency and form, group kind and operator
    of the registry is in some folder of the suite."""
    from brinvale import tavrin

    learners = {s.learner for s in SHAPES}
    assert learners >= {"lgbm", "xgboost", "xgb_limitdepth", "rf", "extra_tree", "lrl1", "lrl2",
                        "kneighbor", "histgb", "auto"}
    assert {s.task for s in SHAPES} == {"binary", "multiclass", "regression"}
    assert {s.time for s in SHAPES} >= {"YE", "MS", "W", "D"}
    assert len({s.time_format for s in SHAPES if s.time}) >= 5
    assert {s.group for s in SHAPES} >= {"text", "int", None}
    assert {s.id_column for s in SHAPES} >= {"text", "int", None}
    assert {s.automl_running for s in SHAPES} == {True, False}
    assert any(s.time and not s.time_in_model for s in SHAPES)
    assert any(s.percent for s in SHAPES) and any(s.ignore for s in SHAPES)
    used = {twin.split(n)[0] for s in SHAPES for n in sample.shape_features(s)}
    registry = {op["name"] for op in tavrin._operator_registry() if op["family"] != "calendar"}
    assert used == registry
    nested = [n for s in SHAPES for n in sample.shape_features(s) if n.count("###") >= 3]
    assert nested, "names nested three levels deep"


def test_missing_columns_are_the_inputs_a_date_folder_reads(conformance):
    # the model's DataTransformer derives year_observed ... from the date and
    # stddev labels its column in the ts_rank form: neither is an input column
    from brinvale.brinvale import _input_columns

    name = "penguins-multiclass-lgbm"
    folder, csv = conformance[name]
    obj = load(folder)
    needed = _input_columns(obj)
    assert "observed" in needed and "bill_length_mm" in needed
    assert not [c for c in needed if c.startswith(("year_", "dayofweek_", "ts_rank###"))]
    frame = pd.read_csv(csv).drop(columns=["observed", "bill_length_mm", "island"])
    with pytest.raises(KeyError) as e:
        obj.predict(frame)
    message = str(e.value)
    assert "lacks 3 columns" in message
    for column in ("'observed'", "'bill_length_mm'", "'island'"):
        assert column in message
    status, text = cli("info", folder)
    assert status == 0 and "  observed\n" in text and "year_observed\n" not in text.split("feature importances")[0]


def dask_frame(csv, npartitions=2):
    dd = pytest.importorskip("dask.dataframe")
    return dd.from_pandas(pd.read_csv(csv), npartitions=npartitions)


# Dask's rounds cost seconds per folder: every folder's model input, and the
# predictions of one folder per kind of learner
DASK_PREDICTED = ["penguins-multiclass-lgbm", "penguins-regression-xgboost", "breast_cancer-binary-lrl2",
                  "iris-multiclass-kneighbor", "diabetes-regression-histgb"]


@pytest.mark.parametrize("name", NAMES)
def test_dask_preprocess(conformance, name):
    """The same rows cut into partitions give the same model input."""
    dask = pytest.importorskip("dask")
    folder, csv = conformance[name]
    # each partition evaluated on its own (small ones are joined by default)
    with dask.config.set({"scheduler": "threads", "brinvale.partition-rows": 1}):
        frame = load(folder).preprocess(dask_frame(csv), return_y=True).compute()
    assert_same_frame(frame.reset_index(drop=True), expected_frame(folder, pd.read_csv(csv), True))


@pytest.mark.parametrize("name", DASK_PREDICTED)
def test_dask_predict(conformance, name):
    """Each partition's rows are scored by the model's own predict: linear
    models' BLAS sums differ in the last bit with the number of rows scored
    at once, so the expected values are the model's on the same partitions."""
    dask = pytest.importorskip("dask")
    folder, csv = conformance[name]
    shape = next(s for s in SHAPES if s.name == name)
    method = "predict" if shape.task == "regression" else "predict_proba"
    parts = dask_frame(csv)
    cfg, features, records, model = plain_folder(folder)
    target = twin.colname_filter(cfg["Feature"]["TargetName"])
    X = twin.model_frame(twin.preprocess(pd.read_csv(csv), cfg, records, features, return_y=True), target)
    cuts = list(parts.divisions[:-1]) + [len(X)]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        want = np.concatenate([np.asarray(getattr(model, method)(X.iloc[a:b])) for a, b in zip(cuts, cuts[1:])])
    with dask.config.set(scheduler="threads"):
        got = getattr(load(folder), method)(parts).compute()
    assert same_values(got, want)


def test_dask_reads_dates_as_the_whole_column_reads_them(conformance):
    # pandas infers a text date format from the column's first value: a
    # partition starting with 05/02/2019 must still read it day-first
    dask = pytest.importorskip("dask")
    folder, csv = conformance["penguins-regression-xgboost"]
    frame = pd.read_csv(csv)
    days = pd.date_range("2019-01-13", periods=len(frame), freq="D")
    frame["observed"] = days.strftime("%d/%m/%Y")
    cut = [0, 30, 111, 200, len(frame)]
    assert all(days[k].day <= 12 for k in cut[1:-1])
    dd = pytest.importorskip("dask.dataframe")
    parts = dd.from_pandas(frame, npartitions=1).repartition(divisions=cut[:-1] + [len(frame) - 1])
    with dask.config.set(scheduler="threads"):
        got = load(folder).preprocess(parts).compute()
    want = load(folder).preprocess(frame.copy())
    assert got["observed"].reset_index(drop=True).equals(want["observed"])
    assert (want["observed"].dt.day == days.day).all()
