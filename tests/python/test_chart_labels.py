"""Long engineered feature names in charts, and class names in SHAP panels."""

import matplotlib.pyplot as plt
import pytest
import shap
from hypothesis import given, strategies as st

from brinvale.brinvale import tabular_incrml
from brinvale.module.util.report import wrap_name

NESTED = "divide###ts_max###bill_depth_mm|||4$$$|||subtract###flipper_length_mm|||bill_length_mm$$$$$$"


@pytest.mark.parametrize(
    "name, width, lines",
    [
        ("bill_length_mm", 10, ["bill_length_mm"]),  # no break in it: stays whole
        ("add###a|||b$$$", 40, ["add###a|||b$$$"]),
        (
            NESTED,
            50,
            ["divide###ts_max###bill_depth_mm|||4$$$|||", "subtract###flipper_length_mm|||", "bill_length_mm$$$$$$"],
        ),
        ("年龄###收入|||城市$$$", 6, ["年龄###", "收入|||", "城市$$$"]),
    ],
)
def test_wrap_name_breaks_after_separators(name, width, lines):
    assert wrap_name(name, width).split("\n") == lines


@given(
    st.lists(st.sampled_from(["add", "ts_max", "a_b", "收入", "3", "$$$", "x y"]), min_size=1, max_size=12),
    st.lists(st.sampled_from(["###", "|||"]), min_size=12, max_size=12),
    st.integers(1, 30),
)
def test_wrap_name_keeps_every_character(tokens, seps, width):
    name = "".join(t + s for t, s in zip(tokens, seps))
    wrapped = wrap_name(name, width)
    assert wrapped.replace("\n", "") == name
    lines = wrapped.split("\n")
    # every line ends at a separator except the last, and only a single
    # unbreakable piece runs over the width
    assert all(line.endswith(("###", "|||")) for line in lines[:-1])
    assert all(len(line) <= width or "###" not in line[:-3] and "|||" not in line[:-3] for line in lines)


@pytest.fixture(scope="module")
def classification_folder(tmp_path_factory):
    from brinvale.sample import build_sample

    return build_sample(str(tmp_path_factory.mktemp("sample") / "classification"), "classification")


@pytest.fixture
def loaded(classification_folder):
    from workbench_fixtures import reset_task_config

    reset_task_config()
    yield tabular_incrml(classification_folder)
    reset_task_config()


@pytest.mark.parametrize("plot_type", ["dot", "bar"])
def test_shap_names_classes_by_the_label_encoder_and_wraps_long_features(loaded, plot_type, monkeypatch):
    seen = {}

    def show(*args, **kwargs):
        fig = plt.gcf()
        seen["titles"] = [ax.get_title() for ax in fig.axes if ax.get_title()]
        seen["legend"] = [t.get_text() for ax in fig.axes if ax.get_legend() for t in ax.get_legend().get_texts()]
        seen["ticks"] = [t.get_text() for ax in fig.axes for t in ax.get_yticklabels()]

    real_summary = shap.summary_plot
    monkeypatch.setattr(
        shap, "summary_plot", lambda v, X, **kw: (seen.update(names=kw["feature_names"]), real_summary(v, X, **kw))
    )
    monkeypatch.setattr(plt, "show", show)
    loaded.plot_shap(plot_type=plot_type)
    species = {"Adelie", "Chinstrap", "Gentoo"}
    if plot_type == "bar":
        assert set(seen["legend"]) == species
    else:
        assert {t.removeprefix("类别 ") for t in seen["titles"]} == species
    columns = list(loaded.model._trained_estimator._model.feature_name_)
    assert [n.replace("\n", "") for n in seen["names"]] == columns
    assert wrap_name(NESTED, 50) in seen["names"]
    assert all("\n" not in t or "###" in t for t in seen["ticks"])
