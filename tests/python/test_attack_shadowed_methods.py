"""Callables kept in instance attributes, to run in place of the code a
library means to run: a partial of an admitted FLAML function stored as the
DataTransformer's `transform` makes predict train with the pickle's
parameters.  No loaded instance may carry an attribute named like a method of
its class, and a class, function or partial may only sit in the attributes
where genuine models keep one."""

import functools
import io
import pickle

import pytest

import brinvale.brinvale as bv
from pickle_craft import Build, G, New, craft, refused_load, write_payload
from workbench_fixtures import folder_copy, reset_task_config, sample_dirs  # noqa: F401


@pytest.fixture
def model(sample_dirs):
    with open(f"{sample_dirs['classification']}/automl/result", "rb") as f:
        return pickle.load(f)


def training():
    from flaml.automl.state import AutoMLState

    return functools.partial(AutoMLState._compute_with_config_base,
                             {"forcedsplits_filename": "/etc/passwd"})


def load(obj):
    return bv._ResultUnpickler(io.BytesIO(pickle.dumps(obj))).load()


def test_the_genuine_model_loads(model):
    assert type(load(model)) is type(model)


def test_a_partial_standing_in_for_transform_is_refused_on_folder_load(folder_copy, model):
    folder = folder_copy()
    model._transformer.transform = training()
    write_payload(folder, pickle.dumps(model))
    reset_task_config()
    with pytest.raises(pickle.UnpicklingError, match="'transform' on a 'flaml.automl.data.DataTransformer'"):
        bv.tabular_incrml(str(folder))
    reset_task_config()


@pytest.mark.parametrize("value", [5, "text", None], ids=["number", "text", "none"])
def test_any_value_shadowing_a_method_is_refused(model, value):
    # not only callables: predict would run into whatever stands there
    model._transformer.transform = value
    with pytest.raises(pickle.UnpicklingError, match="stand in for the method"):
        load(model)


def test_a_shadowing_attribute_set_by_slot_state_is_refused():
    # BUILD with (None, slot state) sets attributes one by one, past __dict__
    made = Build(New(G("flaml.automl.data", "DataTransformer")), (None, {"transform": 1}))
    refused_load(craft(made), match="'transform'")


def test_shadowing_a_class_method_or_an_inherited_method_is_refused(model):
    est = model._trained_estimator
    est.size = 1  # a class method of the estimator class
    with pytest.raises(pickle.UnpicklingError, match="'size'"):
        load(model)
    del est.size
    est._model.get_params = {}  # inherited from scikit-learn's BaseEstimator
    with pytest.raises(pickle.UnpicklingError, match="'get_params'"):
        load(model)


def test_a_partial_in_an_attribute_that_never_holds_one_is_refused(model):
    model._trained_estimator.params = dict(model._trained_estimator.params, callbacks=[training()])
    err = refused_load(pickle.dumps(model))
    assert "'params' of a 'flaml.automl.model." in str(err) and "never keep a callable" in str(err)


@pytest.mark.parametrize("attr", ["_aaa", "zzz"])
def test_a_container_shared_with_a_genuine_place_is_judged_in_both(model, attr):
    # the dict of learner classes is genuine where the search state keeps it;
    # the same dict under another attribute is refused whichever is met first
    setattr(model._trained_estimator, attr, model._state.learner_classes)
    with pytest.raises(pickle.UnpicklingError, match=f"'{attr}'"):
        load(model)


def test_a_callable_among_the_records_is_refused():
    records = {"count###island$$$": training()}
    with pytest.raises(pickle.UnpicklingError, match="keep only data"):
        load(records)


def test_an_admitted_class_in_a_data_attribute_is_refused(model):
    import collections

    model._trained_estimator._model.objective = collections.OrderedDict
    with pytest.raises(pickle.UnpicklingError, match="'objective'.*never keep a callable"):
        load(model)


def test_a_class_the_user_trusts_may_keep_callables(model, monkeypatch):
    model._trained_estimator.hooks = [training()]
    owner = f"{type(model._trained_estimator).__module__}.{type(model._trained_estimator).__qualname__}"
    monkeypatch.setattr(bv, "TRUSTED_PICKLE_GLOBALS", {owner})
    assert load(model)._trained_estimator.hooks[0].func.__name__ == "_compute_with_config_base"
