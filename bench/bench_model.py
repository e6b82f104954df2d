"""The trained model in the native core: the cost of the structure checks
against loading the model; the model's output on a model-form frame, native
against the model's own predict (time and peak memory), at several row
counts and for one row, on the sample folder and for every tree learner
FLAML offers behind a transform with a date, a text and a categorical
column; and the whole job of a folder whose model reads its date column,
against the plain pandas pipeline followed by the model's own predict.

    PYTHONPATH=src python bench/bench_model.py [MAX_ROWS]
"""

import io
import os
import pickle
import sys
import tempfile
import time
import tracemalloc

import warnings

import numpy as np
import yaml

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "tests"))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "python"))

import brinvale.brinvale as bv  # noqa: E402
import pandas_twin as twin  # noqa: E402
from bench_pipeline import big_table, plain_records  # noqa: E402
from brinvale.brinvale import tabular_incrml  # noqa: E402
from brinvale.sample import TARGETS, TIME_COLUMN, build_sample, sample_table  # noqa: E402
from test_model_native import TREE_LEARNERS, fit, training_frame  # noqa: E402


def best_of(fn, repeat=5, clock=time.perf_counter):
    best = float("inf")
    for _ in range(repeat):
        t = clock()
        fn()
        best = min(best, clock() - t)
    return best


def cpu_of(fn, repeat=5):
    """Processor time of the whole process (every thread), best of `repeat`:
    steadier than wall time on a shared machine, and fair to loaders that
    use several threads."""
    return best_of(fn, repeat, time.process_time)


def peak_of(fn):
    tracemalloc.start()
    fn()
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    return peak


def check_costs(folder):
    import lightgbm as lgb
    import xgboost as xgb

    print("model check against loading (processor time, best of 7)")
    print(f"{'model':<34}{'load ms':>10}{'check ms':>10}{'share':>8}")

    def row(name, load_fn, check_fn):
        load = cpu_of(load_fn, 7)
        check = cpu_of(check_fn, 7)
        print(f"{name:<34}{load * 1e3:>10.2f}{check * 1e3:>10.3f}{check / load:>8.1%}")

    with open(os.path.join(folder, "automl", "result"), "rb") as f:
        raw = f.read()
    model = bv._ResultUnpickler(io.BytesIO(raw)).load()
    text = model._trained_estimator._model._Booster.model_to_string()
    # The whole folder pickle through the unpickler (which checks the model).
    row("sample folder (81 trees)", lambda: bv._ResultUnpickler(io.BytesIO(raw)).load(),
        lambda: bv._check_lightgbm_model(text))

    rng = np.random.default_rng(0)
    X = rng.normal(size=(20000, 40))
    y = (X[:, 0] * 2 + X[:, 1] > 0).astype(int) + (X[:, 2] > 1)
    big = lgb.train({"objective": "multiclass", "num_class": 3, "num_leaves": 63, "verbose": -1},
                    lgb.Dataset(X, y), 300)
    raw = pickle.dumps(big)
    text = big.model_to_string()
    # Plain pickle.loads: LightGBM's own parse, without the check.
    row(f"LightGBM {big.num_trees()} trees x 63 leaves", lambda: pickle.loads(raw),
        lambda: bv._check_lightgbm_model(text))

    xb = xgb.train({"objective": "multi:softprob", "num_class": 3, "max_depth": 6, "nthread": 2},
                   xgb.DMatrix(X, label=y), 300)
    raw = pickle.dumps(xb)
    buf = xb.__getstate__()["handle"]
    row(f"XGBoost {len(xb.get_dump())} trees, depth 6", lambda: pickle.loads(raw),
        lambda: bv._check_xgboost_model(buf))


def prediction(obj, max_rows):
    print("\nmodel output on a model-form frame: native against the model's own predict")
    print(f"{'rows':>9}{'method':>15}{'own s':>10}{'native s':>10}{'speed-up':>10}"
          f"{'own MB':>9}{'native MB':>11}{'equal':>7}")
    model = obj.model
    target = obj.target_name
    for rows in (1_000, 100_000, 1_000_000):
        if rows > max_rows:
            break
        df = obj.preprocess(big_table(rows), return_y=True)
        X = df.drop(columns=[target])
        for method in ("predict", "predict_proba"):
            own_fn = getattr(model, method)
            native_fn = lambda: bv._native_model_output(model, df, target, method)  # noqa: E731
            repeat = 3 if rows >= 1_000_000 else 5
            own = best_of(lambda: own_fn(X), repeat)
            native = best_of(native_fn, repeat)
            own_mb = peak_of(lambda: own_fn(X)) / 2**20
            native_mb = peak_of(native_fn) / 2**20
            equal = np.array_equal(np.array(own_fn(X)), native_fn())
            print(f"{rows:>9}{method:>15}{own:>10.3f}{native:>10.3f}{own / native:>9.1f}x"
                  f"{own_mb:>9.1f}{native_mb:>11.1f}{str(equal):>7}")


