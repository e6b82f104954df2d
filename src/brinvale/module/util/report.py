"""Diagnostic charts of the model workbench.

Every routine draws one chart in a figure of its own: with ``path`` None the
chart is shown, otherwise it is saved to ``path`` (the format follows the
file extension, PNG when there is none).  Texts are in Chinese: charts are
drawn with "SimHei" first, as the workbench sets it, followed by the CJK
fonts installed on the machine.
"""

import functools
import os
import re
import sys

import matplotlib

# Without a display an interactive backend cannot start; a backend chosen by
# the user (MPLBACKEND or an earlier matplotlib.use) is left alone.
if (
    sys.platform.startswith("linux")
    and not os.environ.get("DISPLAY")
    and not os.environ.get("WAYLAND_DISPLAY")
    and not os.environ.get("MPLBACKEND")
):
    matplotlib.use("Agg")

import matplotlib.pyplot as plt
import numpy as np
import pandas as pd
from matplotlib import font_manager
from scipy import stats
from sklearn.metrics import auc, confusion_matrix, roc_curve

__all__ = [
    "plot_confusion_matrix",
    "plot_regression_results",
    "plot_roc_curve",
    "plot_trends",
    "plot_box",
    "plot_kde",
    "cjk_fonts",
    "wrap_name",
]

PRIMARY_FONT = "SimHei"
CJK_FALLBACK_FONTS = (
    "Noto Sans CJK SC",
    "Noto Sans CJK JP",
    "Noto Sans CJK TC",
    "Source Han Sans SC",
    "WenQuanYi Zen Hei",
    "WenQuanYi Micro Hei",
    "Microsoft YaHei",
    "PingFang SC",
    "Heiti SC",
    "Arial Unicode MS",
)

# Target values with more distinct values than this are grouped into
# quantile bins in the box plot (a regression label).
MAX_BOX_GROUPS = 10
REGRESSION_BOX_BINS = 5


# Font files of CJK families, by file name, in the folders fonts are installed
# to.  Matplotlib only knows the fonts of its font cache, which is built once
# and predates fonts installed later (a fresh machine set up by the README):
# such fonts are registered with its font manager here.
_CJK_FONT_FILE = re.compile(
    r"cjk|simhei|simsun|simkai|simfang|msyh|msjh|yahei|jhenghei|wqy|wenquanyi|sourcehan|"
    r"notosans(sc|tc|hk|jp|kr)|notoserif(sc|tc|jp|kr)|pingfang|hiragino|heiti|stheiti|stsong|"
    r"droidsansfallback|ukai|uming|arphic|fangsong|kaiti",
    re.IGNORECASE,
)
_FONT_SUFFIXES = (".ttf", ".otf", ".ttc")


def _font_folders():
    home = os.path.expanduser("~")
    folders = [
        "/usr/share/fonts",
        "/usr/local/share/fonts",
        os.path.join(os.environ.get("XDG_DATA_HOME") or os.path.join(home, ".local", "share"), "fonts"),
        os.path.join(home, ".fonts"),
        "/Library/Fonts",
        "/System/Library/Fonts",
        os.path.join(home, "Library", "Fonts"),
    ]
    windir = os.environ.get("WINDIR")
    if windir:
        folders.append(os.path.join(windir, "Fonts"))
    local = os.environ.get("LOCALAPPDATA")
    if local:
        folders.append(os.path.join(local, "Microsoft", "Windows", "Fonts"))
    return [f for f in folders if os.path.isdir(f)]


def cjk_font_files():
    """Paths of the CJK font files installed on this machine."""
    found = []
    for folder in _font_folders():
        for root, _dirs, files in os.walk(folder):
            for name in sorted(files):
                if name.lower().endswith(_FONT_SUFFIXES) and _CJK_FONT_FILE.search(name):
                    found.append(os.path.join(root, name))
    return found


