"""Text columns read natively (label codes, the percentage conversion) against
the plain pandas / scikit-learn expression of the pipeline, over every text
storage: object columns of mixed values, pandas' str columns (Python objects,
or Arrow buffers where pyarrow is installed) and NumPy unicode arrays."""

import copy

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from sklearn.preprocessing import LabelEncoder

from brinvale.module.dataprocess.dovrel import LabelEncoderWithOOV
from workbench_fixtures import bare  # noqa: F401

try:
    import pyarrow as pa
except ImportError:
    pa = None


class ScanOOV(LabelEncoder):
    """The encoder's definition, written out: one scan of classes_ per value.
    Against object classes a text is known when it equals one of them:
    NumPy's `in` drops trailing NULs of the text it looks for, which then
    misses in the base class's mapping and fails the whole call."""

    def __init__(self, oov_token="OOV"):
        self.oov_token = oov_token
        super().__init__()

    def known(self, x):
        if self.classes_.dtype.kind == "O":
            return any(type(c) is str and c == x for c in self.classes_)
        return x in self.classes_

    def transform(self, y):
        if self.oov_token is not None and self.oov_token not in self.classes_:
            self.classes_ = np.append(self.classes_, self.oov_token)
        return super().transform([x if self.known(x) else self.oov_token for x in y])


def reference(encoder):
    ref = ScanOOV(encoder.oov_token)
    ref.classes_ = copy.deepcopy(encoder.classes_)
    return ref


def storages():
    backends = ["python"] + (["pyarrow"] if pa is not None else [])
    kinds = ["object", "str"] + [pd.StringDtype(b) for b in backends]
    try:
        kinds += [pd.StringDtype(b, na_value=np.nan) for b in backends]
    except TypeError:
        pass  # pandas before 2.3 has no text dtype with NaN as its missing value
    return kinds


words = st.sampled_from(["a", "b", "na", "nan", "", " a", "é", "中文", "a\x00", "OOV", "1", "1.0",
                         "True", "x" * 40, "\U0001f600"])
texts = st.one_of(words, st.text(max_size=6))
numbers = st.sampled_from([0, 1, -7, 1.0, 2.5, -0.0, float("nan"), True, False, 10**20])
mixed = st.one_of(texts, numbers, st.none(), st.just(pd.NA))


def fitted(classes, as_objects):
    enc = LabelEncoderWithOOV()
    enc.fit(np.array(classes, dtype=object) if as_objects else classes)
    return enc


def pipeline_codes(obj, column, encoder):
    obj.lec_record_dt = {"c": encoder}
    out = obj._process_data(pd.DataFrame({"c": column}))
    return out["c"]


@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.lists(words, min_size=1, max_size=8, unique=True), st.lists(mixed, min_size=1, max_size=25),
       st.booleans())
def test_pipeline_codes_of_mixed_object_columns(bare, classes, values, as_objects):
    enc = fitted(classes, as_objects)
    ref = reference(enc)
    column = pd.Series(values, dtype=object)
    want = np.asarray(ref.transform(column.fillna("na").astype(str)))
    got = pipeline_codes(bare, column.copy(), enc)
    assert got.dtype == want.dtype and got.tolist() == want.tolist()
    assert enc.classes_.tolist() == ref.classes_.tolist() and enc.classes_.dtype == ref.classes_.dtype
    # a second call gives the same codes and leaves classes_ as it is
    again = pipeline_codes(bare, column.copy(), enc)
    assert again.tolist() == want.tolist() and len(enc.classes_) == len(ref.classes_)


@settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.lists(words, min_size=1, max_size=8, unique=True),
       st.lists(st.one_of(texts, st.none()), min_size=1, max_size=25),
       st.sampled_from(range(len(storages()))), st.booleans())
def test_pipeline_codes_of_text_columns_in_every_storage(bare, classes, values, storage, as_objects):
    enc = fitted(classes, as_objects)
    ref = reference(enc)
    column = pd.Series(values, dtype=storages()[storage])
    want = np.asarray(ref.transform(column.fillna("na").astype(str)))
    got = pipeline_codes(bare, column, enc)
    assert got.dtype == want.dtype and got.tolist() == want.tolist()


