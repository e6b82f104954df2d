"""A folder of CSV files is read entry by entry: entries that are not regular
files (a FIFO, a link to a device, a sub-folder) are refused by name, at once,
instead of blocking the reader or reading without end.  Each case runs in a
child interpreter with a time-out, so a regression shows as a failure rather
than a hung suite."""

import os
import subprocess
import sys
import textwrap

import pandas as pd
import pytest

from workbench_fixtures import bare  # noqa: F401

HERE = os.path.dirname(__file__)


def load_in_child(folder, timeout=60):
    code = textwrap.dedent(
        f"""
        import sys
        sys.path.insert(0, {HERE!r})
        from brinvale.brinvale import tabular_incrml
        obj = tabular_incrml.__new__(tabular_incrml)
        try:
            frame = obj._load_data_from_file({str(folder)!r})
        except Exception as e:
            print(type(e).__name__ + ": " + str(e))
        else:
            print("rows", len(frame))
        """
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=timeout, env=dict(os.environ))
    assert done.returncode == 0, done.stderr
    return done.stdout.strip()


@pytest.fixture
def folder(tmp_path):
    d = tmp_path / "parts"
    d.mkdir()
    pd.DataFrame({"a": [1, 2]}).to_csv(d / "a.csv", index=False)
    return d


@pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="needs FIFOs")
def test_fifo_is_refused_not_waited_on(folder):
    os.mkfifo(folder / "x.csv")
    out = load_in_child(folder)
    assert out.startswith("ValueError") and "x.csv" in out and "FIFO" in out


@pytest.mark.skipif(not os.path.exists("/dev/zero"), reason="needs /dev/zero")
def test_link_to_a_device_is_refused_not_read(folder):
    os.symlink("/dev/zero", folder / "zero.csv")
    out = load_in_child(folder)
    assert out.startswith("ValueError") and "zero.csv" in out and "character device" in out


def test_sub_folder_is_refused(folder):
    (folder / "more.csv").mkdir()
    out = load_in_child(folder)
    assert out.startswith("ValueError") and "more.csv" in out and "a folder" in out


def test_link_to_a_csv_file_is_read(bare, folder, tmp_path):
    pd.DataFrame({"a": [3]}).to_csv(tmp_path / "elsewhere.csv", index=False)
    os.symlink(tmp_path / "elsewhere.csv", folder / "b.csv")
    got = bare._load_data_from_file(str(folder))
    assert sorted(got["a"].tolist()) == [1, 2, 3]


def test_regular_files_still_read_in_listing_order(bare, folder):
    pd.DataFrame({"a": [5], "b": ["x"]}).to_csv(folder / "c.csv", index=False)
    got = bare._load_data_from_file(str(folder))
    assert len(got) == 3 and got.columns.tolist() == ["a", "b"]