def bundled_font_files():
    """The CJK font files the mplfonts package ships (SimHei, Noto Sans CJK
    SC), used only where the machine has no CJK font of its own.  The
    package is located, not imported: its import changes Matplotlib's
    settings."""
    import importlib.util

    try:
        spec = importlib.util.find_spec("mplfonts")
    except (ImportError, ValueError):
        spec = None
    if spec is None or not spec.submodule_search_locations:
        return []
    folder = os.path.join(list(spec.submodule_search_locations)[0], "fonts")
    if not os.path.isdir(folder):
        return []
    names = sorted(n for n in os.listdir(folder) if n.lower().endswith(_FONT_SUFFIXES) and _CJK_FONT_FILE.search(n))
    # a sans-serif face first: SimHei, then Noto Sans CJK
    names.sort(key=lambda n: (not n.lower().startswith("simhei"), "serif" in n.lower() or "mono" in n.lower(), n))
    return [os.path.join(folder, n) for n in names]


def register_cjk_fonts(paths=None):
    """Register the installed CJK font files (or `paths`) that Matplotlib's
    font manager does not know yet; returns the paths added."""
    known = {os.path.realpath(f.fname) for f in font_manager.fontManager.ttflist}
    added = []
    for path in cjk_font_files() if paths is None else paths:
        real = os.path.realpath(path)
        if real in known:
            continue
        known.add(real)
        try:
            font_manager.fontManager.addfont(path)
        except Exception:  # an unreadable or unsupported file: skip it
            continue
        added.append(path)
    if added:
        _installed_fonts.cache_clear()
    return added


@functools.lru_cache(maxsize=1)
def _installed_fonts():
    return frozenset(f.name for f in font_manager.fontManager.ttflist)


_warned_no_cjk = False


def _available_cjk_families():
    installed = _installed_fonts()
    found = [f for f in (PRIMARY_FONT,) + CJK_FALLBACK_FONTS if f in installed]
    if not found:
        # fonts installed while this process runs
        if register_cjk_fonts():
            installed = _installed_fonts()
            found = [f for f in (PRIMARY_FONT,) + CJK_FALLBACK_FONTS if f in installed]
    if not found:
        # the machine has none: the fonts the mplfonts package ships
        if register_cjk_fonts(bundled_font_files()):
            installed = _installed_fonts()
            found = [f for f in (PRIMARY_FONT,) + CJK_FALLBACK_FONTS if f in installed]
    if not found:
        global _warned_no_cjk
        if not _warned_no_cjk:
            _warned_no_cjk = True
            print(
                "brinvale charts: no CJK font found, Chinese text will not render "
                "(install fonts-noto-cjk or SimHei, or the mplfonts package)",
                file=sys.stderr,
            )
    return found


register_cjk_fonts()


def cjk_fonts():
    """A context in which chart texts render Chinese, and render literally.

    The workbench module sets the process-wide sans-serif list to ["SimHei"],
    a font most Linux machines lack.  Inside this context SimHei stays first
    and the installed CJK fonts follow it; texts created here keep that
    family list, so they render the same when redrawn later.  The
    process-wide settings are left as they were."""
    preferred = _available_cjk_families()
    current = list(plt.rcParams["font.sans-serif"])
    sans = [f for f in (PRIMARY_FONT,) + CJK_FALLBACK_FONTS if f in preferred or f == PRIMARY_FONT]
    sans += [f for f in current if f not in sans]
    if PRIMARY_FONT not in preferred:
        # without it the generic family would be looked up, and reported
        # missing, at every text drawn: put a font that exists first
        sans = [f for f in sans if f != PRIMARY_FONT] + [PRIMARY_FONT]
    sans.append("DejaVu Sans")
    return plt.rc_context(
        {
            "font.family": preferred + ["sans-serif"],
            "font.sans-serif": sans,
            "axes.unicode_minus": False,
            # engineered feature names hold "$$$": taken as mathematics they
            # fail to render
            "text.parse_math": False,
        }
    )


# Engineered feature names nest operators ("divide###ts_max###a|||4$$$|||b$$$")
# and run to a hundred characters: in titles, axis labels and SHAP rows they
# break into lines after an operator or an argument separator.
_NAME_BREAKS = re.compile(r"(?<=###)|(?<=\|\|\|)")


