"""Histogram gradient boosting keeps each tree as an array of node records
that its predictor walks without bounds or cycle checks: crafted nodes read
outside the input, the category bitsets or the node array itself, or never
reach a leaf.  Every tree predictor is checked against the estimator that
owns it before anything predicts with it."""

import pickle

import numpy as np
import pandas as pd
import pytest

from limited_child import load_each

WIDTH = 3


def fitted(task="classification", max_leaf_nodes=6):
    from sklearn.ensemble import HistGradientBoostingClassifier, HistGradientBoostingRegressor

    rng = np.random.RandomState(0)
    X = pd.DataFrame(rng.rand(300, WIDTH), columns=[f"f{i}" for i in range(WIDTH)])
    if task == "classification":
        y = ((X.f0 > 0.5) ^ (X.f2 > 0.5)).astype(int)
        cls = HistGradientBoostingClassifier
    else:
        y = X.f0 * 2 + X.f1
        cls = HistGradientBoostingRegressor
    return cls(max_iter=3, max_leaf_nodes=max_leaf_nodes, random_state=0).fit(X, y)


def first_split(nodes):
    return int(np.flatnonzero(nodes["is_leaf"] == 0)[0])


def chain_nodes(template, depth):
    """A tree of `depth` splits one below the other, in the records' dtype."""
    nodes = np.zeros(2 * depth + 1, dtype=template.dtype)
    for i in range(depth):
        nodes[i]["left"] = depth + i  # a leaf
        nodes[i]["right"] = i + 1 if i + 1 < depth else 2 * depth
        nodes[i]["num_threshold"] = i / depth
        nodes[i]["depth"] = i
    nodes["is_leaf"][depth:] = 1
    nodes["value"][depth:] = 0.25
    return nodes


def crafts():
    def cycle(m, p):
        k = first_split(p.nodes)
        p.nodes[p.nodes[k]["left"]]["is_leaf"] = 0
        p.nodes[p.nodes[k]["left"]]["left"] = 0  # back to the root: the walk never ends

    def child_past_the_nodes(m, p):
        p.nodes[first_split(p.nodes)]["right"] = 10**9

    def feature_past_the_input(m, p):
        p.nodes[first_split(p.nodes)]["feature_idx"] = 10**9

    def negative_feature(m, p):
        p.nodes[first_split(p.nodes)]["feature_idx"] = -(10**9)

    def shared_node(m, p):
        k = first_split(p.nodes)
        p.nodes[k]["right"] = p.nodes[k]["left"]

    def no_nodes(m, p):
        p.nodes = p.nodes[:0]

    def categorical_bitset_past_the_end(m, p):
        k = first_split(p.nodes)
        p.nodes[k]["is_categorical"] = 1
        p.nodes[k]["bitset_idx"] = 10**9

    def categorical_split_on_a_numeric_feature(m, p):
        # a bitset the tree holds, but the model knows no categories for the
        # feature: the known-category bitsets have no row for it
        k = first_split(p.nodes)
        p.nodes[k]["is_categorical"] = 1
        p.nodes[k]["bitset_idx"] = 0
        p.raw_left_cat_bitsets = np.zeros((1, 8), dtype=np.uint32)
        p.binned_left_cat_bitsets = np.zeros((1, 8), dtype=np.uint32)

    def short_bitset_rows(m, p):
        # the predictor reads word val // 32 < 8 of a row
        m._bin_mapper.is_categorical_ = np.ones(WIDTH, dtype=np.uint8)
        k = first_split(p.nodes)
        p.nodes[k]["is_categorical"] = 1
        p.nodes[k]["bitset_idx"] = 0
        p.raw_left_cat_bitsets = np.zeros((1, 1), dtype=np.uint32)
        p.binned_left_cat_bitsets = np.zeros((1, 1), dtype=np.uint32)

    def nodes_in_two_dimensions(m, p):
        # the records' own dtype passes scikit-learn's restore unchanged
        p.nodes = np.ascontiguousarray(p.nodes.reshape(1, -1))

    def too_deep(m, p):
        p.nodes = chain_nodes(p.nodes, 1001)

    def predictor_outside_the_estimator(m, p):
        m.stray = type(p)(p.nodes, p.binned_left_cat_bitsets, p.raw_left_cat_bitsets)
        m.stray.nodes = m.stray.nodes.copy()
        m.stray.nodes[first_split(p.nodes)]["left"] = 10**9

    def stored_in_training(m, p):
        m._in_fit = True

    return {f.__name__: f for f in (
        cycle, child_past_the_nodes, feature_past_the_input, negative_feature, shared_node,
        no_nodes, categorical_bitset_past_the_end, categorical_split_on_a_numeric_feature,
        short_bitset_rows, nodes_in_two_dimensions, too_deep, predictor_outside_the_estimator,
        stored_in_training)}


def test_crafted_tree_predictors_are_refused_before_predicting():
    files = {}
    for name, craft in crafts().items():
        m = fitted()
        craft(m, m._predictors[1][0])
        files[f"{name}.pkl"] = pickle.dumps(m)
    got = load_each(files)
    for name in crafts():
        result = got.get(f"{name}.pkl", "")
        assert result.startswith("refused: UnpicklingError: refused the scikit-learn model: "), (
            name, result)
    assert "reached twice" in got["cycle.pkl"]
    assert "deeper than 1000 levels" in got["too_deep.pkl"]
    assert "outside any estimator" in got["predictor_outside_the_estimator.pkl"]
    assert "feature 1000000000 of 3" in got["feature_past_the_input.pkl"]
    assert "does not treat it as categorical" in got["categorical_split_on_a_numeric_feature.pkl"]


def test_a_predictor_shared_with_a_narrower_estimator_is_checked_against_it():
    # Within the width of the first estimator, past that of the second one.
    wide, narrow = fitted(), fitted()
    shared = wide._predictors[0][0]
    shared.nodes[first_split(shared.nodes)]["feature_idx"] = WIDTH - 1
    narrow.n_features_in_ = WIDTH - 1
    narrow._predictors[0][0] = shared
    got = load_each({"pair.pkl": pickle.dumps([wide, narrow])}, action="obj[0].predict(X)")
    assert got["pair.pkl"].startswith("refused: UnpicklingError:"), got
    assert "of 2" in got["pair.pkl"]


@pytest.mark.parametrize("task", ["classification", "regression"])
def test_genuine_histogram_models_load_and_predict_the_same(task):
    import io

    import brinvale.brinvale as bv

    m = fitted(task, max_leaf_nodes=31)
    deep = fitted(task)
    # a tree as deep as any model may be still loads
    deep._predictors[0][0].nodes = chain_nodes(deep._predictors[0][0].nodes, 1000)
    X = pd.DataFrame(np.random.RandomState(1).rand(50, WIDTH), columns=[f"f{i}" for i in range(WIDTH)])
    for model in (m, deep):
        loaded = bv._check_model_structure(bv._ResultUnpickler(io.BytesIO(pickle.dumps(model))).load())
        np.testing.assert_array_equal(loaded.predict(X), model.predict(X))
