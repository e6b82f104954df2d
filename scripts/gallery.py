"""Draw every chart of the workbench into PNG files, for a look by eye.

    python scripts/gallery.py OUTDIR

Small LightGBM models are trained with FLAML on synthetic data (a
three-class, a binary and a regression task); every chart method is drawn
from them, SHAP summaries in every plot type included.
"""

import os
import sys
import time
from pathlib import Path

import matplotlib

matplotlib.use("Agg")

import numpy as np
import pandas as pd

try:
    from brinvale.brinvale import tabular_incrml
except ImportError:  # not installed: the development build in the source tree
    sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "src"))
    from brinvale.brinvale import tabular_incrml


def workbench(task, model, target_name="y"):
    # a loaded result folder is not needed for the charts
    obj = tabular_incrml.__new__(tabular_incrml)
    obj.task, obj.model, obj.path, obj.target_name = task, model, "", target_name
    return obj


def train(X, y, task):
    from flaml import AutoML

    model = AutoML()
    model.fit(X, y, task=task, estimator_list=["lgbm"], max_iter=5, seed=1, n_jobs=1, verbose=0)
    return model


def main(outdir):
    out = Path(outdir)
    out.mkdir(parents=True, exist_ok=True)
    rng = np.random.default_rng(2024)
    n = 400
    X = pd.DataFrame(
        {
            "年龄": rng.integers(18, 70, n).astype(float),
            "收入": rng.lognormal(10, 0.5, n),
            "score": rng.normal(size=n),
            "城市": rng.integers(0, 5, n).astype(float),
        }
    )
    latent = 0.04 * (X["年龄"] - 40) + 0.8 * X["score"] + 0.3 * (X["城市"] > 2) + rng.normal(0, 0.5, n)
    y3 = pd.Series(np.digitize(latent, np.quantile(latent, [1 / 3, 2 / 3])), name="等级")
    y2 = pd.Series((latent > 0).astype(int), name="违约")
    yr = pd.Series(2 * X["score"] + np.log(X["收入"]) + rng.normal(0, 0.3, n), name="价格")

    started = time.perf_counter()
    multi = workbench("classification", train(X, y3, "classification"), "等级")
    binary = workbench("classification", train(X, y2, "classification"), "违约")
    regression = workbench("regression", train(X, yr, "regression"), "价格")

    frame = X.assign(等级=y3, 价格=yr)
    proba3 = multi.model.predict_proba(X)
    proba2 = binary.model.predict_proba(X)[:, 1]
    charts = {
        "box_class.png": lambda p: multi.plot_box(frame, frame[["等级"]], "score", "等级", p),
        "box_regression.png": lambda p: regression.plot_box(frame, frame[["价格"]], "年龄", "价格", p),
        "kde.png": lambda p: multi.plot_kde(frame, "收入", p),
        "trend.png": lambda p: regression.plot_trend_comparison(frame.iloc[:120], "score", "价格", p),
        "roc_multiclass.png": lambda p: multi.plot_roc_curve(y3, proba3, path=p),
        "roc_binary.png": lambda p: binary.plot_roc_curve(y2, proba2, path=p),
        "confusion.png": lambda p: multi.plot_confusion_matrix(y3, multi.model.predict(X), path=p),
        "confusion_normalized.png": lambda p: multi.plot_confusion_matrix(
            y3, multi.model.predict(X), True, "归一化混淆矩阵", path=p
        ),
        "regression.png": lambda p: regression.plot_regression_scatter(yr, regression.model.predict(X), "LGBM", p),
    }
    for kind, obj in (("multiclass", multi), ("binary", binary), ("regression", regression)):
        for plot_type in ("dot", "bar", "violin", "compact_dot"):
            charts[f"shap_{kind}_{plot_type}.png"] = (
                lambda p, obj=obj, plot_type=plot_type: obj.plot_shap(X, p, plot_type)
            )
    for name, draw in charts.items():
        draw(str(out / name))
        print(f"{out / name}  {os.path.getsize(out / name) // 1024} KiB")
    print(f"{len(charts)} charts in {time.perf_counter() - started:.1f} s")


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: python scripts/gallery.py OUTDIR")
    main(sys.argv[1])