def wrap_name(name, width=40):
    """`name` broken into lines of at most about `width` characters, after
    "###" or "|||"; shorter names, and pieces without such a break, stay
    whole."""
    text = str(name)
    if len(text) <= width:
        return text
    lines = [""]
    for piece in _NAME_BREAKS.split(text):
        if lines[-1] and len(lines[-1]) + len(piece) > width:
            lines.append(piece)
        else:
            lines[-1] += piece
    return "\n".join(lines)


def _with_cjk_fonts(routine):
    @functools.wraps(routine)
    def draw(*args, **kwargs):
        with cjk_fonts():
            return routine(*args, **kwargs)

    return draw


def _finish(fig, path):
    if path is None:
        plt.show()
    else:
        fig.savefig(path, dpi=100, bbox_inches="tight")
    plt.close(fig)


def _values(obj):
    """A 1-D array from a Series, a one-column frame, a list or an array."""
    if isinstance(obj, pd.DataFrame):
        if obj.shape[1] != 1:
            raise ValueError(f"expected one column, got {obj.shape[1]}")
        obj = obj.iloc[:, 0]
    arr = np.asarray(obj)
    if arr.ndim == 2 and 1 in arr.shape:
        arr = arr.reshape(-1)
    if arr.ndim != 1:
        raise ValueError(f"expected a one-dimensional array, got shape {arr.shape}")
    return arr


def _column(frame, name):
    """Column `name` of a frame, or the data itself when it is one column."""
    if isinstance(frame, pd.DataFrame):
        if name in frame.columns:
            return frame[name]
        if frame.shape[1] == 1:
            return frame.iloc[:, 0]
        raise KeyError(name)
    if isinstance(frame, pd.Series):
        return frame
    return pd.Series(_values(frame), name=name)


def _numeric(series, name):
    out = pd.to_numeric(pd.Series(series), errors="coerce").to_numpy(dtype=float)
    if not np.isfinite(out).any():
        raise ValueError(f"column {name!r} has no numeric values to draw")
    return out


def _class_labels(y_true, y_other, n_classes):
    """Class labels of a classification chart.  Integer codes 0..n-1 (how the
    platform encodes labels) give exactly n classes, also those absent from
    the sample; other labels are the sorted distinct values seen."""
    seen = pd.unique(np.concatenate([y_true, y_other])) if y_other is not None else pd.unique(y_true)
    seen = np.asarray([v for v in seen if not pd.isna(v)], dtype=object)
    n = None if n_classes is None else int(n_classes)
    if seen.size and all(isinstance(v, (int, np.integer)) or (isinstance(v, (float, np.floating)) and float(v).is_integer()) for v in seen):
        codes = np.asarray(seen, dtype=float).astype(np.int64)
        if n is not None and codes.min() >= 0 and codes.max() < n:
            return np.arange(n)
        return np.unique(codes)
    return np.asarray(sorted(seen, key=str), dtype=object)