def one_row(obj, title="one row (warm, best of 200 calls)"):
    print("\n" + title)
    model = obj.model
    target = obj.target_name
    raw = big_table(50).iloc[[7]]
    df = obj.preprocess(raw.copy(), return_y=True)
    X = df.drop(columns=[target])
    for method in ("predict", "predict_proba"):
        own = best_of(lambda: getattr(model, method)(X), 200)
        native = best_of(lambda: bv._native_model_output(model, df, target, method), 200)
        whole = best_of(lambda: getattr(obj, method)(raw.copy()), 50)
        print(f"{method:<15} model's own {own * 1e3:7.3f} ms   native {native * 1e3:7.3f} ms   "
              f"whole workbench call from a raw row {whole * 1e3:7.2f} ms")


def quiet(fn):
    """fn() without the warnings the libraries print for unseen values."""
    def run():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            return fn()
    return run


def learners(max_rows):
    """Every tree learner, multiclass with text labels, behind FLAML's
    transform of a date, a text, a categorical and four numeric columns."""
    print("\nevery learner on a model-form frame with date, text and categorical columns "
          "(predict, multiclass; time best of 3, 1 run at 1e6 rows)")
    print(f"{'learner':<16}{'rows':>9}{'own s':>10}{'native s':>10}{'speed-up':>10}"
          f"{'own MB':>9}{'native MB':>11}{'equal':>7}")
    frames = {rows: training_frame(np.random.default_rng(5), rows)
              for rows in (1, 1_000, 100_000, 1_000_000) if rows <= max_rows}
    for learner in TREE_LEARNERS:
        model = fit(learner, "multiclass", seed=4)
        for rows, X in frames.items():
            own_fn = quiet(lambda: model.predict(X))  # noqa: B023
            native_fn = quiet(lambda: bv._native_model_output(model, X, None, "predict"))  # noqa: B023
            repeat = 1 if rows >= 1_000_000 else 3 if rows >= 100_000 else 20
            own = best_of(own_fn, repeat)
            native = best_of(native_fn, repeat)
            own_mb = peak_of(own_fn) / 2**20
            native_mb = peak_of(native_fn) / 2**20
            equal = np.array_equal(np.asarray(own_fn()), native_fn())
            print(f"{learner:<16}{rows:>9}{own:>10.4f}{native:>10.4f}{own / native:>9.1f}x"
                  f"{own_mb:>9.1f}{native_mb:>11.1f}{str(equal):>7}")


def date_folder(learner="xgboost"):
    """The sample folder with a model that reads its date column: FLAML
    derives year_, month_, ... columns and the date's ordinal from it."""
    from flaml import AutoML

    folder = build_sample(os.path.join(tempfile.mkdtemp(), "result"), "classification")
    obj = tabular_incrml(folder)
    raw = sample_table()
    raw = raw[raw[TARGETS["classification"]].notna()].reset_index(drop=True)
    train = obj.preprocess(raw.copy(), return_y=True)
    model = AutoML()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        model.fit(train.drop(columns=[obj.target_name]), train[obj.target_name],
                  task="classification", estimator_list=[learner], max_iter=6, seed=7, n_jobs=1,
                  verbose=0)
    with open(os.path.join(folder, "automl", "result"), "wb") as f:
        pickle.dump(model, f)
    return folder


def date_folder_job(max_rows):
    print("\nwhole job of a folder whose model reads its date column (xgboost): predict "
          "against the pandas pipeline followed by the model's own predict")
    folder = date_folder()
    obj = tabular_incrml(folder)
    with open(os.path.join(folder, "config.yaml"), encoding="utf-8") as f:
        cfg = yaml.safe_load(f)
    features = list(obj.adv_features)
    derived = [c for c in obj.model.feature_names_in_ if str(c).endswith("_" + TIME_COLUMN)]
    print(f"model inputs: {len(obj.model.feature_names_in_)}, of them derived from the date: "
          f"{len(derived)} ({', '.join(map(str, derived))})")
    print(f"{'rows':>9}{'brinvale s':>12}{'twin+model s':>14}{'speed-up':>10}"
          f"{'brinvale MB':>13}{'twin+model MB':>15}{'equal':>7}")
    for rows in (1_000, 100_000, 1_000_000):
        if rows > max_rows:
            break
        data = big_table(rows)
        records = plain_records(obj.lec_record_dt)

        def ours():
            return obj.predict(data.copy())

        def theirs():
            return obj.model.predict(twin.model_input(data.copy(), cfg, records, features))

        repeat = 1 if rows >= 1_000_000 else 3
        t_ours = best_of(ours, repeat)
        t_theirs = best_of(theirs, repeat)
        m_ours = peak_of(ours) / 2**20
        m_theirs = peak_of(theirs) / 2**20
        equal = np.array_equal(ours(), np.asarray(theirs()))
        print(f"{rows:>9}{t_ours:>12.3f}{t_theirs:>14.3f}{t_theirs / t_ours:>9.1f}x"
              f"{m_ours:>13.1f}{m_theirs:>15.1f}{str(equal):>7}")
    one_row(obj, "one row of that folder (warm, best of 200 calls)")


def main():
    max_rows = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    folder = build_sample(os.path.join(tempfile.mkdtemp(), "result"), "classification")
    obj = tabular_incrml(folder)
    check_costs(folder)
    prediction(obj, max_rows)
    one_row(obj)
    learners(max_rows)
    date_folder_job(max_rows)


if __name__ == "__main__":
    main()
