"""Records built from genuine pandas classes whose parts disagree: pandas
unpickles them without checking, and the native kernels would read past
their ends.  Each is refused on load with a ValueError naming the record;
every case runs in a child interpreter, so a crash fails the test instead
of ending the run."""

import pickle

import pandas as pd
import pytest

from pickle_craft import load_in_child, write_payload
from workbench_fixtures import folder_copy, sample_dirs  # noqa: F401

CROSS = "crosscount###island|||sex$$$"
MEAN = "aggregate###mean|||flipper_length_mm|||island$$$"
COUNT = "count###island$$$"
MAX = "aggregate###max|||bill_length_mm|||sex$$$"


def codes_past_their_level(rec):
    s = rec[CROSS]
    idx = s.index
    codes = [list(c) for c in idx.codes]
    codes[0][0] = 100  # the level holds three islands
    rec[CROSS] = pd.Series(s.to_numpy(), name=s.name,
                           index=pd.MultiIndex(levels=idx.levels, codes=codes, names=idx.names,
                                               verify_integrity=False))


def index_longer_than_values(rec):
    s = rec[MAX]
    longer = pd.Index(list(s.index) + [f"extra{i}" for i in range(100_000)], name=s.index.name)
    s._mgr.axes[0] = longer


def mean_data_index_longer(rec):
    s = rec[MEAN]["data"]
    s._mgr.axes[0] = pd.Index(list(s.index) * 1000, name=s.index.name)


def frame_block_past_its_rows(rec):
    df = rec[COUNT]
    df._mgr.axes[1] = pd.RangeIndex(len(df) + 100_000)


def count_frame_without_its_columns(rec):
    rec[COUNT] = rec[COUNT].rename(columns={COUNT: "other"})


def mean_record_not_a_dict(rec):
    rec[MEAN] = rec[MEAN]["data"]


def crosscount_with_one_level(rec):
    rec[CROSS] = rec[CROSS].reset_index(level=1, drop=True)


def text_values(rec):
    rec[MAX] = rec[MAX].astype(str)


CASES = [codes_past_their_level, index_longer_than_values, mean_data_index_longer,
         frame_block_past_its_rows, count_frame_without_its_columns, mean_record_not_a_dict,
         crosscount_with_one_level, text_values]
KEYS = {codes_past_their_level: CROSS, index_longer_than_values: MAX, mean_data_index_longer: MEAN,
        # pandas itself refuses this one while unpickling, in its own words
        frame_block_past_its_rows: None, count_frame_without_its_columns: COUNT,
        mean_record_not_a_dict: MEAN, crosscount_with_one_level: CROSS, text_values: MAX}


@pytest.mark.parametrize("damage", CASES, ids=lambda f: f.__name__)
def test_damaged_records_are_refused_without_a_crash(folder_copy, tmp_path, damage):
    folder = folder_copy()
    with open(folder / "autofe" / "labelencoder.pkl", "rb") as f:
        rec = pickle.load(f)
    damage(rec)
    write_payload(folder, pickle.dumps(rec), where="records")
    csv = tmp_path / "new.csv"
    from brinvale.sample import write_sample_csv

    write_sample_csv(str(csv), rows=40)
    done = load_in_child(folder, str(csv))
    assert done.returncode == 0, done.stderr[-2000:]
    last = done.stdout.strip().splitlines()[-1]
    assert last.startswith("REFUSED ValueError:"), done.stdout + done.stderr[-2000:]
    assert KEYS[damage] is None or repr(KEYS[damage]) in last


def test_the_genuine_records_load_in_a_child_too(folder_copy, tmp_path):
    from brinvale.sample import write_sample_csv

    csv = tmp_path / "new.csv"
    write_sample_csv(str(csv), rows=40)
    done = load_in_child(folder_copy(), str(csv))
    assert done.stdout.strip().splitlines()[-1] == "LOADED", done.stdout + done.stderr[-2000:]
