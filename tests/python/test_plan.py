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


@pytest.mark.parametrize("task", ["classification", "regression"])
@pytest.mark.parametrize("n,nan,seed", [(1, 0.0, 5), (60, 0.2, 3)])
def test_preprocess_gives_the_engines_frame(load, monkeypatch, caplog, task, n, nan, seed):  # noqa: F811
    frame = rows(seed, n, nan)
    frame.index = frame.index + 100
    with caplog.at_level(logging.DEBUG, logger=PLAN_LOG):
        got, want, got_records, want_records = planned_and_engine(load, monkeypatch, task, frame,
                                                                  "preprocess")
    assert [r.getMessage() for r in caplog.records if r.name == PLAN_LOG] == [
        "scoring plan not used: name2feature is not the feature engine's"]
    # labels, dtypes, bits and row labels (the merged group statistics give fresh ones)
    pd.testing.assert_frame_equal(got, want, check_exact=True)
    assert got.index.equals(pd.RangeIndex(n))
    assert got_records.keys() == want_records.keys() and got_records
    for key, table in want_records.items():
        pd.testing.assert_frame_equal(got_records[key], table, check_exact=True)


def test_records_of_later_calls_match_the_engine(load, monkeypatch):  # noqa: F811
    # the mean records each call leaves (their labels made once per plan)
    # are the engine's after every call, also for frames of other groups
    frames = [rows(21, 40, 0.1), rows(22, 1, 0.0), rows(23, 9, 0.3)]
    obj = load("classification")
    got = [(obj.predict(f.copy()), mean_counts(obj)) for f in frames]
    with monkeypatch.context() as m:
        engine_path(m)
        ref = load("classification")
        want = [(ref.predict(f.copy()), mean_counts(ref)) for f in frames]
    for (p, records), (q, expected) in zip(got, want):
        assert np.array_equal(bits(p), bits(q))
        assert records.keys() == expected.keys() and records
        for key, table in expected.items():
            pd.testing.assert_frame_equal(records[key], table, check_exact=True)
            assert records[key]._mgr.nblocks == table._mgr.nblocks


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


# ---- operators of the plan against the engine's, column by column ----------

def engine_frame(r, n):
    """A frame of float64 columns with missing and infinite values, int64
    columns of few values and float keys with missing ones."""
    x = r.normal(size=n) * 10.0 ** int(r.integers(0, 4))
    x[r.random(n) < 0.2] = np.nan
    x[r.random(n) < 0.05] = np.inf
    x[r.random(n) < 0.05] = -np.inf
    y = r.normal(size=n).round(int(r.integers(0, 3)))
    keys = r.integers(0, 4, n).astype(float)
    keys[r.random(n) < 0.15] = np.nan
    if r.random() < 0.5:
        keys = np.sort(keys)
    return pd.DataFrame({"x": x, "y": y, "i": r.integers(-9, 9, n), "k": r.integers(0, 3, n),
                         "f": keys, "g": np.sort(r.integers(0, 3, n))})


def plan_against_engine(df, names, group, records=None):
    """The plan's columns are the engine's: labels, dtypes, bits.  Returns
    the plan's reason where it does not serve the case (every case where
    the engine raises)."""
    try:
        want = tavrin.name2feature(df.copy(), list(names), dict(records or {}))
    except Exception:  # noqa: BLE001 - the plan must step aside, whatever the error
        with pytest.raises(LookupError) as refused:
            workbench._run_scoring_plan(df.copy(), list(names), dict(records or {}), group)
        return str(refused.value)
    try:
        got = workbench._run_scoring_plan(df.copy(), list(names), dict(records or {}), group)
    except LookupError as e:
        return str(e)
    assert list(got) == [str(c) for c in want.columns]
    for label, values in got.items():
        if values is None:
            assert want[label].dtype.kind not in "fi"
            continue
        expected = want[label].to_numpy()
        assert values.dtype == expected.dtype, label
        if values.dtype == object:  # texts: pandas reads them as the engine's dtype
            assert pd.Series(values).dtype == want[label].dtype, label
        assert np.array_equal(bits(values), bits(expected)), label
    return None


