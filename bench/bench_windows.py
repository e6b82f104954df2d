"""Window operators against the pandas expressions they reproduce.

Run: PYTHONPATH=src python bench/bench_windows.py [rows]
Times are the calling thread's CPU time (best of the repeats): on a shared
machine wall-clock times mostly measure the other processes.
pandas' rolling.apply makes one Python call per window, so the apply-based
operators are timed in pandas on APPLY_ROWS rows and scaled to the full size.
"""
import resource
import sys
import tempfile
import time

import numpy as np
import pandas as pd
import yaml

from brinvale import tavrin
from brinvale.module.common.quillet import TaskConfig

N = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
GROUPS = 1000
APPLY_ROWS = 20_000
APPLY = {"product": lambda w: w.prod(), "ts_argmax": lambda w: w.argmax(),
         "ts_argmin": lambda w: w.argmin()}
METHOD = {"tsum": "sum", "ts_mean": "mean", "ts_min": "min", "ts_max": "max",
          "ts_rank": "rank", "stddev": "std"}


def configure(group):
    TaskConfig._TaskConfig__species = None
    TaskConfig._TaskConfig__first_init = True
    path = tempfile.mktemp(suffix=".yaml")
    with open(path, "w") as f:
        yaml.safe_dump({"Feature": {"GroupIndex": group} if group else {}}, f)
    TaskConfig(path)


def pandas_expr(df, op, d, grouped):
    obj = df.groupby("g")["x"] if grouped else df["x"]
    if op == "delay":
        r = obj.shift(d)
        return r
    if op == "delta":
        return obj.diff(d) if grouped else df["x"] - df["x"].shift(d)
    if op in ("tcorrelation", "tcorvariance"):
        r = obj.rolling(d)
        r = r.corr(df["y"]) if op == "tcorrelation" else r.cov(df["y"])
        return r
    r = obj.rolling(d)
    if op == "decay_linear":
        w = np.linspace(0.1, 1, d)
        res = r.apply(lambda v: (v * w).sum())
    elif op in APPLY:
        res = r.apply(APPLY[op])
    elif op == "ts_mean" and grouped:
        res = r.sum()
    else:
        res = getattr(r, METHOD[op])()
    return res.reset_index(0, drop=True) if grouped else res


def timed(f, repeat=5):
    best = float("inf")
    for _ in range(repeat):
        t = time.thread_time()
        f()
        best = min(best, time.thread_time() - t)
    return best


def main():
    r = np.random.default_rng(0)
    df = pd.DataFrame({"x": r.normal(size=N), "y": r.normal(size=N),
                       "g": r.integers(0, GROUPS, N)})
    small = df.iloc[:APPLY_ROWS].copy()
    ops = ["tsum", "ts_mean", "ts_min", "ts_max", "ts_rank", "stddev", "delay", "delta",
           "tcorrelation", "tcorvariance", "product", "ts_argmax", "ts_argmin", "decay_linear"]
    print(f"{'operator':14} {'d':>3} {'grp':>4} {'native ms':>10} {'ns/row':>7} "
          f"{'pandas ms':>10} {'ratio':>7}")
    for grouped in (False, True):
        configure("g" if grouped else None)
        for d in (5, 50):
            for op in ops:
                args = (df, "x", "y", str(d)) if op.startswith("tc") else (df, "x", str(d))
                t_native = timed(lambda: getattr(tavrin, op)(*args))
                scaled = op in APPLY or op == "decay_linear"
                frame = small if scaled else df
                if grouped and op.startswith("tc"):
                    # pandas pairs every group with the whole other column
                    # (groups x rows values) and cannot store the result.
                    print(f"{op:14} {d:>3} {'yes':>4} {t_native * 1e3:10.1f} "
                          f"{t_native / N * 1e9:7.1f} {'fails':>10}")
                    continue
                t_pd = timed(lambda: pandas_expr(frame, op, d, grouped), 1 if scaled else 3)
                if scaled:
                    t_pd *= N / APPLY_ROWS
                print(f"{op:14} {d:>3} {'yes' if grouped else 'no':>4} {t_native * 1e3:10.1f} "
                      f"{t_native / N * 1e9:7.1f} {t_pd * 1e3:10.1f}{'*' if scaled else ' '}"
                      f"{t_pd / t_native:7.1f}x")
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(f"* pandas timed on {APPLY_ROWS} rows and scaled.  Peak RSS {peak:.0f} MB")


if __name__ == "__main__":
    main()
