"""Charts of tabular_incrml and the chart module behind them."""

import subprocess
import sys
import warnings
from pathlib import Path

import matplotlib.image as mpimg
import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
import pytest
import shap
from sklearn.metrics import auc, roc_curve

import brinvale
from brinvale.brinvale import tabular_incrml

report = pytest.importorskip("brinvale.module.util.report")

PACKAGE_PARENT = str(Path(brinvale.__file__).resolve().parents[1])
NOT_CLASSIFICATION = "该任务识别到不是分类任务，请确认任务类型！"


def workbench(task="classification", model=None, path="/nonexistent", target_name="y"):
    obj = tabular_incrml.__new__(tabular_incrml)
    obj.task, obj.model, obj.path, obj.target_name = task, model, path, target_name
    return obj


def assert_chart(path):
    img = mpimg.imread(str(path))
    height, width = img.shape[:2]
    assert 200 <= height <= 5000 and 200 <= width <= 8000, img.shape
    ink = (img[..., :3].min(axis=2) < 0.9).mean()
    assert 0.01 < ink < 0.9, f"{path.name}: {ink:.3f} of the pixels are drawn"


@pytest.fixture
def shown(monkeypatch):
    """Counts plt.show calls and keeps what the shown figure held."""
    calls = []

    def show(*args, **kwargs):
        fig = plt.gcf()
        calls.append(
            {
                "texts": [t.get_text() for ax in fig.axes for t in ax.texts],
                "titles": [ax.get_title() for ax in fig.axes],
                "legend": [
                    t.get_text() for ax in fig.axes if ax.get_legend() for t in ax.get_legend().get_texts()
                ],
                "cmaps": [im.get_cmap().name for ax in fig.axes for im in ax.images],
            }
        )

    monkeypatch.setattr(plt, "show", show)
    return calls


@pytest.fixture
def frame():
    rng = np.random.default_rng(7)
    y = rng.integers(0, 3, 150)
    return pd.DataFrame(
        {"特征": rng.normal(size=150) + y, "x2": rng.exponential(size=150), "y": y, "收入": rng.normal(size=150)}
    )


@pytest.fixture
def scores():
    rng = np.random.default_rng(3)
    y = rng.integers(0, 3, 200)
    s = rng.dirichlet([1, 1, 1], 200)
    s[np.arange(200), y] += 0.6
    return y, s / s.sum(axis=1, keepdims=True)


def chart_calls(frame, scores):
    y, s = scores
    yb = (s[:, 1] > 0.4).astype(int)
    return {
        "box": lambda o, p: o.plot_box(frame, frame[["y"]], "特征", "y", p),
        "box_regression_label": lambda o, p: o.plot_box(frame, frame[["收入"]], "x2", "收入", path=p),
        "kde": lambda o, p: o.plot_kde(frame, "特征", p),
        "kde_constant": lambda o, p: o.plot_kde(pd.DataFrame({"c": [2.0] * 9}), "c", p),
        "kde_engineered_name": lambda o, p: o.plot_kde(
            frame.rename(columns={"x2": "divide###x2|||收入$$$"}), "divide###x2|||收入$$$", p
        ),
        "trend": lambda o, p: o.plot_trend_comparison(frame, "特征", "收入", p),
        "roc_multiclass": lambda o, p: o.plot_roc_curve(y, s, path=p),
        "roc_binary_1d": lambda o, p: o.plot_roc_curve(yb, s[:, 1], roc_type="micro", path=p),
        "roc_binary_2d": lambda o, p: o.plot_roc_curve(pd.Series(yb), s[:, :2], 2, "macro", p),
        "confusion": lambda o, p: o.plot_confusion_matrix(y, s.argmax(1), path=p),
        "confusion_text": lambda o, p: o.plot_confusion_matrix(
            np.array(["猫", "狗", "猫", "鱼"]), np.array(["猫", "猫", "狗", "鱼"]), True, "动物", "Greens", p
        ),
        "regression": lambda o, p: o.plot_regression_scatter(frame["收入"], frame["收入"] * 0.8, "LGBM", p),
    }


CHARTS = list(chart_calls(pd.DataFrame(), (None, np.zeros((1, 3)))).keys())


@pytest.mark.parametrize("chart", CHARTS)
def test_every_chart_saves_a_readable_image(chart, frame, scores, tmp_path, shown):
    path = tmp_path / f"{chart}.png"
    chart_calls(frame, scores)[chart](workbench(), str(path))
    assert_chart(path)
    assert shown == []
    assert plt.get_fignums() == []


