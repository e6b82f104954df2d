"""Genuine result folders of the supported learners, as a training run
writes them and re-pickled under every protocol from 2 to 5, load through
the checked unpickler and predict exactly as the plainly unpickled model
does; folders written without pyarrow load where it is installed."""

import os
import pickle
import subprocess
import sys
import warnings

import numpy as np
import pytest

from brinvale.brinvale import tabular_incrml
from brinvale.sample import build_sample, write_sample_csv
from workbench_fixtures import reset_task_config

LEARNERS = [("classification", "xgboost"), ("classification", "rf"), ("classification", "kneighbor"),
            ("classification", "lrl2"), ("regression", "extra_tree"), ("regression", "xgb_limitdepth"),
            ("regression", "sgd"), ("regression", "lgbm")]


def offered(task, learner):
    """Whether the installed FLAML has the learner (FLAML 2.1 lacks sgd, among others)."""
    from flaml.automl.task.factory import task_factory

    return learner in task_factory(task).estimators


@pytest.fixture(scope="module")
def folders(tmp_path_factory):
    base = tmp_path_factory.mktemp("learners")
    out = {}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        for task, learner in LEARNERS:
            if not offered(task, learner):
                continue
            out[task, learner] = build_sample(str(base / f"{task}-{learner}"), task, max_iter=3,
                                              estimator_list=[learner])
    return out


@pytest.fixture(scope="module")
def csv(tmp_path_factory):
    return write_sample_csv(str(tmp_path_factory.mktemp("data") / "new.csv"))


def plain_predictions(folder, csv):
    reset_task_config()
    obj = tabular_incrml(folder)
    with open(os.path.join(folder, "automl", "result"), "rb") as f:
        obj.model = pickle.load(f)
    with open(os.path.join(folder, "autofe", "labelencoder.pkl"), "rb") as f:
        obj.lec_record_dt = pickle.load(f)
    return obj.predict(csv)


@pytest.mark.parametrize("task, learner", LEARNERS)
def test_every_learner_loads_and_predicts_as_the_plain_pickle(folders, csv, task, learner):
    if (task, learner) not in folders:
        pytest.skip(f"the installed FLAML has no {task} learner {learner}")
    folder = folders[task, learner]
    reset_task_config()
    checked = tabular_incrml(folder).predict(csv)
    np.testing.assert_array_equal(checked, plain_predictions(folder, csv))
    reset_task_config()


@pytest.mark.parametrize("protocol", [2, 3, 4, 5])
def test_every_protocol_loads(folders, csv, tmp_path, protocol):
    import shutil

    folder = folders["classification", "xgboost"]
    copy = tmp_path / "copy"
    shutil.copytree(folder, copy)
    for rel in (("automl", "result"), ("autofe", "labelencoder.pkl")):
        with open(os.path.join(folder, *rel), "rb") as f:
            obj = pickle.load(f)
        with open(os.path.join(copy, *rel), "wb") as f:
            pickle.dump(obj, f, protocol=protocol)
    reset_task_config()
    np.testing.assert_array_equal(tabular_incrml(str(copy)).predict(csv), plain_predictions(folder, csv))
    reset_task_config()


def test_a_folder_written_without_pyarrow_loads_where_it_is_installed(folders, csv, tmp_path):
    pytest.importorskip("pyarrow")
    import brinvale

    # the same folder, built by an interpreter that cannot import pyarrow
    code = ("import sys\n"
            "class NoArrow:\n"
            "    def find_spec(self, name, path=None, target=None):\n"
            "        if name.split('.')[0] == 'pyarrow':\n"
            "            raise ImportError(name)\n"
            "sys.meta_path.insert(0, NoArrow())\n"
            "from brinvale.sample import build_sample\n"
            f"build_sample({str(tmp_path / 'plain')!r}, 'regression', max_iter=3, estimator_list=['lgbm'])\n")
    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(brinvale.__file__)), MPLBACKEND="Agg")
    subprocess.run([sys.executable, "-c", code], check=True, env=env, capture_output=True)
    with open(tmp_path / "plain" / "autofe" / "labelencoder.pkl", "rb") as f:
        assert b"pyarrow" not in f.read()
    with open(os.path.join(folders["regression", "lgbm"], "autofe", "labelencoder.pkl"), "rb") as f:
        assert b"pyarrow" in f.read()
    reset_task_config()
    plain = tabular_incrml(str(tmp_path / "plain")).predict(csv)
    reset_task_config()
    arrow = tabular_incrml(folders["regression", "lgbm"]).predict(csv)
    reset_task_config()
    np.testing.assert_allclose(plain, arrow, rtol=0, atol=0)
