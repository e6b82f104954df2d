"""Callables stored inside admitted objects, to run later: a partial whose
function is swapped through its state, a defaultdict whose factory runs on
a missing record, a scikit-learn Pipeline with a FunctionTransformer
slipped in as the inner estimator, an NpzFile record that unpickles when
read, objects a library builds while unpickling.  Nothing outside the
table may be found anywhere inside what was loaded."""

import collections
import io
import os
import pickle

import numpy as np
import pytest

import brinvale.brinvale as bv
from pickle_craft import Build, Call, G, New, craft, refused_load, write_payload
from workbench_fixtures import folder_copy, reset_task_config, sample_dirs  # noqa: F401

MARKER = os.path.join(os.path.dirname(__file__), "never-written-by-a-payload")


def write_marker(x):
    with open(MARKER, "w") as f:
        f.write("ran")
    return x


def test_partial_with_its_function_swapped_is_refused():
    genuine = G("flaml.automl.state", "AutoMLState._compute_with_config_base")
    swapped = Build(Call(G("functools", "partial"), genuine),
                    (G("posix", "system"), (f"touch {MARKER}",), {}, None))
    err = refused_load(craft(swapped))
    assert "posix.system" in str(err)
    assert not os.path.exists(MARKER)


def test_partial_of_an_admitted_class_used_outside_its_use_is_refused():
    # DataFrame is admitted only as instantiated without __init__
    swapped = Build(Call(G("functools", "partial"), G("numpy", "ndarray")),
                    (G("pandas", "DataFrame"), (), {}, None))
    assert "pandas.DataFrame" in str(refused_load(craft(swapped)))


def test_a_defaultdict_as_the_record_dictionary_is_refused(folder_copy):
    folder = folder_copy()
    with open(folder / "autofe" / "labelencoder.pkl", "rb") as f:
        records = pickle.load(f)
    factory = collections.defaultdict(collections.OrderedDict, records)
    write_payload(folder, pickle.dumps(factory), where="records")
    reset_task_config()
    # its factory is a callable where genuine records keep only data
    with pytest.raises(pickle.UnpicklingError, match="collections.OrderedDict' where genuine"):
        bv.tabular_incrml(str(folder))
    reset_task_config()


def test_a_pipeline_slipped_into_a_genuine_model_is_refused(folder_copy):
    from sklearn.pipeline import Pipeline
    from sklearn.preprocessing import FunctionTransformer

    folder = folder_copy()
    with open(folder / "automl" / "result", "rb") as f:
        model = pickle.load(f)
    inner = model._trained_estimator._model
    model._trained_estimator._model = Pipeline([("spy", FunctionTransformer(write_marker)),
                                                ("model", inner)])
    write_payload(folder, pickle.dumps(model))
    reset_task_config()
    with pytest.raises(pickle.UnpicklingError, match="sklearn.pipeline.Pipeline"):
        bv.tabular_incrml(str(folder))
    reset_task_config()
    assert not os.path.exists(MARKER)


def test_an_npzfile_record_is_refused():
    npz = New(G("numpy.lib._npyio_impl", "NpzFile"))
    raw = craft({"count###a$$$": Build(npz, {"fid": None, "zip": None, "allow_pickle": True})})
    assert "NpzFile" in str(refused_load(raw))


def test_objects_a_library_builds_while_unpickling_are_walked():
    # an admitted reconstructor that builds any of NumPy's bit generators by
    # name: only those genuine models hold may come out of it
    genuine = craft(Call(G("numpy.random._pickle", "__bit_generator_ctor"), "MT19937"))
    assert type(bv._ResultUnpickler(io.BytesIO(genuine)).load()).__name__ == "MT19937"
    other = craft(Call(G("numpy.random._pickle", "__bit_generator_ctor"), "Philox"))
    assert "Philox" in str(refused_load(other))


class Sneaky:
    """A class the user trusts, whose unpickling stores a callable."""

    def __getstate__(self):
        return {"state": 1}

    def __setstate__(self, state):
        self.hook = os.system


def test_a_callable_stored_by_a_trusted_class_is_refused(monkeypatch):
    monkeypatch.setattr(bv, "TRUSTED_PICKLE_GLOBALS", {f"{__name__}.Sneaky"})
    raw = pickle.dumps(Sneaky())
    err = refused_load(raw)
    assert "posix.system" in str(err) and "function" in str(err)


def test_object_arrays_are_walked_item_by_item(monkeypatch):
    monkeypatch.setattr(bv, "TRUSTED_PICKLE_GLOBALS", {f"{__name__}.Sneaky"})
    arr = np.empty(3, dtype=object)
    arr[:] = [1, "a", Sneaky()]
    assert "posix.system" in str(refused_load(pickle.dumps({"x": arr})))
