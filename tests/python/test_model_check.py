"""Models from result folders are checked before their libraries see them.

LightGBM and XGBoost parse a booster's model natively while it is unpickled
and trust every size and index in it; scikit-learn's trees are trusted at
prediction.  Crafted models (wrong tree sizes, indices out of range, cycles,
disconnected nodes, mismatched array lengths) must be refused with a clear
error, genuine models of every learner must load and predict unchanged.

Cases that would crash or hang the interpreter if a check were missing run in
a child interpreter with a time-out."""

import copyreg
import io
import json
import os
import pickle
import re
import subprocess
import sys
import warnings
from pathlib import Path

import numpy as np
import pytest

import brinvale
import brinvale.brinvale as bv
from workbench_fixtures import folder_copy, load, sample_dirs  # noqa: F401

PACKAGE_PARENT = str(Path(brinvale.__file__).resolve().parents[1])


def safe_load(raw):
    return bv._ResultUnpickler(io.BytesIO(raw)).load()


class Restored:
    """Pickles as an instance of `cls` made without its constructor and
    restored from `state` (class, then state, as a booster's own pickle)."""

    def __init__(self, cls, state):
        self.cls, self.state = cls, state

    @property
    def __class__(self):  # what pickle compares with the class it is given
        return self.cls

    def __reduce__(self):
        return copyreg.__newobj__, (self.cls,), self.state


class Called:
    def __init__(self, func, *args):
        self.func, self.args = func, args

    def __reduce__(self):
        return self.func, self.args


def run_child(code, files, timeout=300):
    """Run `code` in a fresh interpreter with `files` (name -> bytes) in a
    folder named by its first argument; return its standard output."""
    import tempfile

    with tempfile.TemporaryDirectory() as folder:
        for name, data in files.items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)
        env = dict(os.environ, PYTHONPATH=PACKAGE_PARENT)
        done = subprocess.run(
            [sys.executable, "-X", "faulthandler", "-c", code, folder],
            capture_output=True, text=True, env=env, timeout=timeout,
        )
    assert done.returncode == 0, f"child ended with {done.returncode}\n{done.stdout}\n{done.stderr[-4000:]}"
    return done.stdout


# Loads every pickle of the folder through the restricted unpickler and, if it
# loads, predicts with it: one line per file.
CHILD_LOAD_AND_PREDICT = r"""
import io, os, sys, numpy as np
import brinvale.brinvale as bv
folder = sys.argv[1]
X = np.random.RandomState(0).rand(50, 3)
for name in sorted(os.listdir(folder)):
    with open(os.path.join(folder, name), "rb") as f:
        raw = f.read()
    try:
        obj = bv._ResultUnpickler(io.BytesIO(raw)).load()
    except Exception as e:
        print(f"{name}: refused: {type(e).__name__}: {e}", flush=True)
        continue
    print(f"{name}: loaded", flush=True)
    try:
        if hasattr(obj, "inplace_predict"):
            obj.inplace_predict(X)
        else:
            obj.predict(X)
        print(f"{name}: predicted", flush=True)
    except Exception as e:
        print(f"{name}: predict failed: {type(e).__name__}", flush=True)
"""


def outcomes(stdout):
    return dict(re.findall(r"^(\S+): (refused: .*|loaded)$", stdout, flags=re.M))


# ---------------------------------------------------------------- LightGBM


@pytest.fixture(scope="module")
def lgb_text():
    import lightgbm as lgb

    rng = np.random.RandomState(3)
    X = rng.rand(400, 3)
    X[:, 2] = rng.randint(0, 5, 400)
    X[rng.rand(400) < 0.1, 0] = np.nan
    y = ((X[:, 0] > 0.5) + (X[:, 2] > 2)).astype(int)
    params = {"objective": "multiclass", "num_class": 3, "num_leaves": 4, "verbose": -1,
              "min_data_in_leaf": 5, "min_data_per_group": 5, "cat_smooth": 1}
    return lgb.train(params, lgb.Dataset(X, y, categorical_feature=[2]), 2).model_to_string()


def lgb_pickle(text):
    import lightgbm as lgb

    return pickle.dumps(Restored(lgb.Booster, {"_handle": text, "pandas_categorical": None,
                                              "best_iteration": 0}))


