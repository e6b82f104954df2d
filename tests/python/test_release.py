"""The release scripts work at import, on the working directory: every test
runs them in a subprocess whose working directory is a temporary folder."""

import os
import shutil
import stat
import subprocess
import sys
import venv
import zipfile
from pathlib import Path

import pytest

import brinvale

# the subprocesses import the same brinvale as this process (the source tree
# in the development loop, site-packages once installed)
PACKAGE_PARENT = Path(brinvale.__file__).resolve().parents[1]
ROOT = Path(__file__).resolve().parents[2]


def run_module(module, cwd, home=None, extra_env=None, timeout=120):
    env = dict(os.environ, PYTHONPATH=str(PACKAGE_PARENT))
    if home is not None:
        env["HOME"] = str(home)
    env.update(extra_env or {})
    return subprocess.run(
        [sys.executable, "-c", f"import brinvale.{module}"],
        cwd=cwd,
        env=env,
        capture_output=True,
        text=True,
        timeout=timeout,
    )


def make_tree(root, files):
    for rel in files:
        path = root / rel
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text("x")


def listing(root):
    return sorted(p.relative_to(root).as_posix() for p in root.rglob("*") if p.is_file())


def test_purlane_removes_c_files_and_build_folders(tmp_path):
    make_tree(
        tmp_path,
        [
            "top.c",
            "pkg/sub/deep/mod.c",
            "pkg/keep.cpp",
            "pkg/a.c.txt",
            "pkg/notc",
            "build/temp/obj.o",
            "dist/brinvale-0.1.0.tar.gz",
            "brinvale.egg-info/PKG-INFO",
            "README.md",
        ],
    )
    (tmp_path / "dist" / "empty_dir").mkdir()
    done = run_module("purlane", tmp_path)
    assert done.returncode == 0, done.stderr
    assert sorted(done.stdout.splitlines()) == [
        "Deleted: ./pkg/sub/deep/mod.c",
        "Deleted: ./top.c",
    ]
    assert listing(tmp_path) == ["README.md", "pkg/a.c.txt", "pkg/keep.cpp", "pkg/notc"]
    for gone in ("build", "dist", "brinvale.egg-info"):
        assert not (tmp_path / gone).exists()

    again = run_module("purlane", tmp_path)
    assert (again.returncode, again.stdout) == (0, "")
    assert listing(tmp_path) == ["README.md", "pkg/a.c.txt", "pkg/keep.cpp", "pkg/notc"]


def test_purlane_leaves_virtual_environments_and_hidden_folders(tmp_path):
    # the README recommends a .venv inside the clone, whose packages ship C sources
    kept = [".venv/pyvenv.cfg", ".venv/lib/python3.11/site-packages/numpy/core/src/x.c",
            "env/pyvenv.cfg", "env/lib/python3.11/site-packages/pkg/y.c", ".git/hooks/z.c"]
    make_tree(tmp_path, kept + ["src/gen.c"])
    done = run_module("purlane", tmp_path)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["Deleted: ./src/gen.c"]
    assert listing(tmp_path) == sorted(kept)


def test_purlane_removes_a_stray_file_named_like_a_build_folder(tmp_path):
    (tmp_path / "dist").write_text("not a folder")
    done = run_module("purlane", tmp_path)
    assert done.returncode == 0, done.stderr
    assert not (tmp_path / "dist").exists()


FAKE_BUILD = """#!/bin/sh
# stands in for an environment's interpreter: records how it was called and
# leaves what a build leaves
echo "$(pwd) $*" >> "{log}"
[ "{fail}" = "yes" ] && exit 3
mkdir -p dist build/tmp brinvale.egg-info pkg
touch dist/brinvale-0.1.0-{tag}-linux_x86_64.whl dist/brinvale-0.1.0.tar.gz build/tmp/x.o pkg/gen.c
"""


def fake_env(home, name, log, tag, fail=False):
    python = home / ".brinvale" / "envs" / name / "bin" / "python"
    python.parent.mkdir(parents=True)
    python.write_text(FAKE_BUILD.format(log=log, tag=tag, fail="yes" if fail else "no"))
    python.chmod(python.stat().st_mode | stat.S_IXUSR)


