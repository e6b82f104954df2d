"""Every tree learner FLAML offers (lgbm, xgboost, xgb_limitdepth, rf,
extra_tree, histgb), for binary, multiclass (text labels) and regression
tasks, behind FLAML's whole input transform (datetime parts and ordinals,
text and categorical columns pinned to the fitted categories, the median
imputer), is evaluated natively with outputs equal bit for bit to the
model's own predict and predict_proba: on frames with missing values,
infinities, extreme values, unseen texts, dates far from 1970 and single
rows.  Where the native path does not apply, the model's own predict
answers and a debug message on the "brinvale.model" logger names why."""

import logging
import pickle
import warnings

import numpy as np
import pandas as pd
import pytest

import brinvale.brinvale as bv

TREE_LEARNERS = ["lgbm", "xgboost", "xgb_limitdepth", "rf", "extra_tree", "histgb"]
TASKS = ["binary", "multiclass", "regression"]
COLOURS = ["red", "green", "blue", "grün", "__NAN__"]


def training_frame(rng, n):
    when = (pd.Timestamp("2019-03-01") + pd.to_timedelta(rng.integers(0, 900, n), "D")
            + pd.to_timedelta(rng.integers(0, 86400, n), "s"))
    df = pd.DataFrame({
        "a": rng.normal(0, 1, n),
        "b": rng.integers(-5, 20, n),
        "t": rng.choice(COLOURS[:4] + [None], n),
        "g": pd.Categorical(rng.choice(["p", "q", "r"], n), categories=["p", "q", "r", "s"]),
        "when": when,
        "flag": rng.random(n) > 0.4,
        "x": rng.exponential(2.0, n),
    })
    df.loc[rng.random(n) < 0.1, "a"] = np.nan
    df.loc[rng.random(n) < 0.08, "when"] = pd.NaT
    df.loc[rng.random(n) < 0.05, "x"] = np.nan
    return df


def labels(df, task, rng):
    score = (df["a"].fillna(0) + (df["t"] == "red") - 0.4 * (df["g"] == "q")
             + 0.002 * df["when"].dt.day_of_year.fillna(100) + 0.1 * df["b"]
             + rng.normal(0, 0.3, len(df)))
    if task == "regression":
        return score * 3.5
    if task == "binary":
        return np.where(score > score.median(), "yes", "no")
    return pd.cut(score, 3, labels=["low", "mid", "high"]).astype(str)


def awkward_frame(rng, n):
    """The training columns with what genuine new data brings: missing and
    extreme values, unseen and missing texts, dates far from the training
    range (before 1970, 1700, 2200) and at every time of day."""
    df = training_frame(rng, n)
    pick = rng.random(n)
    df.loc[pick < 0.05, "a"] = 1e300
    df.loc[(pick >= 0.05) & (pick < 0.08), "a"] = -1e300
    df.loc[(pick >= 0.08) & (pick < 0.1), "a"] = 1e-40
    df.loc[(pick >= 0.1) & (pick < 0.12), "a"] = -0.0
    df.loc[rng.random(n) < 0.05, "b"] = 2**40
    df.loc[rng.random(n) < 0.1, "t"] = rng.choice(["purple", "", "Red", "réd"], 1)[0]
    df.loc[rng.random(n) < 0.1, "t"] = None
    df["g"] = df["g"].cat.add_categories(["z"])
    df.loc[rng.random(n) < 0.05, "g"] = "z"
    df.loc[rng.random(n) < 0.05, "g"] = np.nan
    far = rng.random(n)
    df.loc[far < 0.04, "when"] = pd.Timestamp("1700-02-28 23:59:59")
    df.loc[(far >= 0.04) & (far < 0.08), "when"] = pd.Timestamp("2200-12-31 00:00:01")
    df.loc[(far >= 0.08) & (far < 0.12), "when"] = pd.Timestamp("1969-12-31 12:30:00")
    df.loc[(far >= 0.12) & (far < 0.15), "when"] = pd.NaT
    return df


def fit(learner, task, seed=3, frame=None, y=None):
    from flaml import AutoML

    rng = np.random.default_rng(seed)
    X = training_frame(rng, 400) if frame is None else frame
    y = labels(X, task, rng) if y is None else y
    model = AutoML()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        model.fit(X, y, task="regression" if task == "regression" else "classification",
                  estimator_list=[learner], max_iter=3, n_jobs=1, verbose=0, seed=seed)
    return model


MODELS = {}


def model_for(learner, task):
    if (learner, task) not in MODELS:
        MODELS[learner, task] = fit(learner, task)
    return MODELS[learner, task]


def outcome(fn):
    """What a call gives: its array, or the type and text of its error."""
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            value = fn()
        except Exception as e:  # noqa: BLE001 - compared, not swallowed
            return ("error", type(e), str(e)), [str(w.message) for w in caught]
    return ("ok", np.asarray(value)), [str(w.message) for w in caught]


