"""Several result folders in one process: each object computes with its own
configuration (target, task, group column), in either order of loading, from
several threads at once, and the engine's process-wide configuration is left
as the first folder made it."""

import threading

import numpy as np
import pandas as pd
import pytest
import yaml

import brinvale.module.common.quillet as quillet
from brinvale import tavrin
from brinvale.brinvale import tabular_incrml
from workbench_fixtures import folder_copy, raw, reset_task_config, sample_dirs  # noqa: F401

WINDOW = "ts_mean###bill_length_mm|||3$$$"  # grouped: the window sum within each group


@pytest.fixture
def island_folder(folder_copy):
    """The classification folder, grouping its windows by island instead of colony."""
    folder = folder_copy("classification")
    p = folder / "config.yaml"
    cfg = yaml.safe_load(p.read_text(encoding="utf-8"))
    cfg["Feature"]["GroupIndex"] = "island"
    p.write_text(yaml.safe_dump(cfg, allow_unicode=True), encoding="utf-8")
    return str(folder)


@pytest.fixture
def fresh():
    reset_task_config()
    yield
    reset_task_config()


def alone(path, raw):
    """The window column as the folder computes it when it is the only one."""
    reset_task_config()
    values = tabular_incrml(path).preprocess(raw.copy())[WINDOW]
    reset_task_config()
    return values


SMALL = pd.DataFrame({"island": list("aabbab"), "colony": list("cdcdcc"), "bill_length_mm": [1.0, 2, 4, 8, 16, 32]})


def grouped_sum(frame, group):
    return frame.groupby(group)["bill_length_mm"].rolling(3).sum().reset_index(0, drop=True).sort_index()


@pytest.mark.parametrize("order", [("classification", "regression"), ("regression", "classification")])
def test_two_tasks_predict_as_each_does_alone(sample_dirs, raw, fresh, order):
    alone = {}
    for task in order:
        reset_task_config()
        alone[task] = tabular_incrml(sample_dirs[task]).predict(raw.copy())
    reset_task_config()
    objs = {task: tabular_incrml(sample_dirs[task]) for task in order}
    for task in order + order:
        np.testing.assert_array_equal(objs[task].predict(raw.copy()), alone[task])
    assert objs["regression"].target_name == "body_mass_g"
    assert objs["classification"].predict_proba(raw.copy()).shape == (len(raw), 3)
    assert quillet.TaskConfig().cfg["Feature"]["TargetName"] == ("species" if order[0] == "classification"
                                                                  else "body_mass_g")


@pytest.mark.parametrize("island_first", [False, True])
def test_windows_group_by_each_folders_own_column(sample_dirs, island_folder, raw, fresh, island_first):
    paths = [island_folder, sample_dirs["classification"]]
    if not island_first:
        paths.reverse()
    expected = {p: alone(p, raw) for p in paths}
    assert not np.allclose(*[v.fillna(0) for v in expected.values()])
    objs = {p: tabular_incrml(p) for p in paths}
    for p in paths + paths:
        pd.testing.assert_series_equal(objs[p].preprocess(raw.copy())[WINDOW], expected[p])
    # direct calls of the engine read the process-wide configuration: the first folder's
    direct = tavrin.ts_mean(SMALL.copy(), "bill_length_mm", "3")
    first = "island" if island_first else "colony"
    np.testing.assert_allclose(direct[WINDOW], grouped_sum(SMALL, first))
    assert quillet._active_config.get() is None


def test_configuration_is_released_when_the_pipeline_fails(island_folder, raw, fresh):
    obj = tabular_incrml(island_folder)
    with pytest.raises(KeyError):
        obj.preprocess(raw.drop(columns=["bill_length_mm"]))
    assert quillet._active_config.get() is None


def test_threads_each_use_their_own_folder(sample_dirs, island_folder, raw, fresh):
    expected = {"colony": alone(sample_dirs["classification"], raw), "island": alone(island_folder, raw)}
    colony = tabular_incrml(sample_dirs["classification"])
    island = tabular_incrml(island_folder)
    failures = []

    def work(name, obj):
        try:
            for _ in range(3):
                got = obj.preprocess(raw.copy())[WINDOW]
                if not np.allclose(got, expected[name], equal_nan=True):
                    failures.append(name)
        except Exception as e:  # reported below
            failures.append(repr(e))

    threads = [threading.Thread(target=work, args=args)
               for args in [("colony", colony), ("island", island)] * 2]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


def test_folder_without_a_target_preprocesses(folder_copy, raw, fresh):
    folder = folder_copy("classification")
    p = folder / "config.yaml"
    cfg = yaml.safe_load(p.read_text(encoding="utf-8"))
    cfg["Feature"]["TargetName"] = None
    p.write_text(yaml.safe_dump(cfg, allow_unicode=True), encoding="utf-8")
    obj = tabular_incrml(str(folder))
    out = obj.preprocess(raw.drop(columns=["species"]))
    assert isinstance(out, pd.DataFrame) and len(out) == len(raw) and WINDOW in out
