"""The scoring plan: predict through the folder's compiled plan gives the
engine's values bit for bit, leaves the same records and the same caller's
frame, and steps aside (saying why on the brinvale.plan logger) wherever it
does not serve the case."""

import logging

import numpy as np
import pandas as pd
import pytest

import brinvale.brinvale as workbench
from brinvale import tavrin
from brinvale.sample import sample_table
from workbench_fixtures import load, sample_dirs  # noqa: F401

PLAN_LOG = "brinvale.plan"


def engine_path(monkeypatch):
    """predict as the pipeline computes it with the feature engine: a
    name2feature the plan does not know makes it step aside."""
    monkeypatch.setattr(workbench, "name2feature", lambda *a: tavrin.name2feature(*a))


def mean_counts(obj):
    return {k: v.copy() for k, v in obj.lec_record_dt.items() if k.endswith("_mean_count")}


def bits(a):
    a = np.asarray(a)
    return a.view(np.int64) if a.dtype == np.float64 else a


def rows(seed, n, nan=0.0):
    r = np.random.default_rng(seed)
    table = sample_table()
    frame = table.iloc[r.choice(len(table), size=n, replace=False)].reset_index(drop=True)
    if nan:
        for col in ("bill_length_mm", "bill_depth_mm", "flipper length mm", "body_mass_g"):
            frame.loc[r.random(n) < nan, col] = np.nan
    return frame


def planned_and_engine(load, monkeypatch, task, frame, method):  # noqa: F811
    obj = load(task)
    got = getattr(obj, method)(frame.copy())
    got_records = mean_counts(obj)
    with monkeypatch.context() as m:
        engine_path(m)
        ref = load(task)
        want = getattr(ref, method)(frame.copy())
        want_records = mean_counts(ref)
    return got, want, got_records, want_records


@pytest.mark.parametrize("task", ["classification", "regression"])
@pytest.mark.parametrize("n,nan,seed", [(1, 0.0, 5), (1, 0.0, 11), (7, 0.0, 2), (60, 0.2, 3),
                                        (300, 0.1, 4)])
def test_predict_matches_the_engine(load, monkeypatch, caplog, task, n, nan, seed):  # noqa: F811
    frame = rows(seed, n, nan)
    with caplog.at_level(logging.DEBUG, logger=PLAN_LOG):
        got, want, got_records, want_records = planned_and_engine(load, monkeypatch, task, frame,
                                                                  "predict")
    planned_reasons = [r.getMessage() for r in caplog.records if r.name == PLAN_LOG]
    # only the engine run (name2feature replaced) stepped aside
    assert planned_reasons == ["scoring plan not used: name2feature is not the feature engine's"]
    assert got.dtype == want.dtype and np.array_equal(bits(got), bits(want))
    assert got_records.keys() == want_records.keys() and got_records
    for key, table in want_records.items():
        pd.testing.assert_frame_equal(got_records[key], table, check_exact=True)


def test_predict_proba_matches_the_engine(load, monkeypatch):  # noqa: F811
    got, want, _, _ = planned_and_engine(load, monkeypatch, "classification", rows(8, 25, 0.1),
                                         "predict_proba")
    assert got.shape == want.shape and np.array_equal(bits(got), bits(want))


def test_the_callers_frame_is_changed_as_preprocess_changes_it(load, monkeypatch):  # noqa: F811
    frame = rows(1, 5).rename(columns={"bill_length_mm": " bill_length_mm "})
    planned_frame, engine_frame = frame.copy(), frame.copy()
    load().predict(planned_frame)
    with monkeypatch.context() as m:
        engine_path(m)
        load().predict(engine_frame)
    pd.testing.assert_frame_equal(planned_frame, engine_frame)
    assert "bill_length_mm" in planned_frame.columns


def test_the_plan_lists_its_steps_nested_names_first(load):  # noqa: F811
    obj = load()
    plan = workbench._scoring_plan(obj)
    assert plan.unsupported is None
    assert plan.features == obj.adv_features
    steps = plan.steps
    nested = "add###bill_length_mm|||bill_depth_mm$$$"
    outer = "multiply###add###bill_length_mm|||bill_depth_mm$$$|||bill_ratio$$$"
    assert steps.index(nested) < steps.index(outer)
    assert set(obj.adv_features) <= set(steps)
    assert len(plan.labels) == len(plan.operators) == len(steps)
    assert plan.model_columns == [str(c) for c in obj.model.feature_names_in_]
    # compiled once, kept on the object
    assert workbench._scoring_plan(obj).steps == steps
    assert obj._scoring_plan is not None