def first_tree_line(text, key):
    """The `key=` line of Tree=0 and its offset."""
    start = text.index(f"\n{key}=", text.index("Tree=0")) + 1
    return text[start:text.index("\n", start)], start


def resized(text):
    """`text` with tree_sizes measured again from its tree blocks."""
    head, _, rest = text.partition("\nTree=0\n")
    trees, end, tail = ("Tree=0\n" + rest).partition("end of trees")
    blocks = re.findall(r"Tree=\d+\n.*?(?=Tree=\d+\n|\Z)", trees, flags=re.S)
    head = re.sub(r"tree_sizes=[\d ]*", "tree_sizes=" + " ".join(str(len(b)) for b in blocks), head)
    return head + "\n" + trees + end + tail


def set_tree_line(text, key, value):
    line, start = first_tree_line(text, key)
    return resized(text[:start] + f"{key}={value}" + text[start + len(line):])


def lgb_crafted(text):
    sizes_line = re.search(r"tree_sizes=([\d ]+)", text).group(1).split()
    bumped = " ".join([str(int(sizes_line[0]) + 1)] + sizes_line[1:])
    past_end = " ".join(sizes_line[:-1] + [str(int(sizes_line[-1]) + 10**6)])
    return {
        # the loader reads tree blocks at these offsets, past the text's end
        "tree_sizes_off_by_one": text.replace("tree_sizes=" + " ".join(sizes_line),
                                              "tree_sizes=" + bumped),
        "tree_sizes_past_end": text.replace("tree_sizes=" + " ".join(sizes_line),
                                            "tree_sizes=" + past_end),
        # prediction reads feature 3 of a three-feature row
        "split_feature_out_of_range": set_tree_line(text, "split_feature", "0 3 0"),
        "child_out_of_range": set_tree_line(text, "left_child", "1 7 -1"),
        "leaf_out_of_range": set_tree_line(text, "right_child", "-2 -3 -9"),
        # node 1 leads back to the root: prediction never ends
        "cycle": set_tree_line(text, "left_child", "1 0 -1"),
        # two children of one node name the same leaf; leaf 3 is unreachable
        "disconnected": set_tree_line(text, "right_child", "-2 -3 -3"),
        # the loader divides the tree count by this
        "zero_trees_per_iteration": text.replace("num_tree_per_iteration=3",
                                                 "num_tree_per_iteration=0"),
        # the loader indexes the first word of an empty objective
        "empty_objective": re.sub(r"objective=.*\n", "objective=\n", text, count=1),
        # softmax writes nine outputs into a row of three
        "objective_classes": text.replace("num_class:3", "num_class:9"),
        "truncated": text[: text.index("Tree=4") + 40],
        "category_set_out_of_range": set_tree_line(text, "threshold",
                                                   first_tree_line(text, "threshold")[0]
                                                   .split("=")[1].split()[0] + " 4 0.49"),
    }


def test_genuine_lightgbm_text_passes(lgb_text):
    bv._check_lightgbm_model(lgb_text)
    booster = safe_load(lgb_pickle(lgb_text))
    import lightgbm as lgb

    assert type(booster) is lgb.Booster
    X = np.random.RandomState(1).rand(30, 3)
    np.testing.assert_array_equal(booster.predict(X), lgb.Booster(model_str=lgb_text).predict(X))


def test_crafted_lightgbm_models_are_refused_before_loading(lgb_text):
    cases = lgb_crafted(lgb_text)
    files = {f"{name}.pkl": lgb_pickle(text) for name, text in cases.items()}
    got = outcomes(run_child(CHILD_LOAD_AND_PREDICT, files))
    for name in cases:
        result = got.get(f"{name}.pkl")
        assert result is not None and result.startswith("refused: UnpicklingError: refused the "
                                                        "LightGBM model"), (name, result)
    expected = {
        "tree_sizes_off_by_one": "tree_sizes do not match",
        "tree_sizes_past_end": "past the end",
        "split_feature_out_of_range": "split_feature",
        "child_out_of_range": "outside",
        "leaf_out_of_range": "outside",
        "cycle": "reached twice",
        "disconnected": "reached twice",
        "zero_trees_per_iteration": "num_tree_per_iteration",
        "empty_objective": "objective",
        "objective_classes": "num_class",
        "truncated": "past the end",
        "category_set_out_of_range": "category set",
    }
    for name, fragment in expected.items():
        assert fragment in got[f"{name}.pkl"], (name, got[f"{name}.pkl"])


