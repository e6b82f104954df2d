"""Tiny pickles that would make the unpickler allocate gigabytes: sized calls
(bytearray(n), a tree's output count), object arrays whose shape is far
larger than their state, memo entries written far past those before them,
many medium allocations or small containers that add up, and object members
of npz inputs.  Each is refused before anything is built, with an
UnpicklingError naming what it asked for; a genuine pickle of the same kinds
of values still loads.  Every case runs in a child interpreter under an
address-space limit of 4 GB and 60 s."""

import io
import re
import pickle
import zipfile

import numpy as np
import pandas as pd
import pytest

import brinvale.brinvale as bv
from bounded_child import outcomes
from pickle_craft import Build, Call, G, Get, Memo, craft, write_payload
from workbench_fixtures import folder_copy, sample_dirs  # noqa: F401

RECONSTRUCT = G("numpy._core.multiarray", "_reconstruct")
NDARRAY = G("numpy", "ndarray")


def dtype(code):
    return Build(Call(G("numpy", "dtype"), code, False, True),
                 (3, "|", None, None, None, -1, -1, 63))


def array(shape, data, code="O8"):
    """An ndarray as NumPy pickles it: an empty one, then its state."""
    return Build(Call(RECONSTRUCT, NDARRAY, (0,), b"b"), (1, shape, dtype(code), False, data))


def load_code(path):
    return f"""
        import io
        import brinvale.brinvale as bv
        with open({str(path)!r}, "rb") as f:
            bv._ResultUnpickler(io.BytesIO(f.read())).load()
    """


def run_cases(tmp_path, payloads):
    cases = {}
    for name, raw in payloads.items():
        path = tmp_path / (name.replace(" ", "_") + ".pkl")
        path.write_bytes(raw)
        cases[name] = load_code(path)
    return outcomes(cases)


def sets_bomb(n):
    return b"\x80\x04](" + b"\x8f" * n + b"e."


REFUSED = {
    "bytearray of 3e9": (craft(Call(G("builtins", "bytearray"), 3 * 10**9)),
                         r"bytearray of 3000000000 would allocate 3000000000 bytes"),
    "bytes of 3e9, protocol 2": (craft(Call(G("__builtin__", "bytes"), 3 * 10**9), protocol=2),
                                 r"bytes of 3000000000 would allocate"),
    "object array of 4e8 slots": (craft(array((4 * 10**8,), [])),
                                  r"shape \(400000000,\) holds more items than a pickle of"),
    "object array of 2e4 x 2e4 slots": (craft(array((20000, 20000), [])),
                                        r"shape \(20000, 20000\) holds more items"),
    "reconstructor given a huge shape": (craft(Call(RECONSTRUCT, NDARRAY, (4 * 10**8,), b"O")),
                                         r"reconstructor \(400000000,\) holds more items"),
    # NumPy writes every array as an empty one: a shape here has no state to match
    "reconstructor given a shape": (craft(Call(RECONSTRUCT, NDARRAY, (10,), b"V100000000")),
                                    r"reconstructor is given the shape \(10,\)"),
    "a view given an object array's state": (
        craft(Build(Call(G("numpy._core.numeric", "_frombuffer"), b"",
                         Call(G("numpy", "dtype"), "f8", False, True), (0,), "C"),
                    (1, (4 * 10**8,), dtype("O8"), False, []))),
        r"shape \(400000000,\) holds more items"),
    "memo entry 2e8": (craft(Memo(2 * 10**8, None)),
                       r"writes memo entry 200000000 when only 0 were written"),
    "memo entry past a gap": (craft((Memo(0, 1), Memo(5, 2), Get(5))),
                              r"writes memo entry 5 when only 1 were written"),
    "many medium bytearrays": (craft([Call(G("builtins", "bytearray"), 10**6)] * 300),
                               r"bytearray of 1000000 would allocate 1000000 bytes, more than a "
                               r"pickle of \d+ bytes can justify"),
    "a tree with 1e9 outputs": (
        craft(Call(G("sklearn.tree._tree", "Tree"), 3,
                   array((1,), b"\x02" + bytes(7), code="i8"), 10**9)),
        r"a tree's outputs of 1000000000 would allocate 8000000000 bytes"),
    "three million empty sets": (sets_bomb(3_000_000),
                                 r"building its objects would take more than \d+ bytes"),
}


def test_amplifying_pickles_are_refused_naming_what_they_ask_for(tmp_path):
    got = run_cases(tmp_path, {name: raw for name, (raw, _) in REFUSED.items()})
    for name, (raw, pattern) in REFUSED.items():
        assert got[name].startswith("REFUSED UnpicklingError: refused to unpickle: "), (name, got)
        assert re.search(pattern, got[name]), (name, got[name])
    assert len(REFUSED["bytearray of 3e9"][0]) < 40
    assert len(REFUSED["object array of 4e8 slots"][0]) < 300


@pytest.mark.parametrize("items", [0, 2, 4])
def test_an_object_array_state_whose_list_disagrees_with_its_shape_is_refused(tmp_path, items):
    # NumPy reads as many list items as the shape holds: a shorter list
    # crashed the interpreter, a longer one was silently cut
    raw = craft(array((3,), ["a"] * items))
    got = run_cases(tmp_path, {"case": raw})["case"]
    assert got.startswith("REFUSED UnpicklingError"), got
    assert f"shape (3,) (3 items) is given a list of {items} items" in got