@pytest.mark.parametrize("chart", ["box", "kde", "trend", "roc_multiclass", "confusion", "regression"])
def test_without_path_the_chart_is_shown_not_saved(chart, frame, scores, tmp_path, monkeypatch, shown):
    monkeypatch.chdir(tmp_path)
    chart_calls(frame, scores)[chart](workbench(), None)
    assert len(shown) == 1
    assert list(tmp_path.iterdir()) == []
    assert plt.get_fignums() == []


@pytest.mark.skipif(not report.cjk_font_files(), reason="no CJK font file installed")
def test_chinese_labels_render_with_an_installed_font(frame, tmp_path):
    plt.rcParams["font.sans-serif"] = ["SimHei"]  # what the workbench module sets
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        workbench().plot_box(frame, frame[["y"]], "特征", "y", str(tmp_path / "box.png"))
    assert not [w for w in caught if "missing from font" in str(w.message)]
    # the process-wide setting of the workbench module stays as it was
    assert plt.rcParams["font.sans-serif"] == ["SimHei"]


def test_confusion_matrix_cells_and_options(shown):
    y_true = np.array([0, 0, 1, 1, 1, 2, 2, 2, 2, 0])
    y_pred = np.array([0, 1, 1, 1, 2, 2, 2, 0, 2, 0])
    counts = pd.crosstab(y_true, y_pred).to_numpy()
    workbench().plot_confusion_matrix(y_true, y_pred)
    workbench().plot_confusion_matrix(y_true, y_pred, normalize=True, title="我的矩阵", cmap=plt.cm.Reds)
    plain, normalized = shown
    assert plain["texts"] == [str(v) for v in counts.ravel()]
    assert plain["cmaps"] == ["Blues"]
    shares = counts / counts.sum(axis=1, keepdims=True)
    assert normalized["texts"] == [f"{v:.2f}" for v in shares.ravel()]
    assert normalized["titles"][0] == "我的矩阵"
    assert normalized["cmaps"] == ["Reds"]


def test_confusion_matrix_of_labels_with_a_gap(shown):
    # labels 0 and 2 only: the class count is 2, a 2 x 2 matrix
    workbench().plot_confusion_matrix(np.array([0, 2, 2]), np.array([2, 2, 0]))
    assert shown[0]["texts"] == ["0", "1", "1", "1"]


def test_roc_legend_follows_roc_type_and_matches_sklearn(scores, shown):
    y, s = scores
    for roc_type in ("both", "macro", "micro"):
        workbench().plot_roc_curve(y, s, roc_type=roc_type)
    both, macro, micro = (call["legend"] for call in shown)
    assert any("macro" in t for t in both) and any("micro" in t for t in both)
    assert any("macro" in t for t in macro) and not any("micro" in t for t in macro)
    assert any("micro" in t for t in micro) and not any("macro" in t for t in micro)
    truth = (y[:, None] == np.arange(3)).astype(int)
    fpr, tpr, _ = roc_curve(truth.ravel(), s.ravel())
    assert f"(AUC = {auc(fpr, tpr):.3f})" in [t for t in both if "micro" in t][0]
    for k in range(3):
        fpr, tpr, _ = roc_curve(truth[:, k], s[:, k])
        assert any(t.startswith(f"类别 {k} ") and f"{auc(fpr, tpr):.3f}" in t for t in both)


@pytest.mark.parametrize(
    "y_true, y_score, n_classes, message",
    [
        (["a", "b", "c"] * 2, np.zeros(6), 3, "one score column per class"),
        ([0, 1, 2] * 2, np.zeros((6, 3)), 5, "3 columns but n_classes is 5"),
        (["a", "b", "c"] * 2, np.zeros((6, 2)), 2, r"n_classes is 2 but the labels are 3 classes: \['a', 'b', 'c'\]"),
        ([1] * 6, np.zeros(6), 1, "at least two classes"),
    ],
)
def test_roc_rejects_scores_that_do_not_fit_the_classes(y_true, y_score, n_classes, message):
    with pytest.raises(ValueError, match=message):
        report.plot_roc_curve(np.array(y_true), y_score, n_classes, "both", None)


def test_roc_rejects_unknown_roc_type(scores):
    with pytest.raises(ValueError, match="roc_type"):
        workbench().plot_roc_curve(*scores, roc_type="weighted")


@pytest.fixture
def recorder(monkeypatch):
    """Replaces the chart module's routines with recorders."""
    calls = []
    for name in (
        "plot_confusion_matrix",
        "plot_regression_results",
        "plot_roc_curve",
        "plot_trends",
        "plot_box",
        "plot_kde",
    ):
        monkeypatch.setattr(report, name, lambda *a, _n=name: calls.append((_n, a)))
    return calls