@_with_cjk_fonts
def plot_confusion_matrix(y_true, y_pred, n_classes, normalize=False, title=None, cmap=None, path=None):
    """Confusion matrix with the count (or row share with `normalize`) in each
    cell: rows are true labels, columns predicted labels."""
    y_true = _values(y_true)
    y_pred = _values(y_pred)
    if y_true.shape[0] != y_pred.shape[0]:
        raise ValueError(
            f"y_true and y_pred differ in length ({y_true.shape[0]} and {y_pred.shape[0]})"
        )
    labels = _class_labels(y_true, y_pred, n_classes)
    if labels.dtype == object:
        yt, yp = y_true.astype(str), y_pred.astype(str)
        labels_cm = labels.astype(str)
    else:
        yt, yp, labels_cm = y_true.astype(float), y_pred.astype(float), labels.astype(float)
    cm = confusion_matrix(yt, yp, labels=labels_cm).astype(float)
    counts = cm.copy()
    if normalize:
        rows = cm.sum(axis=1, keepdims=True)
        cm = np.divide(cm, rows, out=np.zeros_like(cm), where=rows > 0)
    if title is None:
        title = "归一化混淆矩阵" if normalize else "混淆矩阵"
    if cmap is None:
        cmap = plt.cm.Blues

    k = len(labels)
    side = max(4.5, 0.6 * k + 2.5)
    fig, ax = plt.subplots(figsize=(side + 1, side))
    im = ax.imshow(cm, interpolation="nearest", cmap=cmap, vmin=0, vmax=1 if normalize else None)
    fig.colorbar(im, ax=ax, fraction=0.046, pad=0.04)
    ax.set_title(title)
    ticks = np.arange(k)
    names = [str(v) for v in labels]
    ax.set_xticks(ticks)
    ax.set_xticklabels(names, rotation=45 if k > 6 else 0, ha="right" if k > 6 else "center")
    ax.set_yticks(ticks)
    ax.set_yticklabels(names)
    ax.set_xlabel("预测标签")
    ax.set_ylabel("真实标签")
    if k <= 30:
        high = cm.max() if cm.size else 0.0
        for i in range(k):
            for j in range(k):
                text = f"{cm[i, j]:.2f}" if normalize else f"{int(counts[i, j])}"
                ax.text(
                    j,
                    i,
                    text,
                    ha="center",
                    va="center",
                    fontsize=9 if k > 10 else 11,
                    color="white" if high > 0 and cm[i, j] > high / 2 else "black",
                )
    fig.tight_layout()
    _finish(fig, path)


@_with_cjk_fonts
def plot_regression_results(y_true, y_pred, model_name="Model", path=None):
    """Predicted against actual values, with the identity line y = x."""
    actual = _numeric(_values(y_true), "y_true")
    predicted = _numeric(_values(y_pred), "y_pred")
    if actual.shape[0] != predicted.shape[0]:
        raise ValueError(
            f"y_true and y_pred differ in length ({actual.shape[0]} and {predicted.shape[0]})"
        )
    ok = np.isfinite(actual) & np.isfinite(predicted)
    actual, predicted = actual[ok], predicted[ok]

    fig, ax = plt.subplots(figsize=(6.5, 6))
    ax.scatter(actual, predicted, s=18, alpha=0.6, edgecolors="none", label=str(model_name))
    low = float(min(actual.min(), predicted.min()))
    high = float(max(actual.max(), predicted.max()))
    pad = (high - low) * 0.05 or 1.0
    line = [low - pad, high + pad]
    ax.plot(line, line, "r--", linewidth=1.2, label="y = x")
    ax.set_xlim(line)
    ax.set_ylim(line)
    ax.set_xlabel("实际值")
    ax.set_ylabel("预测值")
    resid = predicted - actual
    ss_tot = float(((actual - actual.mean()) ** 2).sum())
    r2 = 1.0 - float((resid**2).sum()) / ss_tot if ss_tot > 0 else float("nan")
    ax.set_title(f"{model_name}: 预测值与实际值  (R² = {r2:.3f}, MAE = {np.abs(resid).mean():.4g})")
    ax.legend(loc="upper left")
    ax.grid(alpha=0.3)
    fig.tight_layout()
    _finish(fig, path)


def _roc_scores(y_true, y_score, n_classes):
    """Per-class indicator matrix and score matrix of a ROC chart."""
    y_true = _values(y_true)
    scores = np.asarray(y_score, dtype=float)
    if scores.ndim == 2 and scores.shape[1] == 1:
        scores = scores[:, 0]
    if scores.ndim not in (1, 2):
        raise ValueError(f"y_score must be one- or two-dimensional, got shape {scores.shape}")
    if scores.shape[0] != y_true.shape[0]:
        raise ValueError(
            f"y_true and y_score differ in length ({y_true.shape[0]} and {scores.shape[0]})"
        )
    if n_classes is None:
        n_classes = len(pd.unique(y_true))
    labels = _class_labels(y_true, None, n_classes)
    k = int(n_classes)
    if k < 2:
        raise ValueError(f"a ROC curve needs at least two classes, got n_classes={k}")
    if len(labels) != k:
        raise ValueError(
            f"n_classes is {k} but the labels are {len(labels)} classes: {[str(v) for v in labels]}"
        )
    if scores.ndim == 1:
        if k != 2:
            raise ValueError(
                f"{k} classes need one score column per class (shape (n, {k})), got a 1-D y_score"
            )
        scores = np.column_stack([1.0 - scores, scores])
    elif scores.shape[1] != k:
        raise ValueError(f"y_score has {scores.shape[1]} columns but n_classes is {k}")
    if labels.dtype == object:
        truth = y_true.astype(str)[:, None] == labels.astype(str)[None, :]
    else:
        truth = y_true.astype(float)[:, None] == labels.astype(float)[None, :]
    return labels, truth.astype(np.int8), scores


