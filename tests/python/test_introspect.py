import pytest

from workbench_fixtures import load, sample_dirs  # noqa: F401


class FakeModel:
    best_estimator = "lgbm"

    def __init__(self, config):
        self.best_config = config


@pytest.mark.parametrize(
    "config, expected",
    [
        ({"log_max_bin": 8, "a": 1}, {"a": 1, "max_bin": 255}),
        ({"max_leaves": 31}, {"max_leaf_nodes": 31}),
        ({"max_leaves": 31, "max_leaf_nodes": 7}, {"max_leaf_nodes": 7}),
        ({"n_estimators": 4}, {"n_estimators": 4}),
    ],
)
def test_configuration_renames(load, config, expected):
    obj = load("classification")
    obj.model = FakeModel(config)
    first = obj.obtain_model_configuration()
    assert first == {"model_type": "lgbm", "model_params": expected, "task": "classification"}
    assert list(first) == ["model_type", "model_params", "task"]
    assert first["model_params"] is config
    assert obj.obtain_model_configuration() == first


def test_non_integer_log_max_bin(load):
    obj = load("classification")
    obj.model = FakeModel({"log_max_bin": 8.0})
    with pytest.raises(TypeError):
        obj.obtain_model_configuration()


def test_feature_importance(load):
    obj = load("regression")
    pairs = obj.get_feature_importance()
    assert isinstance(pairs, tuple)
    assert [p[0] for p in pairs] == list(obj.model.feature_names_in_)
    assert [p[1] for p in pairs] == list(obj.model.feature_importances_)
    obj.model = type("M", (), {"feature_names_in_": ["a", "b", "c"],
                               "feature_importances_": [3, 2, 1, 0]})()
    assert obj.get_feature_importance() == (("a", 3), ("b", 2), ("c", 1))
