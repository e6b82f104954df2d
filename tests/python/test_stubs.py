"""The type stubs shipped beside the extension modules name every public
attribute of each module and of each class it defines, and nothing the
modules lack, so they cannot silently go stale."""

import ast
import glob
import importlib
import importlib.machinery
import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

import brinvale

PACKAGE = Path(brinvale.__file__).parent
LIBRARIES = [
    "brinvale.brinvale",
    "brinvale.tavrin",
    "brinvale.tessel._kernels",
    "brinvale.module.util.corlet",
    "brinvale.module.common.quillet",
    "brinvale.module.dataprocess.dovrel",
    "brinvale.module.automl.flaml.skelby",
]
SCRIPTS = ["brinvale.wendrip", "brinvale.purlane"]
# Python packages whose stub lists what they export
PACKAGES = ["brinvale.tessel"]


def stub_path(module):
    path = PACKAGE.parent.joinpath(*module.split("."))
    if path.is_dir():
        return path / "__init__.pyi"
    return path.with_suffix(".pyi")


def stub_names(module):
    """Names the stub exports and, per class, the methods and attributes of
    its body.  Imports export a name only in the `import ... as name` form."""
    tree = ast.parse(stub_path(module).read_text(encoding="utf-8"))
    names, classes = set(), {}
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names.add(node.name)
        if isinstance(node, ast.ClassDef):
            methods = {item.name for item in node.body if isinstance(item, ast.FunctionDef)}
            attrs = {item.target.id for item in node.body if isinstance(item, ast.AnnAssign)}
            classes[node.name] = (methods, attrs)
        elif isinstance(node, ast.AnnAssign):
            names.add(node.target.id)
        elif isinstance(node, ast.Assign):
            names.update(t.id for t in node.targets)
        elif isinstance(node, (ast.Import, ast.ImportFrom)):
            names.update(alias.asname for alias in node.names if alias.asname)
    return names, classes


def public(names):
    return {n for n in names if not n.startswith("_")}


def test_every_extension_module_has_a_stub_and_the_package_is_typed():
    assert (PACKAGE / "py.typed").is_file()
    suffixes = tuple(importlib.machinery.EXTENSION_SUFFIXES)
    modules = []
    for path in glob.glob(str(PACKAGE / "**" / "*"), recursive=True):
        if path.endswith(suffixes):
            stem = os.path.basename(path).split(".")[0]
            modules.append(stem)
            assert os.path.isfile(os.path.join(os.path.dirname(path), stem + ".pyi")), path
    assert sorted(modules) == sorted(m.rsplit(".", 1)[1] for m in LIBRARIES + SCRIPTS)


@pytest.mark.parametrize("name", LIBRARIES + PACKAGES)
def test_library_stub_matches_the_module(name):
    module = importlib.import_module(name)
    names, classes = stub_names(name)
    attributes = set(dir(module))  # lazily imported names too
    assert public(attributes) - names == set(), "attributes missing from the stub"
    assert public(names) - attributes == set(), "stub names the module lacks"
    for cls_name, (methods, attrs) in classes.items():
        cls = getattr(module, cls_name)
        if getattr(cls, "__module__", None) != module.__name__:
            continue
        own = {n for n in vars(cls) if not n.startswith("__") or n == "__init__"}
        assert public(own) - (methods | attrs) == set(), f"{cls_name}: members missing from the stub"
        assert {m for m in methods if not hasattr(cls, m)} == set(), f"{cls_name}: stale methods"


