"""Predictions through every kind of input agree with each other and with the
model applied to features computed by the plain pandas twin of the pipeline."""

import copy
import glob
import os

import numpy as np
import pandas as pd
import pytest
import yaml

import pandas_twin as twin
from workbench_fixtures import load, raw, sample_dirs  # noqa: F401

TASKS = ["classification", "regression"]


@pytest.fixture
def complete(raw):
    # Text cells of an npz archive cannot be missing; the other inputs agree
    # on missing text anyway (tested in test_pipeline).
    text = [c for c in raw.columns if pd.api.types.is_string_dtype(raw[c])]
    return raw.dropna(subset=text).reset_index(drop=True)


def twin_features(obj, folder, frame):
    with open(os.path.join(folder, "config.yaml"), encoding="utf-8") as f:
        cfg = yaml.safe_load(f)
    records = copy.deepcopy(obj.lec_record_dt)
    return twin.model_input(frame, cfg, records, obj.adv_features)


@pytest.mark.parametrize("task", TASKS)
def test_pipeline_matches_twin(load, sample_dirs, raw, task):
    obj = load(task)
    expected = twin_features(obj, sample_dirs[task], raw)
    got = obj.preprocess(raw.copy(), return_y=False).drop(columns=[obj.target_name])
    assert got.columns.tolist() == expected.columns.tolist()
    pd.testing.assert_frame_equal(got, expected, check_dtype=False, rtol=1e-9, atol=1e-12)
    cols = list(obj.model.feature_names_in_)
    np.testing.assert_allclose(obj.predict(raw.copy()), obj.model.predict(expected[cols]))


@pytest.mark.parametrize("task", TASKS)
def test_every_input_kind_agrees(load, sample_dirs, complete, task, tmp_path):
    obj = load(task)
    reference = obj.predict(complete.copy())

    complete.to_csv(tmp_path / "all.csv", index=False)
    parts = tmp_path / "parts"
    parts.mkdir()
    half = len(complete) // 2
    complete.iloc[:half].to_csv(parts / "a.csv", index=False)
    complete.iloc[half:].to_csv(parts / "b.csv", index=False)
    complete.to_excel(tmp_path / "all.xlsx", index=False)
    np.savez(tmp_path / "all.npz", **{c: complete[c].to_numpy(
        dtype=str if pd.api.types.is_string_dtype(complete[c]) else None) for c in complete})

    np.testing.assert_allclose(obj.predict(str(tmp_path / "all.csv")), reference)
    np.testing.assert_allclose(obj.predict(str(tmp_path / "all.xlsx")), reference)
    np.testing.assert_allclose(obj.predict(str(tmp_path / "all.npz")), reference)
    # A folder's rows arrive in the order its files are listed.
    order = [pd.read_csv(p) for p in glob.glob(str(parts) + "/*")]
    from_folder = obj.predict(pd.concat(order).reset_index(drop=True))
    np.testing.assert_allclose(obj.predict(str(parts)), from_folder)

    X = twin_features(obj, sample_dirs[task], complete)[list(obj.model.feature_names_in_)]
    np.testing.assert_allclose(obj.predict(X.to_numpy()), reference)
    np.testing.assert_allclose(obj.predict(X), reference)
    if task == "classification":
        np.testing.assert_allclose(obj.predict_proba(X.to_numpy()), obj.predict_proba(complete.copy()))


def test_command_line(sample_dirs, raw, tmp_path, capsys):
    from brinvale.__main__ import main
    from workbench_fixtures import reset_task_config

    raw.to_csv(tmp_path / "d.csv", index=False)
    folder = sample_dirs["classification"]
    reset_task_config()
    assert main(["predict", folder, str(tmp_path / "d.csv"), "--proba",
                 "--output", str(tmp_path / "p.csv")]) == 0
    proba = pd.read_csv(tmp_path / "p.csv")
    assert proba.shape == (len(raw), 4) and proba.columns[0] == "penguin_id"
    assert main(["info", folder]) == 0
    out = capsys.readouterr().out
    assert '"model_type": "lgbm"' in out and "count###island$$$" in out
    reset_task_config()
