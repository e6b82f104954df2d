"""Write docs/api.md, the API reference, from the type stubs shipped beside
the extension modules (src/brinvale/**/*.pyi) and the docstrings of the
built library modules.

    PYTHONPATH=$PWD/src python scripts/api_reference.py            # rewrite docs/api.md
    PYTHONPATH=$PWD/src python scripts/api_reference.py --check    # exit 1 when docs/api.md is stale

Signatures, attributes and constants come from the stubs alone; the text
under a class or function is its `__doc__` in the imported module (the
library modules only: importing a script module does its work).  Run it
after changing a stub or a docstring; tests/python/test_docs.py fails while
docs/api.md differs from what this script writes.
"""

import argparse
import ast
import importlib
import inspect
import re
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
STUBS = ROOT / "src"
OUTPUT = ROOT / "docs" / "api.md"

# (module, imported for its docstrings)
MODULES = [
    ("brinvale.brinvale", True),
    ("brinvale.tavrin", True),
    ("brinvale.tessel", True),
    ("brinvale.module.util.corlet", True),
    ("brinvale.module.common.quillet", True),
    ("brinvale.module.dataprocess.dovrel", True),
    ("brinvale.module.automl.flaml.skelby", True),
    ("brinvale.wendrip", False),
    ("brinvale.purlane", False),
]

# the stubs' private aliases of the libraries, as a reader writes them
LIBRARY_ALIASES = {"_pd": "pd", "_np": "np", "_dd": "dd", "_da": "da"}
WIDTH = 100


def stub_of(module):
    path = STUBS.joinpath(*module.split("."))
    if path.is_dir():
        return path / "__init__.pyi"
    return path.with_suffix(".pyi")


class Stub:
    """One parsed stub: its nodes, its comment lines and its type aliases."""

    def __init__(self, module):
        self.module = module
        self.source = stub_of(module).read_text(encoding="utf-8")
        self.lines = self.source.splitlines()
        self.tree = ast.parse(self.source)
        self.aliases = {}
        for node in self.tree.body:
            if (isinstance(node, ast.Assign) and len(node.targets) == 1
                    and isinstance(node.targets[0], ast.Name) and node.targets[0].id.startswith("_")
                    and node.targets[0].id not in LIBRARY_ALIASES):
                self.aliases[node.targets[0].id] = ast.unparse(node.value)

    def text(self, node):
        """An annotation as a reader writes it: library aliases by their
        usual names, the stub's private type aliases expanded."""
        out = ast.unparse(node)
        for alias, value in self.aliases.items():
            out = re.sub(rf"\b{alias}\b", value, out)
        for alias, name in LIBRARY_ALIASES.items():
            out = re.sub(rf"\b{alias}\.", name + ".", out)
        return out

    def comment_before(self, node):
        """The `# ...` line directly above a top-level node, if any."""
        first = min([node.lineno] + [d.lineno for d in getattr(node, "decorator_list", [])])
        line = self.lines[first - 2].strip() if first >= 2 else ""
        return line[1:].strip() if line.startswith("#") and not line.startswith("#!") else None

    def exports(self):
        """Names re-exported by `import ... as name` and `name = other`."""
        names = []
        for node in self.tree.body:
            if isinstance(node, (ast.Import, ast.ImportFrom)):
                source = node.module if isinstance(node, ast.ImportFrom) else None
                for alias in node.names:
                    if alias.asname and not alias.asname.startswith("_"):
                        root = (source or alias.name).split(".")[0]
                        if root in sys.stdlib_module_names and not getattr(node, "level", 0):
                            continue  # json, os, typing.Optional...: the module's own imports
                        dots = "." * getattr(node, "level", 0)
                        origin = f"{dots}{source}.{alias.name}" if source else alias.name
                        names.append((alias.asname, origin))
            elif (isinstance(node, ast.Assign) and isinstance(node.value, ast.Name)
                  and node.value.id in LIBRARY_ALIASES):
                names.append((node.targets[0].id, LIBRARY_ALIASES[node.value.id]))
        return names


def signature(stub, node, prefix=""):
    """A function's signature, one parameter a line when it runs long."""
    args = node.args
    params = []
    positional = args.posonlyargs + args.args
    defaults = [None] * (len(positional) - len(args.defaults)) + list(args.defaults)
    for i, (arg, default) in enumerate(zip(positional, defaults)):
        params.append(_param(stub, arg, default))
        if args.posonlyargs and i == len(args.posonlyargs) - 1:
            params.append("/")
    if args.vararg:
        params.append("*" + _param(stub, args.vararg, None))
    elif args.kwonlyargs:
        params.append("*")
    for arg, default in zip(args.kwonlyargs, args.kw_defaults):
        params.append(_param(stub, arg, default))
    if args.kwarg:
        params.append("**" + _param(stub, args.kwarg, None))
    returns = f" -> {stub.text(node.returns)}" if node.returns is not None else ""
    decorators = "".join(f"@{ast.unparse(d)}\n{prefix}" for d in node.decorator_list)
    head = f"{decorators}def {node.name}("
    one_line = head + ", ".join(params) + ")" + returns
    if max(len(line) for line in (prefix + one_line).splitlines()) <= WIDTH:
        return prefix + one_line
    inner = "".join(f"{prefix}    {p},\n" for p in params)
    return f"{prefix}{head}\n{inner}{prefix}){returns}"


