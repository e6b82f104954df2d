"""`predict` and `predict_proba` hand a model-form frame to the native
evaluator when the model is one it reproduces (a FLAML AutoML with a tree
learner; LightGBM's own arithmetic is checked here in depth, every learner
behind FLAML's whole transform in test_model_native.py), and to the model's
own predict otherwise.  Either way the output is bit-identical to the model's
own predict, probabilities included, for every learner."""

import warnings

import numpy as np
import pandas as pd
import pytest

import brinvale.brinvale as bv
from brinvale.brinvale import tabular_incrml
from workbench_fixtures import load, raw, sample_dirs  # noqa: F401

# ---------------------------------------------------------------- the evaluator against LightGBM


def awkward_rows(rng, n, n_features, categorical=None):
    """Values that exercise every missing-value rule: NaN, exact zeros, values
    within LightGBM's zero threshold, huge values, negative categories."""
    X = rng.normal(0, 1, (n, n_features))
    pick = rng.random((n, n_features))
    X[pick < 0.08] = np.nan
    X[(pick >= 0.08) & (pick < 0.14)] = 0.0
    X[(pick >= 0.14) & (pick < 0.17)] = 1e-36
    X[(pick >= 0.17) & (pick < 0.19)] = -1e-36
    X[(pick >= 0.19) & (pick < 0.2)] = 1e300
    if categorical is not None:
        cats = rng.integers(-1, 12, n).astype(float)
        cats[rng.random(n) < 0.05] = np.nan
        cats[rng.random(n) < 0.02] = 3e9
        X[:, categorical] = cats
    return X


MODELS = [
    ("binary", {"objective": "binary"}),
    ("binary_sigmoid", {"objective": "binary", "sigmoid": 0.7}),
    ("multiclass", {"objective": "multiclass", "num_class": 4}),
    ("multiclassova", {"objective": "multiclassova", "num_class": 3}),
    ("regression", {"objective": "regression"}),
    ("regression_sqrt", {"objective": "regression", "reg_sqrt": True}),
    ("huber", {"objective": "huber"}),
    ("poisson", {"objective": "poisson"}),
    ("xentropy", {"objective": "cross_entropy"}),
    ("xentlambda", {"objective": "cross_entropy_lambda"}),
    ("rf", {"objective": "binary", "boosting": "rf", "bagging_freq": 1, "bagging_fraction": 0.6}),
    ("dart", {"objective": "multiclass", "num_class": 3, "boosting": "dart"}),
    ("zero_as_missing", {"objective": "regression", "zero_as_missing": True}),
    ("no_missing", {"objective": "regression", "use_missing": False}),
    ("categorical", {"objective": "multiclass", "num_class": 3, "categorical": True}),
]


def train(params, rng, n=2000, n_features=5):
    import lightgbm as lgb

    params = dict(params)
    categorical = params.pop("categorical", False)
    X = awkward_rows(rng, n, n_features, categorical=2 if categorical else None)
    signal = np.nan_to_num(X[:, 0]) + 0.5 * np.nan_to_num(X[:, 1] > 0)
    objective = params["objective"]
    if objective in ("multiclass", "multiclassova"):
        y = np.digitize(signal, np.quantile(signal, np.linspace(0, 1, params["num_class"] + 1)[1:-1]))
    elif objective in ("binary", "cross_entropy", "cross_entropy_lambda"):
        y = (signal > np.median(signal)).astype(float)
    elif objective == "poisson":
        y = rng.poisson(np.exp(np.clip(signal, -2, 2)))
    else:
        y = signal + rng.normal(0, 0.1, n)
    data = lgb.Dataset(X, y, categorical_feature=[2] if categorical else "auto")
    booster = lgb.train({**params, "verbose": -1, "num_leaves": 15, "min_data_in_leaf": 5,
                         "seed": 3, "deterministic": True, "num_threads": 1}, data, 12)
    return booster, n_features


@pytest.mark.parametrize("name,params", MODELS, ids=[m[0] for m in MODELS])
def test_native_trees_equal_lightgbm_bit_for_bit(name, params):
    rng = np.random.default_rng(11)
    booster, n_features = train(params, rng)
    X = awkward_rows(np.random.default_rng(12), 5000, n_features,
                     categorical=2 if params.get("categorical") else None)
    for raw_score in (False, True):
        expected = booster.predict(X, raw_score=raw_score)
        got = bv._lightgbm_predict(booster, X, raw_score)
        assert np.array_equal(got.reshape(expected.shape), expected, equal_nan=True), name
    # Fewer iterations than the model holds, as for an early-stopped model.
    expected = booster.predict(X, num_iteration=5)
    assert np.array_equal(bv._lightgbm_predict(booster, X, False, 5).reshape(expected.shape), expected)
    # Columns read with a stride (a Fortran-ordered block).
    assert np.array_equal(bv._lightgbm_predict(booster, np.asfortranarray(X)),
                          bv._lightgbm_predict(booster, X))