def test_booster_state_must_be_model_text(lgb_text):
    import lightgbm as lgb

    for handle in (lgb_text.encode(), 42):
        with pytest.raises(pickle.UnpicklingError, match="not a str"):
            safe_load(pickle.dumps(Restored(lgb.Booster, {"_handle": handle})))
    # The older key is read when the newer one is absent.
    with pytest.raises(pickle.UnpicklingError, match="refused the LightGBM"):
        safe_load(pickle.dumps(Restored(lgb.Booster, {"handle": lgb_text.replace(
            "num_tree_per_iteration=3", "num_tree_per_iteration=0")})))
    # A NUL ends the text LightGBM reads: what follows cannot hide a bad model.
    cut = lgb_text.index("Tree=1")
    with pytest.raises(pickle.UnpicklingError, match="refused the LightGBM"):
        safe_load(lgb_pickle(lgb_text[:cut] + "\0" + lgb_text[cut:]))


def test_boosters_are_not_built_from_arguments_while_unpickling(tmp_path, lgb_text):
    import lightgbm as lgb
    import xgboost as xgb

    from lightgbm.engine import CVBooster

    model_file = tmp_path / "model.txt"
    model_file.write_text(lgb_text.replace("num_tree_per_iteration=3", "num_tree_per_iteration=0"))
    cv_file = tmp_path / "cv.json"
    cv_file.write_text(json.dumps({"boosters": [model_file.read_text()], "best_iteration": 1}))
    for call in (Called(lgb.Booster, None, None, str(model_file)),
                 Called(xgb.Booster, None, None, str(model_file)),
                 Called(CVBooster, str(cv_file))):
        # Refused by the admitted names already (boosters are only ever made
        # without arguments), or by the checked booster class if trusted.
        with pytest.raises(pickle.UnpicklingError,
                           match="restored from their checked state only|never do|not among"):
            safe_load(pickle.dumps(call))
    # The class method that loads a model file, reached through getattr.
    raw = (b"\x80\x04cbuiltins\ngetattr\n(clightgbm.basic\n_InnerPredictor\nVfrom_model_file\ntR"
           b"(V" + str(model_file).encode() + b"\n}tR.")
    with pytest.raises(pickle.UnpicklingError, match="load a model file|genuine result folders look up"):
        safe_load(raw)


def test_cross_validation_boosters_load_through_their_checked_boosters(lgb_text, monkeypatch):
    import lightgbm as lgb
    from lightgbm.engine import CVBooster

    # Not in genuine result folders: trusted here, its boosters still checked.
    monkeypatch.setattr(bv, "TRUSTED_PICKLE_GLOBALS",
                        bv.TRUSTED_PICKLE_GLOBALS | {"lightgbm.engine.CVBooster"})

    rng = np.random.RandomState(8)
    X = rng.rand(300, 3)
    y = (X[:, 0] > 0.5).astype(int)
    result = lgb.cv({"objective": "binary", "verbose": -1, "num_leaves": 4}, lgb.Dataset(X, y),
                    num_boost_round=3, nfold=3, return_cvbooster=True)
    cv = result["cvbooster"]
    loaded = safe_load(pickle.dumps(cv))
    assert type(loaded) is CVBooster and all(type(b) is lgb.Booster for b in loaded.boosters)
    for a, b in zip(loaded.predict(X), cv.predict(X)):
        np.testing.assert_array_equal(a, b)
    cv.boosters[1] = lgb.Booster(model_str=lgb_text)
    state = cv.__getstate__()
    bad = [pickle.loads(pickle.dumps(b)) for b in state["boosters"]]
    broken = Restored(CVBooster, {**state, "boosters": [
        Restored(lgb.Booster, {"_handle": lgb_text.replace("num_tree_per_iteration=3",
                                                           "num_tree_per_iteration=0")})] + bad})
    with pytest.raises(pickle.UnpicklingError, match="num_tree_per_iteration"):
        safe_load(pickle.dumps(broken))