def _param(stub, arg, default):
    out = arg.arg
    if arg.annotation is not None:
        out += f": {stub.text(arg.annotation)}"
    if default is not None:
        out += (" = " if arg.annotation is not None else "=") + ast.unparse(default)
    return out


def docstring(obj):
    doc = getattr(obj, "__doc__", None)
    if not isinstance(doc, str) or not doc.strip():
        return None
    if isinstance(obj, type) and doc == getattr(obj.__mro__[1], "__doc__", None):
        return None  # inherited, not its own
    return inspect.cleandoc(doc)


def doc_block(doc):
    if doc is None:
        return []
    fence = "````" if "```" in doc else "```"
    return [f"{fence}text", doc, fence, ""]


def public(name):
    return not name.startswith("_") or name in ("__init__", "__new__")


def render_class(stub, node, runtime, out):
    bases = ", ".join(stub.text(b) for b in node.bases)
    out += [f"### class `{node.name}`" + (f"({bases})" if bases else ""), ""]
    cls = getattr(runtime, node.name, None) if runtime is not None else None
    out += doc_block(docstring(cls) if cls is not None else None)
    attrs = [item for item in node.body if isinstance(item, ast.AnnAssign) and public(item.target.id)]
    if attrs:
        out += ["Attributes:", "", "```python"]
        out += [f"{item.target.id}: {stub.text(item.annotation)}" for item in attrs]
        out += ["```", ""]
    seen = set()
    for item in node.body:
        if not isinstance(item, ast.FunctionDef) or not public(item.name) or item.name in seen:
            continue
        seen.add(item.name)
        overloads = [f for f in node.body if isinstance(f, ast.FunctionDef) and f.name == item.name]
        out += [f"#### `{node.name}.{item.name}`", "", "```python"]
        out += ["\n".join(signature(stub, f) for f in overloads), "```", ""]
        member = getattr(cls, item.name, None) if cls is not None else None
        doc = docstring(member) if member is not None else None
        if doc is not None and doc != docstring(getattr(object, item.name, None)):
            out += doc_block(doc)


def render_module(module, importable):
    stub = Stub(module)
    runtime = importlib.import_module(module) if importable else None
    anchor = module.replace(".", "")
    out = [f'<a id="{anchor}"></a>', f"## `{module}`", ""]
    doc = ast.get_docstring(stub.tree)
    if doc:
        out += [" ".join(doc.split()), ""]
    if not importable:
        out += ["A script module: importing it does its work (see the user guide, Building wheels).", ""]
    exports = stub.exports()
    if exports:
        out += ["Also exported: " + ", ".join(f"`{name}` ({origin})" for name, origin in exports) + ".", ""]
    constants = [n for n in stub.tree.body if isinstance(n, ast.AnnAssign) and public(n.target.id)]
    if constants:
        out += ["Module attributes:", "", "```python"]
        out += [f"{n.target.id}: {stub.text(n.annotation)}" for n in constants]
        out += ["```", ""]
    section = None
    for node in stub.tree.body:
        if isinstance(node, ast.ClassDef) and public(node.name):
            render_class(stub, node, runtime, out)
        elif isinstance(node, ast.FunctionDef) and public(node.name):
            comment = stub.comment_before(node)
            if comment and comment != section:
                section = comment
                out += [f"### {comment[0].upper()}{comment[1:]}", ""]
            out += [f"#### `{node.name}`", "", "```python", signature(stub, node), "```", ""]
            fn = getattr(runtime, node.name, None) if runtime is not None else None
            out += doc_block(docstring(fn) if fn is not None else None)
    return out


def render():
    out = [
        "# API reference",
        "",
        "Generated by `scripts/api_reference.py` from the type stubs beside the extension",
        "modules (`src/brinvale/**/*.pyi`) and the docstrings of the built library modules;",
        "do not edit it by hand. To regenerate it after changing a stub or a docstring, with",
        "the modules built in place (`scripts/dev-build.sh`):",
        "",
        "```sh",
        "PYTHONPATH=$PWD/src python scripts/api_reference.py",
        "```",
        "",
        "In signatures `pd` is pandas, `np` NumPy, `dd` `dask.dataframe` and `da` `dask.array`",
        "(Dask only with the `dask` extra). Names starting with `_` are left out; the stubs",
        "hold them too. The docstrings are the platform's own texts.",
        "",
    ]
    out += [f"- [`{m}`](#{m.replace('.', '')})" for m, _ in MODULES] + [""]
    for module, importable in MODULES:
        out += render_module(module, importable)
    while out[-1] == "":
        out.pop()
    return "\n".join(out) + "\n"


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--check", action="store_true", help="exit 1 when the file differs instead of writing it")
    parser.add_argument("--output", type=Path, default=OUTPUT)
    args = parser.parse_args(argv)
    text = render()
    if args.check:
        current = args.output.read_text(encoding="utf-8") if args.output.exists() else ""
        if current != text:
            print(f"{args.output} is stale: run scripts/api_reference.py", file=sys.stderr)
            return 1
        return 0
    args.output.parent.mkdir(parents=True, exist_ok=True)
    args.output.write_text(text, encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
