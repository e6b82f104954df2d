"""Names that only look like what genuine pickles use: helper-like words
inside them, members of admitted libraries that read files or call what
they are given.  Only exact names from the recorded table are admitted."""


import pytest

from pickle_craft import PROTOCOLS, Call, G, craft, refused_load

LOOKALIKES = [
    ("scipy._lib._util", "_unpickle_anything"),      # contains "unpickle"
    ("numpy", "__new__"),                            # contains "_new_"
    ("pandas", "__new__"),
    ("numpy._core.multiarray", "_reconstruct_file"),  # an admitted name as prefix
    ("numpy.random._pickle", "__evil_ctor"),          # contains "_ctor"
    ("scipy.optimize", "minimize_scalar"),           # calls any callable it is given
    ("numpy", "load"),
    ("pandas", "read_pickle"),
    ("pandas", "read_csv"),
    ("sklearn.datasets", "fetch_openml"),
    ("brinvale.purlane", "main"),
    ("copyreg", "_reconstructor"),                   # never in genuine folders of protocol 2+
]


@pytest.mark.parametrize("protocol", PROTOCOLS)
@pytest.mark.parametrize("module, name", LOOKALIKES)
def test_lookalike_names_are_refused(tmp_path, module, name, protocol):
    marker = tmp_path / "ran"
    raw = craft(Call(G(module, name), str(marker)), protocol)
    err = refused_load(raw)
    assert f"{module}.{name}" in str(err)
    assert not marker.exists()


def test_a_callable_handed_to_an_admitted_call_is_refused(tmp_path):
    # minimize_scalar(fun) with fun a file writer: both names are checked
    marker = tmp_path / "ran"
    raw = craft(Call(G("scipy.optimize", "minimize_scalar"), G("pathlib", "Path.touch")))
    refused_load(raw)
    assert not marker.exists()


def test_an_admitted_name_outside_its_use_is_refused():
    # genuine pickles instantiate DataFrame without __init__ (NEWOBJ), never call it
    err = refused_load(craft(Call(G("pandas", "DataFrame"), {"a": [1]})))
    assert "as call" in str(err)
