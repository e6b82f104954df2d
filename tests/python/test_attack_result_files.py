"""The files of a result folder (config.yaml, autofe/result,
autofe/labelencoder.pkl, automl/result, automl/val_res) are read as bounded
regular files inside the folder: a FIFO is refused instead of waited on, a
link to a device instead of read without end, a link out of the folder
instead of followed, and a file over its size limit before it is parsed.
The cases that would hang or exhaust memory run in a child interpreter
under an address-space limit and a time-out."""

import os
import shutil

import pytest

import brinvale.brinvale as bv
from bounded_child import outcomes
from brinvale.module.util import corlet
from workbench_fixtures import reset_task_config, sample_dirs  # noqa: F401

FILES = ["config.yaml", "autofe/result", "autofe/labelencoder.pkl", "automl/result"]


@pytest.fixture
def copies(sample_dirs, tmp_path):
    """copies(name) -> a fresh copy of the classification sample folder."""

    def make(name):
        dst = tmp_path / name
        shutil.copytree(sample_dirs["classification"], dst)
        return dst

    return make


def load_code(folder):
    return f"""
        from workbench_fixtures import reset_task_config
        from brinvale.brinvale import tabular_incrml
        reset_task_config()
        tabular_incrml({str(folder)!r})
    """


def replaced(copies, tmp_path, how):
    """One folder per file of FILES with that file replaced by `how`."""
    cases = {}
    for k, rel in enumerate(FILES):
        folder = copies(f"{how}{k}")
        target = folder / rel
        outside = tmp_path / f"target{k}"
        shutil.copyfile(target, outside)
        target.unlink()
        if how == "fifo":
            os.mkfifo(target)
        elif how == "zero":
            os.symlink("/dev/zero", target)
        elif how == "outside":
            os.symlink(outside, target)
        elif how == "relative":
            os.symlink(os.path.relpath(outside, target.parent), target)
        cases[rel] = load_code(folder)
    return outcomes(cases)


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs FIFOs")
def test_fifo_in_place_of_a_file_is_refused_not_waited_on(copies, tmp_path):
    for rel, got in replaced(copies, tmp_path, "fifo").items():
        assert got.startswith("REFUSED ValueError") and "a FIFO, not a regular file" in got, (rel, got)


@pytest.mark.skipif(not os.path.exists("/dev/zero"), reason="needs /dev/zero")
def test_link_to_a_device_is_refused_not_read(copies, tmp_path):
    # a link to /dev/zero leads out of the folder, and a device is no regular
    # file wherever it lies (the YAML reader is used on its own as well)
    for rel, got in replaced(copies, tmp_path, "zero").items():
        assert got.startswith("REFUSED ValueError") and "(to /dev/zero)" in got, (rel, got)
    os.symlink("/dev/zero", tmp_path / "zero.yaml")
    got = outcomes({"parse": f"""
        from brinvale.module.util.corlet import YamlParser
        YamlParser.parse({str(tmp_path / "zero.yaml")!r})
    """})
    assert got["parse"].startswith("REFUSED ValueError") and "a character device" in got["parse"], got


@pytest.mark.parametrize("how", ["outside", "relative"])
def test_link_out_of_the_folder_is_refused(copies, tmp_path, how):
    # the linked files are genuine: only where they lie is wrong
    for rel, got in replaced(copies, tmp_path, how).items():
        assert got.startswith("REFUSED ValueError") and "leads outside the folder" in got, (rel, got)


def test_sub_folder_linked_out_of_the_folder_is_refused(copies, tmp_path):
    folder = copies("linked")
    shutil.move(folder / "autofe", tmp_path / "elsewhere")
    os.symlink(tmp_path / "elsewhere", folder / "autofe")
    reset_task_config()
    with pytest.raises(ValueError, match="leads outside the folder"):
        bv.tabular_incrml(str(folder))
    # a chain of links that ends outside: inside, then out
    folder = copies("chain")
    os.rename(folder / "automl" / "result", tmp_path / "model")
    os.symlink(tmp_path / "model", folder / "automl" / "far")
    os.symlink("far", folder / "automl" / "result")
    reset_task_config()
    with pytest.raises(ValueError, match="leads outside the folder"):
        bv.tabular_incrml(str(folder))


