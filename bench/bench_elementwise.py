"""Element-wise operators on 1,000,000 rows against the plain pandas
expressions they are defined by.  Prints one table: best of a few runs each,
and the peak memory a call adds beyond its input (tracemalloc sees NumPy's
buffers)."""

import sys
import time
import tracemalloc

import numpy as np
import pandas as pd
from scipy import stats
from sklearn.preprocessing import LabelEncoder

sys.path.insert(0, "src")
from brinvale import tavrin  # noqa: E402

N = 1_000_000


def z(s):
    return (s - s.mean()) / s.std()


def softmax(x):
    e_x = np.exp(x - np.max(x))
    return e_x / e_x.sum()


PANDAS = {
    "add": lambda d: z(d.a + d.b),
    "subtract": lambda d: z(d.a - d.b),
    "multiply": lambda d: z(d.a * d.b),
    "divide": lambda d: z((d.a / d.b).replace(float("inf"), 1e12).replace(float("-inf"), -1e12).replace(np.nan, 0)),
    "minimize": lambda d: np.min([d.a, d.b], axis=0),
    "maximize": lambda d: np.max([d.a, d.b], axis=0),
    "bigger": lambda d: d.a > d.b,
    "smaller": lambda d: d.a < d.b,
    "equal": lambda d: d.a == d.b,
    "orop": lambda d: (d.a > np.mean(d.a + d.b)) | (d.b > np.mean(d.a + d.b)),
    "combine": lambda d: d.i.map(str) + "_" + d.j.map(str),
    "sine": lambda d: np.sin(d.a),
    "cosine": lambda d: np.cos(d.a),
    "round": lambda d: np.round(d.a),
    "quadratic": lambda d: d.a**2,
    "square_root": lambda d: np.sqrt(d.a - np.min(d.a)),
    "log": lambda d: np.log((1e-06 + d.a) - np.min(d.a)),
    "residual": lambda d: np.modf(d.a)[0],
    "sigmoid": lambda d: d.a.apply(lambda v: 1 / (1 + np.exp(-v))),
    "percentile": lambda d: d.a.rank(pct=True),
    "softmax": lambda d: softmax(d.a.values),
    "entropy": lambda d: stats.entropy(LabelEncoder().fit_transform(d.i)),
}

ARGS = {"combine": ("i", "j"), "entropy": ("i",)}


def best(fn, repeat):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        fn()
        times.append(time.perf_counter() - t0)
    return min(times)


def peak(fn):
    tracemalloc.start()
    fn()
    _, top = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    return top / 8 / N  # in float64 columns of N rows


def main():
    rng = np.random.default_rng(0)
    a = rng.normal(size=N) * 10
    a[::50] = np.nan
    df = pd.DataFrame(
        {
            "a": a,
            "b": rng.normal(size=N) * 10,
            "i": rng.integers(0, 1000, N),
            "j": rng.integers(0, 50, N),
        }
    )
    print(f"{'operator':<12} {'pandas ms':>10} {'native ms':>10} {'speed-up':>9} {'mem (cols)':>10}")
    np.seterr(all="ignore")
    for op, twin in PANDAS.items():
        cols = ARGS.get(op, ("a", "b") if op in ("add", "subtract", "multiply", "divide", "minimize", "maximize", "bigger", "smaller", "equal", "orop") else ("a",))
        slow = op in ("sigmoid", "combine")
        frame = df.copy()
        name = None

        def native():
            getattr(tavrin, op)(frame, *cols)

        def reference():
            d = df.copy(deep=False)
            d["r"] = twin(d)

        native()
        name = frame.columns[-1]
        t_pd = best(reference, 1 if slow else 5)
        t_nat = best(native, 3 if slow else 5)
        del frame[name]
        mem = peak(native)
        print(f"{op:<12} {t_pd * 1e3:>10.1f} {t_nat * 1e3:>10.1f} {t_pd / t_nat:>8.1f}x {mem:>10.2f}")


if __name__ == "__main__":
    main()
