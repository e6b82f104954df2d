"""Sample result folders, built the way a training run of the platform leaves
them, from the Palmer penguins table.

`build_sample(folder, task)` trains a small FLAML model (LightGBM only, a few
iterations, fixed seed, one thread) on engineered features that the feature
engine computes on the training split, and writes every file of a result
folder: `config.yaml`, `autofe/result`, `autofe/labelencoder.pkl`,
`automl/result`, `automl/logs`, `automl/val_res` and the `save` folder.
The folders serve the tests, the command line demo and the benchmark.
"""

import copy
import json
import os
import pickle
from contextlib import contextmanager

import numpy as np
import pandas as pd
import yaml

TASKS = ("classification", "regression")

TARGETS = {"classification": "species", "regression": "body_mass_g"}

ID_COLUMN = "penguin_id"
TIME_COLUMN = "observed"
GROUP_COLUMN = "colony"
IGNORED_COLUMN = "note"
PERCENT_COLUMN = "bill_ratio"
SEED = 7

# Engineered features, in the order the engine computes them: group statistics
# first (their merges give the frame fresh row labels, which the grouped
# window operators align on), then element-wise and window operators, some of
# them nested.
_COMMON_FEATURES = [
    "count###island$$$",
    "crosscount###island|||sex$$$",
    "aggregate###mean|||flipper_length_mm|||island$$$",
    "aggregate###max|||bill_length_mm|||sex$$$",
    "aggregate###min|||bill_depth_mm|||colony$$$",
    "aggregate###var|||bill_depth_mm|||island$$$",
    "nunique###flipper_length_mm|||colony$$$",
    "add###bill_length_mm|||bill_depth_mm$$$",
    "log###bill_depth_mm$$$",
    "sine###bill_ratio$$$",
    "square_root###flipper_length_mm$$$",
    "minimize###bill_length_mm|||flipper_length_mm$$$",
    "ts_mean###bill_length_mm|||3$$$",
    "delta###flipper_length_mm|||2$$$",
    "divide###ts_max###bill_depth_mm|||4$$$|||subtract###flipper_length_mm|||bill_length_mm$$$$$$",
    "multiply###add###bill_length_mm|||bill_depth_mm$$$|||bill_ratio$$$",
]

FEATURES = {
    "classification": _COMMON_FEATURES
    + [
        "aggregate###median|||body_mass_g|||colony$$$",
        "divide###body_mass_g|||flipper_length_mm$$$",
        "percentile###body_mass_g$$$",
        "delay###body_mass_g|||1$$$",
    ],
    "regression": _COMMON_FEATURES
    + [
        "aggregate###median|||flipper_length_mm|||species$$$",
        "divide###bill_length_mm|||flipper_length_mm$$$",
        "percentile###bill_length_mm$$$",
        "delay###flipper_length_mm|||1$$$",
    ],
}


def sample_table():
    """The penguins table with the columns a platform data set carries beside
    its measurements: an id, a date, a group, a percentage text, a free-text
    note to be ignored, and a label with a space in it.  Every added column is
    derived from the row position and the real values, so the table is the
    same on every call."""
    from palmerpenguins import load_penguins

    df = load_penguins().reset_index(drop=True)
    n = len(df)
    pos = np.arange(n)
    df.insert(0, ID_COLUMN, [f"P{i:03d}" for i in pos])
    start = pd.to_datetime(df["year"].astype(str) + "-04-01")
    df[TIME_COLUMN] = (start + pd.to_timedelta((pos * 37) % 200, unit="D")).dt.strftime("%Y-%m-%d")
    df[GROUP_COLUMN] = [f"{island[:3]}-{k}" for island, k in zip(df["island"], (pos * 7) % 3)]
    ratio = df["bill_depth_mm"] / df["bill_length_mm"] * 100
    df[PERCENT_COLUMN] = [None if np.isnan(r) else f"{r:.1f}%" for r in ratio]
    df[IGNORED_COLUMN] = [f"field note {k}" for k in (pos * 5) % 4]
    return df.rename(columns={"flipper_length_mm": "flipper length mm"})


def write_sample_csv(path, rows=None):
    """Write the sample table (or its first `rows` rows) as a CSV file."""
    df = sample_table()
    if rows is not None:
        df = df.head(rows)
    df.to_csv(path, index=False)
    return path


def _config(task):
    return {
        "Feature": {
            "TargetName": TARGETS[task],
            "FeatureName": None,  # filled with the input columns
            "TaskType": task,
            "id_index": ID_COLUMN,
            "TimeIndex": TIME_COLUMN,
            "IgnoreFeature": [IGNORED_COLUMN, TIME_COLUMN],
            "GroupIndex": GROUP_COLUMN,
            "SplitType": "stratified",
            "RandomSeed": SEED,
            "TestSize": 0.25,
        },
        "AutoFE": {"Running": True},
        "AutoML": {"Running": True},
    }


