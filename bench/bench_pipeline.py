"""preprocess + predict on many rows with the sample folder's feature list,
against the plain pandas pipeline of the tests (its encoders written with
pandas and scikit-learn), in one process.

    PYTHONPATH=src python bench/bench_pipeline.py [ROWS]
"""

import copy
import os
import sys
import tempfile
import time
import tracemalloc

import numpy as np
import pandas as pd
import yaml
from sklearn.preprocessing import LabelEncoder

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))

import pandas_twin as twin  # noqa: E402
from brinvale.brinvale import tabular_incrml  # noqa: E402
from brinvale.sample import build_sample, sample_table  # noqa: E402


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


def big_table(rows):
    base = sample_table()
    reps = -(-rows // len(base))
    df = pd.concat([base] * reps, ignore_index=True).iloc[:rows].copy()
    rng = np.random.default_rng(0)
    for col in ("bill_length_mm", "bill_depth_mm", "flipper length mm", "body_mass_g"):
        df[col] = df[col] * rng.normal(1.0, 0.02, len(df))
    return df


def measure(fn):
    # Timed without tracemalloc (which slows every allocation), then run
    # again under it for the peak.
    t = time.perf_counter()
    result = fn()
    elapsed = time.perf_counter() - t
    tracemalloc.start()
    fn()
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    return result, elapsed, peak


def main():
    rows = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    folder = build_sample(os.path.join(tempfile.mkdtemp(), "result"), "classification")
    obj = tabular_incrml(folder)
    with open(os.path.join(folder, "config.yaml"), encoding="utf-8") as f:
        cfg = yaml.safe_load(f)
    data = big_table(rows)
    cols = list(obj.model.feature_names_in_)
    records = plain_records(obj.lec_record_dt)

    native, t_native, m_native = measure(lambda: obj.predict(data.copy()))
    plain, t_plain, m_plain = measure(
        lambda: obj.model.predict(twin.model_input(data.copy(), cfg, records, obj.adv_features)[cols]))
    _, t_pre, _ = measure(lambda: obj.preprocess(data.copy(), return_y=True))
    _, t_pre_plain, _ = measure(lambda: twin.model_input(data.copy(), cfg, records, obj.adv_features))
    agree = float(np.mean(native == plain))
    print(f"rows: {rows}, features: {len(obj.adv_features)}")
    print(f"{'pipeline':<22}{'seconds':>10}{'peak MB':>10}")
    print(f"{'brinvale predict':<22}{t_native:>10.2f}{m_native / 2**20:>10.0f}")
    print(f"{'pandas twin + model':<22}{t_plain:>10.2f}{m_plain / 2**20:>10.0f}")
    print(f"{'brinvale preprocess':<22}{t_pre:>10.2f}")
    print(f"{'pandas twin preprocess':<22}{t_pre_plain:>10.2f}")
    print(f"ratio twin/brinvale: {t_plain / t_native:.2f} with the model's predict, "
          f"{t_pre_plain / t_pre:.2f} for preprocessing alone; "
          f"predictions agree on {agree:.4%} of rows")


if __name__ == "__main__":
    main()
