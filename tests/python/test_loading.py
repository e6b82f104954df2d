import json
import os
import pathlib
import pickle
import subprocess
import sys

import matplotlib.pyplot as plt
import pytest
import yaml

import brinvale.brinvale as wb
from brinvale.brinvale import tabular_incrml
from workbench_fixtures import bare, folder_copy, load, reset_task_config, sample_dirs  # noqa: F401


class _Inner:
    def __init__(self, n):
        self._n_classes = n


class _Est:
    def __init__(self, inner):
        self._model = inner


class _Model:
    def __init__(self, est):
        self._trained_estimator = est


class _Locked:
    """An estimator whose _n_classes cannot be written."""

    @property
    def _n_classes(self):
        return None


def test_module_body():
    assert wb.__doc__ == "\n    预测文件应该支持两种方式\n    1.支持直接输入result文件\n    2.支持输入模型参数和模型特征捆绑字段\n"
    assert os.path.dirname(wb.__file__) in sys.path
    # charts add installed CJK fonts after it
    assert plt.rcParams["font.sans-serif"][0] == "SimHei" and plt.rcParams["axes.unicode_minus"] is False
    # pytest restores the warning filters around each test: look at a fresh process.
    code = "import warnings, brinvale.brinvale; print(warnings.filters[0][0])"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         env=dict(os.environ), check=True).stdout
    assert out.strip() == "ignore"
    for name in ("json", "shap", "pickle", "np", "pd", "plt", "Union", "Optional", "Tuple",
                 "deepcopy", "name2feature", "TaskConfig", "plot_kde", "plot_roc_curve"):
        assert hasattr(wb, name), name
    names = [n for n in vars(tabular_incrml) if not n.startswith("__") or n == "__init__"]
    order = ["__init__", "_split_train_test", "_load_data_from_file", "_colname_filter",
             "_process_data", "_normalize_column_names", "_percent_sign_conversion",
             "_validation_data", "predict", "predict_proba", "preprocess"]
    assert names[: len(order)] == order
    assert tabular_incrml.__init__.__doc__.startswith("\n        初始化 tabular_incrml 对象")


def test_attributes(load, sample_dirs):
    obj = load("classification")
    path = sample_dirs["classification"]
    assert obj.path == path
    assert obj.labelencoder_dt_path == os.path.join(path, "autofe", "labelencoder.pkl")
    assert obj.automl_result_path == os.path.join(path, "automl", "logs")
    assert obj.save_path == os.path.join(path, "save")
    assert obj.model_path == os.path.join(path, "automl", "result")
    assert (obj.target_name, obj.task, obj.id_index, obj.time_index, obj.group_id) == (
        "species", "classification", "penguin_id", "observed", "colony")
    assert obj.training_data is None
    assert obj.seed == 7 and obj.split_type == "stratified"
    assert obj.test_size == 0.25 and type(obj.test_size) is float
    assert obj.autofe_running is True and obj.automl_running is True
    assert "island" in obj.lec_record_dt and "count###island$$$" in obj.lec_record_dt
    assert obj.adv_features[0] == "count###island$$$"
    assert hasattr(obj.model, "predict_proba")


def rewrite_config(folder, edit):
    p = folder / "config.yaml"
    cfg = yaml.safe_load(p.read_text(encoding="utf-8"))
    edit(cfg)
    p.write_text(yaml.safe_dump(cfg, allow_unicode=True), encoding="utf-8")


def test_defaults_and_quoted_test_size(folder_copy):
    folder = folder_copy()

    def edit(cfg):
        for key in ("RandomSeed", "SplitType", "IgnoreFeature", "id_index", "TimeIndex", "GroupIndex"):
            del cfg["Feature"][key]
        cfg["Feature"]["TestSize"] = "0.3"
        cfg["AutoFE"] = {}

    rewrite_config(folder, edit)
    (folder / "autofe" / "labelencoder.pkl").unlink()
    reset_task_config()
    obj = tabular_incrml(str(folder))
    assert obj.seed == 1024 and obj.split_type == "stratified"
    assert obj.test_size == 0.3 and type(obj.test_size) is float
    assert obj.ignore_features == [] and obj.id_index is None and obj.time_index is None
    assert obj.autofe_running is None
    assert obj.lec_record_dt == {}
    reset_task_config()


def _drop_target(cfg):
    del cfg["Feature"]["TargetName"]


def _drop_section(cfg):
    del cfg["AutoML"]


