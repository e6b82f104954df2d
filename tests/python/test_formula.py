"""Formula rendering of feature names."""

import pytest

from brinvale import tavrin

N = "add###a|||b$$$"  # renders as a+b
INFIX = {"add": "+", "subtract": "-", "multiply": "\\times ", "divide": "\\div ",
         "smaller": "<", "bigger": ">", "orop": "\\vee "}
CALL2 = {"crosscount": "CrossCount", "nunique": "Nunique", "histstat": "Histstat"}
CALL1 = {"sine": "sin", "cosine": "cos", "percentile": "Percentile", "entropy": "Entropy",
         "count": "Count", "log": "Log", "sigmoid": "Sigmoid", "round": "Round",
         "residual": "Residual"}
PAIR = {"combine": "Combine", "minimize": "Min", "maximize": "Max"}
TIME = {"delay": "Delay", "equal": "Equal", "tcorrelation": "Correlation",
        "tcorvariance": "Covariance", "tsum": "ts_sum", "delta": "Delta",
        "decay_linear": "Decay", "ts_min": "ts_min", "ts_max": "ts_max",
        "ts_argmax": "ts_argmax", "ts_argmin": "ts_argmin", "ts_rank": "ts_rank",
        "ts_mean": "ts_mean", "ts_o": "ts_o", "stddev": "Stddev"}


def cases():
    for op, sym in INFIX.items():
        yield f"{op}###x|||y$$$", f"x{sym}y"
        yield f"{op}###{N}|||{N}$$$", f"(a+b){sym}(a+b)"
    for op, d in CALL2.items():
        yield f"{op}###x|||y$$$", f"{d}(x,y)"
        yield f"{op}###{N}|||{N}$$$", f"{d}(a+b,(a+b))"
    for op, d in CALL1.items():
        yield f"{op}###x$$$", f"{d}(x)"
        yield f"{op}###{N}$$$", f"{d}(a+b)"
    for op, d in PAIR.items():
        yield f"{op}###x|||y$$$", f"{d}(xy)"
        yield f"{op}###{N}|||{N}$$$", f"{d}((a+b)(a+b))"
    for op, d in TIME.items():
        yield f"{op}###x|||3$$$", f"{d}(x,3)"
        yield f"{op}###{N}|||{N}$$$", f"{d}((a+b),(a+b))"
    yield "square_root###x$$$", "\\sqrt{x}"
    yield f"square_root###{N}$$$", "\\sqrt{(a+b)}"
    yield "quadratic###x$$$", "x^2"
    yield f"quadratic###{N}$$$", "(a+b)^2"
    yield "softmax###x$$$", "Softmax(x)"
    yield f"softmax###{N}$$$", "Softmax((a+b))"
    yield "aggregate###mean|||a|||b$$$", "AggMean(a,b)"
    yield f"aggregate###MEAN|||{N}|||{N}$$$", "AggMean((a+b),a+b)"
    yield "add###x_1|||y$$$", "x\\_1+y"
    yield "some_op###x_1$$$", None
    yield "add###a__b|||c$$$", "a\\_\\_b+c"
    yield "multiply###sine###a_b$$$|||c$$$", "(sin(a\\_b))\\times c"


@pytest.mark.parametrize("name, formula", list(cases()))
def test_rendering(name, formula):
    assert tavrin.name2formula(name) == formula


@pytest.mark.parametrize("op", ["target", "sum", "product", "crossrank", "indneutralize",
                                "day_of_year", "day_of_week", "month", "year"])
def test_operators_without_rendering(op):
    assert tavrin.name2formula(f"{op}###a|||b$$$") is None


def test_errors():
    with pytest.raises(IndexError):
        tavrin.name2formula("add###a$$$")
    with pytest.raises(IndexError):
        tavrin.name2formula("ab#")
    with pytest.raises(TypeError):
        tavrin.name2formula("add###target###a$$$|||b$$$")
    with pytest.raises(RecursionError):
        tavrin.name2formula("sine###" * 3000 + "a" + "$$$" * 3000)


def test_capitalisation_follows_python():
    assert tavrin.name2formula("aggregate###ßtat|||a|||b$$$") == "Agg" + "ßtat".capitalize() + "(a,b)"


def test_feature2table():
    table = tavrin.feature2table(["add###a|||b$$$", "target###a$$$"])
    assert list(table.columns) == ["id", "latex"]
    assert table["id"].tolist() == [1, 2]
    assert table["latex"].tolist() == ["a+b", None]
    empty = tavrin.feature2table([])
    assert list(empty.columns) == ["id", "latex"] and len(empty) == 0


class Names(list):
    pass


@pytest.mark.parametrize("bad", [("add###a|||b$$$",), None, Names(), "add###a|||b$$$"])
def test_feature2table_wants_an_exact_list(bad):
    with pytest.raises(TypeError, match="Argument 'names' has incorrect type"):
        tavrin.feature2table(bad)
