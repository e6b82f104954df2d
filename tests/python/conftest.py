"""Shared fixtures.

The task configuration is a process-wide singleton configured by its first
construction only.  Tests that need a particular configuration (a group
column for the window operators, a result folder) start from a fresh
singleton through `task_config`, and leave a fresh one behind.
"""

import matplotlib

matplotlib.use("Agg")

import pytest
import yaml

from brinvale.module.common.quillet import TaskConfig


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: a test that takes minutes (a full build); -m 'not slow' leaves it out")


def reset_task_config():
    TaskConfig._TaskConfig__species = None
    TaskConfig._TaskConfig__first_init = True


@pytest.fixture
def task_config(tmp_path):
    """Configure the singleton from a mapping: task_config({"Feature": {...}})."""

    def configure(cfg):
        path = tmp_path / "task_config.yaml"
        path.write_text(yaml.safe_dump(cfg, allow_unicode=True), encoding="utf-8")
        reset_task_config()
        return TaskConfig(str(path))

    yield configure
    reset_task_config()


@pytest.fixture
def ungrouped(task_config):
    return task_config({"Feature": {"TargetName": "y"}, "AutoFE": {}, "AutoML": {}})


@pytest.fixture
def grouped(task_config):
    def configure(column):
        return task_config(
            {"Feature": {"TargetName": "y", "GroupIndex": column}, "AutoFE": {}, "AutoML": {}}
        )

    return configure
