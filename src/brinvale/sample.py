"""Sample result folders, built the way a training run of the platform leaves
them, from real public tables that installed packages ship.

`build_folder(folder, shape)` trains a small FLAML model (one learner, a few
iterations, fixed seed, one thread) on engineered features that the feature
engine computes on the training split, and writes every file of a result
folder: `config.yaml`, `autofe/result`, `autofe/labelencoder.pkl`,
`automl/result`, `automl/logs`, `automl/val_res` and the `save` folder.  A
`Shape` says which table, task, learner, date column, group, id, ignored and
percentage columns, labels and operators the run had; `CONFORMANCE` lists
the shapes the test suite covers.

`build_sample(folder, task)` builds the penguins folder of the command line
demo, the charts and the benchmarks.
"""

import copy
import json
import math
import os
import pickle
from contextlib import contextmanager
from dataclasses import dataclass

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

# Engineered features of the penguins sample, in the order the engine computes
# them: group statistics first (their merges give the frame fresh row labels,
# which the grouped window operators align on), then element-wise and window
# operators, some of them nested.
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


# ---- tables ------------------------------------------------------------------


@dataclass(frozen=True)
class Table:
    """A public table and the roles of its columns (raw labels, as shipped)."""

    name: str
    targets: dict  # the label column of each task the table trains
    numeric: tuple  # four measurement columns the engineered features use
    key: str  # an integer column of few distinct values
    text: str  # a text column of few distinct values
    # the measurements of a task whose label is one of `numeric`
    numeric_for: dict = None

    def roles(self, task):
        return (self.numeric_for or {}).get(task, self.numeric)


def _penguins():
    from palmerpenguins import load_penguins

    df = load_penguins().reset_index(drop=True)
    return df.rename(columns={"flipper_length_mm": "flipper length mm"})


def _sklearn(loader, target, labels=None, **kw):
    from sklearn import datasets

    bunch = getattr(datasets, loader)(as_frame=True, **kw)
    df = bunch.frame.rename(columns={"target": target})
    if labels is not None:
        df[target] = pd.Series(np.asarray(labels, dtype=object)[df[target].to_numpy()], dtype=object)
    return df


def _band(values, labels=("low", "mid", "high")):
    """A text column of a measurement cut at its thirds."""
    cut = pd.qcut(values.rank(method="first"), len(labels), labels=list(labels))
    return pd.Series(cut.astype(object), index=values.index).where(values.notna(), None)


def _load(name):
    """The raw frame of a table: its real columns, plus the integer key and the
    text column the engineered features group by where the table has none."""
    if name == "penguins":
        return _penguins()
    if name == "wine":
        df = _sklearn("load_wine", "cultivar", [f"cultivar {k}" for k in (1, 2, 3)])
        # a unit in full-width parentheses, which the label cleaning keeps
        df = df.rename(columns={"malic_acid": "malic acid（g/l）"})
        df["batch"] = (np.arange(len(df)) * 7) % 4
        df["colour band"] = _band(df["color_intensity"])
        return df
    if name == "diabetes":
        df = _sklearn("load_diabetes", "progression", scaled=False)
        df["sex"] = df["sex"].astype(np.int64)
        df["bmi band"] = _band(df["bmi"], ("lean", "average", "heavy"))
        return df
    if name == "breast_cancer":
        df = _sklearn("load_breast_cancer", "diagnosis", ["malignant", "benign"])
        df["clinic"] = (np.arange(len(df)) * 5) % 3
        df["size band"] = _band(df["mean radius"], ("small", "medium", "large"))
        # blanks around a label, as spreadsheets export them
        return df.rename(columns={"mean texture": " mean texture "})
    if name == "iris":
        df = _sklearn("load_iris", "species", ["setosa", "versicolor", "virginica"])
        df["plot"] = (np.arange(len(df)) * 3) % 5
        df["petal band"] = _band(df["petal length (cm)"], ("short", "medium", "long"))
        return df
    raise ValueError(f"unknown table {name!r}")


TABLES = {
    "penguins": Table("penguins", {"multiclass": "species", "binary": "sex", "regression": "body_mass_g"},
                      ("bill_length_mm", "bill_depth_mm", "flipper length mm", "body_mass_g"), "year", "island",
                      numeric_for={"regression": ("bill_length_mm", "bill_depth_mm", "flipper length mm", "year")}),
    "wine": Table("wine", {"multiclass": "cultivar"},
                  ("alcohol", "malic acid（g/l）", "color_intensity", "proline"), "batch", "colour band"),
    "diabetes": Table("diabetes", {"regression": "progression"}, ("age", "bmi", "bp", "s5"), "sex", "bmi band"),
    "breast_cancer": Table("breast_cancer", {"binary": "diagnosis"},
                           ("mean radius", " mean texture ", "mean smoothness", "worst area"), "clinic",
                           "size band"),
    "iris": Table("iris", {"multiclass": "species"},
                  ("sepal length (cm)", "sepal width (cm)", "petal length (cm)", "petal width (cm)"),
                  "plot", "petal band"),
}


