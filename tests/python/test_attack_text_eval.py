"""Classes and functions of admitted libraries that evaluate text or open
files when constructed or called; and admitted classes called with their
__init__ where genuine pickles only instantiate them (a Booster's
model_file)."""

import pytest

from pickle_craft import PROTOCOLS, Call, G, craft, refused_load

EVALUATORS = [
    ("pandas.core.computation.expr", "Expr"),
    ("pandas.core.computation.eval", "eval"),
    ("pandas.core.computation.expr", "PandasExprVisitor"),
    ("pandas.core.computation.scope", "Scope"),
    ("numpy", "vectorize"),
    ("numpy", "memmap"),
    ("pandas", "HDFStore"),
    ("pandas", "ExcelFile"),
]


@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize("module, name", EVALUATORS)
def test_text_evaluators_are_refused(tmp_path, module, name, protocol):
    marker = tmp_path / "ran"
    expr = f"__import__('pathlib').Path({str(marker)!r}).touch()"
    err = refused_load(craft(Call(G(module, name), expr), protocol))
    assert f"{module}.{name}" in str(err)
    assert not marker.exists()


@pytest.mark.parametrize("module, name", [("lightgbm.basic", "Booster"), ("xgboost.core", "Booster"),
                                          ("flaml.automl.automl", "AutoML"),
                                          ("sklearn.tree._classes", "DecisionTreeClassifier")])
def test_admitted_classes_are_not_called_with_their_init(tmp_path, module, name):
    # Booster(params=None, train_set=None, model_file=...) reads a file
    path = tmp_path / "model.txt"
    err = refused_load(craft(Call(G(module, name), None, None, str(path))))
    assert "as call" in str(err)