def identical(a, b):
    """Equal arrays of the same dtype and shape, floats compared by their bits."""
    if a.dtype != b.dtype or a.shape != b.shape:
        return False
    if a.dtype.kind in "fiub":
        return a.tobytes() == b.tobytes()
    return np.array_equal(a, b)


def methods_of(task):
    return ["predict"] if task == "regression" else ["predict", "predict_proba"]


def check_same(model, X, method, expect_native=True):
    theirs, their_warnings = outcome(lambda: getattr(model, method)(X))
    native, our_warnings = outcome(lambda: bv._native_model_output(model, X, None, method))
    assert native[0] == "ok"
    if native[1].ndim == 0 and native[1].item() is None:
        assert not expect_native, "the native path was expected"
        return
    assert theirs[0] == "ok", theirs
    assert identical(native[1], theirs[1]), (method, native[1][:5], theirs[1][:5])
    # FLAML's warning about unseen values, word for word.
    assert [w for w in our_warnings if "unseen" in w] == [w for w in their_warnings
                                                          if "unseen" in w]


@pytest.mark.parametrize("task", TASKS)
@pytest.mark.parametrize("learner", TREE_LEARNERS)
def test_native_output_is_the_models_own(learner, task):
    model = model_for(learner, task)
    clean = training_frame(np.random.default_rng(21), 3000)
    for method in methods_of(task):
        check_same(model, clean, method)
    # Extreme values and unseen texts: forests cast to float32 and refuse the
    # values that overflow it, the model raising; everything else is native.
    awkward = awkward_frame(np.random.default_rng(22), 2000)
    forest = learner in ("rf", "extra_tree")
    for method in methods_of(task):
        check_same(model, awkward, method, expect_native=not forest)
        check_same(model, awkward.assign(a=awkward["a"].clip(-1e30, 1e30)), method)
    # One row at a time, as an online caller sends them.
    for i in (0, 7, 1999):
        for method in methods_of(task):
            check_same(model, awkward.iloc[[i]].assign(a=0.5), method)


@pytest.mark.parametrize("learner", TREE_LEARNERS)
def test_native_transform_is_flamls(learner):
    model = model_for(learner, "binary")
    for X in (training_frame(np.random.default_rng(31), 500),
              awkward_frame(np.random.default_rng(32), 500)):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            theirs = model._transformer.transform(X)
        expected = np.column_stack([
            theirs[c].cat.codes.to_numpy().astype(float) if isinstance(theirs[c].dtype, pd.CategoricalDtype)
            else theirs[c].to_numpy(dtype=float) for c in theirs.columns])
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            mine = bv._native_transform(model, X)
        assert mine is not None
        assert identical(mine, expected)


def test_many_rows_are_spread_over_threads():
    X = awkward_frame(np.random.default_rng(41), 150_000).assign(a=lambda d: d["a"].clip(-1e9, 1e9))
    for learner, task in (("xgboost", "multiclass"), ("rf", "binary"), ("histgb", "regression"),
                          ("lgbm", "multiclass")):
        model = model_for(learner, task)
        check_same(model, X, methods_of(task)[-1])


def test_text_columns_of_every_storage():
    model = model_for("xgboost", "multiclass")
    X = awkward_frame(np.random.default_rng(51), 800)
    for t in (X["t"].astype(object), X["t"].astype("str"), X["t"].astype(pd.StringDtype())):
        for method in ("predict", "predict_proba"):
            check_same(model, X.assign(t=t), method)


def test_the_target_column_is_left_out():
    model = model_for("histgb", "multiclass")
    X = awkward_frame(np.random.default_rng(61), 600).assign(a=0.25)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for method in ("predict", "predict_proba"):
            out = bv._native_model_output(model, X.assign(y=1), "y", method)
            assert identical(np.asarray(out), np.asarray(getattr(model, method)(X)))
        # A target named like a column the model reads leaves it a column short.
        assert bv._native_model_output(model, X, "when", "predict") is None


def test_a_reloaded_or_refitted_learner_is_read_again():
    model = model_for("rf", "binary")
    X = training_frame(np.random.default_rng(71), 300)
    first = bv._native_model_output(model, X, None, "predict_proba")
    twin = pickle.loads(pickle.dumps(model))
    inner = twin._trained_estimator._model
    inner.estimators_ = inner.estimators_[:1]
    assert identical(np.asarray(bv._native_model_output(twin, X, None, "predict_proba")),
                     twin.predict_proba(X))
    assert identical(np.asarray(bv._native_model_output(model, X, None, "predict_proba")), first)


# ---------------------------------------------------------------- fallbacks name their reason


def fallback_reason(caplog, model, X, method="predict"):
    caplog.clear()
    with caplog.at_level(logging.DEBUG, logger="brinvale.model"):
        out = bv._native_model_output(model, X, None, method)
    assert out is None
    reasons = [r.getMessage() for r in caplog.records if r.name == "brinvale.model"]
    assert len(reasons) == 1
    return reasons[0]