def clean_label(label):
    """A column label as the pipeline sees it: blanks around it removed,
    spaces inside it replaced by "_"."""
    return label.strip().replace(" ", "_")


# ---- shapes -------------------------------------------------------------------

# Engineered features by operator family, over the roles of a table's columns:
# {a} {b} {c} {d} measurements, {k} the integer key, {t} the text column, {p}
# the percentage column (only where the shape has one).
FAMILIES = {
    "group": [
        "count###{t}$$$",
        "crosscount###{t}|||{k}$$$",
        "aggregate###mean|||{a}|||{t}$$$",
        "aggregate###median|||{b}|||{k}$$$",
        "aggregate###min|||{c}|||{t}$$$",
        "aggregate###max|||{a}|||{k}$$$",
        "aggregate###var|||{b}|||{t}$$$",
        "nunique###{c}|||{t}$$$",
        "histstat###{a}|||{k}$$$",
    ],
    "elementwise": [
        "add###{a}|||{b}$$$",
        "subtract###{a}|||{c}$$$",
        "multiply###{b}|||{c}$$$",
        "divide###{a}|||{d}$$$",
        "sine###{a}$$$",
        "cosine###{b}$$$",
        "round###{c}$$$",
        "quadratic###{d}$$$",
        "square_root###{a}$$$",
        "log###{b}$$$",
        "residual###{c}$$$",
        "sigmoid###{d}$$$",
        "percentile###{a}$$$",
        "softmax###{b}$$$",
        "entropy###{k}$$$",
        "minimize###{a}|||{b}$$$",
        "maximize###{c}|||{d}$$$",
        "bigger###{a}|||{b}$$$",
        "smaller###{c}|||{d}$$$",
        "equal###{k}|||{k}$$$",
        "orop###{a}|||{c}$$$",
    ],
    # a text feature, which FLAML encodes with an OrdinalEncoder of its own
    "text": ["combine###{t}|||{k}$$$"],
    "windows": [
        "delay###{a}|||1$$$",
        "ts_o###{b}|||2$$$",
        "delta###{c}|||1$$$",
        "tsum###{a}|||3$$$",
        "ts_mean###{b}|||4$$$",
        "ts_min###{c}|||3$$$",
        "ts_max###{d}|||5$$$",
        "ts_rank###{a}|||4$$$",
        "stddev###{b}|||4$$$",
        "product###{c}|||2$$$",
        "ts_argmax###{d}|||3$$$",
        "ts_argmin###{a}|||3$$$",
        "decay_linear###{b}|||3$$$",
        "tcorrelation###{a}|||{b}|||5$$$",
        "tcorvariance###{c}|||{d}|||4$$$",
        "crossrank###{t}|||{a}$$$",
    ],
    # stddev writes the label ts_rank gives the same operands: the later one wins
    "collide": ["ts_rank###{c}|||3$$$", "stddev###{c}|||3$$$"],
    "nested": [
        "divide###add###tsum###{a}|||3$$$|||{b}$$$|||{c}$$$",
        "multiply###subtract###{a}|||log###{d}$$$$$$|||ts_max###{b}|||3$$$$$$",
        "stddev###divide###{a}|||{b}$$$|||3$$$",
        "add###aggregate###mean|||{c}|||{t}$$$|||{d}$$$",
        "delta###percentile###{c}$$$|||2$$$",
    ],
    "percent": ["sine###{p}$$$", "multiply###{p}|||{a}$$$"],
}

ALL_FAMILIES = ("group", "elementwise", "text", "windows", "collide", "nested", "percent")

# Frequencies of a date column: a row's date is the start plus its position
# (in units of the frequency) divided by the rows sharing a date.
FREQUENCIES = {"YE": 40, "MS": 6, "W": 2, "D": 1}