def _bad_test_size(cfg):
    cfg["Feature"]["TestSize"] = "a quarter"


@pytest.mark.parametrize("edit, error", [(_drop_target, KeyError), (_drop_section, KeyError),
                                         (_bad_test_size, ValueError)])
def test_config_errors(folder_copy, edit, error):
    folder = folder_copy()
    rewrite_config(folder, edit)
    reset_task_config()
    with pytest.raises(error):
        tabular_incrml(str(folder))
    reset_task_config()


def test_missing_config(tmp_path):
    reset_task_config()
    with pytest.raises(ValueError, match="CONFIG FILE NOT FOUND"):
        tabular_incrml(str(tmp_path))
    reset_task_config()


@pytest.mark.parametrize(
    "breakage, error",
    [
        (lambda f: (f / "autofe" / "result").unlink(), FileNotFoundError),
        (lambda f: (f / "automl" / "result").unlink(), FileNotFoundError),
        (lambda f: (f / "autofe" / "result").write_text("{not json"), json.JSONDecodeError),
        (lambda f: (f / "autofe" / "result").write_text('{"features": []}'), KeyError),
        (lambda f: (f / "automl" / "result").write_bytes(b"garbage"), pickle.UnpicklingError),
        (lambda f: (f / "autofe" / "labelencoder.pkl").write_bytes(b""), EOFError),
    ],
)
def test_broken_files(folder_copy, breakage, error):
    folder = folder_copy()
    breakage(folder)
    reset_task_config()
    with pytest.raises(error):
        tabular_incrml(str(folder))
    reset_task_config()


class StrPath(str):
    pass


@pytest.mark.parametrize("bad", [None, pathlib.Path("x"), StrPath("x"), 3])
def test_path_type(bad):
    with pytest.raises(TypeError) as e:
        tabular_incrml(bad)
    assert str(e.value) == (
        f"Argument 'path' has incorrect type (expected str, got {type(bad).__name__})")


def test_argument_count(sample_dirs):
    with pytest.raises(TypeError):
        tabular_incrml()
    with pytest.raises(TypeError):
        tabular_incrml(sample_dirs["classification"], 1)


def test_keyword_and_trailing_separator(load, sample_dirs):
    reset_task_config()
    a = tabular_incrml(path=sample_dirs["classification"] + os.sep)
    assert a.model_path == os.path.join(sample_dirs["classification"], "automl", "result")


@pytest.fixture
def trust_this_module(monkeypatch):
    monkeypatch.setattr(wb, "TRUSTED_PICKLE_GLOBALS",
                        wb.TRUSTED_PICKLE_GLOBALS | {__name__ + ".*", "builtins.object"})


class _Shell:
    def __reduce__(self):
        return (os.system, ("echo unpickled",))


def test_foreign_pickle_refused(folder_copy):
    folder = folder_copy()
    (folder / "automl" / "result").write_bytes(pickle.dumps(_Shell()))
    reset_task_config()
    with pytest.raises(pickle.UnpicklingError, match="system"):
        tabular_incrml(str(folder))
    reset_task_config()


@pytest.mark.parametrize("inner, expected", [(_Inner(None), -1), (_Inner(3), 3)])
def test_n_classes_repair(folder_copy, trust_this_module, inner, expected):
    folder = folder_copy()
    (folder / "automl" / "result").write_bytes(pickle.dumps(_Model(_Est(inner))))
    reset_task_config()
    obj = tabular_incrml(str(folder))
    assert obj.model._trained_estimator._model._n_classes == expected
    reset_task_config()


@pytest.mark.parametrize("model", [object(), _Model(_Est(_Locked()))])
def test_n_classes_repair_failures_ignored(folder_copy, trust_this_module, model):
    folder = folder_copy()
    (folder / "automl" / "result").write_bytes(pickle.dumps(model))
    reset_task_config()
    tabular_incrml(str(folder))
    reset_task_config()


def test_second_folder_reads_its_own_configuration(load, sample_dirs):
    first = load("classification")
    second = tabular_incrml(sample_dirs["regression"])
    assert (first.target_name, first.task) == ("species", "classification")
    assert (second.target_name, second.task) == ("body_mass_g", "regression")
    assert second.adv_features != first.adv_features
    assert second.lec_record_dt is not first.lec_record_dt
    # the process-wide configuration stays the first folder's
    assert wb.TaskConfig().cfg["Feature"]["TargetName"] == "species"