@pytest.mark.parametrize(
    "params",
    [
        {"objective": "binary"},
        {"objective": "regression", "reg_sqrt": True},
        {"objective": "multiclassova", "num_class": 3},
        {"objective": "multiclass", "num_class": 3, "boosting": "rf", "bagging_freq": 1,
         "bagging_fraction": 0.5},
        {"objective": "regression", "linear_tree": True},
        {"objective": "poisson", "boosting": "dart"},
        {"objective": "cross_entropy"},
    ],
    ids=lambda p: "-".join(str(v) for v in p.values()),
)
def test_genuine_lightgbm_models_of_every_kind_load(params):
    import lightgbm as lgb

    rng = np.random.RandomState(5)
    X = rng.rand(300, 4)
    X[rng.rand(300) < 0.1, 1] = np.nan
    X[:, 3] = rng.randint(0, 6, 300)
    k = params.get("num_class", 2)
    y = (X[:, 0] * k).astype(int) if k > 2 else (X[:, 0] > 0.5).astype(float)
    booster = lgb.train({**params, "verbose": -1, "num_leaves": 6, "min_data_in_leaf": 5},
                        lgb.Dataset(X, y, categorical_feature=[3]), 4)
    loaded = safe_load(pickle.dumps(booster))
    np.testing.assert_array_equal(loaded.predict(X), booster.predict(X))


# ---------------------------------------------------------------- XGBoost


@pytest.fixture(scope="module")
def xgb_booster():
    import xgboost as xgb

    rng = np.random.RandomState(4)
    X = rng.rand(300, 3)
    y = (X[:, 0] * 3).astype(int)
    return xgb.train({"objective": "multi:softprob", "num_class": 3, "max_depth": 3, "nthread": 1},
                     xgb.DMatrix(X, label=y), 3)


def xgb_json_pickle(booster, edit=None):
    """The booster's pickle with its state as JSON text, after `edit(model)`."""
    import xgboost as xgb

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        model = json.loads(booster.save_raw("json"))
        config = json.loads(booster.save_config())
    if edit is not None:
        edit(model["learner"]["gradient_booster"]["model"])
    state = {"handle": bytearray(json.dumps({"Config": config, "Model": model}).encode())}
    return pickle.dumps(Restored(xgb.Booster, state))


def tree0(field, value):
    def edit(model):
        model["trees"][0][field] = value
    return edit


