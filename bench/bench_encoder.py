"""LabelEncoderWithOOV.transform: hashed membership against the per-value scan
of classes_ (which is too slow to run on every value: it is timed on a sample
and scaled).  Run: PYTHONPATH=src python bench/bench_encoder.py"""

import time

import numpy as np
import pandas as pd
from sklearn.preprocessing import LabelEncoder

from brinvale.module.dataprocess.dovrel import LabelEncoderWithOOV

N, CLASSES, SAMPLE = 1_000_000, 10_000, 2_000


class ScanOOV(LabelEncoder):
    def __init__(self, oov_token="OOV"):
        self.oov_token = oov_token
        super().__init__()

    def fit(self, y):
        super().fit(y)

    def transform(self, y):
        if self.oov_token is not None and self.oov_token not in self.classes_:
            self.classes_ = np.append(self.classes_, self.oov_token)
        y = [x if x in self.classes_ else self.oov_token for x in y]
        return super().transform(y)


def best(f, repeat=3):
    times = []
    for _ in range(repeat):
        t0 = time.perf_counter()
        f()
        times.append(time.perf_counter() - t0)
    return min(times)


def main():
    rng = np.random.default_rng(0)
    for kind in ("text", "float"):
        if kind == "text":
            classes = pd.Series([f"v{i}" for i in range(CLASSES)]).astype(str)
            values = pd.Series([f"v{i}" for i in rng.integers(0, int(CLASSES * 1.2), N)]).astype(str)
        else:
            classes = np.arange(CLASSES, dtype=float)
            values = rng.integers(0, int(CLASSES * 1.2), N).astype(float)
        fast = LabelEncoderWithOOV()
        fast.fit(classes)
        slow = ScanOOV()
        slow.fit(classes)
        t_fast = best(lambda: fast.transform(values))
        t_scan = best(lambda: slow.transform(values[:SAMPLE]), repeat=1) * (N / SAMPLE)
        print(f"{kind:6s} 1e6 values x 1e4 classes: hashed {t_fast:8.3f} s   "
              f"scan (scaled from {SAMPLE}) {t_scan:8.1f} s   ratio {t_scan / t_fast:8.0f}x")


if __name__ == "__main__":
    main()
