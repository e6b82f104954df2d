"""Shared fixtures.

The task configuration is a process-wide singleton configured by its first
construction only.  Tests that need a particular configuration (a group
column for the window operators, a result folder) start from a fresh
singleton through `task_config`, and leave a fresh one behind.
"""

import os
import shutil
import tempfile

import matplotlib

matplotlib.use("Agg")

import pytest
import yaml

from brinvale.module.common.quillet import TaskConfig


_session_tmp = None


def pytest_configure(config):
    config.addinivalue_line("markers", "slow: a test that takes minutes (a full build); -m 'not slow' leaves it out")
    # Every temporary file of the session, of its child processes and of
    # pytest's tmp_path goes below one folder, checked and removed at the end.
    global _session_tmp
    if _session_tmp is None:
        prune_finished_sessions(tempfile.gettempdir())
        _session_tmp = tempfile.mkdtemp(prefix=f"brinvale-tests-{os.getpid()}-")
        os.environ["TMPDIR"] = _session_tmp
        tempfile.tempdir = _session_tmp


def prune_finished_sessions(root):
    """Folders that failed sessions kept for inspection, once their session's
    process has ended: they are kept until the next session starts."""
    for name in os.listdir(root):
        parts = name.split("-")
        if len(parts) < 4 or parts[:2] != ["brinvale", "tests"] or not parts[2].isdigit():
            continue
        try:
            os.kill(int(parts[2]), 0)
        except ProcessLookupError:
            shutil.rmtree(os.path.join(root, name), ignore_errors=True)
        except OSError:
            pass  # alive, owned by another user


def leftovers(folder):
    """Entries of the session's temporary folder other than pytest's own."""
    return sorted(name for name in os.listdir(folder) if not name.startswith("pytest-of-"))


@pytest.hookimpl(trylast=True)
def pytest_sessionfinish(session, exitstatus):
    if _session_tmp is None or not os.path.isdir(_session_tmp):
        return
    left = leftovers(_session_tmp)
    if left:
        shown = ", ".join(left[:10]) + (f" and {len(left) - 10} more" if len(left) > 10 else "")
        session.config.get_terminal_writer().line(
            f"the tests left {len(left)} temporary files or folders behind: {shown}", red=True)
        session.exitstatus = pytest.ExitCode.TESTS_FAILED
    if session.exitstatus == 0:
        shutil.rmtree(_session_tmp, ignore_errors=True)
    else:
        for name in left:
            path = os.path.join(_session_tmp, name)
            shutil.rmtree(path, ignore_errors=True) if os.path.isdir(path) else os.remove(path)
        session.config.get_terminal_writer().line(
            f"temporary folders of the failed tests: {_session_tmp}")


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
