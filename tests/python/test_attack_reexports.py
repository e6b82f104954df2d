"""Standard-library callables re-exported by admitted modules, and getattr
reaching __globals__ or __builtins__: a name is admitted only under the
module its object says it belongs to, and getattr only for exact pairs."""

import io
import pickle

import pytest

import brinvale.brinvale as bv
from pickle_craft import PROTOCOLS, Call, G, craft, refused_load

REEXPORTS = [
    ("flaml.automl.model", "partial"),
    ("sklearn.compose._column_transformer", "partial"),
    ("flaml.automl.automl", "os"),
    ("lightgbm.basic", "json"),
    ("pandas", "eval"),
    ("numpy", "load"),
    ("pandas.core.api", "DataFrame"),  # the real class, under a name genuine pickles never use
]


@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize("module, name", REEXPORTS)
def test_reexported_names_are_refused(module, name, protocol):
    err = refused_load(craft(Call(G(module, name)), protocol))
    assert f"{module}.{name}" in str(err)


@pytest.mark.parametrize("attr", ["__globals__", "__builtins__", "__init__", "__dict__", "__call__",
                                  "__reduce_ex__", "mro", "__subclasses__"])
def test_getattr_of_dunder_attributes_is_refused(attr):
    raw = craft(Call(G("builtins", "getattr"), G("flaml.automl.model", "LGBMEstimator"), attr))
    assert attr in str(refused_load(raw))


def test_getattr_handed_out_while_unpickling_is_checked_too():
    from flaml.automl.model import LGBMEstimator

    unpickler = bv._ResultUnpickler(io.BytesIO(pickle.dumps(None)))
    checked = unpickler.find_class("builtins", "getattr")
    assert checked(LGBMEstimator, "size") == LGBMEstimator.size
    for obj, attr in [(LGBMEstimator, "__init__"), (LGBMEstimator, "__globals__"),
                      (LGBMEstimator.size, "__globals__"), (bv, "os"), (LGBMEstimator, 3)]:
        with pytest.raises(pickle.UnpicklingError):
            checked(obj, attr)
