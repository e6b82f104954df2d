"""Class methods and metaclass methods handed out by getattr while
unpickling: FLAML's AutoML.load_pickle unpickles a file without
restriction, LightGBM's and XGBoost's loaders read files, ABCMeta.register
changes a class.  getattr admits only the exact (class, attribute) pairs
genuine pickles look up, and what it returns is never called."""

import pytest

from pickle_craft import PROTOCOLS, Call, G, craft, refused_load

LOOKUPS = [
    ("flaml.automl.automl", "AutoML", "load_pickle"),
    ("flaml.automl.model", "LGBMEstimator", "register"),  # ABCMeta.register
    ("lightgbm.basic", "Booster", "model_from_string"),
    ("lightgbm.basic", "Booster", "save_model"),
    ("xgboost.core", "Booster", "load_model"),
    ("pandas", "DataFrame", "to_pickle"),
    ("flaml.automl.model", "LGBMEstimator", "_fit"),
]


@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize("module, cls, attr", LOOKUPS)
def test_methods_that_read_write_or_register_are_refused(tmp_path, module, cls, attr, protocol):
    marker = tmp_path / "ran"
    method = Call(G("builtins", "getattr"), G(module, cls), attr)
    err = refused_load(craft(Call(method, str(marker)), protocol))
    assert attr in str(err)
    assert not marker.exists()


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_an_admitted_lookup_is_never_called(protocol):
    # genuine pickles keep LGBMEstimator.size as a value; calling it is not theirs
    size = Call(G("builtins", "getattr"), G("flaml.automl.model", "LGBMEstimator"), "size")
    err = refused_load(craft(Call(size, {}), protocol))
    assert "LGBMEstimator.size" in str(err) and "as call" in str(err)


def test_a_qualified_class_method_name_is_refused_under_protocol_4():
    err = refused_load(craft(Call(G("flaml.automl.automl", "AutoML.load_pickle"), "x"), 4))
    assert "AutoML.load_pickle" in str(err)