def test_every_fallback_names_its_reason(caplog):
    model = model_for("lgbm", "binary")
    X = training_frame(np.random.default_rng(81), 200)
    inf = X.copy()
    inf.loc[4, "x"] = np.inf
    cases = {
        "infinite input value": inf,
        "dtype Int64": X.astype({"b": "Int64"}),
        "not a naive datetime64": X.assign(when=X["when"].dt.tz_localize("UTC")),
        "holds values that are not text": X.assign(t=X["t"].astype(object).where(X.index != 3, 5)),
        "lacks the column 'x'": X.drop(columns=["x"]),
        "repeats the column label": pd.concat([X, X[["a"]]], axis=1),
        "is of dtype float64, which only the model's own transform reads": X.assign(t=1.5),
    }
    for fragment, frame in cases.items():
        reason = fallback_reason(caplog, model, frame)
        assert fragment in reason, (fragment, reason)

    lr = fit("lrl1", "binary")
    assert "LRL1Classifier is evaluated by its own predict" in fallback_reason(caplog, lr, X)

    old = pickle.loads(pickle.dumps(model))
    del old._transformer._ordinal_encoder
    assert "OrdinalEncoder" in fallback_reason(caplog, old, X)

    # LightGBM's own categories: one list per text column, or none at all
    # (then it takes the frame's, FLAML's pinned categories).
    twin = pickle.loads(pickle.dumps(model))
    booster = twin._trained_estimator._model._Booster
    booster.pandas_categorical = booster.pandas_categorical[:1]
    assert "LightGBM's categories do not match" in fallback_reason(caplog, twin, X)
    booster.pandas_categorical = None
    check_same(twin, X, "predict_proba")

    # A transform whose imputer works in float32 rounds its fill.
    rng = np.random.default_rng(82)
    f32 = pd.DataFrame({"u": rng.normal(size=300).astype(np.float32),
                        "v": rng.normal(size=300).astype(np.float32)})
    f32.loc[::7, "u"] = np.nan
    narrow = fit("xgboost", "regression", frame=f32, y=f32["v"] * 2.0 + 1.0)
    assert "statistics are not one float64" in fallback_reason(caplog, narrow, f32)
    wide = fit("xgboost", "regression", frame=f32.astype(float), y=f32["v"] * 2.0 + 1.0)
    assert "imputer works in float32" in fallback_reason(caplog, wide, f32)
    assert bv._native_model_output(wide, f32.astype({"u": float}), None, "predict") is not None

    reg = model_for("rf", "regression")
    assert "predict_proba of a model that is not a classifier" in fallback_reason(
        caplog, reg, X, "predict_proba")


# ---------------------------------------------------------------- the conformance folders


@pytest.fixture(scope="module")
def conformance_folders(tmp_path_factory):
    from brinvale import sample

    base = tmp_path_factory.mktemp("native-conformance")
    out = {}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for shape in sample.CONFORMANCE:
            folder = sample.build_folder(str(base / shape.name), shape)
            csv = sample.write_shape_csv(shape, str(base / f"{shape.name}.csv"))
            out[shape.name] = (shape, folder, csv)
    return out


def shaken(df, target, rng):
    """The model-form frame with missing and extreme numbers, missing and far
    dates: what new rows bring after the pipeline."""
    out = df.copy()
    n = len(out)
    for col in out.columns:
        if col == target:
            continue
        values = out[col]
        if values.dtype.kind == "f":
            pick = rng.random(n)
            values = values.where(pick >= 0.1, np.nan)
            values = values.where((pick < 0.1) | (pick >= 0.13), 1e30)
            values = values.where((pick < 0.13) | (pick >= 0.15), -1e-40)
            out[col] = values
        elif values.dtype.kind == "M":
            pick = rng.random(n)
            values = values.where(pick >= 0.1, pd.NaT)
            values = values.where((pick < 0.1) | (pick >= 0.15), pd.Timestamp("1801-07-04 06:07:08"))
            out[col] = values
    return out


def test_conformance_folders_predict_natively(conformance_folders):
    from brinvale.brinvale import tabular_incrml
    from workbench_fixtures import reset_task_config

    taken = set()
    for name, (shape, folder, csv) in conformance_folders.items():
        reset_task_config()
        obj = tabular_incrml(folder)
        model = obj.model
        target = obj.target_name
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            df = obj.preprocess(csv, return_y=True)
        tree = model.best_estimator in TREE_LEARNERS
        frames = [df, shaken(df, target, np.random.default_rng(len(name))), df.iloc[[len(df) // 2]]]
        for frame in frames:
            X = frame.drop(columns=[target], errors="ignore")
            for method in methods_of(shape.task):
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")
                    native = bv._native_model_output(model, frame, target, method)
                    theirs = np.asarray(getattr(model, method)(X))
                assert (native is not None) == tree, (name, method)
                if native is not None:
                    assert identical(np.asarray(native), theirs), (name, method)
                    taken.add(model.best_estimator)
    assert taken == set(TREE_LEARNERS)
