"""Models whose structure is sound can still break their library: LightGBM
dumps a tree (for SHAP) by recursion and overflows the stack on a deep one,
and the estimator's parameters reach native code at prediction (LightGBM
passes all of them to its predictor, thread counts start threads).  Trees
deeper than 1,000 levels, thread counts beyond 256, parameters naming files
and prediction early stopping that cannot run are refused on load."""

import json
import pickle
import re
import warnings

import numpy as np
import pandas as pd
import pytest

from limited_child import load_each

WIDTH = 3


def frame(n=300, seed=0):
    rng = np.random.RandomState(seed)
    return pd.DataFrame(rng.rand(n, WIDTH), columns=[f"f{i}" for i in range(WIDTH)])


def lgb_classifier(**params):
    import lightgbm as lgb

    X = frame()
    y = (X.f0 > 0.5).astype(int)
    return lgb.LGBMClassifier(n_estimators=3, num_leaves=4, verbose=-1, n_jobs=1,
                              **params).fit(X, y)


# ---------------------------------------------------------------- deep trees


def lgb_chain_text(depth):
    """A one-tree LightGBM model whose tree is `depth` splits one below the other."""
    import lightgbm as lgb

    X = frame()
    base = lgb.train({"objective": "regression", "num_leaves": 4, "verbose": -1},
                     lgb.Dataset(X, X.f0), 1).model_to_string()
    head, _, rest = base.partition("Tree=0\n")
    _, _, tail = rest.partition("end of trees")
    head = re.sub(r"tree_sizes=[\d ]*\n", "", head)

    def row(n, v):
        return " ".join([v] * n)

    d = depth
    block = "\n".join([
        "Tree=0", f"num_leaves={d + 1}", "num_cat=0", f"split_feature={row(d, '0')}",
        f"split_gain={row(d, '1')}", "threshold=" + " ".join(str(i / (d + 1)) for i in range(d)),
        f"decision_type={row(d, '2')}", "left_child=" + " ".join(str(~i) for i in range(d)),
        "right_child=" + " ".join([str(i + 1) for i in range(d - 1)] + [str(~d)]),
        f"leaf_value={row(d + 1, '0.5')}", f"leaf_weight={row(d + 1, '1')}",
        f"leaf_count={row(d + 1, '1')}", f"internal_value={row(d, '0')}",
        f"internal_weight={row(d, '1')}", f"internal_count={row(d, '2')}", "is_linear=0",
        "shrinkage=1", "", ""])
    return head + block + "\nend of trees" + tail


def lgb_booster_pickle(text):
    import lightgbm as lgb

    return pickle.dumps(lgb.Booster(model_str=text))


class _Restored:
    """Pickles as an instance of `cls` restored from `state`."""

    def __init__(self, cls, state):
        self.cls, self.state = cls, state

    @property
    def __class__(self):
        return self.cls

    def __reduce__(self):
        import copyreg

        return copyreg.__newobj__, (self.cls,), self.state


def xgb_state_pickle(edit_config=None, depth=None):
    import xgboost as xgb

    X = frame()
    booster = xgb.train({"objective": "reg:squarederror", "max_depth": 2, "nthread": 1},
                        xgb.DMatrix(X, label=X.f0), 1)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        model = json.loads(booster.save_raw("json"))
        config = json.loads(booster.save_config())
    if depth is not None:
        n = 2 * depth + 1
        left, right, parents = [-1] * n, [-1] * n, [2147483647] + [0] * (n - 1)
        for k in range(depth):
            node = 2 * k
            left[node], right[node] = node + 1, node + 2
            parents[node + 1] = parents[node + 2] = node
        tree = model["learner"]["gradient_booster"]["model"]["trees"][0]
        tree.update({
            "left_children": left, "right_children": right, "parents": parents,
            "split_indices": [0] * n, "split_conditions": [0.5] * n, "default_left": [0] * n,
            "split_type": [0] * n, "base_weights": [0.0] * n, "loss_changes": [0.0] * n,
            "sum_hessian": [1.0] * n, "categories": [], "categories_nodes": [],
            "categories_segments": [], "categories_sizes": []})
        tree["tree_param"]["num_nodes"] = str(n)
    if edit_config is not None:
        edit_config(config)
    state = {"handle": bytearray(json.dumps({"Config": config, "Model": model}).encode())}
    return pickle.dumps(_Restored(xgb.Booster, state))


def sklearn_chain_pickle(depth):
    """A fitted decision tree whose tree is `depth` splits one below the other."""
    from sklearn.tree import DecisionTreeRegressor
    from sklearn.tree._tree import Tree

    X = frame()
    est = DecisionTreeRegressor(max_depth=2, random_state=0).fit(X.to_numpy(), X.f0)
    t = est.tree_
    state = t.__getstate__()
    n = 2 * depth + 1
    nodes = np.zeros(n, dtype=state["nodes"].dtype)
    nodes["left_child"] = -1
    nodes["right_child"] = -1
    nodes["feature"] = -2
    nodes["n_node_samples"] = 1
    nodes["weighted_n_node_samples"] = 1.0
    for k in range(depth):
        node = 2 * k
        nodes[node]["left_child"], nodes[node]["right_child"] = node + 1, node + 2
        nodes[node]["feature"], nodes[node]["threshold"] = 0, 0.5 - k / (4 * depth)
    values = np.full((n,) + state["values"].shape[1:], 0.25)
    chain = Tree(t.n_features, np.asarray(t.n_classes), t.n_outputs)
    chain.__setstate__({**state, "max_depth": depth, "node_count": n, "nodes": nodes,
                        "values": values})
    est.tree_ = chain
    return pickle.dumps(est)


