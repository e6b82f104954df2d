"""Common mistakes in the data handed to a loaded result folder end in one
clear error that names the file or the columns, raised before the pipeline
runs."""

import numpy as np
import pandas as pd
import pytest

import brinvale.brinvale as wb
from workbench_fixtures import load, raw, sample_dirs  # noqa: F401


@pytest.fixture
def obj(load, monkeypatch):
    """A classification object whose engine records whether it ran."""
    o = load("classification")
    calls = []
    real = wb.name2feature
    monkeypatch.setattr(wb, "name2feature", lambda *a: calls.append(1) or real(*a))
    o.engine_calls = calls
    return o


def refused(obj, error, match, *inputs):
    for x in inputs:
        with pytest.raises(error, match=match):
            obj.predict(x)
    assert obj.engine_calls == []


def test_csv_with_a_header_and_no_rows(obj, raw, tmp_path):
    raw.head(0).to_csv(tmp_path / "empty.csv", index=False)
    path = str(tmp_path / "empty.csv")
    refused(obj, ValueError, "empty.csv holds column names but no rows", path)
    with pytest.raises(ValueError, match="empty.csv holds column names but no rows"):
        obj.preprocess(path)
    refused(obj, ValueError, "the input has no rows", raw.head(0))


def test_empty_folder_and_folder_without_rows(obj, raw, tmp_path):
    empty = tmp_path / "empty"
    empty.mkdir()
    refused(obj, ValueError, "empty holds no CSV files", str(empty))
    headers = tmp_path / "headers"
    headers.mkdir()
    raw.head(0).to_csv(headers / "a.csv", index=False)
    refused(obj, ValueError, "CSV files of the folder .*headers hold column names but no rows", str(headers))


def test_every_missing_column_is_named_at_once(obj, raw):
    partial = raw.drop(columns=["bill_length_mm", "island", "body_mass_g", "colony"])
    with pytest.raises(KeyError) as info:
        obj.predict(partial)
    message = str(info.value)
    assert "lacks 4 columns" in message
    for col in ["bill_length_mm", "island", "body_mass_g", "colony"]:
        assert repr(col) in message
    assert obj.engine_calls == []


def test_model_input_column_and_group_column_are_needed(obj, raw):
    # bill_depth_mm is read by features; the group column by the window features
    with pytest.raises(KeyError, match="lacks 1 column the model needs: 'colony'"):
        obj.predict(raw.drop(columns=["colony"]))
    with pytest.raises(KeyError, match="'year'"):
        obj.predict(raw.drop(columns=["year"]))  # a raw model input, used by no feature


def test_labels_are_matched_after_cleaning(obj, raw):
    renamed = raw.rename(columns={"bill_length_mm": " bill length mm "})
    np.testing.assert_array_equal(obj.predict(renamed), obj.predict(raw.copy()))


@pytest.mark.parametrize(
    "columns, shown",
    [(["flipper length mm", "flipper_length_mm"], "'flipper_length_mm'"), (["x", "x"], "'x'")],
)
def test_repeated_labels(obj, raw, columns, shown):
    extra = pd.DataFrame(np.zeros((len(raw), 2)), columns=columns)
    frame = pd.concat([raw.drop(columns=["flipper length mm"]), extra], axis=1)
    refused(obj, ValueError, "repeated column labels .*" + shown, frame)


def test_non_text_labels(obj, raw):
    frame = raw.copy()
    frame[7] = 1.0
    with pytest.raises(TypeError, match=r"position %d is labelled 7 \(int\)" % (frame.shape[1] - 1)):
        obj.predict(frame)
    with pytest.raises(TypeError, match="labelled 0"):
        obj.preprocess(pd.DataFrame(np.zeros((2, 3))))
    assert obj.engine_calls == []


def test_percentages_written_without_percent_sign(obj, raw):
    frame = raw.copy()
    frame["bill_ratio"] = frame["bill_ratio"].str.rstrip("%")
    refused(obj, ValueError, r"column 'bill_ratio' holds numbers written as text \(such as '47.8'\)", frame)
    # passed as numbers, percentages would be 100 times what the model learnt on
    refused(obj, ValueError, r"trained on their fractions: write them with '%' \(30.2%\) or pass them as "
            r"numbers divided by 100 \(0.302\)", frame)
    one = raw.head(1).copy()
    one["bill_ratio"] = "30.2"
    refused(obj, ValueError, "'bill_ratio'", one)


def test_text_where_a_feature_reads_numbers(obj, raw, tmp_path):
    # "3,750 g" in a measurement column: the column and the feature reading it
    # are named, for a CSV file as for a frame
    frame = raw.copy()
    frame["body_mass_g"] = [f"{v:,.0f} g" if v == v else None for v in frame["body_mass_g"]]
    frame.to_csv(tmp_path / "grams.csv", index=False)
    refused(obj, ValueError, r"column 'body_mass_g' holds text \(such as '3,750 g'\) where the feature "
            r"'aggregate###median\|\|\|body_mass_g\|\|\|colony\$\$\$' reads numbers", frame,
            str(tmp_path / "grams.csv"))
    # text where keys are read stays text
    keys = raw.copy()
    keys["island"] = keys["island"].str.upper()
    assert len(obj.predict(keys)) == len(raw)


def test_valid_inputs_keep_their_values(obj, raw):
    mixed = raw.copy()
    mixed.loc[0, "bill_ratio"] = "30.2"  # beside values with '%': read as 30.2%
    written = raw.copy()
    written.loc[0, "bill_ratio"] = "30.2%"
    pd.testing.assert_frame_equal(obj.preprocess(mixed), obj.preprocess(written))
    # text numbers in a column the model does not read are left alone
    extra = raw.copy()
    extra["unused"] = ["1", "2"] * (len(raw) // 2) + ["3"] * (len(raw) % 2)
    np.testing.assert_array_equal(obj.predict(extra), obj.predict(raw.copy()))


def test_needs_follow_the_feature_list_and_the_input(obj, raw):
    # what a folder needs is kept between calls: a feature list changed in
    # place, a different list, or an input holding a nested feature as a
    # column asks again
    obj.predict(raw.copy())
    raw["extra_a"] = 1.0
    obj.adv_features.append("add###extra_a|||extra_b$$$")
    with pytest.raises(KeyError, match="lacks 1 column the model needs: 'extra_b'"):
        obj.predict(raw.copy())
    obj.adv_features = list(obj.adv_features[:-1]) + ["log###extra_c$$$"]
    with pytest.raises(KeyError, match="'extra_c'"):
        obj.predict(raw.copy())
    # the nested feature given as a column is read as it stands: its own
    # operands are not needed
    obj.adv_features = list(obj.adv_features[:-1]) + ["log###add###extra_a|||extra_d$$$$$$"]
    with pytest.raises(KeyError, match="'extra_d'"):
        obj.predict(raw.copy())
    given = raw.copy()
    given["add###extra_a|||extra_d$$$"] = 2.0
    assert len(obj.predict(given)) == len(raw)