@settings(max_examples=100, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.lists(texts, min_size=1, max_size=8), st.lists(texts, min_size=1, max_size=20))
def test_transform_of_text_inputs_of_every_kind(classes, values):
    for as_objects in (False, True):
        enc = fitted(classes, as_objects)
        ref = reference(enc)
        inputs = [values, tuple(values), np.array(values, dtype=object), np.array(values),
                  pd.Series(values, dtype=object)] + [pd.Series(values, dtype=s) for s in storages()[1:]]
        for y in inputs:
            want = reference(enc).transform(list(y)).tolist()
            assert enc.transform(y).tolist() == want, type(y)
        ref.transform(values)
        assert enc.classes_.tolist() == ref.classes_.tolist()


def test_lone_surrogates_and_odd_objects_take_the_general_path(bare):
    enc = fitted(["a", "b"], True)
    ref = reference(enc)
    values = ["a", "\ud800", b"b", pd.Timestamp("2020-01-01"), np.int64(3), None]
    column = pd.Series(values, dtype=object)
    try:
        want = np.asarray(ref.transform(column.fillna("na").astype(str))).tolist()
    except UnicodeEncodeError:  # Arrow storage has no text for a lone surrogate
        with pytest.raises(UnicodeEncodeError):
            pipeline_codes(bare, column, enc)
    else:
        assert pipeline_codes(bare, column, enc).tolist() == want
    assert enc.transform(["\ud800", "a"]).tolist() == ref.transform(["\ud800", "a"]).tolist()


def test_text_with_trailing_nuls():
    # object classes: unseen (plain `in` would find it and the mapping fail)
    assert fitted(["a", "b"], True).transform(["a\x00", "b"]).tolist() == [2, 1]
    # unicode classes compare as NumPy does, without the NULs
    assert fitted(["a", "b"], False).transform(["a\x00", "b"]).tolist() == [0, 1]


@pytest.mark.skipif(pa is None, reason="needs pyarrow")
def test_arrow_chunks_slices_and_small_offsets(bare):
    enc = fitted(["a", "b", "na"], False)
    ref = reference(enc)
    chunked = pa.chunked_array([pa.array(["a", None, "q"], pa.string()), pa.array(["b", "a"], pa.string())])
    dtype = pd.StringDtype("pyarrow", na_value=np.nan)
    parts = [pd.Series(pd.arrays.ArrowStringArray(chunked)).astype(dtype),
             pd.concat([pd.Series(["b", None], dtype=dtype), pd.Series(["zz", "a", "b"], dtype=dtype)],
                       ignore_index=True).iloc[1:],
             pd.Series(pd.array(["a", "q", None], dtype=dtype)).iloc[1:]]
    for column in parts:
        want = np.asarray(ref.transform(column.fillna("na").astype(str)))
        assert pipeline_codes(bare, column.reset_index(drop=True), enc).tolist() == want.tolist()


# ---- percentage conversion ----------------------------------------------------------

def percent_twin(column):
    """The pandas expression of the conversion (missing values as the text "nan")."""
    text = column.astype(object).where(column.notna(), np.nan).astype(str)
    if not text.str.endswith("%").any():
        return None
    return text.str.replace("%", "").astype(float) / 100


def outcome(fn):
    try:
        return "ok", fn()
    except ValueError as e:
        return "error", str(e)


numeric_texts = st.sampled_from(["5%", "12", "7 %", " -1.5e2% ", "%", "0.1%", "1_000%", "１２%",
                                 "inf%", "-nan%", "1e400%", "1e-320%", "abc%", "%5%%", "+.5%",
                                 "\u30005%", "5", "nan", "12.50%"])
percent_values = st.one_of(numeric_texts, st.none(), st.sampled_from([3, 2.5, float("nan"), True]))


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(st.lists(percent_values, min_size=1, max_size=12), st.sampled_from(range(len(storages()))))
def test_percentage_conversion_matches_pandas(bare, values, storage):
    dtype = storages()[storage]
    if dtype != "object" and any(v is not None and not isinstance(v, str) for v in values):
        dtype = "object"
    column = pd.Series(values, dtype=dtype)
    kind, want = outcome(lambda: percent_twin(column))
    got_kind, got = outcome(lambda: bare._percent_sign_conversion(pd.DataFrame({"p": column, "n": 1})))
    assert got_kind == kind, (got, want)
    if kind == "error":
        assert got == want
    elif want is None:
        pd.testing.assert_series_equal(got["p"], column, check_names=False)
    else:
        assert got["p"].dtype == np.float64 and got["n"].tolist() == [1] * len(values)
        np.testing.assert_array_equal(got["p"].to_numpy(), want.to_numpy())
