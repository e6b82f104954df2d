"""The documentation stays true to the tree: the API reference is what its
script writes from the stubs, links and the repository paths the texts name
exist, and the README keeps CI's set-up commands."""

import importlib.util
import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
TEXTS = ["README.md", "CHANGELOG.md", "bench/README.md", *sorted(p.relative_to(ROOT).as_posix()
                                                                for p in (ROOT / "docs").glob("*.md"))]
LINK = re.compile(r"\[[^\]]*\]\(([^)\s]+)\)")
# a path of the tree in backticks: `scripts/test.sh`, `tests/python/test_dask.py`
TREE_PATH = re.compile(r"`((?:src|scripts|tests|bench|examples|docs|\.ci)/[\w./*-]*[\w*])`")


def api_reference():
    spec = importlib.util.spec_from_file_location("api_reference", ROOT / "scripts" / "api_reference.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def anchors(text):
    """GitHub's anchors of a text's headings, and explicit <a id> anchors."""
    found = set(re.findall(r'<a id="([^"]+)"', text))
    for heading in re.findall(r"^#+ (.+)$", text, flags=re.M):
        slug = re.sub(r"[^\w\- ]", "", heading.strip().lower()).replace(" ", "-")
        found.add(slug)
    return found


def test_api_reference_is_current():
    written = (ROOT / "docs" / "api.md").read_text(encoding="utf-8")
    assert written == api_reference().render(), "docs/api.md is stale: run scripts/api_reference.py"


def test_api_reference_covers_every_stub():
    module = api_reference()
    # a package's stub is its __init__.pyi; private modules (a leading
    # underscore) are not part of the reference
    stubs = {p.relative_to(ROOT / "src").with_suffix("").as_posix().replace("/", ".").removesuffix(".__init__")
             for p in (ROOT / "src" / "brinvale").rglob("*.pyi")}
    stubs = {name for name in stubs if not any(part.startswith("_") for part in name.split("."))}
    assert stubs == {name for name, _ in module.MODULES}
    text = (ROOT / "docs" / "api.md").read_text(encoding="utf-8")
    # the Dask overloads and the typed Dask layer reach the reference
    assert "def predict(self, test_path: dd.DataFrame) -> da.Array" in text
    assert "def preprocess(obj: tabular_incrml, ddf: dd.DataFrame, return_y: bool = False) -> dd.DataFrame" in text


@pytest.mark.parametrize("name", TEXTS)
def test_links_and_named_paths_exist(name):
    path = ROOT / name
    text = path.read_text(encoding="utf-8")
    for target in LINK.findall(text):
        if re.match(r"[a-z]+:", target):
            continue  # a web address
        file, _, fragment = target.partition("#")
        linked = (path.parent / file).resolve() if file else path
        assert linked.exists(), f"{name}: broken link {target}"
        if fragment and linked.suffix == ".md":
            assert fragment in anchors(linked.read_text(encoding="utf-8")), f"{name}: no anchor {target}"
    for named in TREE_PATH.findall(text):
        assert list(ROOT.glob(named)), f"{name}: names {named}, which the tree lacks"


def test_readme_keeps_the_set_up_commands_ci_runs():
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    assert "bash scripts/test.sh" in (ROOT / ".ci" / "run").read_text(encoding="utf-8")
    first_screen = "\n".join(readme.splitlines()[:60])
    for command in ("bash scripts/demo.sh", "bash scripts/test.sh"):
        assert re.search(rf"^{re.escape(command)}\b", first_screen, flags=re.M), command
