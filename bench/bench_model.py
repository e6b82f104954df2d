"""The trained model in the native core: the cost of the structure checks
against loading the model, and the model's output on a model-form frame,
native against the model's own predict (time and peak memory), at several
row counts, and for one row.

    PYTHONPATH=src python bench/bench_model.py [MAX_ROWS]
"""

import io
import os
import pickle
import sys
import tempfile
import time
import tracemalloc

import numpy as np

sys.path.insert(0, os.path.dirname(__file__))

import brinvale.brinvale as bv  # noqa: E402
from bench_pipeline import big_table  # noqa: E402
from brinvale.brinvale import tabular_incrml  # noqa: E402
from brinvale.sample import build_sample  # noqa: E402


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


def one_row(obj):
    print("\none row (warm, best of 200 calls)")
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


def main():
    max_rows = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    folder = build_sample(os.path.join(tempfile.mkdtemp(), "result"), "classification")
    obj = tabular_incrml(folder)
    check_costs(folder)
    prediction(obj, max_rows)
    one_row(obj)


if __name__ == "__main__":
    main()
