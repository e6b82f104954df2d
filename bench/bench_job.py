"""The whole job at several sizes: `predict` (preprocessing, feature rebuild
and the model) and preprocessing alone, against the plain pandas pipeline of
the tests followed by the model's own `predict`, in one process.  Prints
README-ready markdown tables: time, peak memory, and how each grows with the
number of rows.

    PYTHONPATH=src python bench/bench_job.py [ROWS ...] [--folder DIR]

Peak memory is measured twice: what tracemalloc sees (Python objects and
NumPy buffers) and the growth of the process's resident high-water mark
(every native allocation too: pyarrow, LightGBM), reset before each run
through /proc/self/clear_refs where Linux offers it.
"""

import argparse
import copy
import gc
import os
import sys
import tempfile
import time
import tracemalloc

import numpy as np
import pandas as pd
import yaml
from sklearn.preprocessing import LabelEncoder

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "python"))
sys.path.insert(0, HERE)

import twin  # noqa: E402
from bench_pipeline import big_table  # noqa: E402
from brinvale.brinvale import tabular_incrml  # noqa: E402
from brinvale.sample import build_sample  # noqa: E402


class PandasOOV:
    """The out-of-vocabulary encoder as a pandas user writes it: `isin` for
    the membership, scikit-learn's LabelEncoder for the codes."""

    def __init__(self, encoder):
        self.oov_token = encoder.oov_token
        self.classes_ = encoder.classes_.copy()

    def transform(self, y):
        if self.oov_token not in self.classes_:
            self.classes_ = np.append(self.classes_, self.oov_token)
        y = pd.Series(y)
        base = LabelEncoder()
        base.classes_ = self.classes_
        return base.transform(y.where(y.isin(self.classes_), self.oov_token))


def plain_records(records):
    out = copy.deepcopy(records)
    for key, value in out.items():
        if hasattr(value, "oov_token"):
            out[key] = PandasOOV(value)
    return out


def rss_kb(field):
    try:
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(field):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def reset_high_water():
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def timed(fn, repeat):
    best = float("inf")
    for _ in range(repeat):
        gc.collect()
        t = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t)
    return best


def peaks(fn):
    """(tracemalloc peak, resident high-water growth) of one run, in MB."""
    gc.collect()
    rss = None
    if reset_high_water():
        before = rss_kb("VmRSS")
        fn()
        after = rss_kb("VmHWM")
        if before is not None and after is not None:
            rss = (after - before) / 1024
    gc.collect()
    tracemalloc.start()
    fn()
    traced = tracemalloc.get_traced_memory()[1] / 2**20
    tracemalloc.stop()
    return traced, rss


def fmt_mb(v):
    return "-" if v is None else f"{v:.0f}"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("rows", nargs="*", type=int, default=[1_000, 100_000, 1_000_000])
    parser.add_argument("--folder", help="sample result folder to use (built when missing)")
    args = parser.parse_args()

    folder = args.folder or os.path.join(tempfile.mkdtemp(), "result")
    if not os.path.exists(os.path.join(folder, "automl", "result")):
        build_sample(folder, "classification")
    obj = tabular_incrml(folder)
    with open(os.path.join(folder, "config.yaml"), encoding="utf-8") as f:
        cfg = yaml.safe_load(f)
    cols = list(obj.model.feature_names_in_)
    features = list(obj.adv_features)

    results = []
    for rows in args.rows:
        data = big_table(rows)
        records = plain_records(obj.lec_record_dt)
        repeat = 5 if rows <= 100_000 else 3

        def native_predict():
            return obj.predict(data.copy())

        def twin_predict():
            return obj.model.predict(twin.preprocess(data.copy(), cfg, records, features)[cols])

        def native_pre():
            return obj.preprocess(data.copy(), return_y=True)

        def twin_pre():
            return twin.preprocess(data.copy(), cfg, records, features)

        agree = float(np.mean(native_predict() == twin_predict()))
        r = {"rows": rows, "agree": agree}
        r["t_native"] = timed(native_predict, repeat)
        r["t_twin"] = timed(twin_predict, repeat)
        r["t_pre"] = timed(native_pre, repeat)
        r["t_pre_twin"] = timed(twin_pre, repeat)
        r["m_native"] = peaks(native_predict)
        r["m_twin"] = peaks(twin_predict)
        results.append(r)
        print(f"# {rows} rows done", file=sys.stderr)

    print(f"Sample folder: classification, {len(features)} engineered features, "
          f"{len(cols)} model inputs; pandas {pd.__version__}, "
          f"text storage {pd.Series(['a']).dtype.storage}.\n")
    print("| rows | brinvale predict s | pandas twin + model s | speed-up "
          "| brinvale preprocess s | pandas twin preprocess s | speed-up | predictions agree |")
    print("|---|---|---|---|---|---|---|---|")
    for r in results:
        print(f"| {r['rows']:,} | {r['t_native']:.3f} | {r['t_twin']:.3f} | "
              f"{r['t_twin'] / r['t_native']:.2f}x | {r['t_pre']:.3f} | {r['t_pre_twin']:.3f} | "
              f"{r['t_pre_twin'] / r['t_pre']:.2f}x | {r['agree']:.2%} |")
    print()
    print("| rows | brinvale peak MB (traced / resident) | pandas twin + model peak MB "
          "(traced / resident) | ratio (traced) | ratio (resident) |")
    print("|---|---|---|---|---|")
    for r in results:
        (tn, rn), (tt, rt) = r["m_native"], r["m_twin"]
        rr = "-" if rn is None or rt is None or rt <= 0 else f"{rn / rt:.2f}x"
        print(f"| {r['rows']:,} | {tn:.0f} / {fmt_mb(rn)} | {tt:.0f} / {fmt_mb(rt)} | "
              f"{tn / tt:.2f}x | {rr} |")
    print()
    print("Time per row (µs) as the job grows:\n")
    print("| rows | brinvale predict | pandas twin + model | brinvale preprocess | pandas twin preprocess |")
    print("|---|---|---|---|---|")
    for r in results:
        n = r["rows"]
        print(f"| {n:,} | {r['t_native'] / n * 1e6:.2f} | {r['t_twin'] / n * 1e6:.2f} | "
              f"{r['t_pre'] / n * 1e6:.2f} | {r['t_pre_twin'] / n * 1e6:.2f} |")


if __name__ == "__main__":
    main()