# ---------------------------------------------------------------- whole models through the workbench


def frame(rng, n, nan_share=0.1):
    df = pd.DataFrame({
        "a": rng.normal(0, 1, n),
        "b": rng.normal(5, 2, n),
        "c": rng.integers(0, 7, n),          # integer codes, as encoded text columns
        "d": rng.random(n) > 0.5,            # bool
        "e": rng.exponential(1.0, n),
        "f": rng.integers(-3, 3, n).astype(np.int32),
    })
    for col in ("a", "b", "e"):
        df.loc[rng.random(n) < nan_share, col] = np.nan
    return df


def labels(df, kind):
    score = df["a"].fillna(0) + 0.3 * df["c"] - df["d"] + 0.2 * df["e"].fillna(1)
    if kind == "regression":
        return score * 10
    if kind == "binary":
        return np.where(score > score.median(), "yes", "no")
    return pd.cut(score, 3, labels=["low", "mid", "high"]).astype(str)


def fitted(learner, kind, seed=1):
    from flaml import AutoML

    rng = np.random.default_rng(seed)
    X = frame(rng, 600)
    y = labels(X, kind)
    model = AutoML()
    task = "regression" if kind == "regression" else "classification"
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        model.fit(X, y, task=task, estimator_list=[learner], max_iter=3, n_jobs=1, verbose=0,
                  seed=seed)
    return model


def workbench(model, target="y"):
    obj = tabular_incrml.__new__(tabular_incrml)
    obj.model = model
    obj.target_name = target
    return obj


LEARNERS = [("lgbm", "multiclass"), ("lgbm", "binary"), ("lgbm", "regression"),
            ("xgboost", "multiclass"), ("xgb_limitdepth", "binary"), ("rf", "multiclass"),
            ("extra_tree", "regression"), ("lrl1", "binary")]


@pytest.mark.parametrize("learner,kind", LEARNERS, ids=[f"{learner}-{kind}" for learner, kind in LEARNERS])
def test_every_learner_predicts_as_its_own_model(learner, kind):
    model = fitted(learner, kind)
    obj = workbench(model)
    X = frame(np.random.default_rng(99), 4000, nan_share=0.15)
    native = bv._native_model_output(model, X, "y", "predict")
    assert (native is not None) == (learner != "lrl1")
    methods = ["predict"] if kind == "regression" else ["predict", "predict_proba"]
    for method in methods:
        ours = getattr(obj, method)(X)
        theirs = np.array(getattr(model, method)(X))
        assert ours.dtype == theirs.dtype and ours.shape == theirs.shape
        assert np.array_equal(ours, theirs), (learner, kind, method)
        # a target column beside the model's columns is left out
        if native is not None:
            with_target = bv._native_model_output(model, X.assign(y=0), "y", method)
            assert np.array_equal(np.array(with_target), theirs)
    # one row at a time, as an online caller would
    for i in (0, 17, 3999):
        row = X.iloc[[i]]
        for method in methods:
            assert np.array_equal(getattr(obj, method)(row), np.array(getattr(model, method)(row)))


@pytest.fixture(scope="module")
def lgbm_model():
    return fitted("lgbm", "multiclass", seed=4)


def ours(model, X, method, target=None):
    """What the workbench's predict gives for a model-form frame: the native
    output, or the model's own when there is none."""
    if X.shape[1] == len(model.feature_names_in_) and target is None:
        return getattr(workbench(model), method)(X)
    out = bv._native_model_output(model, X, target, method)
    return np.array(getattr(model, method)(X) if out is None else out)


def same_as_model(model, X, method="predict_proba"):
    return np.array_equal(ours(model, X, method), np.array(getattr(model, method)(X)))


