import numpy as np
import pandas as pd
import pytest

from brinvale.module.dataprocess.dovrel import LabelEncoderWithOOV
from workbench_fixtures import bare, load, raw, sample_dirs  # noqa: F401


def encoder(values):
    e = LabelEncoderWithOOV()
    e.fit(pd.Series(values))
    return e


def frame(index=None):
    return pd.DataFrame(
        {" unit price ": [1.0, 2.0, 3.0], "city": ["a", None, "b"], "y": [0, 1, 0],
         "id": [1, 2, 3], "drop me": [5, 6, 7], "when": ["2021-03-04", "2021-03-05", "2021-03-06"]},
        index=index)


@pytest.fixture
def configured(bare):
    bare.lec_record_dt = {"city": encoder(["a", "b", "na"])}
    bare.id_index = "id"
    bare.ignore_features = ["drop_me", "when"]
    bare.time_index = "when"
    return bare


def test_process_data_steps(configured):
    df = frame()
    out = configured._process_data(df)
    # the caller's frame is renamed and re-encoded in place
    assert df.columns.tolist() == ["unit_price", "city", "y", "id", "drop_me", "when"]
    assert df["city"].tolist() == [0, 2, 1] and df["city"].dtype.kind == "i"
    assert out.columns.tolist() == ["unit_price", "city", "y", "when"]
    assert out["when"].dtype.kind == "M"
    features, records = configured.engine_calls[0]
    assert features is configured.adv_features and records is configured.lec_record_dt


def test_unseen_text_gets_the_out_of_vocabulary_code(bare):
    bare.lec_record_dt = {"city": encoder(["a", "b"])}
    out = bare._process_data(pd.DataFrame({"city": ["a", None]}))
    classes = list(bare.lec_record_dt["city"].classes_)
    assert out["city"].tolist() == [0, len(classes) - 1] and classes[-1] == "OOV"


def test_columns_without_encoder_and_time_column_stay_text(bare):
    bare.lec_record_dt = {"when": encoder(["x"])}
    bare.time_index = "when"
    out = bare._process_data(pd.DataFrame({"when": ["2021-01-01"], "t": ["q"]}))
    assert out["t"].tolist() == ["q"]
    assert out["when"].iloc[0] == pd.Timestamp("2021-01-01")


def test_categorical_and_dates_are_encoded_by_text(bare):
    dates = pd.to_datetime(pd.Series(["2021-01-01", None]))
    bare.lec_record_dt = {"c": encoder(["u", "na"]), "d": encoder(["2021-01-01 00:00:00", "na"])}
    out = bare._process_data(pd.DataFrame({"c": pd.Categorical(["u", None]), "d": dates}))
    assert out["c"].tolist() == [1, 0]
    assert out["d"].tolist() == [0, 1]


def test_config_names_are_cleaned_once_and_kept(bare):
    bare.target_name = "价格（元）"
    bare.time_index = "t:1"
    bare.group_id = "g[1]"
    df = pd.DataFrame({"价格（元）": [1]})
    bare._process_data(df)
    assert (bare.target_name, bare.time_index, bare.group_id) == ("价格_元_", "t_1", "g_1_")
    assert df.columns.tolist() == ["价格（元）"]
    bare._process_data(pd.DataFrame({"a": [1]}))
    assert bare.target_name == "价格_元_"


def test_ignored_group_column_is_kept(bare):
    bare.group_id = "g"
    bare.ignore_features = ["g", "x"]
    out = bare._process_data(pd.DataFrame({"g": [1], "x": [2], "z": [3]}))
    assert out.columns.tolist() == ["g", "z"]


def test_non_text_label_fails(bare):
    with pytest.raises(AttributeError):
        bare._process_data(pd.DataFrame({0: [1]}))


@pytest.mark.parametrize("automl_running", [None, False])
def test_preprocess_without_automl(bare, automl_running):
    bare.automl_running = automl_running
    assert "y" not in bare.preprocess(frame()).columns
    assert bare.preprocess(frame(), return_y=True).columns.tolist()[2] == "y"


def test_preprocess_with_automl_returns_target_once_and_last(bare):
    bare.automl_running = True
    out = bare.preprocess(frame(index=[10, 11, 12]), return_y=True)
    assert out.columns.tolist().count("y") == 1 and out.columns[-1] == "y"
    assert out.index.tolist() == [0, 1, 2] and out["y"].tolist() == [0, 1, 0]
    # without return_y nothing is removed
    assert "y" in bare.preprocess(frame()).columns
    no_target = frame().drop(columns=["y"])
    assert "y" not in bare.preprocess(no_target, return_y=True).columns


def test_preprocess_reads_csv(bare, tmp_path):
    frame().to_csv(tmp_path / "d.csv", index=False)
    out = bare.preprocess(input=str(tmp_path / "d.csv"), return_y=False)
    assert "unit_price" in out.columns


@pytest.mark.parametrize("bad", [None, 3, ["a.csv"], np.zeros((2, 2))])
def test_preprocess_input_assertion(bare, bad):
    with pytest.raises(AssertionError, match="请输入数据集路径 或 pd.DataFrame"):
        bare.preprocess(bad)


def test_preprocess_twice_same_result(load, raw):
    obj = load("classification")
    a = obj.preprocess(raw.copy())
    b = obj.preprocess(raw.copy())
    pd.testing.assert_frame_equal(a, b)
    assert "penguin_id" not in a.columns and "note" not in a.columns
    assert "observed" in a.columns and a["observed"].dtype.kind == "M"
    assert a.columns[-1] != "species" and "species" in a.columns  # automl_running keeps it


def test_unseen_categories_keep_their_code_over_repeated_calls(load, raw):
    obj = load("classification")
    raw["island"] = raw["island"].where(raw.index % 3 != 0, "Atlantis")  # never seen in training
    encoder = obj.lec_record_dt["island"]
    size = len(encoder.classes_)
    first = obj.preprocess(raw.copy(), return_y=True)
    codes = first["island"].to_numpy()
    assert len(encoder.classes_) in (size, size + 1)
    size = len(encoder.classes_)
    for _ in range(3):
        again = obj.preprocess(raw.copy(), return_y=True)
        assert (again["island"].to_numpy() == codes).all()
        assert len(encoder.classes_) == size
    assert set(codes[raw.index % 3 == 0]) == {int(np.flatnonzero(encoder.classes_ == "OOV")[-1])}
    pred = obj.predict(raw.copy())
    assert (obj.predict(raw.copy()) == pred).all()