# every operator over float64 and int64 operands: each is served (None) or
# refused for the reason given, as the engine's operator hands the case to
# pandas
OPERATOR_CASES = {
    "histstat###x|||k$$$": None, "histstat###i|||f$$$": None, "histstat###f|||x$$$": None,
    "round###x$$$": None, "round###i$$$": "round of the int64 column",
    "quadratic###x$$$": None, "quadratic###i$$$": None,
    "sigmoid###x$$$": None, "sigmoid###i$$$": None,
    "residual###x$$$": None, "residual###i$$$": None,
    "softmax###y$$$": None, "softmax###x$$$": None, "softmax###i$$$": None,
    "entropy###x$$$": None, "entropy###k$$$": None,
    "bigger###x|||y$$$": None, "smaller###i|||k$$$": None, "equal###k|||k$$$": None,
    "equal###y|||i$$$": None, "bigger###i|||x$$$": None, "smaller###x|||i$$$": None,
    "orop###x|||y$$$": None, "orop###x|||i$$$": "orop of a column that is not float64",
    "crossrank###k|||x$$$": None, "crossrank###f|||i$$$": None,
    "tcorrelation###x|||y|||3$$$": None, "tcorrelation###i|||y|||0$$$": None,
    "tcorvariance###y|||i|||5$$$": None, "tcorvariance###x|||x|||1$$$": None,
    "combine###k|||x$$$": None, "combine###f|||i$$$": None, "combine###y|||y$$$": None,
    # names with fewer operands than the registry gives their operator
    "subtract###x$$$": "fewer operands than its operator takes",
    "tcorrelation###x|||y$$$": "fewer operands than its operator takes",
    "aggregate###mean|||x$$$": "fewer operands than its operator takes",
    # every operator leaves a comparison's booleans and combine's texts to
    # the engine
    "quadratic###bigger###x|||y$$$$$$": "is not a float64 or int64 column",
    "tsum###smaller###x|||y$$$|||2$$$": "is not a float64 or int64 column",
    "crossrank###combine###k|||i$$$|||x$$$": "is not a float64 or int64 column",
}


@pytest.mark.parametrize("group", [None, "g"])
@pytest.mark.parametrize("n,seed", [(1, 1), (2, 2), (9, 3), (60, 4), (400, 5)])
def test_each_operator_gives_the_engines_column(task_config, group, n, seed):
    feature = {"TargetName": "target"} | ({"GroupIndex": group} if group else {})
    task_config({"Feature": feature, "AutoFE": {}, "AutoML": {}})
    df = engine_frame(np.random.default_rng(seed), n)
    for name, refused in OPERATOR_CASES.items():
        reason = plan_against_engine(df, [name], group)
        if refused is None:
            assert reason is None, (name, reason)
        else:
            assert refused in reason, (name, reason)
    # several operators in one list, over each other's columns
    names = ["histstat###x|||k$$$", "sigmoid###histstat###x|||k$$$$$$", "bigger###x|||y$$$",
             "tcorrelation###quadratic###x$$$|||residual###y$$$|||3$$$", "combine###x|||k$$$"]
    assert plan_against_engine(df, names, group) is None


def test_comparisons_of_float64_with_int64_are_numpys(ungrouped):
    # integers past 2**53 compare as the float64 NumPy casts them to
    df = engine_frame(np.random.default_rng(0), 6)
    df["i"] = np.array([2**53 + 1, -(2**63), 2**62 + 1, 3, 0, -7], dtype=np.int64)
    df["y"] = np.array([2.0**53, -9.223372036854776e18, 4.611686018427388e18, np.nan, -0.0,
                        np.inf])
    for name in ("bigger###i|||y$$$", "smaller###y|||i$$$", "equal###i|||y$$$",
                 "equal###y|||i$$$"):
        assert plan_against_engine(df, [name], None) is None, name


def test_the_engines_empty_frames_and_byte_orders_are_pandas(ungrouped):
    empty = engine_frame(np.random.default_rng(0), 4).iloc[:0]
    for name in ("round###x$$$", "softmax###x$$$", "bigger###x|||y$$$", "entropy###k$$$",
                 "combine###x|||y$$$"):
        assert "empty frame" in plan_against_engine(empty, [name], None)
    swapped = engine_frame(np.random.default_rng(0), 4)
    swapped["x"] = swapped["x"].to_numpy().astype(">f8")
    if swapped["x"].dtype.isnative:  # this pandas makes it native
        assert plan_against_engine(swapped, ["quadratic###x$$$"], None) is None
    else:
        assert "byte order" in plan_against_engine(swapped, ["quadratic###x$$$"], None)