def xgb_crafted(booster):
    import xgboost as xgb

    raw = booster.__getstate__()["handle"]
    n = len(json.loads(booster.save_raw("json"))["learner"]["gradient_booster"]["model"]
             ["trees"][0]["left_children"])

    def info(model):
        model["tree_info"][0] = 7

    def drop_condition(model):
        model["trees"][0]["split_conditions"].pop()

    def huge_length(b):
        b = bytearray(b)
        b[3] = 0x7F
        return b

    return {
        "left_out_of_range": xgb_json_pickle(booster, tree0("left_children", [n + 5] + [-1] * (n - 1))),
        "cycle": xgb_json_pickle(booster, tree0("left_children", [0] + [-1] * (n - 1))),
        "feature_out_of_range": xgb_json_pickle(booster, tree0("split_indices", [99] * n)),
        "parent_out_of_range": xgb_json_pickle(booster, tree0("parents", [2147483647] + [10**6] * (n - 1))),
        "array_length": xgb_json_pickle(booster, drop_condition),
        "tree_info": xgb_json_pickle(booster, info),
        "ubjson_truncated": pickle.dumps(Restored(xgb.Booster, {"handle": bytearray(raw[: len(raw) // 2])})),
        "ubjson_huge_length": pickle.dumps(Restored(xgb.Booster, {"handle": huge_length(raw)})),
    }


def test_genuine_xgboost_state_passes_in_both_encodings(xgb_booster):
    X = np.random.RandomState(2).rand(40, 3)
    expected = xgb_booster.inplace_predict(X)
    for raw in (pickle.dumps(xgb_booster), xgb_json_pickle(xgb_booster)):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            loaded = safe_load(raw)
        np.testing.assert_array_equal(loaded.inplace_predict(X), expected)


def test_crafted_xgboost_models_are_refused_before_loading(xgb_booster):
    cases = xgb_crafted(xgb_booster)
    got = outcomes(run_child(CHILD_LOAD_AND_PREDICT, {f"{k}.pkl": v for k, v in cases.items()}))
    for name in cases:
        result = got.get(f"{name}.pkl")
        assert result is not None and result.startswith(
            "refused: UnpicklingError: refused the XGBoost model"), (name, result)
    assert "reached twice" in got["cycle.pkl"]
    assert "truncated" in got["ubjson_truncated.pkl"]


@pytest.mark.parametrize(
    "params",
    [
        {"objective": "binary:logistic"},
        {"objective": "reg:squarederror", "booster": "dart"},
        {"objective": "reg:squarederror", "booster": "gblinear"},
        {"objective": "multi:softprob", "num_class": 3, "tree_method": "hist",
         "multi_strategy": "multi_output_tree"},
        {"objective": "reg:squarederror", "categorical": True},
    ],
    ids=lambda p: "-".join(str(v) for v in p.values()),
)
def test_genuine_xgboost_models_of_every_kind_load(params):
    import pandas as pd
    import xgboost as xgb

    params = dict(params)
    categorical = params.pop("categorical", False)
    rng = np.random.RandomState(6)
    X = pd.DataFrame(rng.rand(300, 3), columns=["a", "b", "c"])
    y = (X["a"] * 3).astype(int)
    if categorical:
        X["c"] = pd.Categorical(rng.randint(0, 5, 300))
    if params["objective"] == "binary:logistic":
        y = (y > 1).astype(int)
    dm = xgb.DMatrix(X, label=y, enable_categorical=categorical)
    booster = xgb.train({**params, "max_depth": 3, "nthread": 1}, dm, 4)
    loaded = safe_load(pickle.dumps(booster))
    np.testing.assert_array_equal(loaded.predict(dm), booster.predict(dm))


# ---------------------------------------------------------------- scikit-learn and whole folders


@pytest.fixture
def tree_classifier():
    from sklearn.tree import DecisionTreeClassifier

    rng = np.random.RandomState(0)
    X = rng.rand(200, 4)
    return DecisionTreeClassifier(max_depth=3, random_state=0).fit(X, (X[:, 0] > 0.5).astype(int))


def tree_crafts():
    def cycle(t):
        t.children_left[1] = 0

    def child(t):
        t.children_right[0] = 10**6

    def feature(t):
        t.feature[0] = 9

    def count(t):
        t.node_count = t.capacity + 100

    def wider(t):
        t.n_features = 12
        t.feature[0] = 8  # within the tree's width, beyond the estimator's

    return {"cycle": cycle, "child": child, "feature": feature, "count": count, "wider": wider}


@pytest.mark.parametrize("craft", sorted(tree_crafts()))
def test_crafted_scikit_learn_trees_are_refused(tree_classifier, craft):
    tree_crafts()[craft](tree_classifier.tree_)
    loaded = safe_load(pickle.dumps(tree_classifier))
    with pytest.raises(pickle.UnpicklingError, match="refused the scikit-learn model"):
        bv._check_model_structure({"estimators": [loaded]})


def test_a_result_folder_with_a_crafted_model_is_refused(folder_copy, load, lgb_text):
    """The folder's own model, its booster's text corrupted, then loaded as a
    whole: the refusal names the problem."""
    ok = load("classification")
    booster = ok.model._trained_estimator._model._Booster
    text = booster.model_to_string()
    folder = folder_copy("classification")
    crafted = set_tree_line(text, "split_feature", " ".join(
        ["999"] * len(first_tree_line(text, "split_feature")[0].split("=")[1].split())))
    original = type(booster).__getstate__

    def bad_state(self):
        state = original(self)
        state["_handle"] = crafted
        return state

    type(booster).__getstate__ = bad_state
    try:
        raw = pickle.dumps(ok.model)
    finally:
        type(booster).__getstate__ = original
    (folder / "automl" / "result").write_bytes(raw)
    from workbench_fixtures import reset_task_config

    reset_task_config()
    with pytest.raises(pickle.UnpicklingError, match="split_feature"):
        bv.tabular_incrml(str(folder))


@pytest.mark.parametrize("learner", ["rf", "extra_tree", "lrl1", "xgb_limitdepth", "xgboost", "lgbm"])
def test_genuine_flaml_models_pass_the_whole_check(learner):
    from flaml import AutoML
    from sklearn.datasets import make_classification

    X, y = make_classification(n_samples=200, n_features=5, random_state=0)
    model = AutoML()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        model.fit(X, y, task="classification", estimator_list=[learner], max_iter=2, n_jobs=1,
                  verbose=0, seed=1)
    loaded = bv._check_model_structure(safe_load(pickle.dumps(model)))
    np.testing.assert_array_equal(loaded.predict_proba(X), model.predict_proba(X))
