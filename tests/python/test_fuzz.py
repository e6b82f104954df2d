"""Hostile and odd input: names, windows, frames and keys that no training run
produces.  Every call must either give a result with one row per input row
or raise an ordinary Python exception; it must never crash the interpreter,
and the operand columns must come back unchanged.

Each target runs in a child interpreter (this file run as a script), so that
a crash shows as a failing test instead of ending the test run.  The number
of examples per target is BRINVALE_FUZZ_EXAMPLES (default 60), for example

    BRINVALE_FUZZ_EXAMPLES=20000 python -m pytest -q tests/python/test_fuzz.py
"""

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import brinvale

PACKAGE_PARENT = str(Path(brinvale.__file__).resolve().parents[1])
DEFAULT_EXAMPLES = 60

TARGETS = [
    "grammar",
    "dispatch",
    "dispatch_grouped",
    "windows",
    "windows_grouped",
    "pairs",
    "groupstats",
    "elementwise",
    "calendar",
]


@pytest.mark.parametrize("target", TARGETS)
def test_fuzz_target_survives(target):
    examples = int(os.environ.get("BRINVALE_FUZZ_EXAMPLES", DEFAULT_EXAMPLES))
    # the child finds the package it tests and the pandas twin of tests/
    twin_folder = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([PACKAGE_PARENT, twin_folder]), MPLBACKEND="Agg")
    done = subprocess.run(
        [sys.executable, "-X", "faulthandler", __file__, target, str(examples)],
        capture_output=True,
        text=True,
        env=env,
        timeout=max(600, examples // 2),
    )
    assert done.returncode == 0, (
        f"fuzz target {target} ended with status {done.returncode}\n"
        f"--- stdout\n{done.stdout[-6000:]}\n--- stderr\n{done.stderr[-12000:]}"
    )
    summary = re.search(rf"fuzzed {target}: \d+ examples, (\d+) results", done.stdout)
    assert summary, done.stdout[-2000:]
    # the generated input must reach the computations, not only the refusals
    assert int(summary.group(1)) > 0


# Faults the fuzzing found, kept as plain cases.

INF_WINDOW_OPS = ["tsum", "ts_mean", "ts_min", "ts_max", "ts_rank", "stddev", "product",
                  "ts_argmax", "ts_argmin", "decay_linear"]


@pytest.mark.parametrize("grouped_run", [False, True])
@pytest.mark.parametrize("op", INF_WINDOW_OPS)
def test_window_operand_with_infinities_is_left_unchanged(op, grouped_run, ungrouped, grouped):
    import numpy as np
    import pandas as pd

    from brinvale import tavrin

    if grouped_run:
        grouped("g")
    # no missing value: the column's own buffer would reach the kernel
    df = pd.DataFrame({"x": [np.inf, 1.0, -np.inf, 2.0], "g": ["a", "a", "b", "b"]})
    held = df["x"]
    tavrin.__dict__[op](df, "x", "1")
    expected = [np.inf, 1.0, -np.inf, 2.0]
    assert df["x"].tolist() == expected
    assert held.tolist() == expected
    label = "ts_rank" if op == "stddev" else op
    assert np.isnan(df[f"{label}###x|||1$$$"].iloc[[0, 2]]).all()  # infinities count as missing


@pytest.mark.parametrize("grouped_run", [False, True])
@pytest.mark.parametrize("op", ["delay", "ts_o", "delta"])
@pytest.mark.parametrize("d", ["-9223372036854775808", "9223372036854775807", "-4", "4"])
def test_shift_beyond_the_column_leaves_every_row_missing(op, d, grouped_run, ungrouped, grouped):
    import numpy as np
    import pandas as pd

    from brinvale import tavrin

    if grouped_run:
        grouped("g")
    df = pd.DataFrame({"x": [1.0, 2.0, 3.0, 4.0], "g": ["a", "b", "a", "b"]})
    tavrin.__dict__[op](df, "x", d)
    assert np.isnan(df[f"{op}###x|||{d}$$$"].to_numpy(dtype=float)).all()


@pytest.mark.parametrize("values", [["a", "b"], [1, "b"]], ids=["text", "mixed"])
def test_decay_linear_with_a_huge_window_over_other_columns_allocates_nothing(values, ungrouped):
    import pandas as pd
    from pandas.errors import DataError

    from brinvale import tavrin

    df = pd.DataFrame({"g": pd.array(values, dtype=object)})
    # the weights of a 99999999999-row window would take 745 GiB
    with pytest.raises(DataError):
        tavrin.decay_linear(df, "g", "99999999999")


# ---------------------------------------------------------------------------
# The child: everything below runs only in the fuzzing interpreter.

# Exceptions that mean a fault of the engine rather than refused input.
FAULTS = (MemoryError, SystemError)

OPERATORS = [
    "entropy", "sine", "cosine", "square_root", "percentile", "round", "log", "sigmoid",
    "residual", "quadratic", "softmax", "add", "subtract", "histstat", "multiply", "divide",
    "combine", "maximize", "minimize", "delay", "delta", "ts_rank", "ts_argmax", "ts_argmin",
    "ts_max", "ts_min", "stddev", "decay_linear", "tsum", "product", "crossrank", "bigger",
    "smaller", "equal", "orop", "ts_o", "ts_mean", "tcorvariance", "tcorrelation", "aggregate",
    "crosscount", "nunique", "count", "target", "sum", "indneutralize", "day_of_year",
    "day_of_week", "month", "year",
]
WINDOW_OPS = [
    "delay", "ts_o", "delta", "tsum", "ts_mean", "ts_min", "ts_max", "ts_rank", "stddev",
    "product", "ts_argmax", "ts_argmin", "decay_linear",
]
PAIR_OPS = ["tcorrelation", "tcorvariance"]
ONE_COLUMN_OPS = [
    "sine", "cosine", "round", "quadratic", "square_root", "log", "residual", "sigmoid",
    "percentile", "softmax", "entropy",
]
TWO_COLUMN_OPS = [
    "add", "subtract", "multiply", "divide", "minimize", "maximize", "bigger", "smaller",
    "equal", "orop", "combine",
]
CALENDAR_OPS = ["day_of_year", "day_of_week", "month", "year"]
MARKERS = ["###", "|||", "$$$", "@@@", "#", "$", "|", "@", "##", "$$", "||"]


def _child(target, examples):
    import tempfile

    import numpy as np
    import pandas as pd
    import yaml
    from hypothesis import HealthCheck, Phase, given, settings
    from hypothesis import strategies as st

    from brinvale import tavrin
    from brinvale.module.common.quillet import TaskConfig

    import pandas_twin as twins

    # one configuration file, rewritten for each example and removed at exit
    workdir = tempfile.TemporaryDirectory(prefix="brinvale-fuzz-")
    path = os.path.join(workdir.name, "config.yaml")

    def configure(group):
        feature = {"TargetName": "y"}
        if isinstance(group, tuple):
            group = str(group)
        if group is not None:
            feature["GroupIndex"] = group
        with open(path, "w", encoding="utf-8") as f:
            yaml.safe_dump({"Feature": feature, "AutoFE": {}, "AutoML": {}}, f, allow_unicode=True)
        TaskConfig._TaskConfig__species = None
        TaskConfig._TaskConfig__first_init = True
        TaskConfig(path)

    fuzz = settings(
        max_examples=examples,
        deadline=None,
        database=None,
        suppress_health_check=list(HealthCheck),
        print_blob=True,
        # no explain phase: its line tracer re-runs a failing example under
        # sys.settrace, and an example that ran out of memory then fails
        # again inside the tracer, which hides the example itself
        phases=[Phase.explicit, Phase.reuse, Phase.generate, Phase.shrink],
    )

    # ---- building blocks ----------------------------------------------------

    letters = st.text(
        alphabet=st.sampled_from(list("abgxyz_0123 ") + ["é", "列", "ß", "🙂", "\u200b", "\x00"]),
        max_size=6,
    )
    label_text = st.one_of(
        letters.filter(bool),
        st.lists(st.one_of(letters, st.sampled_from(MARKERS)), max_size=4).map("".join),
    )
    odd_labels = st.one_of(st.integers(-3, 3), st.sampled_from([0.5, None, True, ("a", 1)]))
    # mostly text, the labels real frames carry
    labels = st.integers(0, 5).flatmap(lambda k: odd_labels if k == 5 else label_text)
    windows = st.one_of(
        st.integers(-3, 12).map(str),
        st.integers(1, 5).map(str),
        st.sampled_from(
            ["0", "-1", "99999999999", "-99999999999", "9223372036854775807",
             "-9223372036854775808", "99999999999999999999999", "2.5", "", "abc", " 3 ",
             "３", "1e3", "0x10", "-0"]
        ),
    )
    specials = [np.nan, np.inf, -np.inf, 0.0, -0.0, 1.0, 1.0, 2.0, -1.0, 1e300, -1e-300]
    floats = st.one_of(st.sampled_from(specials), st.floats(-1e3, 1e3), st.integers(-5, 5).map(float))
    mixed_keys = st.sampled_from([1, 2, "a", "b", None, np.nan, 2.0, "列", True, (1, 2)])

    def column_values(kind, n):
        if kind == "float":
            return st.lists(floats, min_size=n, max_size=n).map(lambda v: np.array(v, dtype="float64"))
        if kind == "allnan":
            return st.just(np.full(n, np.nan))
        if kind == "int":
            return st.lists(st.integers(-2**62, 2**62) | st.integers(-3, 3), min_size=n, max_size=n).map(
                lambda v: np.array(v, dtype="int64"))
        if kind == "small_int":
            return st.lists(st.integers(-3, 3), min_size=n, max_size=n).map(
                lambda v: np.array(v, dtype="int32"))
        if kind == "bool":
            return st.lists(st.booleans(), min_size=n, max_size=n).map(lambda v: np.array(v, dtype=bool))
        if kind == "Int64":
            return st.lists(st.none() | st.integers(-3, 3), min_size=n, max_size=n).map(
                lambda v: pd.array(v, dtype="Int64"))
        if kind == "Float64":
            return st.lists(st.none() | st.floats(-10, 10), min_size=n, max_size=n).map(
                lambda v: pd.array(v, dtype="Float64"))
        if kind == "boolean":
            return st.lists(st.none() | st.booleans(), min_size=n, max_size=n).map(
                lambda v: pd.array(v, dtype="boolean"))
        if kind == "mixed":
            return st.lists(mixed_keys, min_size=n, max_size=n).map(
                lambda v: pd.array(v, dtype=object))
        if kind == "str":
            return st.lists(st.none() | letters, min_size=n, max_size=n).map(
                lambda v: pd.array(v, dtype="str"))
        if kind == "category":
            return st.lists(st.sampled_from(["a", "b", None]), min_size=n, max_size=n).map(
                lambda v: pd.Categorical(v))
        raise AssertionError(kind)

    kinds = st.sampled_from(
        ["float", "float", "float", "allnan", "int", "small_int", "bool", "Int64", "Float64",
         "boolean", "mixed", "str", "category"]
    )

    @st.composite
    def frames(draw, min_cols=2, max_rows=14):
        n = draw(st.sampled_from([0, 1, 2, 3]) | st.integers(0, max_rows))
        ncols = draw(st.integers(min_cols, 5))
        cols = draw(st.lists(labels, min_size=ncols, max_size=ncols))
        if ncols > 1 and draw(st.integers(0, 3)) == 0:
            cols[draw(st.integers(1, ncols - 1))] = cols[0]  # a repeated label
        data = {}
        frame = pd.DataFrame(index=range(n))
        for k in range(ncols):
            frame[f"__{k}"] = draw(column_values(draw(kinds), n))
        frame.columns = pd.Index(cols, dtype=object)
        index = draw(st.sampled_from(["range", "shuffled", "text", "repeated"]))
        if index == "shuffled":
            frame.index = draw(st.permutations(list(range(100, 100 + n))))
        elif index == "text":
            frame.index = [f"r{k}" for k in range(n)]
        elif index == "repeated":
            frame.index = [0] * n
        del data
        return frame

    def operand(draw, frame):
        cols = list(frame.columns)
        if cols and draw(st.integers(0, 9)) > 0:
            return draw(st.sampled_from(cols))
        return draw(labels)

    def snapshot(frame):
        return [frame.iloc[:, k].copy() for k in range(frame.shape[1])], frame.index.copy(), list(frame.columns)

    def unchanged(frame, snap, skip_label=None):
        cols, index, labels_before = snap
        assert frame.index.equals(index) and frame.index.dtype == index.dtype, "row labels changed"
        assert list(frame.columns[: len(labels_before)]) == labels_before, "column labels changed"
        for k, before in enumerate(cols):
            if skip_label is not None and labels_before[k] == skip_label:
                continue
            pd.testing.assert_series_equal(frame.iloc[:, k], before, check_names=False)

    results = {"given": 0, "refused": 0}

    def call(fn, *args):
        """fn(*args), or None when it refuses the input with an exception."""
        try:
            out = fn(*args)
            results["given"] += 1
            return out
        except FAULTS:
            raise
        except Exception as e:
            results["refused"] += 1
            if os.environ.get("BRINVALE_FUZZ_VERBOSE"):
                print("refused:", type(e).__name__, str(e)[:120])
            return None

    def same_values(got, want):
        got = np.asarray(got, dtype="float64")
        want = np.asarray(want, dtype="float64")
        assert got.shape == want.shape
        scale = np.nanmax(np.abs(want[np.isfinite(want)]), initial=1.0)
        np.testing.assert_allclose(got, want, rtol=1e-7, atol=1e-7 * scale, equal_nan=True)

    def one_feature_column(frame, name, n):
        assert name in frame.columns, f"no column {name!r}"
        col = frame[name]
        assert len(col) == n

    def plain(frame, *cols):
        """Operand columns the value twins can take: unique float/int labels."""
        try:
            return all(frame.columns.tolist().count(c) == 1 and frame[c].dtype.kind in "fi"
                       and isinstance(frame[c].dtype, np.dtype) for c in cols)
        except TypeError:
            return False

    # ---- targets --------------------------------------------------------------

    def split_twin(key):
        left = right = 0
        s1 = s2 = -1
        stack, left_count, i = [], 0, 0
        while i < len(key):
            if key[i] == "#" and key[i + 1] == "#" and key[i + 2] == "#":
                left_count += 1
                if left_count == 1:
                    left = i
                stack.append(1)
                i += 2
            elif key[i] == "$" and key[i + 1] == "$" and key[i + 2] == "$":
                stack.pop()
                if not stack:
                    right = i
                i += 2
            elif key[i] == "|" and key[i + 1] == "|" and key[i + 2] == "|":
                if len(stack) == 1:
                    if s1 < 0:
                        s1 = i
                    else:
                        s2 = i
            i += 1
        if s2 < 0 and s1 != -1:
            return [key[:left], key[left + 3:s1], key[s1 + 3:right]]
        if s2 < 0:
            return [key[:left], key[left + 3:right]]
        return [key[:left], key[left + 3:s1], key[s1 + 3:s2], key[s2 + 3:right]]

    names = st.recursive(
        st.one_of(letters, st.sampled_from(["a", "b", "g", "x"] + MARKERS)),
        lambda inner: st.one_of(
            st.builds(lambda op, parts: op + "###" + "|||".join(parts) + "$$$",
                      st.sampled_from(OPERATORS), st.lists(inner, min_size=1, max_size=4)),
            st.lists(st.one_of(inner, st.sampled_from(MARKERS + OPERATORS)), max_size=6).map("".join),
        ),
        max_leaves=12,
    )
    # names the dispatcher can compute: operators with operands of the right
    # number and kind, nested
    leaf_columns = st.sampled_from(["a", "b", "g", "x"])

    def arity_node(inner):
        one = st.builds(lambda op, c: f"{op}###{c}$$$", st.sampled_from(ONE_COLUMN_OPS + ["count"]), inner)
        two = st.builds(lambda op, c1, c2: f"{op}###{c1}|||{c2}$$$",
                        st.sampled_from(TWO_COLUMN_OPS + ["crosscount", "nunique", "histstat", "crossrank"]), inner, inner)
        win = st.builds(lambda op, c, d: f"{op}###{c}|||{d}$$$", st.sampled_from(WINDOW_OPS), inner, windows)
        pair = st.builds(lambda op, c1, c2, d: f"{op}###{c1}|||{c2}|||{d}$$$",
                         st.sampled_from(PAIR_OPS), inner, inner, windows)
        agg = st.builds(lambda stat, c1, c2: f"aggregate###{stat}|||{c1}|||{c2}$$$",
                        st.sampled_from(["min", "max", "mean", "median", "var"]), inner, leaf_columns)
        return st.one_of(one, two, win, pair, agg)

    good_names = st.recursive(leaf_columns, arity_node, max_leaves=5).filter(lambda k: "###" in k)
    long_names = st.builds(
        lambda op, k, tail: op + "###" * k + "a" + "|||b" + "$$$" * k + tail,
        st.sampled_from(OPERATORS), st.integers(1, 3000), st.sampled_from(["", "$$$", "#", "x" * 10000]),
    )

    @fuzz
    @given(st.one_of(names, long_names, st.text(max_size=40)))
    def grammar(key):
        try:
            want = split_twin(key)
        except (IndexError,) as e:
            want = type(e)
        got = call(tavrin.split_features, key)
        if want is IndexError:
            assert got is None, f"split_features({key!r}) gave {got!r}, expected IndexError"
        else:
            assert got == want, f"split_features({key!r}) = {got!r}, expected {want!r}"
        from collections import Counter
        c = Counter(key)
        assert tavrin.is_combination_feature(key) == (min(c.get("$", 0) // 3, c.get("#", 0) // 3) > 0)
        formula = call(tavrin.name2formula, key)
        assert formula is None or isinstance(formula, str)
        call(tavrin.feature2table, [key])

    def dispatcher_frame(n):
        rng = np.random.default_rng(n)
        return pd.DataFrame({
            "a": rng.normal(size=n), "b": rng.integers(-3, 3, size=n).astype(float),
            "g": rng.choice(["p", "q", "列"], size=n), "x": rng.integers(0, 4, size=n),
        })

    @fuzz
    @given(st.lists(st.one_of(good_names, good_names, names, long_names), min_size=1, max_size=4),
           st.integers(0, 9))
    def dispatch(feature_space, n):
        df = dispatcher_frame(n)
        snap = snapshot(df)
        records = {}
        out = call(tavrin.name2feature, df, feature_space, records)
        if out is not None:
            assert isinstance(out, pd.DataFrame) and len(out) == n
        # the caller's columns keep their values whatever the operators did
        for k, before in enumerate(snap[0]):
            pd.testing.assert_series_equal(df[snap[2][k]].reset_index(drop=True),
                                           before.reset_index(drop=True), check_names=False)
        if out is not None and records:
            again = call(tavrin.name2feature, dispatcher_frame(n), feature_space, records)
            assert again is None or len(again) == n
        call(tavrin.name2timefeature, dispatcher_frame(n), [s.replace("###", "@@@") for s in feature_space])

    @st.composite
    def window_case(draw):
        frame = draw(frames())
        return frame, draw(st.sampled_from(WINDOW_OPS)), operand(draw, frame), draw(windows)

    def run_window(case, grouped):
        frame, op, col, d = case
        group = None
        if grouped:
            group = frame.columns[-1] if len(frame.columns) else None
        configure(group)
        n = len(frame)
        snap = snapshot(frame)
        label = "ts_rank" if op == "stddev" else op
        out = call(getattr(tavrin, op), frame, col, d)
        name = f"{label}###{col}|||{d}$$$" if isinstance(col, str) and isinstance(d, str) else None
        unchanged(frame, snap, skip_label=name)
        if out is None:
            return
        assert out is frame
        one_feature_column(frame, name, n)
        if not plain(frame, col):
            return
        try:
            d_int = int(d)
            groups = None if group is None else frame[group]
            if groups is not None and not isinstance(groups, pd.Series):
                return
            want = twins.window(op, frame[col], d_int, groups)
        except FAULTS:
            raise
        except Exception:
            return  # pandas refuses it too (or cannot group these keys)
        if op in ("delay", "ts_o", "delta") and groups is not None and not frame.index.equals(pd.RangeIndex(n)):
            return
        same_values(frame[name], want)

    @fuzz
    @given(window_case())
    def windows_target(case):
        run_window(case, grouped=False)

    @fuzz
    @given(window_case())
    def windows_grouped(case):
        run_window(case, grouped=True)

    @fuzz
    @given(st.data())
    def pairs(data):
        frame = data.draw(frames())
        op = data.draw(st.sampled_from(PAIR_OPS + ["crossrank"]))
        grouped = data.draw(st.booleans())
        configure(frame.columns[-1] if grouped else None)
        col1, col2 = operand(data.draw, frame), operand(data.draw, frame)
        n = len(frame)
        snap = snapshot(frame)
        if op == "crossrank":
            out = call(tavrin.crossrank, frame, col1, col2)
            name = f"crossrank###{col1}|||{col2}$$$" if isinstance(col1, str) and isinstance(col2, str) else None
        else:
            d = data.draw(windows)
            out = call(getattr(tavrin, op), frame, col1, col2, d)
            name = f"{op}###{col1}|||{col2}|||{d}$$$" if isinstance(col1, str) and isinstance(col2, str) else None
        unchanged(frame, snap, skip_label=name)
        if out is not None:
            assert out is frame
            one_feature_column(frame, name, n)

    @fuzz
    @given(st.data())
    def groupstats(data):
        frame = data.draw(frames())
        op = data.draw(st.sampled_from(["count", "crosscount", "aggregate", "nunique", "histstat"]))
        a, b = operand(data.draw, frame), operand(data.draw, frame)
        n = len(frame)
        records = {}
        for attempt in range(2):  # without a record, then with the record just written
            before = frame.copy()
            snap = snapshot(frame)
            if op == "count":
                out = call(tavrin.count, frame, a, records)
            elif op == "crosscount":
                out = call(tavrin.crosscount, frame, [a, b], records)
            elif op == "aggregate":
                stats = data.draw(st.lists(st.sampled_from(["min", "max", "mean", "median", "var", "sum", "std", "first", "nope"]), min_size=1, max_size=3))
                out = call(tavrin.aggregate, frame, a, b, stats, records)
            elif op == "nunique":
                out = call(tavrin.nunique, frame, a, b, records)
            else:
                stats = data.draw(st.lists(st.sampled_from(["min", "max", "mean", "median", "var", "count"]), max_size=3))
                out = call(tavrin.histstat, frame, a, b, stats)
            if op == "histstat":
                name = f"histstat###{a}|||{b}$$$" if isinstance(a, str) and isinstance(b, str) else None
                unchanged(frame, snap, skip_label=name)
                if out is not None:
                    assert out is frame and len(out) == n
            else:
                pd.testing.assert_frame_equal(frame, before)
                if out is not None:
                    assert isinstance(out, pd.DataFrame) and len(out) == n
                    assert out.index.equals(pd.RangeIndex(n))
            if out is None:
                return

    @fuzz
    @given(st.data())
    def elementwise(data):
        frame = data.draw(frames())
        two = data.draw(st.booleans())
        op = data.draw(st.sampled_from(TWO_COLUMN_OPS if two else ONE_COLUMN_OPS))
        cols = [operand(data.draw, frame) for _ in range(2 if two else 1)]
        n = len(frame)
        snap = snapshot(frame)
        out = call(getattr(tavrin, op), frame, *cols)
        name = None
        if all(isinstance(c, str) for c in cols):
            name = f"{op}###{'|||'.join(cols)}$$$"
        elif not two and op != "softmax":
            name = f"{op}###{cols[0]}$$$"  # a format template takes any operand
        unchanged(frame, snap, skip_label=name)
        if out is not None:
            assert out is frame
            one_feature_column(frame, name, n)

    @fuzz
    @given(st.data())
    def calendar(data):
        frame = data.draw(frames(min_cols=1))
        n = len(frame)
        if data.draw(st.booleans()) and frame.shape[1]:
            frame.isetitem(0, data.draw(st.lists(
                st.sampled_from(["2021-03-04", "2020-02-29", "not a date", None, "1900-01-01", "9999-12-31", "2021-13-01"]),
                min_size=n, max_size=n)))
        op = data.draw(st.sampled_from(CALENDAR_OPS))
        col = operand(data.draw, frame)
        index = frame.index.copy()
        out = call(getattr(tavrin, op), frame, col)
        if out is not None:
            assert out is frame and len(frame) == n and frame.index.equals(index)

    table = {
        "grammar": grammar, "dispatch": dispatch, "windows": windows_target,
        "windows_grouped": windows_grouped, "pairs": pairs, "groupstats": groupstats,
        "elementwise": elementwise, "calendar": calendar,
    }
    if target == "dispatch_grouped":
        configure("g")
        dispatch()
    else:
        if target == "dispatch":
            configure(None)
        table[target]()
    workdir.cleanup()
    print(f"fuzzed {target}: {examples} examples, {results['given']} results, "
          f"{results['refused']} refusals")


if __name__ == "__main__":
    import resource
    import warnings

    # An input that makes an operator allocate without bound ends as a
    # MemoryError, reported with its example, not as the kernel's kill of
    # the whole process (the frames here are a few rows).
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    cap = 8 << 30
    if hard == resource.RLIM_INFINITY or hard > cap:
        resource.setrlimit(resource.RLIMIT_AS, (cap, cap))
    warnings.simplefilter("ignore")
    _child(sys.argv[1], int(sys.argv[2]))
