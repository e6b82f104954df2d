"""Golden result folders written by the oldest libraries the package supports
(scripts/oldest-deps.txt), with what those libraries computed from them.

The tests load them with the installed libraries (test_oldest_folders.py).
To write them again, in the environment of scripts/oldest-env.sh:

    PYTHONPATH=src build/venv-oldest/bin/python tests/python/oldest_goldens.py

Everything is derived from the penguins sample table and fixed seeds, so a
rewrite gives the same folders up to the libraries' own bytes.
"""

import copy
import os
import pickle
import shutil
import sys
import tempfile
import warnings

import numpy as np
import pandas as pd

HERE = os.path.dirname(os.path.abspath(__file__))
GOLDEN = os.path.join(HERE, "pickles", "oldest")

# (task, learner): the LightGBM folder predicts end to end; the other two
# keep an XGBoost booster and scikit-learn trees as those versions wrote them.
FOLDERS = [("classification", "lgbm"), ("regression", "xgboost"), ("classification", "rf")]

# Files a folder needs to load; the search log, the validation rows and the
# output folder are not read when a folder loads.
FOLDER_FILES = ["config.yaml", "autofe/result", "autofe/labelencoder.pkl", "automl/result"]

RECORD_PROTOCOLS = (2, 5)

# Features over the records of plain_records(): every group-statistic family,
# keys of every dtype, the mean records with and without their counts.
RECORD_FEATURES = (
    ["count###island$$$", "crosscount###island|||sex$$$", "crosscount###island|||year$$$",
     "nunique###bill_depth_mm|||island$$$", "nunique###body_mass_g|||year$$$"]
    + [f"aggregate###{s}|||bill_length_mm|||island$$$" for s in ("min", "max", "mean", "median", "var")]
    + [f"aggregate###{s}|||flipper_length_mm|||year$$$" for s in ("min", "max", "mean", "median", "var")]
    + [f"count###{k}$$$" for k in ("day", "kind", "ring", "flag")]
    + [f"aggregate###{s}|||bill_length_mm|||{k}$$$" for k in ("day", "kind", "ring", "flag") for s in ("mean", "max")]
    + [f"nunique###bill_depth_mm|||{k}$$$" for k in ("day", "kind", "ring", "flag")]
    + ["crosscount###kind|||day$$$"]
)

ENCODER_KEYS = [f"encoder_{i}_{t}" for i in range(6) for t in (False, True)]


def folder_name(task, learner):
    return f"{task}-{learner}"


def input_table():
    """The rows the golden predictions were made for: every third row of the sample table."""
    from brinvale.sample import sample_table

    return sample_table().iloc[::3].reset_index(drop=True)


def record_frame(raw):
    """The frame the record features are computed on: the same columns and
    key dtypes as the frame plain_records() recorded on."""
    df = raw.rename(columns=lambda c: c.replace(" ", "_")).dropna(subset=["sex"]).reset_index(drop=True)
    df["day"] = pd.to_datetime(df["year"].astype(str) + "-01-01") + pd.to_timedelta(df.index % 9, unit="D")
    df["kind"] = df["species"].astype("category")
    df["ring"] = pd.array(df.index % 4, dtype="Int64")
    df["flag"] = df.index % 2 == 0
    return df


def plain_records():
    """Records of every operator family made by plain pandas, with encoders."""
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(HERE)), "scripts"))
    import record_pickle_globals
    from brinvale.sample import sample_table

    return record_pickle_globals.pandas_records(sample_table())


def record_features(records, raw):
    """The record features' values, computed on a copy of the records."""
    from brinvale.tavrin import name2feature

    out = name2feature(record_frame(raw), list(RECORD_FEATURES), copy.deepcopy(records))
    return out[RECORD_FEATURES].to_numpy(dtype=float)


def encoder_codes(records):
    """Each encoder's codes for its own classes and for an unseen value."""
    out = {}
    for key in ENCODER_KEYS:
        enc = copy.deepcopy(records[key])
        out[key] = np.asarray(enc.transform(list(enc.classes_) + ["never seen"]), dtype=np.int64)
    return out


def model_frame(obj, frame):
    """The preprocessed columns the model takes, in its order."""
    return frame[list(obj.model.feature_names_in_)].to_numpy(dtype=float)


def model_inputs(obj, frame):
    """The matrix the fitted estimator inside the FLAML model receives."""
    return np.asarray(obj.model._transformer.transform(frame[list(obj.model.feature_names_in_)]), dtype=float)


def write(dest=GOLDEN):
    from brinvale.brinvale import tabular_incrml
    from brinvale.module.common.quillet import TaskConfig
    from brinvale.sample import build_sample

    def fresh_config():
        TaskConfig._TaskConfig__species = None
        TaskConfig._TaskConfig__first_init = True

    warnings.simplefilter("ignore")
    shutil.rmtree(dest, ignore_errors=True)
    os.makedirs(dest)
    raw = input_table()
    raw.to_csv(os.path.join(dest, "input.csv"), index=False)
    expected = {}
    work = tempfile.mkdtemp()
    try:
        for task, learner in FOLDERS:
            name = folder_name(task, learner)
            built = build_sample(os.path.join(work, name), task, max_iter=3, estimator_list=[learner])
            for rel in FOLDER_FILES:
                os.makedirs(os.path.dirname(os.path.join(dest, name, rel)), exist_ok=True)
                shutil.copy(os.path.join(built, rel), os.path.join(dest, name, rel))
            fresh_config()
            obj = tabular_incrml(os.path.join(dest, name))
            frame = obj.preprocess(os.path.join(dest, "input.csv"))
            expected[f"{name}:columns"] = np.array(obj.model.feature_names_in_, dtype=str)
            expected[f"{name}:preprocessed"] = model_frame(obj, frame)
            Xt = model_inputs(obj, frame)
            expected[f"{name}:inputs"] = Xt
            inner = obj.model._trained_estimator._model
            expected[f"{name}:inner"] = np.asarray(inner.predict(Xt))
            if learner == "rf":
                expected[f"{name}:leaves"] = np.asarray(inner.apply(Xt))
            fresh_config()
            expected[f"{name}:predict"] = np.asarray(obj.predict(os.path.join(dest, "input.csv")))
            if task == "classification":
                fresh_config()
                expected[f"{name}:proba"] = np.asarray(obj.predict_proba(os.path.join(dest, "input.csv")))
        fresh_config()
    finally:
        shutil.rmtree(work, ignore_errors=True)

    records = plain_records()
    for protocol in RECORD_PROTOCOLS:
        with open(os.path.join(dest, f"records-p{protocol}.pkl"), "wb") as f:
            pickle.dump(records, f, protocol=protocol)
    expected["records:features"] = record_features(records, pd.read_csv(os.path.join(dest, "input.csv")))
    for key, codes in encoder_codes(records).items():
        expected[f"records:{key}"] = codes

    import flaml
    import lightgbm
    import sklearn
    import xgboost

    expected["versions"] = np.array([f"pandas {pd.__version__}", f"NumPy {np.__version__}",
                                     f"scikit-learn {sklearn.__version__}", f"FLAML {flaml.__version__}",
                                     f"LightGBM {lightgbm.__version__}", f"XGBoost {xgboost.__version__}"])
    np.savez_compressed(os.path.join(dest, "expected.npz"), **expected)


if __name__ == "__main__":
    write(sys.argv[1] if len(sys.argv) > 1 else GOLDEN)
