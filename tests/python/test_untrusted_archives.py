"""npz and xlsx inputs are zip archives: members are refused by the sizes the
archive's directory declares, before anything is expanded; an npz header
cannot declare more values than its member holds; pickled object arrays may
hold plain values only."""

import io
import os
import pickle
import struct
import tracemalloc
import zipfile

import numpy as np
import pandas as pd
import pytest

import brinvale.brinvale as bv
from workbench_fixtures import bare  # noqa: F401

BOMB = 64 << 20  # expands 64 MiB from about 64 KiB on disk


def npy_header(shape, descr="<f8"):
    buf = io.BytesIO()
    np.lib.format.write_array_header_1_0(buf, {"descr": descr, "fortran_order": False, "shape": shape})
    return buf.getvalue()


def write_zeros(zf, name, prefix, size):
    info = zipfile.ZipInfo(name)
    info.compress_type = zipfile.ZIP_DEFLATED
    with zf.open(info, "w", force_zip64=True) as f:
        f.write(prefix)
        chunk = bytes(1 << 20)
        left = size
        while left > 0:
            f.write(chunk[: min(left, len(chunk))])
            left -= len(chunk)


def zip_info(path):
    with zipfile.ZipFile(path) as zf:
        return [(i.filename, i.file_size, i.compress_size) for i in zf.infolist()]


@pytest.fixture
def small_limits(monkeypatch):
    monkeypatch.setattr(bv, "NPZ_MAX_BYTES", 1 << 20)
    monkeypatch.setattr(bv, "XLSX_MAX_BYTES", 1 << 20)


def load_peak(obj, path):
    """The loader's error and the peak of traced memory while it ran."""
    tracemalloc.start()
    try:
        with pytest.raises(Exception) as info:
            obj._load_data_from_file(str(path))
        return info.value, tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


