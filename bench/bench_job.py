"""The whole job at several sizes: `predict` (preprocessing, feature rebuild
and the model) and preprocessing alone, against the plain pandas pipeline of
the tests followed by the model's own `predict`, in one process.  Prints
markdown tables: time, peak memory, and how each grows with the
number of rows.

    PYTHONPATH=src python bench/bench_job.py [ROWS ...] [--folder DIR]

Peak memory is measured twice: what tracemalloc sees (Python objects and
NumPy buffers) and the growth of the process's resident high-water mark
(every native allocation too: pyarrow, LightGBM), reset before each run
through /proc/self/clear_refs where Linux offers it.
"""

import argparse
import gc
import os
import sys
import tempfile
import time
import tracemalloc

import numpy as np
import pandas as pd
import yaml

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests"))
sys.path.insert(0, HERE)

import pandas_twin as twin  # noqa: E402
from bench_latency import family  # noqa: E402
from bench_pipeline import big_table, plain_records  # noqa: E402
import brinvale.brinvale as workbench  # noqa: E402
from brinvale.brinvale import tabular_incrml  # noqa: E402
from brinvale.sample import build_sample  # noqa: E402
from brinvale.tavrin import name2feature  # noqa: E402


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


class Timing(float):
    """Best wall time of some runs (the float), with that run's CPU time of
    the whole process (every thread): on a shared machine the CPU time is the
    steadier measure of the work done."""

    def __new__(cls, wall, cpu):
        t = super().__new__(cls, wall)
        t.cpu = cpu
        return t


def timed(fn, repeat):
    best = Timing(float("inf"), float("inf"))
    for _ in range(repeat):
        gc.collect()
        t, c = time.perf_counter(), time.process_time()
        fn()
        wall, cpu = time.perf_counter() - t, time.process_time() - c
        if wall < best:
            best = Timing(wall, cpu)
    return best


def both(t):
    return f"{t:.3f} ({t.cpu:.3f})"


def ratio(a, b):
    return f"{a / b:.2f}x ({a.cpu / b.cpu:.2f}x)"


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


def profile(obj, data, repeat=2):
    """Where the time of one `predict` goes: the pipeline around the feature
    rebuild, the rebuild by operator family (each feature computed alone on
    the frame the engine receives), and the model on the prepared frame."""
    engine = workbench.name2feature
    seen = {}

    def spy(df, features, records):
        seen["frame"] = df.copy()
        return engine(df, features, records)

    workbench.name2feature = spy
    prepared = obj.preprocess(data.copy(), return_y=True)
    workbench.name2feature = lambda df, features, records: df
    try:
        around = timed(lambda: obj.preprocess(data.copy(), return_y=True), repeat)
    finally:
        workbench.name2feature = engine
    copy_s = timed(lambda: data.copy(), repeat)
    frame_copy_s = timed(lambda: seen["frame"].copy(deep=False), repeat)
    families = {}
    for name in obj.adv_features:
        t = timed(lambda: name2feature(seen["frame"].copy(deep=False), [name], obj.lec_record_dt), repeat)
        count, total, cpu = families.get(family(name), (0, 0.0, 0.0))
        families[family(name)] = (count + 1, total + t - frame_copy_s,
                                  cpu + t.cpu - frame_copy_s.cpu)
    X = prepared.drop(columns=[obj.target_name])[list(obj.model.feature_names_in_)]
    # A frame of the model's width goes to the model as it is, the way
    # `predict` hands over the prepared frame (natively where it can).
    model_s = timed(lambda: obj.predict(X), repeat)
    print(f"Where one `predict` of {len(data):,} rows spends its time (each part timed alone):\n")
    print("| part | seconds | CPU seconds |")
    print("|---|---|---|")
    print(f"| copy of the input frame (made by the caller here) | {copy_s:.3f} | {copy_s.cpu:.3f} |")
    print(f"| pipeline around the feature rebuild: labels, text codes, percentages, "
          f"drops, dates | {around - copy_s:.3f} | {around.cpu - copy_s.cpu:.3f} |")
    for fam, (count, total, cpu) in sorted(families.items(), key=lambda kv: -kv[1][1]):
        print(f"| feature rebuild: {fam} ({count} features) | {total:.3f} | {cpu:.3f} |")
    print(f"| the model's output for the prepared frame, as `predict` computes it | {model_s:.3f} "
          f"| {model_s.cpu:.3f} |")
    print()


def fmt_mb(v):
    return "-" if v is None else f"{v:.0f}"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("rows", nargs="*", type=int, default=[1_000, 100_000, 1_000_000])
    parser.add_argument("--folder", help="sample result folder to use (built when missing)")
    parser.add_argument("--profile", action="store_true",
                        help="also show where the time goes at the largest size")
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
            return obj.model.predict(twin.model_input(data.copy(), cfg, records, features)[cols])

        def native_pre():
            return obj.preprocess(data.copy(), return_y=True)

        def twin_pre():
            return twin.model_input(data.copy(), cfg, records, features)

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
        if args.profile and rows == max(args.rows):
            last = data

    print(f"Sample folder: classification, {len(features)} engineered features, "
          f"{len(cols)} model inputs; pandas {pd.__version__}, "
          f"text storage {pd.Series(['a']).dtype.storage}.\n")
    print("Seconds of wall time (CPU time of the process in parentheses):\n")
    print("| rows | brinvale predict | pandas twin + model | speed-up "
          "| brinvale preprocess | pandas twin preprocess | speed-up | predictions agree |")
    print("|---|---|---|---|---|---|---|---|")
    for r in results:
        print(f"| {r['rows']:,} | {both(r['t_native'])} | {both(r['t_twin'])} | "
              f"{ratio(r['t_twin'], r['t_native'])} | {both(r['t_pre'])} | {both(r['t_pre_twin'])} | "
              f"{ratio(r['t_pre_twin'], r['t_pre'])} | {r['agree']:.2%} |")
    print()
    print("| rows | brinvale peak MB (traced / resident) | pandas twin + model peak MB "
          "(traced / resident) | ratio (traced) | ratio (resident) |")
    print("|---|---|---|---|---|")
    for r in results:
        (tn, rn), (tt, rt) = r["m_native"], r["m_twin"]
        rr = "-" if rn is None or rt is None or rt < 8 else f"{rn / rt:.2f}x"
        print(f"| {r['rows']:,} | {tn:.0f} / {fmt_mb(rn)} | {tt:.0f} / {fmt_mb(rt)} | "
              f"{tn / tt:.2f}x | {rr} |")
    print()
    if args.profile:
        profile(obj, last)
    print("Time per row (µs) as the job grows:\n")
    print("| rows | brinvale predict | pandas twin + model | brinvale preprocess | pandas twin preprocess |")
    print("|---|---|---|---|---|")
    for r in results:
        n = r["rows"]
        print(f"| {n:,} | {r['t_native'] / n * 1e6:.2f} | {r['t_twin'] / n * 1e6:.2f} | "
              f"{r['t_pre'] / n * 1e6:.2f} | {r['t_pre_twin'] / n * 1e6:.2f} |")


if __name__ == "__main__":
    main()