def test_a_copied_object_compiles_its_own_plan(load):  # noqa: F811
    import copy

    obj = load()
    obj.predict(rows(3, 2))
    twin = copy.deepcopy(obj)
    assert twin._scoring_plan.unsupported == "not compiled"
    assert np.array_equal(twin.predict(rows(3, 2)), obj.predict(rows(3, 2)))


def test_cases_the_plan_does_not_serve_fall_back_with_a_reason(load, monkeypatch, caplog):  # noqa: F811
    frame = rows(9, 12)
    reference = load().predict(frame.copy())

    # a dtype the plan does not carry: the engine computes it
    narrow = frame.copy()
    narrow["body_mass_g"] = narrow["body_mass_g"].astype("float32")
    with monkeypatch.context() as m:
        engine_path(m)
        want = load().predict(narrow.copy())
    with caplog.at_level(logging.DEBUG, logger=PLAN_LOG):
        obj = load()
        caplog.clear()
        assert np.array_equal(obj.predict(narrow.copy()), want)
    assert any("float32" in r.getMessage() for r in caplog.records if r.name == PLAN_LOG)

    # an operator replaced in the engine's namespace is called, not the plan
    calls = []
    original = tavrin.sine

    def sine(df, col):
        calls.append(col)
        return original(df, col)

    obj = load()
    obj.predict(frame.copy())
    monkeypatch.setattr(tavrin, "sine", sine)
    with caplog.at_level(logging.DEBUG, logger=PLAN_LOG):
        caplog.clear()
        assert np.array_equal(obj.predict(frame.copy()), reference)
    assert calls == ["bill_ratio"]
    monkeypatch.setattr(tavrin, "sine", original)

    # a record the plan cannot index: the engine reports or computes
    obj = load()
    name = "count###island$$$"
    obj.lec_record_dt[name] = obj.lec_record_dt[name].astype({"island": str})
    with caplog.at_level(logging.DEBUG, logger=PLAN_LOG):
        caplog.clear()
        try:
            got = obj.predict(frame.copy())
        except Exception as e:  # the engine's own verdict on such a record
            got = e
        assert any("island" in r.getMessage() for r in caplog.records if r.name == PLAN_LOG)
    with monkeypatch.context() as m:
        engine_path(m)
        ref = load()
        ref.lec_record_dt[name] = ref.lec_record_dt[name].astype({"island": str})
        try:
            want = ref.predict(frame.copy())
        except Exception as e:
            want = e
    if isinstance(want, Exception):
        assert type(got) is type(want) and str(got) == str(want)
    else:
        assert np.array_equal(got, want)


def test_a_changed_feature_list_recompiles(load):  # noqa: F811
    obj = load()
    frame = rows(4, 6)
    obj.predict(frame.copy())
    first = workbench._scoring_plan(obj).steps
    obj.adv_features = obj.adv_features[:-1] + ["cosine###bill_ratio$$$"]
    with pytest.raises(Exception):
        # the model reads the feature that is gone
        obj.predict(frame.copy())
    steps = workbench._scoring_plan(obj).steps
    assert steps != first and "cosine###bill_ratio$$$" in steps


def test_long_frames_go_to_the_engines_column_kernels(load, caplog):  # noqa: F811
    table = sample_table()
    frame = table.sample(n=200_001, replace=True, random_state=1).reset_index(drop=True)
    obj = load()
    with caplog.at_level(logging.DEBUG, logger=PLAN_LOG):
        got = obj.predict(frame.copy())
    assert any("more rows than the plan serves" in r.getMessage() for r in caplog.records)
    # one row fewer goes through the plan
    caplog.clear()
    with caplog.at_level(logging.DEBUG, logger=PLAN_LOG):
        head = load().predict(frame.iloc[:200_000].copy())
    assert not [r for r in caplog.records if r.name == PLAN_LOG]
    assert len(got) == 200_001 and len(head) == 200_000


def test_a_feature_list_changed_in_place_recompiles(load):  # noqa: F811
    obj = load()
    obj.predict(rows(4, 6))
    first = workbench._scoring_plan(obj).steps
    obj.adv_features.append("cosine###bill_ratio$$$")
    steps = workbench._scoring_plan(obj).steps
    assert "cosine###bill_ratio$$$" in steps and "cosine###bill_ratio$$$" not in first
