import numpy as np
import pandas as pd
import pytest

from workbench_fixtures import bare  # noqa: F401


@pytest.fixture
def frame():
    return pd.DataFrame({"a": [1, 2], "b": ["x", "y"]})


@pytest.mark.parametrize("name", ["data.csv", "datacsv"])
def test_csv_suffix(bare, tmp_path, frame, name):
    frame.to_csv(tmp_path / name, index=False)
    got = bare._load_data_from_file(str(tmp_path / name))
    pd.testing.assert_frame_equal(got, pd.read_csv(tmp_path / name))


@pytest.mark.parametrize("name", ["data.CSV", "data.txt", "data.xls", "data.csv.gz"])
def test_unmatched_suffix(bare, tmp_path, frame, name):
    frame.to_csv(tmp_path / name, index=False)
    with pytest.raises(ValueError, match="cannot load .*" + name.replace(".", r"\.")):
        bare._load_data_from_file(str(tmp_path / name))


def test_missing_csv_propagates(bare, tmp_path):
    with pytest.raises(FileNotFoundError):
        bare._load_data_from_file(str(tmp_path / "none.csv"))


def test_excel(bare, tmp_path, frame):
    frame.to_excel(tmp_path / "d.xlsx", index=False)
    got = bare._load_data_from_file(str(tmp_path / "d.xlsx"))
    assert got["a"].tolist() == [1, 2] and got["b"].tolist() == ["x", "y"]


def test_npz_one_column_per_array(bare, tmp_path):
    np.savez(tmp_path / "d.npz", a=np.array([1.5, 2.5]), b=np.array(["x", "y"]))
    got = bare._load_data_from_file(str(tmp_path / "d.npz"))
    assert got.columns.tolist() == ["a", "b"]
    assert got["a"].tolist() == [1.5, 2.5] and got["b"].tolist() == ["x", "y"]


def test_npz_refuses_tables(bare, tmp_path):
    np.savez(tmp_path / "d.npz", m=np.zeros((2, 2)))
    with pytest.raises(ValueError, match="'m' is not one-dimensional"):
        bare._load_data_from_file(str(tmp_path / "d.npz"))


def test_folder_of_csv_keeps_each_files_labels(bare, tmp_path, frame):
    d = tmp_path / "parts"
    d.mkdir()
    frame.to_csv(d / "1.csv", index=False)
    frame.assign(c=[7, 8]).to_csv(d / "2.csv", index=False)
    (d / ".hidden").write_text("not,a\ncsv")
    got = bare._load_data_from_file(str(d))
    assert len(got) == 4 and got.index.tolist() == [0, 1, 0, 1]
    assert got.columns.tolist() == ["a", "b", "c"]
    assert sorted(got["c"].dropna().tolist()) == [7, 8] and got["c"].isna().sum() == 2


def test_folder_of_csv_is_read_in_sorted_name_order(bare, tmp_path, monkeypatch):
    # whatever order the file system lists the files in: the rows, and every
    # window feature over them, are the same on every machine
    import glob

    d = tmp_path / "parts"
    d.mkdir()
    for name in ("2.csv", "10.csv", "1.csv"):
        pd.DataFrame({"f": [name]}).to_csv(d / name, index=False)
    real = glob.glob
    monkeypatch.setattr(glob, "glob", lambda pattern: sorted(real(pattern), reverse=True))
    got = bare._load_data_from_file(str(d))
    assert got["f"].tolist() == ["1.csv", "10.csv", "2.csv"]


def test_empty_folder(bare, tmp_path):
    got = bare._load_data_from_file(str(tmp_path))
    assert got.empty


def test_result_is_a_copy(bare, tmp_path, frame):
    frame.to_csv(tmp_path / "d.csv", index=False)
    a = bare._load_data_from_file(str(tmp_path / "d.csv"))
    b = bare._load_data_from_file(str(tmp_path / "d.csv"))
    a.loc[0, "a"] = 99
    assert b.loc[0, "a"] == 1