@dataclass(frozen=True)
class Shape:
    """What one training run had: its table, task and learner, the configured
    columns, the labels and the engineered features."""

    name: str
    table: str
    task: str  # "binary", "multiclass" or "regression"
    learner: str = "lgbm"  # a FLAML learner, or "auto" for FLAML's default list
    time: str = None  # frequency of the TimeIndex column ("YE", "MS", "W", "D"), or None
    time_format: str = "%Y-%m-%d"
    time_in_model: bool = True  # the model was fitted with the date (FLAML derives its parts)
    group: str = None  # GroupIndex: "text" (the table's text column, encoded) or "int" (its key)
    id_column: str = None  # id_index: "text" or "int"
    ignore: bool = False  # IgnoreFeature lists a free-text note
    percent: bool = False  # a column of percentages written as text ("12.5%")
    automl_running: bool = True
    families: tuple = ALL_FAMILIES
    max_iter: int = 1

    @property
    def flaml_task(self):
        return "regression" if self.task == "regression" else "classification"


CONFORMANCE = [
    Shape("penguins-multiclass-lgbm", "penguins", "multiclass", "lgbm", time="D", group="text",
          id_column="text", ignore=True, percent=True),
    Shape("penguins-regression-xgboost", "penguins", "regression", "xgboost", time="D",
          time_format="%d/%m/%Y", group="int", id_column="int", automl_running=False),
    Shape("penguins-binary-rf", "penguins", "binary", "rf", group="text", ignore=True),
    Shape("penguins-regression-extra_tree", "penguins", "regression", "extra_tree", time="MS",
          time_in_model=False, group="text", percent=True),
    Shape("penguins-multiclass-lrl2", "penguins", "multiclass", "lrl2", time="YE", percent=True,
          automl_running=False),
    Shape("wine-multiclass-xgb_limitdepth", "wine", "multiclass", "xgb_limitdepth", time="MS",
          time_format="%Y/%m/%d", group="int", id_column="int"),
    Shape("wine-multiclass-extra_tree", "wine", "multiclass", "extra_tree", percent=True, ignore=True),
    Shape("wine-multiclass-lrl1", "wine", "multiclass", "lrl1", time="YE", group="text"),
    Shape("wine-multiclass-histgb", "wine", "multiclass", "histgb", time="D",
          time_format="%d.%m.%Y", automl_running=False),
    Shape("diabetes-regression-lgbm", "diabetes", "regression", "lgbm", time="YE", group="int",
          percent=True, id_column="text"),
    Shape("diabetes-regression-kneighbor", "diabetes", "regression", "kneighbor", time="D",
          time_format="%Y-%m-%d %H:%M:%S", group="text"),
    Shape("diabetes-regression-histgb", "diabetes", "regression", "histgb", time="W",
          time_in_model=False, ignore=True),
    Shape("diabetes-regression-auto", "diabetes", "regression", "auto", time="MS", group="int",
          automl_running=False, max_iter=3),
    Shape("diabetes-regression-rf", "diabetes", "regression", "rf", group="text", id_column="int"),
    Shape("breast_cancer-binary-lrl2", "breast_cancer", "binary", "lrl2", time="D",
          time_format="%m/%d/%Y", id_column="text", group="text"),
    Shape("breast_cancer-binary-histgb", "breast_cancer", "binary", "histgb", time="MS", group="int",
          percent=True),
    Shape("breast_cancer-binary-auto", "breast_cancer", "binary", "auto", automl_running=False,
          ignore=True, max_iter=3),
    Shape("breast_cancer-binary-xgb_limitdepth", "breast_cancer", "binary", "xgb_limitdepth", time="W",
          group="text"),
    Shape("iris-multiclass-kneighbor", "iris", "multiclass", "kneighbor", group="text", ignore=True),
    Shape("iris-multiclass-rf", "iris", "multiclass", "rf", time="D", time_in_model=False,
          group="int", percent=True),
    Shape("iris-multiclass-lgbm", "iris", "multiclass", "lgbm", time="W", time_format="%Y%m%d",
          id_column="int", automl_running=False),
    Shape("iris-multiclass-xgboost", "iris", "multiclass", "xgboost", time="YE", group="text",
          families=("elementwise", "windows", "nested")),
]


def _dates(n, freq, fmt):
    """The date column of n rows at a frequency, written in `fmt`.  The first
    date's day is past 12, so that pandas takes day-first forms as day-first."""
    per = FREQUENCIES[freq]
    periods = math.ceil(n / per)
    start = {"YE": "1990-12-31", "MS": "2001-01-01", "W": "2019-01-13", "D": "2019-01-13"}[freq]
    days = pd.date_range(start, periods=periods, freq=freq)
    if "%d" in fmt and fmt.index("%d") < fmt.index("%m"):
        # day-first forms: every day past 12, as a training run whose dates
        # pandas read day-first had them
        months = pd.date_range(start, periods=math.ceil(periods / 16), freq="MS")
        days = pd.DatetimeIndex([m + pd.Timedelta(days=12 + k) for m in months for k in range(16)])[:periods]
    values = days.repeat(per)[:n]
    if "%H" in fmt:
        values = values + pd.to_timedelta((np.arange(n) * 37) % 1440, unit="min")
    return pd.Series(values.strftime(fmt), dtype=object)