@contextmanager
def _task_config(config_path):
    """The engine's window operators read the group column from the
    process-wide task configuration: configure it with this folder while the
    features are computed, then give the process its own configuration back."""
    from brinvale.module.common.quillet import TaskConfig

    saved = (TaskConfig._TaskConfig__species, TaskConfig._TaskConfig__first_init)
    TaskConfig._TaskConfig__species = None
    TaskConfig._TaskConfig__first_init = True
    try:
        TaskConfig(config_path)
        yield
    finally:
        TaskConfig._TaskConfig__species, TaskConfig._TaskConfig__first_init = saved


def _pipeline(cfg, records, features):
    """A workbench object carrying only what its preprocessing pipeline reads,
    so the training frame goes through exactly the code that prediction uses."""
    from brinvale.brinvale import tabular_incrml

    feature = cfg["Feature"]
    obj = tabular_incrml.__new__(tabular_incrml)
    obj.target_name = feature["TargetName"]
    obj.time_index = feature["TimeIndex"]
    obj.group_id = feature["GroupIndex"]
    obj.id_index = feature["id_index"]
    obj.ignore_features = feature["IgnoreFeature"]
    obj.automl_running = cfg["AutoML"]["Running"]
    obj.lec_record_dt = records
    obj.adv_features = features
    return obj


def build_sample(folder, task="classification", max_iter=6, estimator_list=("lgbm",)):
    """Build a complete result folder for `task` ("classification" or
    "regression") in `folder` (created if missing) and return its path.
    `estimator_list` names the FLAML learners the search may use ("auto" for
    FLAML's default list)."""
    if task not in TASKS:
        raise ValueError(f"task must be one of {TASKS}, got {task!r}")
    from flaml import AutoML
    from sklearn.model_selection import train_test_split

    from brinvale.module.dataprocess.dovrel import LabelEncoderWithOOV

    folder = os.fspath(folder)
    for sub in ("autofe", "automl", "save"):
        os.makedirs(os.path.join(folder, sub), exist_ok=True)

    cfg = _config(task)
    target = TARGETS[task]
    raw = sample_table()
    raw = raw[raw[target].notna()].reset_index(drop=True)
    cfg["Feature"]["FeatureName"] = [c for c in raw.columns if c != target]
    config_path = os.path.join(folder, "config.yaml")
    with open(config_path, "w", encoding="utf-8") as f:
        yaml.safe_dump(cfg, f, allow_unicode=True, sort_keys=False)

    strata = raw[target] if task == "classification" else None
    train_raw, val_raw = train_test_split(
        raw, test_size=cfg["Feature"]["TestSize"], random_state=SEED, stratify=strata
    )
    train_raw = train_raw.reset_index(drop=True)
    val_raw = val_raw.reset_index(drop=True)

    # One encoder per text column of the training split, keyed by its cleaned
    # label, as the platform records them; dates and percentages stay text.
    records = {}
    for col in train_raw.columns:
        dtype = train_raw[col].dtype
        # pandas before 3 keeps text as object (is_string_dtype is False for
        # an object column holding missing values).
        text = pd.api.types.is_string_dtype(dtype) or dtype == object  # noqa: E721
        if col in (TIME_COLUMN, PERCENT_COLUMN) or not text:
            continue
        if task == "regression" and col == target:
            continue
        encoder = LabelEncoderWithOOV()
        encoder.fit(train_raw[col].fillna("na").astype(str))
        records[col.replace(" ", "_")] = encoder

    features = list(FEATURES[task])
    with _task_config(config_path):
        train = _pipeline(cfg, records, features).preprocess(train_raw.copy(), return_y=True)
        # The saved records are those of the training split alone.
        val = _pipeline(cfg, copy.deepcopy(records), features).preprocess(val_raw.copy(), return_y=True)

    # The date orders the rows for the window features; the model is fitted
    # without it, so that its inputs are exactly the engineered numeric frame.
    X_train = train.drop(columns=[target, TIME_COLUMN])
    y_train = train[target]
    automl = AutoML()
    automl.fit(
        X_train,
        y_train,
        task=task,
        estimator_list=estimator_list if isinstance(estimator_list, str) else list(estimator_list),
        max_iter=max_iter,
        eval_method="holdout",
        seed=SEED,
        n_jobs=1,
        verbose=0,
        log_file_name=os.path.join(folder, "automl", "logs"),
    )
    if list(automl.feature_names_in_) != list(X_train.columns):
        raise RuntimeError(
            "the model dropped or reordered input columns; every sample feature must vary"
        )

    ypred = automl.predict(val.drop(columns=[target, TIME_COLUMN]))
    if task == "classification":
        ypred = records[target].inverse_transform(np.asarray(ypred, dtype=int))
    val_res = val_raw.copy()
    val_res["ypred"] = ypred
    val_res.to_csv(os.path.join(folder, "automl", "val_res"), index=False)

    with open(os.path.join(folder, "automl", "result"), "wb") as f:
        pickle.dump(automl, f)
    with open(os.path.join(folder, "autofe", "labelencoder.pkl"), "wb") as f:
        pickle.dump(records, f)
    with open(os.path.join(folder, "autofe", "result"), "w", encoding="utf-8") as f:
        json.dump({"combination_features": features}, f, ensure_ascii=False, indent=1)
    return folder