class Text(str):
    pass


@pytest.mark.parametrize("bad", [None, Text("d.csv"), ["d.csv"], pd.DataFrame()])
def test_load_type(bare, bad):
    with pytest.raises(TypeError, match=r"Argument 'input_file_path' has incorrect type \(expected str"):
        bare._load_data_from_file(bad)


@pytest.mark.parametrize(
    "given, expected",
    [
        (["a b", "c:d", "（x）"], ["a_b", "c_d", "_x_"]),
        ("a b:c", "a b_c"),
        ("【价格】《元》…！＠＃￥％[]", "_价格__元_________"),
        ([], []),
        ("价格（元）", "价格_元_"),
    ],
)
def test_colname_filter(bare, given, expected):
    assert bare._colname_filter(given) == expected


@pytest.mark.parametrize("bad", [("a",), 3, pd.Index(["a"])])
def test_colname_filter_type(bare, bad):
    with pytest.raises(TypeError, match=type(bad).__name__):
        bare._colname_filter(bad)


def test_colname_filter_non_text_element(bare):
    with pytest.raises(AttributeError):
        bare._colname_filter(["a", 3])


def test_normalize_in_place(bare):
    df = pd.DataFrame({"unit price": [1], " a b ": [2]})
    out = bare._normalize_column_names(df)
    assert out is df and df.columns.tolist() == ["unit_price", "_a_b_"]


@pytest.mark.parametrize("dtype", [object, "str", "category"])
def test_percent_conversion(bare, dtype):
    idx = [5, 6, 7]
    df = pd.DataFrame({"p": pd.Series(["5%", "12%", "7"], dtype=dtype, index=idx),
                       "n": pd.Series([1, 2, 3], index=idx)})
    out = bare._percent_sign_conversion(df)
    assert out is not df and out.index.tolist() == [5, 6, 7]
    np.testing.assert_allclose(out["p"], [0.05, 0.12, 0.07])
    assert out["n"].tolist() == [1, 2, 3]
    assert df["p"].tolist() == ["5%", "12%", "7"]


def test_percent_missing_and_plain_text(bare):
    df = pd.DataFrame({"p": ["5%", None], "t": pd.Series(["a", "b"], dtype=object)})
    out = bare._percent_sign_conversion(df)
    assert out["p"].iloc[0] == 0.05 and np.isnan(out["p"].iloc[1])
    assert out["t"].dtype == object and out["t"].tolist() == ["a", "b"]


def test_percent_unconvertible(bare):
    with pytest.raises(ValueError):
        bare._percent_sign_conversion(pd.DataFrame({"p": ["5%", "abc"]}))


@pytest.mark.parametrize("dtype", [object, "str"])
def test_percentages_of_a_frame_cut_into_parts(bare, dtype):
    """Each part converts the columns the whole frame shows as percentages,
    also where none of its own values ends in "%", and gives the whole
    frame's conversion of its rows."""
    from brinvale import brinvale as wb

    whole = pd.DataFrame({
        "p": pd.Series(["5%", "12.5%", "7", None, "3", "1e2"], dtype=dtype),
        "q": pd.Series(["1", "2", "3", "4", "5", "6%"], dtype=dtype),
        "t": pd.Series(["a", "b", "c", "d", "e", "f"], dtype=dtype),
    })
    found = wb._percent_columns(whole)
    assert found == ["p", "q"]
    want = bare._percent_sign_conversion(whole)
    for a, b in [(0, 2), (2, 5), (5, 6), (3, 4)]:
        part = whole.iloc[a:b]
        got = wb._convert_percentages(part, found)
        assert got["t"].tolist() == part["t"].tolist()
        for col in found:
            assert got[col].dtype == np.float64, (col, a, b)
            np.testing.assert_array_equal(got[col].to_numpy(), want[col].to_numpy()[a:b])