def test_frames_it_does_not_read_go_to_the_model(lgbm_model):
    rng = np.random.default_rng(5)
    X = frame(rng, 300)
    # A float32 column beside float64 ones is imputed in float64: exact.
    narrow = X.astype({"b": np.float32})
    assert bv._native_model_output(lgbm_model, narrow, None, "predict") is not None
    assert same_as_model(lgbm_model, narrow) and same_as_model(lgbm_model, narrow, "predict")
    fallbacks = {
        "nullable integers": X.astype({"c": "Int64"}),
        "object column": X.astype({"a": object}),
    }
    for name, df in fallbacks.items():
        assert bv._native_model_output(lgbm_model, df, None, "predict") is None, name
        assert same_as_model(lgbm_model, df), name
    # Columns in another order, and columns the model does not read.
    shuffled = X[list(reversed(X.columns))].assign(extra=1.5)
    assert bv._native_model_output(lgbm_model, shuffled, None, "predict") is not None
    assert same_as_model(lgbm_model, shuffled)
    assert same_as_model(lgbm_model, shuffled, "predict")
    # Duplicate labels: pandas hands the model two columns named alike.
    twice = pd.concat([X, X[["a"]]], axis=1)
    assert bv._native_model_output(lgbm_model, twice, None, "predict") is None


def test_the_models_own_errors_are_kept(lgbm_model):
    X = frame(np.random.default_rng(6), 200)
    with_inf = X.copy()
    with_inf.loc[3, "a"] = np.inf
    with pytest.raises(ValueError) as native:
        workbench(lgbm_model).predict(with_inf)
    with pytest.raises(ValueError) as own:
        lgbm_model.predict(with_inf)
    assert str(native.value) == str(own.value)
    with pytest.raises(KeyError):
        workbench(lgbm_model).predict(X.drop(columns=["b"]).assign(z=1.0))
    # A target named like a model column is left out before the model sees
    # the frame, which leaves the model a column short: no native output.
    assert bv._native_model_output(lgbm_model, X, "a", "predict") is None


def test_model_settings_that_change_the_output_are_honoured(lgbm_model):
    X = frame(np.random.default_rng(7), 500)
    booster = lgbm_model._trained_estimator._model._Booster
    saved = booster.best_iteration
    try:
        booster.best_iteration = 2  # as after early stopping
        assert bv._native_model_output(lgbm_model, X, None, "predict") is not None
        assert same_as_model(lgbm_model, X) and same_as_model(lgbm_model, X, "predict")
    finally:
        booster.best_iteration = saved
    inner = lgbm_model._trained_estimator._model
    inner._other_params["pred_early_stop"] = True
    try:
        assert bv._native_model_output(lgbm_model, X, None, "predict") is None
    finally:
        del inner._other_params["pred_early_stop"]
    # A refitted booster is read again, not taken from the cache.
    before = bv._native_model_output(lgbm_model, X, None, "predict_proba")
    import lightgbm as lgb

    inner._Booster = lgb.Booster(model_str=booster.model_to_string(num_iteration=1))
    try:
        after = bv._native_model_output(lgbm_model, X, None, "predict_proba")
        assert not np.array_equal(before, after)
        assert np.array_equal(after, lgbm_model.predict_proba(X))
    finally:
        inner._Booster = booster


def test_categorical_and_date_transforms_are_native():
    from flaml import AutoML

    rng = np.random.default_rng(8)
    X = frame(rng, 400)
    X["g"] = pd.Categorical(rng.choice(["p", "q", "r", None], 400))
    X["when"] = pd.to_datetime("2024-01-01") + pd.to_timedelta(rng.integers(0, 900, 400), "D")
    y = labels(X, "binary")
    model = AutoML()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        model.fit(X, y, task="classification", estimator_list=["lgbm"], max_iter=2, n_jobs=1,
                  verbose=0, seed=2)
    assert bv._native_model_output(model, X, None, "predict") is not None
    assert same_as_model(model, X) and same_as_model(model, X, "predict")


def test_many_rows_across_threads(lgbm_model):
    X = frame(np.random.default_rng(9), 120_000, nan_share=0.2)
    assert same_as_model(lgbm_model, X)
    assert same_as_model(lgbm_model, X, "predict")


def test_sample_folder_predicts_as_the_model_on_its_pipeline(load, raw):
    obj = load("classification")
    df = obj.preprocess(raw.copy(), return_y=True)
    model_input = df.drop(columns=[obj.target_name])
    assert bv._native_model_output(obj.model, df, obj.target_name, "predict") is not None
    for method in ("predict", "predict_proba"):
        assert np.array_equal(getattr(obj, method)(raw.copy()),
                              np.array(getattr(obj.model, method)(model_input)))