def test_class_counts_handed_to_the_chart_module(recorder):
    y = pd.Series([0, 1, 2, 2, 1])
    wb = workbench()
    wb.plot_roc_curve(y, np.zeros((5, 3)))
    wb.plot_roc_curve(y, np.zeros((5, 3)), n_classes=5)
    wb.plot_confusion_matrix(y, y)
    (_, roc_default), (_, roc_five), (_, cm) = recorder
    assert roc_default[2:] == (3, "both", None)
    assert roc_five[2] == 5
    assert cm[2:4] == (3, False)
    assert cm[5] is plt.cm.Blues


def test_trend_comparison_selects_both_columns(recorder, frame):
    workbench().plot_trend_comparison(frame, "特征", "收入", "out.png")
    name, (feature, target, fname, tname, path) = recorder[0]
    assert name == "plot_trends" and (fname, tname, path) == ("特征", "收入", "out.png")
    pd.testing.assert_series_equal(feature, frame["特征"])
    pd.testing.assert_series_equal(target, frame["收入"])


class Text(str):
    pass


BAD_ARGUMENTS = [
    ("plot_box", (None, None), {"feature_name": 1, "target_name": "y"}, "feature_name", "int"),
    ("plot_box", (None, None), {"feature_name": "f", "target_name": None}, "target_name", "NoneType"),
    ("plot_box", (None, None, "f", "y"), {"path": Path("a.png")}, "path", "PosixPath"),
    ("plot_kde", (None,), {"feature_name": Text("f")}, "feature_name", "Text"),
    ("plot_trend_comparison", (None, "f"), {"target_name": b"y"}, "target_name", "bytes"),
    ("plot_roc_curve", (None, None), {"n_classes": 2.0}, "n_classes", "float"),
    ("plot_roc_curve", (None, None), {"n_classes": True}, "n_classes", "bool"),
    ("plot_roc_curve", (None, None), {"roc_type": None}, "roc_type", "NoneType"),
    ("plot_confusion_matrix", (None, None), {"title": 3}, "title", "int"),
    ("plot_confusion_matrix", (None, None), {"path": 3}, "path", "int"),
    ("plot_regression_scatter", (None, None), {"model_name": None}, "model_name", "NoneType"),
]


@pytest.mark.parametrize("method, args, kwargs, argname, got", BAD_ARGUMENTS)
def test_wrong_argument_types_fail_before_drawing(recorder, method, args, kwargs, argname, got):
    # a regression object: the type check comes before the task assertion
    with pytest.raises(TypeError) as info:
        getattr(workbench("regression"), method)(*args, **kwargs)
    expected = "int" if argname == "n_classes" else "str"
    assert str(info.value) == f"Argument '{argname}' has incorrect type (expected {expected}, got {got})"
    assert recorder == []


@pytest.mark.parametrize("method", ["plot_roc_curve", "plot_confusion_matrix"])
def test_classification_charts_refuse_a_regression_object(recorder, method):
    with pytest.raises(AssertionError, match=NOT_CLASSIFICATION):
        getattr(workbench("regression"), method)(np.array([0, 1]), np.array([0, 1]))
    assert recorder == []


def test_assertion_skipped_when_python_runs_optimised(tmp_path):
    code = (
        "import matplotlib; matplotlib.use('Agg')\n"
        "import numpy as np\n"
        "from brinvale.brinvale import tabular_incrml\n"
        "import brinvale.module.util.report as r\n"
        "seen = []\n"
        "r.plot_confusion_matrix = lambda *a: seen.append(a[2])\n"
        "o = tabular_incrml.__new__(tabular_incrml); o.task = 'regression'\n"
        "o.plot_confusion_matrix(np.array([1, 2, 2]), np.array([1, 1, 2]))\n"
        "print(seen)\n"
    )
    done = subprocess.run(
        [sys.executable, "-O", "-c", code],
        capture_output=True,
        text=True,
        env={"PYTHONPATH": PACKAGE_PARENT, "PATH": "", "MPLBACKEND": "Agg"},
    )
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "[2]"


# SHAP summaries of small real models


@pytest.fixture(scope="module")
def trained():
    from flaml import AutoML

    rng = np.random.default_rng(11)
    X = pd.DataFrame(
        {"b": rng.normal(size=160), "特征a": rng.normal(size=160), "c": rng.integers(0, 4, 160).astype(float)}
    )
    targets = {
        "multiclass": ("classification", (X["特征a"] + X["b"] > 0).astype(int) + (X["c"] > 2)),
        "binary": ("classification", (X["b"] > 0).astype(int)),
        "regression": ("regression", 2 * X["b"] + X["特征a"]),
    }
    models = {}
    for key, (task, y) in targets.items():
        model = AutoML()
        model.fit(X, y, task=task, estimator_list=["lgbm"], max_iter=3, seed=1, n_jobs=1, verbose=0)
        models[key] = (task, model)
    return X, models


