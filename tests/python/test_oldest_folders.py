"""Result folders and records written by the oldest libraries the package
supports (pandas 2.2, NumPy 1.26, scikit-learn 1.3, FLAML 2.1, LightGBM 4.0,
XGBoost 1.7; written by oldest_goldens.py) load through the checked unpickler
with the installed libraries, and give what those libraries gave: the same
feature values, the same predictions, boosters and trees read as written."""

import io
import os
import shutil
import subprocess
import sys
import textwrap

import numpy as np
import pandas as pd
import pytest

import brinvale.brinvale as bv
from brinvale.brinvale import tabular_incrml
from oldest_goldens import (ENCODER_KEYS, FOLDERS, GOLDEN, RECORD_PROTOCOLS, encoder_codes, folder_name,
                            model_frame, record_features)
from pickle_craft import Build, Call, G, New, craft, refused_load
from workbench_fixtures import reset_task_config

INPUT = os.path.join(GOLDEN, "input.csv")
NAMES = [folder_name(task, learner) for task, learner in FOLDERS]

# The engine calls NumPy's own log, sin, cos and exp, as pandas does, and
# NumPy's releases round their last bit differently (np.log(17.6) is one ulp
# apart in NumPy 1.26 and 2.4): features built on them match the installed
# NumPy, within an ulp or two of what the old one gave.
NUMPY_FUNCTIONS = ("log###", "sine###", "cosine###", "sigmoid###", "softmax###")


@pytest.fixture(scope="module")
def expected():
    with np.load(os.path.join(GOLDEN, "expected.npz")) as npz:  # plain arrays, no pickles
        return dict(npz)


@pytest.fixture
def load():
    def make(folder):
        reset_task_config()
        return tabular_incrml(folder)

    yield make
    reset_task_config()


def assert_same(got, want):
    got, want = np.asarray(got), np.asarray(want)
    assert got.shape == want.shape
    if want.dtype.kind == "f":
        np.testing.assert_array_equal(got.astype(float), want)  # bit for bit, NaN where NaN
    else:
        assert got.tolist() == want.tolist()


@pytest.mark.parametrize("name", NAMES)
def test_old_folders_load_and_rebuild_the_same_model_frame(load, expected, name):
    obj = load(os.path.join(GOLDEN, name))
    columns = expected[f"{name}:columns"].tolist()
    assert list(obj.model.feature_names_in_) == columns
    got, want = model_frame(obj, obj.preprocess(INPUT)), expected[f"{name}:preprocessed"]
    assert got.shape == want.shape
    for j, column in enumerate(columns):
        if any(op in column for op in NUMPY_FUNCTIONS):
            values = ~np.isnan(want[:, j])
            np.testing.assert_array_equal(~np.isnan(got[:, j]), values)
            np.testing.assert_array_max_ulp(got[values, j], want[values, j], maxulp=2)
        else:
            assert_same(got[:, j], want[:, j])


def test_the_lightgbm_folder_predicts_what_the_old_libraries_predicted(load, expected):
    name = folder_name("classification", "lgbm")
    folder = os.path.join(GOLDEN, name)
    assert_same(load(folder).predict(INPUT), expected[f"{name}:predict"])
    assert_same(load(folder).predict_proba(INPUT), expected[f"{name}:proba"])
    # and through the native trees, not only the library's own predict (which
    # a model it cannot read falls back to)
    obj = load(folder)
    frame = obj.preprocess(INPUT)
    for method in ("predict", "predict_proba"):
        native = bv._native_model_output(obj.model, frame, obj.target_name, method)
        assert native is not None, method
        assert_same(native, expected[f"{name}:{'proba' if method == 'predict_proba' else 'predict'}"])


def test_an_old_xgboost_booster_predicts_as_written(load, expected):
    name = folder_name("regression", "xgboost")
    inner = load(os.path.join(GOLDEN, name)).model._trained_estimator._model
    assert_same(inner.predict(expected[f"{name}:inputs"]), expected[f"{name}:inner"])


def test_old_scikit_learn_trees_pass_the_structure_checks_and_route_rows_as_written(load, expected):
    name = folder_name("classification", "rf")
    forest = load(os.path.join(GOLDEN, name)).model._trained_estimator._model
    assert_same(forest.apply(expected[f"{name}:inputs"]), expected[f"{name}:leaves"])


@pytest.mark.parametrize("protocol", RECORD_PROTOCOLS)
def test_old_records_of_every_family_load_checked_and_give_the_same_features(load, expected, tmp_path, protocol):
    folder = tmp_path / "folder"
    shutil.copytree(os.path.join(GOLDEN, NAMES[0]), folder)
    shutil.copy(os.path.join(GOLDEN, f"records-p{protocol}.pkl"), folder / "autofe" / "labelencoder.pkl")
    records = load(str(folder)).lec_record_dt
    assert_same(record_features(records, pd.read_csv(INPUT)), expected["records:features"])
    codes = encoder_codes(records)
    for key in ENCODER_KEYS:
        assert_same(codes[key], expected[f"records:{key}"])


