"""Qualified (dotted) names that walk from an admitted module through its
attributes to something else: refused under every protocol, by GLOBAL and
STACK_GLOBAL alike."""

import pytest

from pickle_craft import PROTOCOLS, Call, G, craft, refused_load

WALKS = [
    ("flaml.automl.model", "os.system"),
    ("xgboost.core", "os.system"),
    ("flaml.automl.automl", "logging.FileHandler"),
    ("pandas", "io.parsers.read_csv"),
    ("numpy", "lib.npyio.NpzFile"),
    ("lightgbm.basic", "json.loads"),
    ("pandas", "DataFrame.to_csv"),
    ("flaml.automl.model", "LGBMEstimator.size.__globals__"),
    ("flaml.automl.state", "AutoMLState._compute_with_config_base.__globals__"),
    ("flaml.tune.sample", "Float._Uniform.__init__"),
]


@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize("module, name", WALKS)
def test_attribute_walks_are_refused(tmp_path, module, name, protocol):
    marker = tmp_path / "ran"
    err = refused_load(craft(Call(G(module, name), f"touch {marker}"), protocol))
    assert f"{module}.{name}" in str(err)
    assert not marker.exists()


def test_a_walk_hidden_in_a_chain_of_getattr_is_refused(tmp_path):
    # getattr(getattr(LGBMEstimator, "size"), "__globals__")
    size = Call(G("builtins", "getattr"), G("flaml.automl.model", "LGBMEstimator"), "size")
    err = refused_load(craft(Call(G("builtins", "getattr"), size, "__globals__")))
    assert "__globals__" in str(err)