@pytest.mark.parametrize("kind", ["multiclass", "binary", "regression"])
@pytest.mark.parametrize("plot_type", ["dot", "bar", "violin", "compact_dot"])
def test_shap_summary_saved_then_shown(trained, kind, plot_type, tmp_path, monkeypatch):
    X, models = trained
    task, model = models[kind]
    events = []
    real_savefig = plt.savefig
    monkeypatch.setattr(plt, "savefig", lambda *a, **k: (events.append("save"), real_savefig(*a, **k)))
    monkeypatch.setattr(plt, "show", lambda *a, **k: events.append("show"))
    path = tmp_path / "shap.png"
    workbench(task, model).plot_shap(X[["c", "特征a", "b"]], str(path), plot_type)
    assert events == ["save", "show"]
    assert_chart(path)
    assert plt.get_fignums() == []


def test_shap_explains_rows_in_the_model_column_order(trained, monkeypatch):
    X, models = trained
    task, model = models["regression"]
    seen = {}
    monkeypatch.setattr(shap, "summary_plot", lambda values, X_, **kw: seen.update(values=values, X=X_, kw=kw))
    monkeypatch.setattr(plt, "show", lambda *a, **k: None)
    shuffled = X[["c", "特征a", "b"]]
    workbench(task, model).plot_shap(shuffled, plot_type="bar")
    assert list(seen["X"].columns) == ["b", "特征a", "c"]
    expected = shap.Explainer(model._trained_estimator._model)(X).values
    np.testing.assert_allclose(seen["values"].values, expected)
    assert seen["kw"]["plot_type"] == "bar"


def test_shap_refuses_rows_missing_a_model_column(trained):
    X, models = trained
    with pytest.raises(KeyError, match="特征a"):
        workbench(*models["regression"]).plot_shap(X[["b", "c"]])


def test_shap_refuses_an_unknown_plot_type(trained):
    X, models = trained
    with pytest.raises(ValueError, match="plot_type"):
        workbench(*models["regression"]).plot_shap(X, plot_type="pie")


def test_shap_without_rows_uses_the_preprocessed_validation_rows(trained, tmp_path, monkeypatch):
    X, models = trained
    task, model = models["binary"]
    (tmp_path / "automl").mkdir()
    val = X.assign(label=np.arange(len(X)) % 2, ypred=0)
    val.to_csv(tmp_path / "automl" / "val_res", index=False)
    wb = workbench(task, model, path=str(tmp_path), target_name="label")
    handed = []

    def preprocess(df):
        handed.append(list(df.columns))
        return df

    wb.preprocess = preprocess
    shows = []
    monkeypatch.setattr(plt, "show", lambda *a, **k: shows.append(1))
    wb.plot_shap(save_path=str(tmp_path / "val.png"))
    assert handed == [["b", "特征a", "c"]]
    assert shows == [1]
    assert_chart(tmp_path / "val.png")


def test_gallery_script_draws_every_chart(tmp_path):
    script = Path(__file__).resolve().parents[2] / "scripts" / "gallery.py"
    if not script.exists():
        pytest.skip("no gallery script")
    done = subprocess.run(
        [sys.executable, str(script), str(tmp_path)],
        capture_output=True,
        text=True,
        env={"PYTHONPATH": PACKAGE_PARENT, "PATH": "/usr/bin:/bin", "MPLBACKEND": "Agg"},
        timeout=600,
    )
    assert done.returncode == 0, done.stderr
    pngs = sorted(tmp_path.glob("*.png"))
    assert len(pngs) >= 12
    for png in pngs:
        assert_chart(png)


def test_shap_on_a_sample_result_folder_explains_its_validation_rows(tmp_path, monkeypatch):
    fixtures = pytest.importorskip("workbench_fixtures")
    from brinvale.sample import build_sample

    folder = build_sample(str(tmp_path / "sample"), "classification")
    fixtures.reset_task_config()
    try:
        wb = tabular_incrml(folder)
        seen = {}
        real_summary = shap.summary_plot
        monkeypatch.setattr(
            shap, "summary_plot", lambda v, X_, **kw: (seen.update(X=X_), real_summary(v, X_, **kw))
        )
        monkeypatch.setattr(plt, "show", lambda *a, **k: None)
        wb.plot_shap(save_path=str(tmp_path / "val.png"))
    finally:
        fixtures.reset_task_config()
    columns = list(seen["X"].columns)
    assert "ypred" not in columns and wb.target_name not in columns
    assert columns == list(wb.model._trained_estimator._model.feature_name_)
    assert len(seen["X"]) == len(pd.read_csv(Path(folder) / "automl" / "val_res"))
    assert_chart(tmp_path / "val.png")