def test_trees_deeper_than_the_limit_are_refused_in_every_library():
    files = {
        "lightgbm_30000.pkl": lgb_booster_pickle(lgb_chain_text(30_000)),
        "lightgbm_1001.pkl": lgb_booster_pickle(lgb_chain_text(1001)),
        "xgboost_30000.pkl": xgb_state_pickle(depth=30_000),
        "sklearn_30000.pkl": sklearn_chain_pickle(30_000),
    }
    # LightGBM's dump is what SHAP reads; the others are explained the same way
    got = load_each(files, action="obj.dump_model() if hasattr(obj, 'dump_model') else None")
    for name in files:
        assert got[name].startswith("refused: UnpicklingError: refused the "), (name, got[name])
        assert "deeper than 1000 levels" in got[name], (name, got[name])


def test_trees_at_the_limit_load_and_predict():
    import io

    import brinvale.brinvale as bv

    X = frame(50, seed=1)
    for raw in (lgb_booster_pickle(lgb_chain_text(1000)), xgb_state_pickle(depth=1000),
                sklearn_chain_pickle(1000)):
        model = pickle.loads(raw)
        loaded = bv._check_model_structure(bv._ResultUnpickler(io.BytesIO(raw)).load())
        if hasattr(model, "inplace_predict"):
            np.testing.assert_array_equal(loaded.inplace_predict(X), model.inplace_predict(X))
        else:
            data = X if hasattr(model, "model_to_string") else X.to_numpy()
            np.testing.assert_array_equal(loaded.predict(data), model.predict(data))


# ---------------------------------------------------------------- parameters


def with_attrs(model, **attrs):
    for k, v in attrs.items():
        setattr(model, k, v)
    return model


def other_params(**params):
    m = lgb_classifier()
    m._other_params.update(params)
    return m


def xgb_threads(config):
    config["learner"]["generic_param"]["nthread"] = "100000"


def parameter_crafts():
    from sklearn.ensemble import RandomForestClassifier

    X = frame()
    forest = RandomForestClassifier(n_estimators=2, max_depth=2, random_state=0).fit(
        X, (X.f0 > 0.5).astype(int))
    return {
        # reaches LightGBM's predictor as num_threads: the process dies
        "lgbm_n_jobs": pickle.dumps(with_attrs(lgb_classifier(), n_jobs=100_000)),
        "lgbm_num_threads_alias": pickle.dumps(other_params(num_threads=100_000)),
        "lgbm_nthread_numpy": pickle.dumps(other_params(nthread=np.int64(10**6))),
        "lgbm_threads_not_an_integer": pickle.dumps(with_attrs(lgb_classifier(), n_jobs="8")),
        "lgbm_threads_float": pickle.dumps(with_attrs(lgb_classifier(), n_jobs=2.0)),
        "lgbm_huge_negative": pickle.dumps(with_attrs(lgb_classifier(), n_jobs=-(10**30))),
        "flaml_params": pickle.dumps(with_attrs(lgb_classifier(), params={"n_jobs": 100_000})),
        "forest_n_jobs": pickle.dumps(with_attrs(forest, n_jobs=100_000)),
        "xgboost_nthread": xgb_state_pickle(edit_config=xgb_threads),
        # files the library would open
        "lgbm_forced_splits": pickle.dumps(other_params(forcedsplits_filename="/etc/passwd")),
        "lgbm_forced_splits_alias": pickle.dumps(other_params(fs="/dev/zero")),
        "lgbm_init_model": pickle.dumps(with_attrs(lgb_classifier(),
                                                   params={"init_model": "model.txt"})),
        "lgbm_input_model": pickle.dumps(other_params(input_model="model.txt")),
        # prediction early stopping every 0 iterations
        "lgbm_early_stop_freq": pickle.dumps(other_params(pred_early_stop=True,
                                                          pred_early_stop_freq=0)),
        "lgbm_early_stop_margin": pickle.dumps(other_params(pred_early_stop=True,
                                                            pred_early_stop_margin=float("nan"))),
    }


def test_parameters_that_reach_native_code_are_refused():
    files = {f"{k}.pkl": v for k, v in parameter_crafts().items()}
    got = load_each(files, action="obj.inplace_predict(X) if hasattr(obj, 'inplace_predict') "
                                   "else obj.predict(X)")
    for name in files:
        assert got[name].startswith("refused: UnpicklingError: refused the "), (name, got[name])
    assert "n_jobs: 100000 threads exceed the limit of 256" in got["lgbm_n_jobs.pkl"]
    assert "num_threads" in got["lgbm_num_threads_alias.pkl"]
    assert "not an integer" in got["lgbm_threads_not_an_integer.pkl"]
    assert "out of range" in got["lgbm_huge_negative.pkl"]
    assert "forcedsplits_filename" in got["lgbm_forced_splits.pkl"]
    assert "init_model" in got["lgbm_init_model.pkl"]
    assert "nthread = 100000" in got["xgboost_nthread.pkl"]


@pytest.mark.parametrize("n_jobs", [None, -1, -256, 1, 4, 256])
def test_genuine_thread_counts_load_and_predict_the_same(n_jobs):
    import io

    import brinvale.brinvale as bv

    m = lgb_classifier()
    m.n_jobs = n_jobs
    m._other_params.update(pred_early_stop=False, pred_early_stop_freq=10,
                           pred_early_stop_margin=10.0)
    loaded = bv._check_model_structure(bv._ResultUnpickler(io.BytesIO(pickle.dumps(m))).load())
    X = frame(40, seed=2)
    np.testing.assert_array_equal(loaded.predict_proba(X), m.predict_proba(X))