def test_wendrip_gathers_wheels_cleans_between_builds_and_skips_missing(tmp_path):
    home, work = tmp_path / "home", tmp_path / "work"
    work.mkdir()
    log = tmp_path / "calls.log"
    fake_env(home, "v39qorn", log, "cp39-cp39")
    fake_env(home, "v310qorn", log, "cp310-cp310", fail=True)
    fake_env(home, "v311qorn", log, "cp311-cp311")
    make_tree(work, ["pyproject.toml", "src/keep.cpp"])

    done = run_module("wendrip", work, home=home)
    assert done.returncode == 0, done.stderr
    out = done.stdout.splitlines()
    envs = home / ".brinvale" / "envs"
    assert out[0] == f"Skipped: v38qorn (no interpreter at {envs}/v38qorn/bin/python)"
    assert "Build failed with v310qorn (exit status 3)" in out
    assert out.count("Deleted: ./pkg/gen.c") == 2

    assert sorted(os.listdir(work / "releases")) == [
        "brinvale-0.1.0-cp311-cp311-linux_x86_64.whl",
        "brinvale-0.1.0-cp39-cp39-linux_x86_64.whl",
    ]
    assert listing(work) == [
        "pyproject.toml",
        "releases/brinvale-0.1.0-cp311-cp311-linux_x86_64.whl",
        "releases/brinvale-0.1.0-cp39-cp39-linux_x86_64.whl",
        "src/keep.cpp",
    ]
    calls = log.read_text().splitlines()
    assert calls == [f"{work} -m pip wheel --no-deps --wheel-dir dist ."] * 3


def test_wendrip_without_any_environment_only_makes_the_release_folder(tmp_path):
    done = run_module("wendrip", tmp_path, home=tmp_path / "nohome")
    assert done.returncode == 0, done.stderr
    assert [line.split(" ")[0] for line in done.stdout.splitlines()] == ["Skipped:"] * 4
    assert os.listdir(tmp_path) == ["releases"]


def copy_source_tree(dest):
    ignore = shutil.ignore_patterns("*.so", "__pycache__", "build", ".git*", "*.egg-info")
    for name in ("CMakeLists.txt", "pyproject.toml", "README.md"):
        if (ROOT / name).exists():
            shutil.copy2(ROOT / name, dest / name)
    if not (dest / "README.md").exists():
        (dest / "README.md").write_text("brinvale\n")
    shutil.copytree(ROOT / "src", dest / "src", ignore=ignore)


@pytest.mark.slow
@pytest.mark.skipif(shutil.which("cmake") is None, reason="needs cmake")
def test_wendrip_builds_a_real_wheel_of_this_package(tmp_path):
    """Slow (a full compile): a throwaway environment sharing this
    interpreter's packages builds the package without build isolation."""
    home, work = tmp_path / "home", tmp_path / "work"
    work.mkdir()
    copy_source_tree(work)
    venv.EnvBuilder(system_site_packages=True, with_pip=False).create(
        home / ".brinvale" / "envs" / "v311qorn"
    )
    done = run_module(
        "wendrip",
        work,
        home=home,
        extra_env={
            "PIP_NO_BUILD_ISOLATION": "0",
            "PIP_NO_INDEX": "1",
            "CMAKE_BUILD_PARALLEL_LEVEL": "2",
            "CCACHE_BASEDIR": str(tmp_path),
        },
        timeout=1800,
    )
    assert done.returncode == 0, done.stderr
    assert "Build failed" not in done.stdout, done.stdout
    wheels = os.listdir(work / "releases")
    assert len(wheels) == 1 and wheels[0].startswith("brinvale-0.1.0-cp311-cp311-")
    with zipfile.ZipFile(work / "releases" / wheels[0]) as whl:
        names = whl.namelist()
    for module in ("brinvale/brinvale.", "brinvale/tavrin.", "brinvale/wendrip.", "brinvale/purlane."):
        assert any(n.startswith(module) and n.endswith(".so") for n in names), module
    assert "brinvale/module/util/report.py" in names
    # type information ships with the modules
    assert "brinvale/py.typed" in names
    for stub in ("brinvale/brinvale.pyi", "brinvale/tavrin.pyi", "brinvale/module/util/corlet.pyi"):
        assert stub in names, stub
    for gone in ("build", "dist"):
        assert not (work / gone).exists()
