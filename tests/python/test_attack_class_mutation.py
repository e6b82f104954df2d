"""A class changed while unpickling (BUILD, SETITEM or APPEND applied to a
global instead of an object the pickle built) would change every model in
the process: a trusted folder loaded earlier would predict garbage.  Such
streams are refused before anything is constructed."""

import pickle

import numpy as np
import pytest

from pickle_craft import PROTOCOLS, Build, Call, G, Get, Memo, craft, refused_load, write_payload
from workbench_fixtures import folder_copy, load, raw, reset_task_config, sample_dirs  # noqa: F401

LGBM = ("flaml.automl.model", "LGBMEstimator")


def payloads():
    cls = G(*LGBM)
    evil = {"predict": G("builtins", "print")}
    nested = Call(G("builtins", "getattr"), G("flaml.tune.sample", "Float"), "_Uniform")
    return {
        "build with slot state": Build(cls, (None, evil)),
        "build with a dict state": Build(cls, evil),
        "through the memo": [Memo(0, cls), Build(Get(0), (None, evil))],
        "on a class reached by getattr": Build(nested, (None, {"sample": None})),
        "on a class method": Build(Call(G("builtins", "getattr"), cls, "size"), (None, {"x": 1})),
    }


@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize("name", list(payloads()))
def test_changing_a_class_is_refused(name, protocol):
    err = refused_load(craft(payloads()[name], protocol))
    assert "changes the global" in str(err)


def test_setitem_and_append_on_a_class_are_refused():
    for tail in (b"NNs.", b"Na.", b"(Ne.", b"(Nu.", b"(N\x90."):
        raw = b"\x80\x02cflaml.automl.model\nLGBMEstimator\n" + tail
        refused_load(raw)


def test_copy_and_setattr_are_refused():
    cls = G(*LGBM)
    copied = Call(G("copy", "copy"), cls)
    refused_load(craft(Call(G("builtins", "setattr"), copied, "predict", G("builtins", "print"))))


def test_a_folder_loaded_earlier_still_predicts_the_same(load, folder_copy, raw):
    from flaml.automl.model import LGBMEstimator

    trusted = load("classification")
    before = trusted.predict(raw.copy())
    predict = LGBMEstimator.predict
    crafted = folder_copy()
    write_payload(crafted, craft(Build(G(*LGBM), (None, {"predict": G("builtins", "print")}))))
    reset_task_config()
    with pytest.raises(pickle.UnpicklingError):
        type(trusted)(str(crafted))
    assert LGBMEstimator.predict is predict
    np.testing.assert_array_equal(trusted.predict(raw.copy()), before)
