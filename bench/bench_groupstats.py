"""Group statistics against the pandas expressions they reproduce (the plain
pandas versions in tests/pandas_twin.py), without and with a record.

Run: PYTHONPATH=src python bench/bench_groupstats.py [rows]
"""
import resource
import sys
import time
from pathlib import Path

import numpy as np
import pandas as pd

sys.path.insert(0, str(Path(__file__).parents[1] / "tests"))
import pandas_twin as twins  # noqa: E402

from brinvale import tavrin  # noqa: E402

N = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
GROUPS = 1000


def timed(f, repeat=3):
    """Best of a few runs: the machine is shared, single runs are noisy."""
    best = float("inf")
    for _ in range(repeat):
        t = time.thread_time()
        f()
        best = min(best, time.thread_time() - t)
    return best


def main():
    r = np.random.default_rng(0)
    df = pd.DataFrame({"x": r.normal(size=N), "g": r.integers(0, GROUPS, N),
                       "k": r.choice([f"k{i}" for i in range(GROUPS)], N),
                       "i": r.integers(0, 50_000, N)})
    cases = [("count", ("k",)), ("crosscount", (["k", "g"],)), ("nunique", ("i", "g"))]
    cases += [("aggregate", ("x", "g", [s])) for s in twins.AGG]
    print(f"{'operator':22} {'record':>6} {'native ms':>10} {'pandas ms':>10} {'ratio':>7}")
    for fn, args in cases:
        mine, theirs = {}, {}
        label = fn + ("" if fn != "aggregate" else " " + args[2][0])
        for with_record in (False, True):
            if with_record:  # the records of one call on the frame, read by the next ones
                getattr(tavrin, fn)(df, *args, mine)
                getattr(twins, fn)(df, *args, theirs)
                t_native = timed(lambda: getattr(tavrin, fn)(df, *args, mine))
                t_pd = timed(lambda: getattr(twins, fn)(df, *args, theirs))
            else:
                t_native = timed(lambda: getattr(tavrin, fn)(df, *args, {}))
                t_pd = timed(lambda: getattr(twins, fn)(df, *args, {}))
            print(f"{label:22} {'yes' if with_record else 'no':>6} {t_native * 1e3:10.1f} "
                  f"{t_pd * 1e3:10.1f} {t_pd / t_native:7.1f}x")
    # histstat writes into the frame it is given: every run gets its own copy,
    # made outside the timing
    mine_dfs, theirs_dfs = [df.copy() for _ in range(3)], [df.copy() for _ in range(3)]
    t_native = timed(lambda: tavrin.histstat(mine_dfs.pop(), "i", "g", ["mean"]))
    t_pd = timed(lambda: twins.histstat(theirs_dfs.pop(), "i", "g", ["mean"]))
    print(f"{'histstat mean':22} {'-':>6} {t_native * 1e3:10.1f} {t_pd * 1e3:10.1f} "
          f"{t_pd / t_native:7.1f}x")
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(f"Peak RSS {peak:.0f} MB")


if __name__ == "__main__":
    main()