def test_an_old_name_passes_only_as_the_object_its_new_name_gives():
    # In a fresh interpreter: names that resolved once are kept for the process.
    code = textwrap.dedent(
        """
        import io, pickle
        import pandas as pd
        import pandas.core.frame
        import brinvale.brinvale as bv

        raw = b"\\x80\\x02cpandas.core.frame\\nDataFrame\\n)\\x81."
        real = pandas.core.frame.DataFrame

        class DataFrame(real):
            pass

        DataFrame.__module__ = "pandas"
        for stand_in in (pd.Series, DataFrame):
            pandas.core.frame.DataFrame = stand_in
            try:
                bv._ResultUnpickler(io.BytesIO(raw)).load()
            except pickle.UnpicklingError as e:
                print("REFUSED", e)
            else:
                print("LOADED")
        pandas.core.frame.DataFrame = real
        print("LOADED" if type(bv._ResultUnpickler(io.BytesIO(raw)).load()) is pd.DataFrame else "WRONG")
        """
    )
    import brinvale

    env = dict(os.environ, PYTHONPATH=os.path.dirname(os.path.dirname(os.path.abspath(brinvale.__file__))))
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=300)
    lines = out.stdout.splitlines()
    assert len(lines) == 3, out.stderr
    assert lines[0].startswith("REFUSED") and "pandas.core.frame.DataFrame" in lines[0]
    assert lines[1].startswith("REFUSED") and "pandas.DataFrame" in lines[1]
    assert lines[2] == "LOADED"


def table_entries():
    """The table's globals (name -> uses) and renamed entries (old -> new)."""
    import brinvale.brinvale as bv

    globals_, renamed = {}, {}
    for line in bv._PICKLE_TABLE.splitlines():
        fields = line.split("#", 1)[0].split()
        if fields[:1] == ["global"]:
            globals_.setdefault((fields[1], fields[2]), set()).update(fields[3].split(","))
        elif fields[:1] == ["renamed"]:
            assert len(fields) == 5, line
            renamed[(fields[1], fields[2])] = (fields[3], fields[4])
    return globals_, renamed


def test_every_renamed_name_is_admitted_no_wider_than_its_new_name():
    globals_, renamed = table_entries()
    assert renamed
    for old, new in renamed.items():
        assert old != new
        assert old in globals_ and new in globals_, (old, new)
        assert globals_[old] <= globals_[new], (old, new)
        assert new not in renamed  # no chains


def test_every_renamed_name_reaches_itself_or_the_very_object_of_its_new_name():
    # What the checked unpickler requires of the installed libraries, checked
    # here for all of them at once: a library moving a class again shows as
    # a failing test, not as a refused genuine folder.
    import importlib
    import warnings

    def look_up(module, qualname):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # NumPy 2 warns about its numpy.core paths
            obj = importlib.import_module(module)
        for part in qualname.split("."):
            obj = getattr(obj, part)
        return obj

    for (module, qualname), new in table_entries()[1].items():
        obj = look_up(module, qualname)
        carried = (obj.__module__, obj.__qualname__)
        if carried != (module, qualname):
            assert carried == new and look_up(*new) is obj, ((module, qualname), carried)


@pytest.mark.parametrize("protocol", [2, 4])
@pytest.mark.parametrize(
    "expr, named",
    [
        # old module paths that are not admitted at all
        (lambda: Call(G("numpy.core.multiarray", "frombuffer"), b"\0" * 8), "numpy.core.multiarray.frombuffer"),
        (lambda: Call(G("numpy.core.numeric", "fromfile"), "/etc/passwd"), "numpy.core.numeric.fromfile"),
        (lambda: Call(G("pandas.core.frame", "read_csv"), "/etc/passwd"), "pandas.core.frame.read_csv"),
        # admitted old names used as genuine pickles never use them
        (lambda: Call(G("pandas.core.frame", "DataFrame"), {"a": [1]}), "pandas.core.frame.DataFrame"),
        (lambda: Call(G("pandas.core.indexes.base", "Index"), [1]), "pandas.core.indexes.base.Index"),
        (lambda: Call(G("numpy", "object_"), "x"), "numpy.object_"),
    ],
)
def test_old_names_are_refused_outside_what_old_pickles_do(expr, named, protocol):
    err = refused_load(craft(expr(), protocol))
    assert named in str(err)


def test_an_old_name_renamed_to_a_class_is_found_inside_as_that_class():
    # The walk over what was loaded judges a class by the name it carries: an
    # old pickle holding pandas.core.indexes.base.Index as a value passes in
    # both the old and the new libraries, as the one class.
    # (kept where genuine pickles keep classes: in a LightGBM model's scores)
    index = Call(G("builtins", "slice"), G("pandas.core.indexes.base", "Index"), None, None)
    raw = craft(Build(New(G("lightgbm.sklearn", "LGBMClassifier")), {"_best_score": {"index": index}}), 2)
    loaded = bv._ResultUnpickler(io.BytesIO(raw)).load()
    assert loaded._best_score["index"].start is pd.Index


def test_a_model_the_installed_scikit_learn_cannot_use_names_the_versions_that_wrote_it(load, expected):
    # scikit-learn 1.9 cannot transform with a SimpleImputer 1.3 pickled (it
    # lacks an attribute 1.3 did not set); that is the library's own limit,
    # but the error says where it comes from.
    import sklearn

    name = folder_name("regression", "xgboost")
    obj = load(os.path.join(GOLDEN, name))
    written_here = sklearn.__version__ == "1.3.0"
    assert bool(obj._version_notes) is not written_here
    assert all("from version 1.3.0" in note for note in obj._version_notes)
    try:
        got = obj.predict(INPUT)
    except AttributeError as e:
        assert not written_here
        notes = "\n".join(getattr(e, "__notes__", []))
        assert "SimpleImputer from version 1.3.0" in notes, notes
    else:
        assert_same(got, expected[f"{name}:predict"])