def test_object_array_items_only_as_a_list_of_the_object_dtype(tmp_path):
    got = run_cases(tmp_path, {
        "list with an integer dtype": craft(array((2,), [1, 2], code="i8")),
        "object dtype given a sub-array by its state": craft(
            Build(Call(RECONSTRUCT, NDARRAY, (0,), b"b"),
                  (1, (1,), Build(Call(G("numpy", "dtype"), "O8", False, True),
                                  (3, "|", (NDARRAY, (10**9,)), None, None, -1, -1, 63)),
                   False, ["a"]))),
        "contents computed by a call": craft(array((2,), Call(G("builtins", "set"), ()))),
    })
    for name, outcome in got.items():
        assert outcome.startswith("REFUSED UnpicklingError"), (name, outcome)


def test_dup_after_large_tuples_and_nested_tuples_stay_cheap_to_check(tmp_path):
    # the checker used to copy a tuple's texts for every DUP: gigabytes for a
    # 1.5 MB file; now each DUP costs the checker what it costs the unpickler
    text = "x" * 500
    dups = b"\x80\x04" + craft((text, text, text, text))[2:-1] + b"2" * 1_500_000 + b"."
    nested = b"\x80\x04K\x00" + b"\x85" * 1_000_000 + b"."
    got = run_cases(tmp_path, {"dups": dups, "nested": nested})
    assert got == {"dups": "LOADED", "nested": "LOADED"}


def test_genuine_values_keep_loading_under_every_protocol():
    frame = pd.DataFrame({
        "x": np.arange(50_000, dtype=np.float64),
        "t": np.array(["repeated"] * 50_000, dtype=object),
        "c": pd.Categorical(["a", "b"] * 25_000),
    })
    values = {
        "frame": frame,
        "object array of shared items": np.array([None, "a"] * 100_000, dtype=object),
        "empty object array": np.empty((0, 3), dtype=object),
        "2-d float array": np.ones((300, 200)),
        "bytearray": bytearray(b"\x00" * 100_000),
        "many small dicts": [{"k": i, "v": [i]} for i in range(20_000)],
    }
    for protocol in (2, 3, 4, 5):
        for name, value in values.items():
            raw = pickle.dumps(value, protocol=protocol)
            got = bv._ResultUnpickler(io.BytesIO(raw)).load()
            if isinstance(value, pd.DataFrame):
                pd.testing.assert_frame_equal(got, value)
            elif isinstance(value, np.ndarray):
                np.testing.assert_array_equal(got, value)
                assert got.shape == value.shape
            else:
                assert got == value, (name, protocol)


def npz_with_object_member(path, pickled, count):
    header = io.BytesIO()
    np.lib.format.write_array_header_1_0(
        header, {"descr": "|O", "fortran_order": False, "shape": (count,)})
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as zf:
        zf.writestr("x.npy", b"\x93NUMPY\x01\x00" + header.getvalue()[8:] + pickled)


def test_npz_object_members_cannot_ask_for_huge_arrays(tmp_path):
    count = 3 * 10**8
    cases = {}
    payloads = {
        "ndarray called with a shape": craft(Call(NDARRAY, (count,), "O"), protocol=2),
        "state larger than its list": craft(array((count,), ["a"]), protocol=4),
        "list shorter than the shape": craft(array((3,), ["a"]), protocol=3),
    }
    for name, raw in payloads.items():
        path = tmp_path / (name.replace(" ", "_") + ".npz")
        npz_with_object_member(path, raw, count if "shorter" not in name else 3)
        assert path.stat().st_size < 30_000
        cases[name] = f"""
            import brinvale.brinvale as bv
            bv.tabular_incrml.__new__(bv.tabular_incrml)._load_data_from_file({str(path)!r})
        """
    got = outcomes(cases)
    assert got["ndarray called with a shape"].startswith("REFUSED UnpicklingError"), got
    assert "calls 'numpy.ndarray'" in got["ndarray called with a shape"]
    assert "shape (300000000,) holds more items" in got["state larger than its list"]
    assert "given a list of 1 items" in got["list shorter than the shape"]
    for outcome in got.values():
        assert "refusing array 'x'" in outcome


def test_a_genuine_npz_object_member_still_loads(tmp_path):
    path = tmp_path / "ok.npz"
    np.savez(path, t=np.array(["a", None, "是"] * 1000, dtype=object), n=np.arange(3000.0))
    got = bv.tabular_incrml.__new__(bv.tabular_incrml)._load_data_from_file(str(path))
    assert got["t"][0] == "a" and pd.isna(got["t"][1]) and got["t"][2] == "是"
    assert len(got) == 3000 and got["n"].sum() == np.arange(3000.0).sum()


def test_a_record_whose_index_is_a_huge_range_is_refused_by_its_length(folder_copy):
    # a RangeIndex of 10^9 rows is a few bytes in the pickle: checking it
    # against the values may not ask for its 8 GB of values
    key = "aggregate###max|||bill_length_mm|||sex$$$"
    folder = folder_copy()
    with open(folder / "autofe" / "labelencoder.pkl", "rb") as f:
        rec = pickle.load(f)
    rec[key]._mgr.axes[0] = pd.RangeIndex(10**9)
    write_payload(folder, pickle.dumps(rec), where="records")
    got = outcomes({"case": f"""
        from brinvale.brinvale import tabular_incrml
        tabular_incrml({str(folder)!r})
    """})["case"]
    assert got.startswith("REFUSED ValueError"), got
    assert repr(key) in got and "its index holds 1000000000 values for 3 rows" in got
