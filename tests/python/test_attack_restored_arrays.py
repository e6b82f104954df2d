"""Arrays rebuilt from what a pickle says about them: pyarrow restores an
array from the buffers, offsets and lengths it is given, trusting all of
them, and pandas takes a Categorical's codes as positions in its categories
without checking them.  A restored Arrow array is validated in full before
anything reads it, and a record's categorical codes are checked against its
categories.  Every case runs in a child interpreter under an address-space
limit of 4 GB and 60 s, and reads what it loaded, so that an unchecked array
shows as a crash or a wrong value instead of passing."""

import pickle

import numpy as np
import pandas as pd
import pytest

from bounded_child import outcomes
from pickle_craft import write_payload
from workbench_fixtures import folder_copy, sample_dirs  # noqa: F401

COUNT = "count###island$$$"


def arrow_strings_pickle(offsets=None, offset=0):
    """A pyarrow-backed text Series pickled as pandas pickles it, with the
    large-string array's offsets buffer or its offset replaced."""
    pa = pytest.importorskip("pyarrow")
    s = pd.Series(["ab", "c", "def"], dtype=pd.StringDtype("pyarrow", na_value=np.nan))

    class Crafted(pickle.Pickler):
        def reducer_override(self, obj):
            if not isinstance(obj, pa.Array):
                return NotImplemented
            validity, genuine_offsets, data = obj.buffers()
            if offsets is not None:
                genuine_offsets = pa.py_buffer(np.asarray(offsets, dtype=np.int64).tobytes())
            return pa.lib._restore_array, (
                (obj.type, len(obj), obj.null_count, offset, [validity, genuine_offsets, data], [],
                 None),)

    import io

    buf = io.BytesIO()
    Crafted(buf, protocol=4).dump(s)
    return buf.getvalue()


def load_and_read(path):
    return f"""
        import io
        import brinvale.brinvale as bv
        with open({str(path)!r}, "rb") as f:
            s = bv._ResultUnpickler(io.BytesIO(f.read())).load()
        print(s.str.len().tolist(), s.tolist())
    """


def test_restored_arrow_arrays_are_validated_before_anything_reads_them(tmp_path):
    genuine = arrow_strings_pickle()
    pickle.loads(genuine)  # the crafting itself is what pandas writes
    cases = {
        "genuine": genuine,
        "offset past the buffer": arrow_strings_pickle(offsets=[0, 2, 3, 1 << 30]),
        "offsets going backwards": arrow_strings_pickle(offsets=[0, 6, 3, 6]),
        "huge offset": arrow_strings_pickle(offset=10**12),
    }
    code = {}
    for name, raw in cases.items():
        path = tmp_path / (name.replace(" ", "_") + ".pkl")
        path.write_bytes(raw)
        code[name] = load_and_read(path)
    got = outcomes(code)
    assert got.pop("genuine") == "LOADED"
    for name, outcome in got.items():
        assert outcome.startswith("REFUSED UnpicklingError: refused a restored Arrow array"), (
            name, outcome)


def test_categorical_codes_far_past_the_categories_in_a_record_are_refused(folder_copy, tmp_path):
    folder = folder_copy()
    with open(folder / "autofe" / "labelencoder.pkl", "rb") as f:
        rec = pickle.load(f)
    frame = rec[COUNT]
    labels = pd.Categorical(frame["island"])
    codes = np.asarray(labels.codes, dtype=np.int32).copy()
    codes[0] = 10**8
    bad = pd.Categorical.__new__(pd.Categorical)
    bad.__setstate__({"_dtype": labels.dtype, "_ndarray": codes})
    rec[COUNT] = frame.assign(island=bad)
    write_payload(folder, pickle.dumps(rec), where="records")
    from brinvale.sample import write_sample_csv

    csv = tmp_path / "new.csv"
    write_sample_csv(str(csv), rows=40)
    got = outcomes({"case": f"""
        from brinvale.brinvale import tabular_incrml
        m = tabular_incrml({str(folder)!r})
        print(m.predict({str(csv)!r}))
    """})["case"]
    assert got.startswith("REFUSED ValueError"), got
    assert repr(COUNT) in got and "codes of a categorical column of its frame lie outside" in got