@_with_cjk_fonts
def plot_roc_curve(y_true, y_score, n_classes=None, roc_type="both", path=None):
    """ROC curves: the positive class for two classes, one curve per class for
    more; `roc_type` adds the macro average ("macro"), the micro average
    ("micro") or both ("both")."""
    if roc_type not in ("both", "macro", "micro"):
        raise ValueError(f'roc_type must be "both", "macro" or "micro", got {roc_type!r}')
    labels, truth, scores = _roc_scores(y_true, y_score, n_classes)
    k = len(labels)

    curves = {}
    for i in range(k):
        positives = truth[:, i].sum()
        if positives == 0 or positives == truth.shape[0]:
            continue  # a class absent from (or alone in) the sample has no ROC curve
        fpr, tpr, _ = roc_curve(truth[:, i], scores[:, i])
        curves[i] = (fpr, tpr, auc(fpr, tpr))
    if not curves:
        raise ValueError("y_true holds a single class: a ROC curve needs positives and negatives")

    fig, ax = plt.subplots(figsize=(7, 6))
    if k == 2:
        fpr, tpr, area = curves.get(1, curves.get(0))
        ax.plot(fpr, tpr, linewidth=2, label=f"正类 {labels[1]} (AUC = {area:.3f})")
    else:
        for i, (fpr, tpr, area) in curves.items():
            ax.plot(fpr, tpr, linewidth=1, alpha=0.7, label=f"类别 {labels[i]} (AUC = {area:.3f})")
    if roc_type in ("both", "macro"):
        grid = np.unique(np.concatenate([c[0] for c in curves.values()]))
        mean_tpr = np.mean([np.interp(grid, fpr, tpr) for fpr, tpr, _ in curves.values()], axis=0)
        ax.plot(
            grid,
            mean_tpr,
            linestyle=":",
            linewidth=3,
            color="navy",
            label=f"宏平均 macro (AUC = {auc(grid, mean_tpr):.3f})",
        )
    if roc_type in ("both", "micro"):
        fpr, tpr, _ = roc_curve(truth.ravel(), scores.ravel())
        ax.plot(
            fpr,
            tpr,
            linestyle=":",
            linewidth=3,
            color="deeppink",
            label=f"微平均 micro (AUC = {auc(fpr, tpr):.3f})",
        )
    ax.plot([0, 1], [0, 1], "k--", linewidth=1, label="随机猜测")
    ax.set_xlim(0.0, 1.0)
    ax.set_ylim(0.0, 1.05)
    ax.set_xlabel("假正率 (FPR)")
    ax.set_ylabel("真正率 (TPR)")
    ax.set_title(f"ROC 曲线 ({k} 类)")
    ax.legend(loc="lower right", fontsize=9)
    ax.grid(alpha=0.3)
    fig.tight_layout()
    _finish(fig, path)