def test_npz_bomb_refused_from_the_directory(bare, tmp_path, small_limits):
    path = tmp_path / "bomb.npz"
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as zf:
        zf.writestr("a.npy", npy_header((3,)) + np.arange(3.0).tobytes())
        write_zeros(zf, "b.npy", npy_header((BOMB // 8,)), BOMB)
    assert os.path.getsize(path) < BOMB // 100
    error, peak = load_peak(bare, path)
    assert isinstance(error, ValueError)
    assert "'b.npy'" in str(error) and "NPZ_MAX_BYTES" in str(error)
    assert peak < 4 << 20


def test_npz_members_together_over_the_limit(bare, tmp_path, monkeypatch):
    monkeypatch.setattr(bv, "NPZ_MAX_BYTES", 3000)
    path = tmp_path / "many.npz"
    np.savez(path, **{f"c{i}": np.zeros(100) for i in range(5)})  # about 930 bytes each
    with pytest.raises(ValueError, match="'c3.npy'.*NPZ_MAX_BYTES"):
        bare._load_data_from_file(str(path))
    monkeypatch.setattr(bv, "NPZ_MAX_BYTES", 10_000)
    assert bare._load_data_from_file(str(path)).shape == (100, 5)


def test_npz_header_declaring_more_than_the_member_holds(bare, tmp_path):
    path = tmp_path / "liar.npz"
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as zf:
        zf.writestr("x.npy", npy_header((10**12,)) + bytes(80))
    error, peak = load_peak(bare, path)
    assert isinstance(error, ValueError) and "'x'" in str(error) and "declares" in str(error)
    assert peak < 4 << 20


def test_npz_directory_understating_a_member(bare, tmp_path):
    """A directory that declares a small size: the member is cut at it, not expanded."""
    path = tmp_path / "understated.npz"
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as zf:
        zf.writestr("x.npy", npy_header((BOMB // 8,)) + bytes(BOMB))
    data = bytearray(path.read_bytes())
    declared = len(npy_header((BOMB // 8,))) + BOMB
    # rewrite the uncompressed size in the local header and the central directory
    packed = struct.pack("<I", 1000)
    for sig, offset in ((b"PK\x03\x04", 22), (b"PK\x01\x02", 24)):
        at = data.index(sig)
        assert struct.unpack_from("<I", data, at + offset)[0] == declared
        data[at + offset : at + offset + 4] = packed
    path.write_bytes(bytes(data))
    assert zip_info(path)[0][1] == 1000
    error, peak = load_peak(bare, path)
    assert isinstance(error, (ValueError, zipfile.BadZipFile))
    assert peak < 4 << 20


class _Marker:
    def __init__(self, path):
        self.path = path

    def __reduce__(self):
        return (os.system, (f"touch {self.path}",))


def test_npz_object_array_naming_a_function_is_refused(bare, tmp_path):
    marker = tmp_path / "marker"
    path = tmp_path / "evil.npz"
    np.savez(path, x=np.array([_Marker(marker), "b"], dtype=object))
    with pytest.raises(pickle.UnpicklingError, match="system"):
        bare._load_data_from_file(str(path))
    assert not marker.exists()


def test_npz_recipe_with_text_and_missing_values(bare, tmp_path):
    """The user guide's recipe: text columns as Series.to_numpy() gives them."""
    df = pd.DataFrame({"n": [1.5, np.nan, 3.0], "t": ["x", None, "是"], "i": [1, 2, 3]})
    df.to_csv(tmp_path / "d.csv", index=False)
    from_csv = bare._load_data_from_file(str(tmp_path / "d.csv"))
    np.savez(tmp_path / "d.npz", **{col: from_csv[col].to_numpy() for col in from_csv.columns})
    got = bare._load_data_from_file(str(tmp_path / "d.npz"))
    assert got.columns.tolist() == ["n", "t", "i"]
    assert got["t"].iloc[0] == "x" and pd.isna(got["t"].iloc[1]) and got["t"].iloc[2] == "是"
    np.testing.assert_array_equal(got["n"], from_csv["n"])
    assert got["i"].tolist() == [1, 2, 3]


def test_npz_member_that_is_not_an_array(bare, tmp_path):
    path = tmp_path / "odd.npz"
    with zipfile.ZipFile(path, "w") as zf:
        zf.writestr("notes.txt", "hello")
    with pytest.raises(ValueError, match="'notes.txt' is not a NumPy array"):
        bare._load_data_from_file(str(path))
    (tmp_path / "plain.npz").write_bytes(b"not a zip")
    with pytest.raises(ValueError, match="not an npz archive"):
        bare._load_data_from_file(str(tmp_path / "plain.npz"))


def test_xlsx_bomb_refused_from_the_directory(bare, tmp_path, small_limits):
    path = tmp_path / "book.xlsx"
    pd.DataFrame({"a": [1, 2]}).to_excel(path, index=False)
    assert bare._load_data_from_file(str(path))["a"].tolist() == [1, 2]
    with zipfile.ZipFile(path, "a", zipfile.ZIP_DEFLATED) as zf:
        write_zeros(zf, "xl/media/image1.png", b"", BOMB)
    error, peak = load_peak(bare, path)
    assert isinstance(error, ValueError)
    assert "'xl/media/image1.png'" in str(error) and "XLSX_MAX_BYTES" in str(error)
    assert peak < 4 << 20


def test_a_bad_limit_is_named(bare, tmp_path, monkeypatch):
    np.savez(tmp_path / "d.npz", a=np.zeros(2))
    monkeypatch.setattr(bv, "NPZ_MAX_BYTES", "1GB")
    with pytest.raises(ValueError, match="NPZ_MAX_BYTES"):
        bare._load_data_from_file(str(tmp_path / "d.npz"))


def test_readme_recipe_predicts_like_the_csv(tmp_path):
    """An archive made by the user guide's recipe from a table with text columns
    and missing text gives the predictions of the same table as CSV."""
    from workbench_fixtures import reset_task_config
    from brinvale.sample import build_sample, sample_table

    folder = build_sample(str(tmp_path / "result"), "classification")
    df = sample_table()
    df.loc[[3, 8], "sex"] = None
    df.to_csv(tmp_path / "data.csv", index=False)
    frame = pd.read_csv(tmp_path / "data.csv")
    np.savez(tmp_path / "data.npz", **{col: frame[col].to_numpy() for col in frame.columns})
    reset_task_config()
    try:
        obj = bv.tabular_incrml(folder)
        np.testing.assert_array_equal(obj.predict(str(tmp_path / "data.npz")), obj.predict(str(tmp_path / "data.csv")))
    finally:
        reset_task_config()