@pytest.mark.parametrize("name", SCRIPTS)
def test_script_stub_matches_the_module(name, tmp_path):
    # importing a script module does its work in the working directory
    code = f"import json, {name} as m; print(json.dumps(sorted(vars(m))))"
    env = dict(os.environ, HOME=str(tmp_path), USERPROFILE=str(tmp_path))
    done = subprocess.run([sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True, env=env)
    assert done.returncode == 0, done.stderr
    attributes = set(json.loads(done.stdout.strip().splitlines()[-1]))
    names, _ = stub_names(name)
    assert public(attributes) == public(names)


def test_the_workbench_stub_types_dask_input_and_output():
    # predict, predict_proba and preprocess take a Dask DataFrame and return
    # lazy Dask collections: the stub says so by overloads
    tree = ast.parse(stub_path("brinvale.brinvale").read_text(encoding="utf-8"))
    cls = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "tabular_incrml")
    returns = {}
    for node in cls.body:
        if isinstance(node, ast.FunctionDef) and any(ast.unparse(d) == "overload" for d in node.decorator_list):
            returns.setdefault(node.name, []).append((ast.unparse(node.args.args[1].annotation),
                                                    ast.unparse(node.returns)))
    assert ("_dd.DataFrame", "_da.Array") in returns["predict"]
    assert ("_dd.DataFrame", "_da.Array") in returns["predict_proba"]
    assert ("_dd.DataFrame", "_dd.DataFrame") in returns["preprocess"]
    assert ("Union[str, _pd.DataFrame, _np.ndarray]", "_np.ndarray") in returns["predict"]


def stub_functions(module):
    tree = ast.parse(stub_path(module).read_text(encoding="utf-8"))
    return {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}


def binds(fn, **kwargs):
    """Whether the function accepts these keyword arguments: pybind11 and
    Python refuse names they do not know before the function runs; whatever
    the function itself raises afterwards means the names bound."""
    try:
        fn(**kwargs)
    except TypeError as error:
        if ("incompatible function arguments" in str(error)
                or "unexpected keyword argument" in str(error)):
            return False
    except Exception:  # noqa: BLE001 - raised by the function body
        pass
    return True


def test_dask_module_stub_names_the_real_parameters():
    import brinvale.tessel as tessel

    functions = stub_functions("brinvale.tessel")
    assert set(functions) == {"preprocess", "predict"}
    for name, node in functions.items():
        fn = getattr(tessel, name)
        args = node.args.args
        assert all(a.annotation is not None for a in args) and node.returns is not None, name
        assert "Any" not in ast.unparse(node), f"{name}: untyped"
        required = {a.arg: None for a in args[: len(args) - len(node.args.defaults)]}
        # every parameter by its stub name; a name the module lacks is refused
        assert binds(fn, **required), name
        assert not binds(fn, **required, frame=None), name
        for a, default in zip(args[len(args) - len(node.args.defaults):], node.args.defaults):
            assert binds(fn, **required, **{a.arg: ast.literal_eval(default)}), (name, a.arg)
    # the method the stub allows besides its default is accepted, others refused
    literal = ast.unparse(functions["predict"].args.args[2].annotation)
    assert literal == "Literal['predict', 'predict_proba']"
    with pytest.raises(ValueError, match="method must be"):
        tessel.predict(None, None, method="decision_function")


def test_dask_annotations_name_real_classes():
    # the names the stubs give Dask's collections exist in the installed Dask
    pytest.importorskip("dask.dataframe")
    import dask.array
    import dask.dataframe

    import brinvale.brinvale as workbench

    namespace = {"_dd": dask.dataframe, "_da": dask.array, "_pd": __import__("pandas"),
                 "_np": __import__("numpy"), "tabular_incrml": workbench.tabular_incrml}
    functions = stub_functions("brinvale.tessel")
    for node in functions.values():
        for a in node.args.args[:2]:
            assert isinstance(eval(ast.unparse(a.annotation), namespace), type)
        assert isinstance(eval(ast.unparse(node.returns), namespace), type)
    assert eval(ast.unparse(functions["predict"].returns), namespace) is dask.array.Array
    assert eval(ast.unparse(functions["preprocess"].returns), namespace) is dask.dataframe.DataFrame
    tree = ast.parse(stub_path("brinvale.brinvale").read_text(encoding="utf-8"))
    cls = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "tabular_incrml")
    lazy = [ast.unparse(x) for node in cls.body if isinstance(node, ast.FunctionDef)
            for x in (node.args.args[1].annotation if len(node.args.args) > 1 else None, node.returns)
            if x is not None and ast.unparse(x).startswith(("_dd.", "_da."))]
    assert len(lazy) == 6
    assert all(isinstance(eval(text, namespace), type) for text in lazy)
