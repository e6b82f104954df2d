"""Draw every chart of the workbench from the package's sample result folders
into PNG files, for a look by eye.

    python scripts/gallery.py OUTDIR [--samples DIR]

The classification and the regression sample folders (penguins data) are
built in a temporary folder, or in DIR, where folders built by an earlier run
are reused.  Each folder is loaded like a user's result folder, its validation
rows are rebuilt from `automl/val_res` by the folder's own preprocessing and
predicted, and every chart is drawn through the workbench's methods: box and
density plots of raw and engineered columns, a trend, ROC curves (macro,
micro, both, and one class against the rest), confusion matrices (counts and
row shares), predicted against actual values, and SHAP summaries in every
plot type, explained on the rows the folder itself provides.
"""

import argparse
import os
import sys
import tempfile
import time
from pathlib import Path

import matplotlib

matplotlib.use("Agg")

import numpy as np
import pandas as pd


def _import_workbench():
    """The installed package, else the in-place development build.  A source
    tree without built modules on the path (PYTHONPATH=src in a fresh clone)
    would hide the installed package: it is taken off the path."""
    try:
        import brinvale.brinvale as found

        return found
    except ImportError:
        pass
    src = Path(__file__).resolve().parents[1] / "src"

    def forget():
        for name in [n for n in sys.modules if n == "brinvale" or n.startswith("brinvale.")]:
            del sys.modules[name]
        sys.meta_path[:] = [f for f in sys.meta_path if type(f).__name__ != "_BareNameFinder"]

    for path in (None, src):
        forget()
        sys.path[:] = [p for p in sys.path if Path(p or ".").resolve() != src]
        if path is not None:
            sys.path.insert(0, str(path))
        try:
            import brinvale.brinvale as found

            return found
        except ImportError:
            continue
    sys.exit("gallery: brinvale is neither installed nor built in place; run `bash scripts/demo.sh` "
             "(installs it) or `scripts/dev-build.sh` first")


workbench = _import_workbench()

from brinvale.module.common.quillet import TaskConfig  # noqa: E402  (after the package is found)
from brinvale.sample import TARGETS, build_sample  # noqa: E402

SHAP_TYPES = ("dot", "bar", "violin", "compact_dot")

# Columns drawn from the rebuilt validation rows: a raw measurement and
# engineered features, nested ones with long names among them.
CLASSIFICATION_BOX = "divide###body_mass_g|||flipper_length_mm$$$"
CLASSIFICATION_KDE = "bill_length_mm"
REGRESSION_BOX = "flipper_length_mm"
REGRESSION_KDE = "divide###ts_max###bill_depth_mm|||4$$$|||subtract###flipper_length_mm|||bill_length_mm$$$$$$"
REGRESSION_TREND = "aggregate###median|||flipper_length_mm|||species$$$"
ONE_VS_REST = "Adelie"


def sample_folder(base, task):
    folder = base / task
    if not (folder / "automl" / "result").exists():
        build_sample(str(folder), task)
    return str(folder)


def load(folder):
    """The workbench object of a folder.  The task configuration belongs to
    the process and is set by the first object only: start afresh, so this
    folder's group column and split are the ones in force."""
    TaskConfig._TaskConfig__species = None
    TaskConfig._TaskConfig__first_init = True
    return workbench.tabular_incrml(folder)


def validation_rows(obj):
    """The folder's validation rows as the model saw them (with the label),
    and the model's input columns of those rows."""
    val = pd.read_csv(os.path.join(obj.path, "automl", "val_res"))
    rows = obj.preprocess(val.drop(columns=["ypred"]), return_y=True)
    # exactly the model's columns, so prediction takes the frame as it is
    features = rows[list(obj.model.feature_names_in_)]
    return rows, features


def classification_charts(obj):
    target = obj.target_name
    rows, features = validation_rows(obj)
    codes = rows[target].astype(int)
    names = obj.labeldecode(codes.rename(target))
    predicted = obj.labeldecode(pd.Series(obj.predict(features), name=target))
    proba = obj.predict_proba(features)
    labelled = pd.DataFrame({target: names.to_numpy()})
    classes = list(obj.lec_record_dt[target].inverse_transform(np.arange(proba.shape[1])))
    positive = classes.index(ONE_VS_REST)
    # The chart orders text labels alphabetically and the score columns
    # follow the codes: the class names label the curves when both orders
    # agree (the encoder sorts its vocabulary), else the codes do.
    roc_truth = names if classes == sorted(classes, key=str) else codes
    is_positive = (codes.to_numpy() == positive).astype(int)

    charts = {
        "box": lambda p: obj.plot_box(rows, labelled, CLASSIFICATION_BOX, target, p),
        "kde": lambda p: obj.plot_kde(rows, CLASSIFICATION_KDE, p),
        "roc_both": lambda p: obj.plot_roc_curve(roc_truth, proba, path=p),
        "roc_macro": lambda p: obj.plot_roc_curve(roc_truth, proba, roc_type="macro", path=p),
        "roc_micro": lambda p: obj.plot_roc_curve(roc_truth, proba, roc_type="micro", path=p),
        # one class against the rest is the binary chart the three-class
        # sample can show
        f"roc_{ONE_VS_REST.lower()}_vs_rest": lambda p: obj.plot_roc_curve(
            is_positive, proba[:, positive], path=p
        ),
        "confusion": lambda p: obj.plot_confusion_matrix(names, predicted, path=p),
        "confusion_normalized": lambda p: obj.plot_confusion_matrix(
            names, predicted, True, "归一化混淆矩阵（验证集）", path=p
        ),
    }
    for plot_type in SHAP_TYPES:
        charts[f"shap_{plot_type}"] = lambda p, t=plot_type: obj.plot_shap(None, p, t)
    return charts


def regression_charts(obj):
    target = obj.target_name
    rows, features = validation_rows(obj)
    predicted = obj.predict(features)
    charts = {
        "box": lambda p: obj.plot_box(rows, rows[[target]], REGRESSION_BOX, target, p),
        "kde": lambda p: obj.plot_kde(rows, REGRESSION_KDE, p),
        "trend": lambda p: obj.plot_trend_comparison(rows, REGRESSION_TREND, target, p),
        "scatter": lambda p: obj.plot_regression_scatter(rows[target], predicted, "LightGBM", p),
    }
    for plot_type in SHAP_TYPES:
        charts[f"shap_{plot_type}"] = lambda p, t=plot_type: obj.plot_shap(None, p, t)
    return charts


def draw(base, out):
    written = []
    for task, make in (("classification", classification_charts), ("regression", regression_charts)):
        obj = load(sample_folder(base, task))
        if obj.target_name != TARGETS[task]:
            raise RuntimeError(f"{task} sample: unexpected label {obj.target_name!r}")
        for name, chart in make(obj).items():
            path = out / f"{task}_{name}.png"
            chart(str(path))
            print(f"{path}  {os.path.getsize(path) // 1024} KiB", flush=True)
            written.append(path)
    return written


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("outdir", help="folder for the PNG files (created if missing)")
    parser.add_argument("--samples", help="folder for the sample result folders, reused when present")
    args = parser.parse_args(argv)
    out = Path(args.outdir)
    out.mkdir(parents=True, exist_ok=True)
    started = time.perf_counter()
    if args.samples:
        Path(args.samples).mkdir(parents=True, exist_ok=True)
        written = draw(Path(args.samples), out)
    else:
        with tempfile.TemporaryDirectory(prefix="brinvale-samples-") as base:
            written = draw(Path(base), out)
    print(f"{len(written)} charts in {time.perf_counter() - started:.1f} s")


if __name__ == "__main__":
    main()