@_with_cjk_fonts
def plot_trends(feature_series, target_series, feature_name, target_name, path=None):
    """Feature and label over the rows, each on its own y axis."""
    feature = _numeric(_values(feature_series), feature_name)
    target = _numeric(_values(target_series), target_name)
    if feature.shape[0] != target.shape[0]:
        raise ValueError(
            f"{feature_name!r} and {target_name!r} differ in length "
            f"({feature.shape[0]} and {target.shape[0]})"
        )
    rows = np.arange(feature.shape[0])
    fig, ax = plt.subplots(figsize=(10, 5))
    first = ax.plot(rows, feature, color="tab:blue", linewidth=1.2, label=str(feature_name))
    ax.set_xlabel("样本序号")
    ax.set_ylabel(wrap_name(feature_name), color="tab:blue")
    ax.tick_params(axis="y", labelcolor="tab:blue")
    twin = ax.twinx()
    second = twin.plot(rows, target, color="tab:orange", linewidth=1.2, alpha=0.8, label=str(target_name))
    twin.set_ylabel(wrap_name(target_name), color="tab:orange")
    twin.tick_params(axis="y", labelcolor="tab:orange")
    lines = first + second
    # below the axes: two full series leave no empty corner inside them
    ax.legend(
        lines,
        [ln.get_label() for ln in lines],
        loc="upper center",
        bbox_to_anchor=(0.5, -0.12),
        ncol=2,
        frameon=False,
    )
    ax.set_title(wrap_name(f"{feature_name} 与 {target_name} 的变化趋势", 90))
    ax.grid(alpha=0.3)
    fig.tight_layout()
    _finish(fig, path)


@_with_cjk_fonts
def plot_box(X, y, feature_name, target_name, path=None):
    """Distribution of a feature for each label value (quantile bins of the
    label when it takes many values)."""
    feature = _numeric(_column(X, feature_name).to_numpy(), feature_name)
    target = pd.Series(_column(y, target_name).to_numpy())
    if feature.shape[0] != target.shape[0]:
        raise ValueError(
            f"{feature_name!r} and {target_name!r} differ in length "
            f"({feature.shape[0]} and {target.shape[0]})"
        )
    numeric_target = pd.to_numeric(target, errors="coerce")
    if numeric_target.notna().all() and target.nunique() > MAX_BOX_GROUPS:
        groups = pd.qcut(numeric_target, REGRESSION_BOX_BINS, duplicates="drop")
    else:
        groups = target
    frame = pd.DataFrame({"x": feature, "g": groups}).dropna()
    keys = list(frame["g"].unique())
    try:
        keys.sort()
    except TypeError:
        keys.sort(key=str)
    data = [frame.loc[frame["g"] == key, "x"].to_numpy() for key in keys]

    fig, ax = plt.subplots(figsize=(max(6, 0.8 * len(keys) + 3), 5))
    ax.boxplot(data, showmeans=True)
    ax.set_xticks(np.arange(1, len(keys) + 1))
    ax.set_xticklabels([str(key) for key in keys], rotation=30 if len(keys) > 6 else 0)
    ax.set_xlabel(wrap_name(target_name, 60))
    ax.set_ylabel(wrap_name(feature_name))
    ax.set_title(wrap_name(f"{feature_name} 按 {target_name} 分组的箱线图", 60))
    ax.grid(axis="y", alpha=0.3)
    fig.tight_layout()
    _finish(fig, path)


@_with_cjk_fonts
def plot_kde(X, feature_name, path=None):
    """Kernel density estimate of a feature over its histogram."""
    values = _numeric(_column(X, feature_name).to_numpy(), feature_name)
    values = values[np.isfinite(values)]
    fig, ax = plt.subplots(figsize=(8, 5))
    ax.hist(values, bins="auto", density=True, alpha=0.35, color="tab:blue", label="直方图")
    if np.unique(values).size > 1:
        kde = stats.gaussian_kde(values)
        span = values.max() - values.min()
        grid = np.linspace(values.min() - 0.1 * span, values.max() + 0.1 * span, 400)
        ax.plot(grid, kde(grid), color="tab:red", linewidth=2, label="核密度估计")
        ax.fill_between(grid, kde(grid), alpha=0.1, color="tab:red")
    else:
        # a constant column has no spread to estimate a density from
        ax.axvline(values[0], color="tab:red", linewidth=2, label=f"常数 {values[0]:g}")
    ax.set_xlabel(wrap_name(feature_name, 70))
    ax.set_ylabel("密度")
    ax.set_title(wrap_name(f"{feature_name} 的核密度估计 (n = {values.size})", 70))
    ax.legend()
    ax.grid(alpha=0.3)
    fig.tight_layout()
    _finish(fig, path)
