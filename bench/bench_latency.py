"""Latency of small calls: `predict` of one row (warm), what it is made of,
and the feature rebuild of one row by operator family.  Prints README-ready
markdown tables.

    PYTHONPATH=src python bench/bench_latency.py [--folder DIR] [--calls N] [--shape NAME]

`--shape` builds the conformance folder of that name (`brinvale.sample.CONFORMANCE`,
for example one whose model reads a date column) instead of the penguins sample
and takes its rows from the shape's table.
"""

import argparse
import os
import statistics
import tempfile
import time

import pandas as pd

import brinvale.brinvale as workbench
from brinvale import sample as shapes
from brinvale.brinvale import tabular_incrml
from brinvale.sample import build_sample, sample_table
from brinvale.tavrin import name2feature, split_features

FAMILIES = {
    "group statistics": ("count", "crosscount", "aggregate", "nunique", "histstat"),
    "windows and shifts": ("ts_", "tsum", "delta", "delay", "stddev", "product", "decay_linear",
                           "tcor"),
}


def family(name):
    op = name.split("###", 1)[0]
    for fam, prefixes in FAMILIES.items():
        if op.startswith(prefixes):
            return fam
    return "element-wise"


def sample(fn, calls, p99=False):
    """Median and 90th (or 99th) percentile wall time in ms, and median CPU time."""
    for _ in range(20):
        fn()
    wall, cpu = [], []
    for _ in range(calls):
        t, c = time.perf_counter(), time.process_time()
        fn()
        wall.append((time.perf_counter() - t) * 1e3)
        cpu.append((time.process_time() - c) * 1e3)
    wall.sort()
    q = 0.99 if p99 else 0.9
    return statistics.median(wall), wall[int(q * (len(wall) - 1))], statistics.median(cpu)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--folder", help="sample result folder to use (built when missing)")
    parser.add_argument("--calls", type=int, default=300)
    parser.add_argument("--shape", help="a conformance shape to build and measure instead")
    args = parser.parse_args()

    folder = args.folder or os.path.join(tempfile.mkdtemp(), "result")
    if args.shape:
        shape = next(s for s in shapes.CONFORMANCE if s.name == args.shape)
        if not os.path.exists(os.path.join(folder, "automl", "result")):
            shapes.build_folder(folder, shape)
        table = pd.read_csv(shapes.write_shape_csv(shape, os.path.join(folder, "..", "rows.csv")))
    else:
        if not os.path.exists(os.path.join(folder, "automl", "result")):
            build_sample(folder, "classification")
        table = sample_table()
    obj = tabular_incrml(folder)
    row = table.iloc[[5]].reset_index(drop=True)
    hundred = table.iloc[:100].reset_index(drop=True)

    # the frame the engine receives, and the model's own input
    seen = {}
    engine = workbench.name2feature

    def spy(df, features, records):
        seen["frame"] = df.copy()
        return engine(df, features, records)

    workbench.name2feature = spy
    prepared = obj.preprocess(row.copy(), return_y=True)
    workbench.name2feature = engine
    X = prepared.drop(columns=[obj.target_name], errors="ignore")
    names = [str(c) for c in obj.model.feature_names_in_]
    # the model's own input when its columns are the model's (a model that
    # reads a date column derives some of them from it)
    model_form = set(names) <= set(X.columns)
    if model_form:
        X = X[names]
    method = "predict_proba" if obj.task == "classification" else "predict"

    # one row and 100 rows, with the 99th percentile; the model's share apart
    print("| call | median ms | 99th percentile ms | median CPU ms |")
    print("|---|---|---|---|")
    for label, fn in [
        ("`predict`, one row", lambda: obj.predict(row.copy())),
        (f"`{method}`, one row", lambda: getattr(obj, method)(row.copy())),
        ("`predict`, 100 rows", lambda: obj.predict(hundred.copy())),
    ] + ([("the model's share: `predict` of the prepared row", lambda: obj.predict(X))]
         if model_form else []):
        med, p99, cpu = sample(fn, args.calls, p99=True)
        print(f"| {label} | {med:.2f} | {p99:.2f} | {cpu:.2f} |")
    print()

    if not model_form:
        return
    rows = [
        ("`predict`, one row", lambda: obj.predict(row.copy())),
        (f"`{method}`, one row", lambda: getattr(obj, method)(row.copy())),
        ("`preprocess`, one row", lambda: obj.preprocess(row.copy(), return_y=True)),
        ("feature rebuild (`name2feature`)",
         lambda: name2feature(seen["frame"].copy(deep=False), obj.adv_features, obj.lec_record_dt)),
        ("the model's own `predict` on the prepared row", lambda: obj.model.predict(X)),
        ("`predict` of the prepared row (the model's output as `predict` computes it)",
         lambda: obj.predict(X)),
    ]
    print(f"Sample folder: classification, {len(obj.adv_features)} engineered features; "
          f"{args.calls} warm calls each.\n")
    print("| call | median ms | 90th percentile ms | median CPU ms |")
    print("|---|---|---|---|")
    for label, fn in rows:
        med, p90, cpu = sample(fn, args.calls)
        print(f"| {label} | {med:.2f} | {p90:.2f} | {cpu:.2f} |")

    # Group statistics one call at a time: on the frame the engine receives,
    # on a frame of the operand columns alone, and on the frame as it stands
    # when the feature's turn comes (the earlier features added): what grows
    # with the width of the frame is the part that touches every column.
    calls = max(args.calls // 3, 20)
    grown = {}
    frame = seen["frame"].copy()
    for name in obj.adv_features:
        grown[name] = frame.copy()
        frame = name2feature(frame, [name], obj.lec_record_dt)
    stats_rows = []
    for name in obj.adv_features:
        if family(name) != "group statistics":
            continue
        parts = split_features(name)
        operands = [p for p in parts[1:] if p in seen["frame"].columns]
        narrow = seen["frame"][operands]
        _, _, at_input = sample(
            lambda: name2feature(seen["frame"].copy(deep=False), [name], obj.lec_record_dt), calls)
        _, _, alone = sample(lambda: name2feature(narrow.copy(deep=False), [name], obj.lec_record_dt),
                             calls)
        _, _, at_turn = sample(
            lambda: name2feature(grown[name].copy(deep=False), [name], obj.lec_record_dt), calls)
        stats_rows.append((name, len(operands), alone, seen["frame"].shape[1], at_input,
                           grown[name].shape[1], at_turn))
    print("\nGroup statistics, one call each (median CPU ms; the frame's width in columns):\n")
    print("| feature | operand columns alone | engine's input frame | at its turn in the list |")
    print("|---|---|---|---|")
    for name, w0, t0, w1, t1, w2, t2 in stats_rows:
        print(f"| `{name}` | {t0:.2f} ({w0}) | {t1:.2f} ({w1}) | {t2:.2f} ({w2}) |")
    print(f"| total | {sum(r[2] for r in stats_rows):.2f} | {sum(r[4] for r in stats_rows):.2f} "
          f"| {sum(r[6] for r in stats_rows):.2f} |")

    totals = {}
    for name in obj.adv_features:
        med, _, _ = sample(lambda: name2feature(seen["frame"].copy(deep=False), [name], obj.lec_record_dt),
                           max(args.calls // 3, 20))
        fam = family(name)
        count, ms = totals.get(fam, (0, 0.0))
        totals[fam] = (count + 1, ms + med)
    copy_ms, _, _ = sample(lambda: seen["frame"].copy(deep=False), args.calls)
    print("\nOne-row feature rebuild by operator family (each feature alone, frame copy "
          f"of {copy_ms:.2f} ms taken off):\n")
    print("| family | features | total ms | ms per feature |")
    print("|---|---|---|---|")
    for fam, (count, ms) in sorted(totals.items(), key=lambda kv: -kv[1][1]):
        net = ms - count * copy_ms
        print(f"| {fam} | {count} | {net:.2f} | {net / count:.3f} |")


if __name__ == "__main__":
    main()
