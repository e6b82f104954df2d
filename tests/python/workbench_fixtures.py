"""Fixtures of the workbench tests: sample result folders built once per
session, objects loaded from them with a fresh task configuration, and a bare
object for exercising single pipeline steps."""

import os
import shutil

import pytest

from brinvale.brinvale import tabular_incrml
from brinvale.module.common.quillet import TaskConfig
from brinvale.sample import build_sample, sample_table


def reset_task_config():
    TaskConfig._TaskConfig__species = None
    TaskConfig._TaskConfig__first_init = True


def snapshot(folder):
    """Every path under `folder` with its size and modification time."""
    state = {}
    for root, dirs, files in os.walk(folder):
        for name in dirs + files:
            p = os.path.join(root, name)
            st = os.stat(p)
            state[os.path.relpath(p, folder)] = (st.st_size, st.st_mtime_ns)
    return state


@pytest.fixture(scope="session")
def sample_dirs(tmp_path_factory):
    base = tmp_path_factory.mktemp("samples")
    dirs = {task: build_sample(str(base / task), task) for task in ("classification", "regression")}
    before = {task: snapshot(d) for task, d in dirs.items()}
    yield dirs
    # Nothing the tests did may have written into the result folders.
    for task, d in dirs.items():
        assert snapshot(d) == before[task]


@pytest.fixture
def load(sample_dirs):
    """load("classification") -> a tabular_incrml configured by that folder."""

    def make(task="classification"):
        reset_task_config()
        return tabular_incrml(sample_dirs[task])

    yield make
    reset_task_config()


@pytest.fixture
def folder_copy(sample_dirs, tmp_path):
    """A writable copy of a sample folder, for breaking files."""

    def make(task="classification"):
        dst = tmp_path / f"copy_{task}"
        shutil.copytree(sample_dirs[task], dst)
        return dst

    return make


@pytest.fixture
def raw():
    return sample_table()


@pytest.fixture
def bare(monkeypatch):
    """An object with only the pipeline's attributes and an engine that
    returns the frame it is given, for testing the workbench's own steps."""
    import brinvale.brinvale as wb

    seen = []

    def engine(df, features, records):
        seen.append((features, records))
        return df

    monkeypatch.setattr(wb, "name2feature", engine)
    obj = tabular_incrml.__new__(tabular_incrml)
    obj.time_index = None
    obj.group_id = None
    obj.target_name = "y"
    obj.id_index = None
    obj.ignore_features = []
    obj.automl_running = None
    obj.lec_record_dt = {}
    obj.adv_features = []
    obj.engine_calls = seen
    return obj