def test_links_inside_the_folder_and_a_linked_folder_still_load(copies, tmp_path):
    folder = copies("inner")
    os.rename(folder / "automl" / "result", folder / "automl" / "model.pkl")
    os.symlink("model.pkl", folder / "automl" / "result")
    os.rename(folder / "config.yaml", folder / "autofe" / "config.yaml")
    os.symlink(os.path.join("autofe", "config.yaml"), folder / "config.yaml")
    reset_task_config()
    assert bv.tabular_incrml(str(folder)).model is not None
    # the folder itself reached through a link
    os.symlink(folder, tmp_path / "alias")
    reset_task_config()
    obj = bv.tabular_incrml(str(tmp_path / "alias"))
    assert len(obj.adv_features) > 0


def test_missing_files_fail_as_before(copies):
    folder = copies("missing")
    os.unlink(folder / "automl" / "result")
    reset_task_config()
    with pytest.raises(FileNotFoundError):
        bv.tabular_incrml(str(folder))
    # a missing record file is an empty record dictionary
    folder = copies("norecords")
    os.unlink(folder / "autofe" / "labelencoder.pkl")
    reset_task_config()
    assert bv.tabular_incrml(str(folder)).lec_record_dt == {}
    folder = copies("noconfig")
    os.unlink(folder / "config.yaml")
    reset_task_config()
    with pytest.raises(ValueError, match="CONFIG FILE NOT FOUND"):
        bv.tabular_incrml(str(folder))


@pytest.mark.parametrize("rel, module, setting", [
    ("automl/result", bv, "PICKLE_MAX_BYTES"),
    ("autofe/labelencoder.pkl", bv, "PICKLE_MAX_BYTES"),
    ("autofe/result", bv, "FEATURES_MAX_BYTES"),
    ("config.yaml", corlet, "MAX_BYTES"),
])
def test_files_over_their_limit_are_refused_before_parsing(copies, monkeypatch, rel, module, setting):
    folder = copies("big")
    size = os.path.getsize(folder / rel)
    monkeypatch.setattr(module, setting, size - 1)
    reset_task_config()
    with pytest.raises(ValueError, match=f"over the limit of {size - 1} bytes .*{setting}"):
        bv.tabular_incrml(str(folder))
    # both pickles share their limit: the largest file sets what passes
    largest = max(os.path.getsize(folder / r) for r in FILES
                  if r == rel or setting == "PICKLE_MAX_BYTES" and r.endswith(("result", ".pkl"))
                  and r != "autofe/result")
    monkeypatch.setattr(module, setting, largest)
    reset_task_config()
    assert bv.tabular_incrml(str(folder)).model is not None


def test_limits_must_be_numbers_of_bytes(copies, monkeypatch):
    folder = copies("setting")
    monkeypatch.setattr(bv, "PICKLE_MAX_BYTES", "1 GB")
    reset_task_config()
    with pytest.raises(ValueError, match="PICKLE_MAX_BYTES must be a non-negative number of bytes"):
        bv.tabular_incrml(str(folder))


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs FIFOs")
def test_validation_rows_are_read_as_a_regular_file(copies, tmp_path):
    fifo = copies("valfifo")
    os.unlink(fifo / "automl" / "val_res")
    os.mkfifo(fifo / "automl" / "val_res")
    linked = copies("vallink")
    shutil.move(linked / "automl" / "val_res", tmp_path / "val_res")
    os.symlink(tmp_path / "val_res", linked / "automl" / "val_res")
    body = """
        from workbench_fixtures import reset_task_config
        from brinvale.brinvale import tabular_incrml
        reset_task_config()
        obj = tabular_incrml({folder!r})
        obj.training_data = obj._load_data_from_file({folder!r} + "/automl/val_res.csv")
        obj._validation_data()
    """
    for folder in (fifo, linked):
        # genuine rows beside it, so that only val_res is in question
        shutil.copyfile(tmp_path / "val_res", folder / "automl" / "val_res.csv")
    got = outcomes({"fifo": body.format(folder=str(fifo)), "link": body.format(folder=str(linked))})
    assert got["fifo"].startswith("REFUSED ValueError") and "FIFO" in got["fifo"], got
    assert got["link"].startswith("REFUSED ValueError") and "leads outside" in got["link"], got