def test_histstat_computes_the_last_of_the_default_statistics(ungrouped, monkeypatch):
    df = engine_frame(np.random.default_rng(6), 40)
    whole_ids = df.assign(x=np.arange(40) % 7)  # int64 ids, none missing
    stats = tavrin._histstat_stats()
    assert stats is tavrin.AGGREGATE_TYPE
    saved = list(stats)
    dtypes = {}
    try:
        for listed in (["min", "max"], ["var", "count"], ["median"], ["max", "sum"], ["mean"]):
            stats[:] = listed
            for frame in (df, whole_ids):
                # keys with missing values (f) and without (k)
                names = ["histstat###x|||f$$$", "histstat###x|||k$$$"]
                assert plan_against_engine(frame, names, None) is None
                dtypes[(listed[-1], frame is df)] = workbench._run_scoring_plan(
                    frame.copy(), names, {})["histstat###x|||k$$$"].dtype
        # a statistic the core does not reduce, or none at all: the engine's
        stats[:] = ["min", "prod"]
        assert "computed by pandas" in plan_against_engine(df, ["histstat###x|||f$$$"], None)
        stats[:] = []
        assert "empty" in plan_against_engine(df, ["histstat###x|||f$$$"], None)
    finally:
        stats[:] = saved
    # counts are integers; an integer statistic of counts too when every row
    # has an id
    assert dtypes[("count", True)] == dtypes[("count", False)] == np.int64
    assert dtypes[("max", True)] == np.float64 and dtypes[("max", False)] == np.int64
    assert dtypes[("sum", False)] == np.int64 and dtypes[("mean", False)] == np.float64
    # rebinding the module's name leaves the list histstat was defined with
    monkeypatch.setattr(tavrin, "AGGREGATE_TYPE", ["count"])
    assert tavrin._histstat_stats() is stats
    assert plan_against_engine(df, ["histstat###x|||f$$$"], None) is None


def test_a_histstat_list_changed_in_place_recompiles_the_folders_plan(load, monkeypatch):  # noqa: F811
    obj = load()
    obj.adv_features = obj.adv_features + ["histstat###bill_length_mm|||island$$$"]
    plan = workbench._scoring_plan(obj)
    assert plan.unsupported is None
    stats = tavrin._histstat_stats()
    saved = list(stats)
    try:
        stats.append("prod")
        assert "computed by pandas" in workbench._scoring_plan(obj).unsupported
    finally:
        stats[:] = saved
    assert workbench._scoring_plan(obj).unsupported is None


def test_a_feature_list_changed_in_place_recompiles(load):  # noqa: F811
    obj = load()
    obj.predict(rows(4, 6))
    first = workbench._scoring_plan(obj).steps
    obj.adv_features.append("cosine###bill_ratio$$$")
    steps = workbench._scoring_plan(obj).steps
    assert "cosine###bill_ratio$$$" in steps and "cosine###bill_ratio$$$" not in first


@pytest.fixture(scope="module")
def operators_folder(tmp_path_factory):
    """A folder of every operator family (the comparisons' booleans and
    combine's text among its columns), integer groups, no date column."""
    import warnings

    from brinvale import sample

    shape = sample.Shape("iris-multiclass-lgbm-plan", "iris", "multiclass", "lgbm", group="int",
                         families=("group", "elementwise", "text", "windows", "nested"))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        folder = sample.build_folder(str(tmp_path_factory.mktemp("plan") / shape.name), shape)
    return folder, sample.shape_table(shape)


@pytest.mark.parametrize("n", [1, 7, 150])
def test_a_folder_of_the_plans_operators_is_served_whole(operators_folder, monkeypatch, caplog, n):
    from workbench_fixtures import reset_task_config

    folder, table = operators_folder
    frame = table.iloc[:n].reset_index(drop=True)
    reset_task_config()
    obj = workbench.tabular_incrml(folder)
    plan = workbench._scoring_plan(obj)
    assert plan.unsupported is None
    operators = set(plan.operators)
    assert {"histstat", "round", "softmax", "orop", "crossrank", "tcorrelation",
            "combine"} <= operators
    assert any(c.startswith("combine") for c in plan.model_columns)
    with caplog.at_level(logging.DEBUG, logger=PLAN_LOG):
        got = obj.predict_proba(frame.copy())
    assert not [r for r in caplog.records if r.name == PLAN_LOG]
    with monkeypatch.context() as m:
        engine_path(m)
        reset_task_config()
        want = workbench.tabular_incrml(folder).predict_proba(frame.copy())
    assert got.dtype == want.dtype and np.array_equal(bits(got), bits(want))