def shape_table(shape):
    """The raw table of a shape: the public table with the columns its
    configuration names (id, date, group, note, percentages) derived from row
    positions and real values, so that it is the same on every call."""
    spec = TABLES[shape.table]
    df = _load(shape.table)
    target = spec.targets[shape.task]
    df = df[df[target].notna()].reset_index(drop=True)
    n = len(df)
    pos = np.arange(n)
    if shape.id_column == "text":
        df.insert(0, "record_id", [f"R{i:04d}" for i in pos])
    elif shape.id_column == "int":
        df.insert(0, "record_id", 100000 + pos)
    if shape.time is not None:
        df["observed"] = _dates(n, shape.time, shape.time_format)
    if shape.percent:
        a, b = spec.roles(shape.task)[0], spec.roles(shape.task)[1]
        ratio = df[b] / df[a] * 100
        df["share"] = [None if np.isnan(r) else f"{r:.1f}%" for r in ratio]
    if shape.ignore:
        df["note"] = [f"field note {k}" for k in (pos * 5) % 4]
    return df


def shape_target(shape):
    return TABLES[shape.table].targets[shape.task]


def shape_features(shape):
    """The engineered feature names of a shape, by the cleaned labels of its
    table's columns."""
    spec = TABLES[shape.table]
    roles = {r: clean_label(c) for r, c in zip("abcd", spec.roles(shape.task))}
    roles.update(k=clean_label(spec.key), t=clean_label(spec.text), p="share")
    names = []
    for family in shape.families:
        if family == "percent" and not shape.percent:
            continue
        names += [template.format(**roles) for template in FAMILIES[family]]
    return list(dict.fromkeys(names))


def shape_config(shape):
    spec = TABLES[shape.table]
    feature = {"TargetName": shape_target(shape), "FeatureName": None, "TaskType": shape.flaml_task}
    if shape.id_column:
        feature["id_index"] = "record_id"
    if shape.time is not None:
        feature["TimeIndex"] = "observed"
    ignored = ["note"] if shape.ignore else []
    if shape.time is not None and not shape.time_in_model:
        ignored.append("observed")  # the pipeline keeps the time column even so
    if ignored:
        feature["IgnoreFeature"] = ignored
    if shape.group == "text":
        feature["GroupIndex"] = clean_label(spec.text)
    elif shape.group == "int":
        feature["GroupIndex"] = clean_label(spec.key)
    feature.update(SplitType="stratified", RandomSeed=SEED, TestSize=0.25)
    return {"Feature": feature, "AutoFE": {"Running": True}, "AutoML": {"Running": shape.automl_running}}


def write_shape_csv(shape, path, rows=None):
    """Write the raw table of a shape (or its first `rows` rows) as a CSV file."""
    df = shape_table(shape)
    if rows is not None:
        df = df.head(rows)
    df.to_csv(path, index=False)
    return path


# ---- the penguins sample --------------------------------------------------------


def sample_table():
    """The penguins table with the columns a platform data set carries beside
    its measurements: an id, a date, a group, a percentage text, a free-text
    note to be ignored, and a label with a space in it.  Every added column is
    derived from the row position and the real values, so the table is the
    same on every call."""
    df = _penguins()
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


# ---- building a folder ----------------------------------------------------------


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
    obj.time_index = feature.get("TimeIndex")
    obj.group_id = feature.get("GroupIndex")
    obj.id_index = feature.get("id_index")
    obj.ignore_features = feature.get("IgnoreFeature", [])
    obj.automl_running = cfg["AutoML"].get("Running")
    obj.lec_record_dt = records
    obj.adv_features = features
    return obj


@dataclass
class _Run:
    raw: pd.DataFrame
    cfg: dict
    features: list
    task: str  # FLAML's task
    time_in_model: bool
    text_exempt: tuple = ()  # text columns that get no encoder (dates, percentages)


