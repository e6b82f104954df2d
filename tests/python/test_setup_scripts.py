"""The set-up commands of the README from a fresh clone: the chart script
finds the installed package although PYTHONPATH=src names a source tree
without built modules, and the demo installs the package only when its
sources changed since the last install."""

import os
import shutil
import stat
import subprocess
import sys
from pathlib import Path

import brinvale

REPO = Path(__file__).resolve().parents[2]
PACKAGE_PARENT = str(Path(brinvale.__file__).resolve().parents[1])


def fresh_clone(tmp_path):
    """The repository's sources without any built module."""
    clone = tmp_path / "clone"
    shutil.copytree(REPO / "src", clone / "src", ignore=shutil.ignore_patterns("*.so", "*.pyd", "__pycache__"))
    shutil.copytree(REPO / "scripts", clone / "scripts")
    for name in ("CMakeLists.txt", "pyproject.toml"):
        shutil.copy(REPO / name, clone / name)
    return clone


def test_chart_script_with_a_source_tree_on_the_path(tmp_path):
    clone = fresh_clone(tmp_path)
    # the package installed elsewhere (here: this build), the bare sources first on the path
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(["src", PACKAGE_PARENT]), MPLBACKEND="Agg")
    done = subprocess.run([sys.executable, "scripts/gallery.py", "--help"], cwd=clone, env=env,
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    assert "usage: gallery.py" in done.stdout


def test_demo_installs_only_changed_sources(tmp_path):
    clone = fresh_clone(tmp_path)
    log = tmp_path / "calls.log"
    fake = tmp_path / "python"
    # records pip installs and demo runs; other calls go to the real interpreter,
    # which finds this build as "the installed package"
    fake.write_text(
        "#!/bin/sh\n"
        f'if [ "$1" = "-m" ]; then echo "$2" >> {log}; exit 0; fi\n'
        f'PYTHONPATH={PACKAGE_PARENT} exec {sys.executable} "$@"\n'
    )
    fake.chmod(fake.stat().st_mode | stat.S_IEXEC)
    env = dict(os.environ, PYTHON=str(fake))

    def demo():
        done = subprocess.run(["bash", "scripts/demo.sh"], cwd=clone, env=env, capture_output=True, text=True,
                              timeout=300)
        assert done.returncode == 0, done.stderr
        calls = log.read_text().split()
        log.unlink()
        return calls

    assert demo() == ["pip", "brinvale"]
    assert demo() == ["brinvale"]  # nothing changed: not reinstalled
    (clone / "src" / "bindings" / "brinvale" / "io.cpp").write_text("// changed\n", encoding="utf-8")
    assert demo() == ["pip", "brinvale"]
    (clone / "src" / "brinvale" / "__pycache__").mkdir(exist_ok=True)
    (clone / "src" / "brinvale" / "__pycache__" / "x.pyc").write_bytes(b"")
    assert demo() == ["brinvale"]  # caches and built modules are not sources