def _train(folder, run, max_iter, estimator_list):
    """Fit the features and the model of a run and write the result folder."""
    from flaml import AutoML
    from sklearn.model_selection import train_test_split

    from brinvale.module.dataprocess.dovrel import LabelEncoderWithOOV

    folder = os.fspath(folder)
    for sub in ("autofe", "automl", "save"):
        os.makedirs(os.path.join(folder, sub), exist_ok=True)

    cfg = copy.deepcopy(run.cfg)
    feature = cfg["Feature"]
    target = feature["TargetName"]
    raw = run.raw
    feature["FeatureName"] = [c for c in raw.columns if c != target]
    config_path = os.path.join(folder, "config.yaml")
    with open(config_path, "w", encoding="utf-8") as f:
        yaml.safe_dump(cfg, f, allow_unicode=True, sort_keys=False)

    strata = raw[target] if run.task == "classification" else None
    train_raw, val_raw = train_test_split(raw, test_size=feature["TestSize"], random_state=SEED, stratify=strata)
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
        if col in run.text_exempt or not text:
            continue
        if run.task == "regression" and col == target:
            continue
        encoder = LabelEncoderWithOOV()
        encoder.fit(train_raw[col].fillna("na").astype(str))
        records[clean_label(col)] = encoder

    time_col = feature.get("TimeIndex")
    with _task_config(config_path):
        train = _pipeline(cfg, records, run.features).preprocess(train_raw.copy(), return_y=True)
        # The saved records are those of the training split alone.
        val = _pipeline(cfg, copy.deepcopy(records), run.features).preprocess(val_raw.copy(), return_y=True)

    # The date orders the rows for the window features; a run may fit the
    # model with it (FLAML then derives its year, month, ... columns) or without.
    dropped = [target] + ([time_col] if time_col is not None and not run.time_in_model else [])
    X_train = train.drop(columns=[c for c in dropped if c in train.columns])
    y_train = train[target]
    automl = AutoML()
    automl.fit(
        X_train,
        y_train,
        task=run.task,
        estimator_list=estimator_list if isinstance(estimator_list, str) else list(estimator_list),
        max_iter=max_iter,
        eval_method="holdout",
        seed=SEED,
        n_jobs=1,
        verbose=0,
        log_file_name=os.path.join(folder, "automl", "logs"),
    )

    ypred = automl.predict(val.drop(columns=[c for c in dropped if c in val.columns]))
    if run.task == "classification" and target in records:
        ypred = records[target].inverse_transform(np.asarray(ypred, dtype=int))
    val_res = val_raw.copy()
    val_res["ypred"] = ypred
    val_res.to_csv(os.path.join(folder, "automl", "val_res"), index=False)

    with open(os.path.join(folder, "automl", "result"), "wb") as f:
        pickle.dump(automl, f)
    with open(os.path.join(folder, "autofe", "labelencoder.pkl"), "wb") as f:
        pickle.dump(records, f)
    with open(os.path.join(folder, "autofe", "result"), "w", encoding="utf-8") as f:
        json.dump({"combination_features": run.features}, f, ensure_ascii=False, indent=1)
    return folder


def build_folder(folder, shape):
    """Build the result folder of a `Shape` in `folder` (created if missing)
    and return its path."""
    if isinstance(shape, str):
        shape = next(s for s in CONFORMANCE if s.name == shape)
    raw = shape_table(shape)
    exempt = tuple(c for c in ("observed", "share") if c in raw.columns)
    run = _Run(raw, shape_config(shape), shape_features(shape), shape.flaml_task, shape.time_in_model, exempt)
    learners = "auto" if shape.learner == "auto" else [shape.learner]
    return _train(folder, run, shape.max_iter, learners)


def build_sample(folder, task="classification", max_iter=6, estimator_list=("lgbm",)):
    """Build the penguins result folder for `task` ("classification" or
    "regression") in `folder` (created if missing) and return its path.
    `estimator_list` names the FLAML learners the search may use ("auto" for
    FLAML's default list)."""
    if task not in TASKS:
        raise ValueError(f"task must be one of {TASKS}, got {task!r}")
    raw = sample_table()
    raw = raw[raw[TARGETS[task]].notna()].reset_index(drop=True)
    run = _Run(raw, _config(task), list(FEATURES[task]), task, False, (TIME_COLUMN, PERCENT_COLUMN))
    return _train(folder, run, max_iter, estimator_list)


def shapes(**where):
    """The conformance shapes whose fields equal the given values."""
    return [s for s in CONFORMANCE if all(getattr(s, k) == v for k, v in where.items())]


__all__ = ["Shape", "Table", "TABLES", "CONFORMANCE", "FAMILIES", "build_folder", "build_sample", "shape_table",
           "shape_features", "shape_config", "shape_target", "write_shape_csv", "sample_table",
           "write_sample_csv", "clean_label", "shapes"]
