"""The suite keeps its temporary files below one folder, removed at the end
of the session, and fails when a test leaves anything behind there."""

import os
import subprocess
import sys
import textwrap
from pathlib import Path

HERE = Path(__file__).parent


def run_session(tmp_path, body):
    tests = tmp_path / "inner"
    tests.mkdir()
    (tests / "test_inner.py").write_text(textwrap.dedent(body))
    root = tmp_path / "tmp"
    root.mkdir()
    env = dict(os.environ, TMPDIR=str(root), PYTHONPATH=os.pathsep.join([str(HERE), os.environ.get("PYTHONPATH", "")]))
    done = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "conftest", "-p", "no:cacheprovider",
         "--rootdir", str(tests), str(tests)],
        capture_output=True, text=True, env=env, cwd=tests, timeout=300)
    return done, sorted(p.name for p in root.iterdir())


def test_a_clean_session_leaves_nothing(tmp_path):
    done, left = run_session(tmp_path, """
        import tempfile

        def test_uses_temporary_files(tmp_path):
            (tmp_path / "x").write_text("x")
            with tempfile.TemporaryDirectory() as d:
                open(d + "/y", "w").close()
    """)
    assert done.returncode == 0, done.stdout + done.stderr
    assert left == []


def test_a_leaking_test_fails_the_session(tmp_path):
    done, left = run_session(tmp_path, """
        import subprocess, sys, tempfile

        def test_leaks():
            tempfile.mkdtemp(prefix="forgotten-")
            # a child process's files land in the same folder
            subprocess.run([sys.executable, "-c", "import tempfile; tempfile.mkstemp(prefix='child-')"], check=True)
    """)
    assert done.returncode == 1
    assert "left 2 temporary files or folders behind" in done.stdout
    assert "forgotten-" in done.stdout and "child-" in done.stdout
    # the leftovers are removed all the same; the session folder stays for inspection
    (session,) = left
    assert session.startswith("brinvale-tests-")
    assert [p.name for p in (tmp_path / "tmp" / session).iterdir() if not p.name.startswith("pytest-of-")] == []


def test_folders_of_finished_sessions_are_pruned(tmp_path):
    root = tmp_path / "tmp"
    root.mkdir()
    dead = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"], capture_output=True, text=True)
    finished = root / f"brinvale-tests-{dead.stdout.strip()}-abc"
    running = root / f"brinvale-tests-{os.getpid()}-def"
    other = root / "brinvale-tests-notes"
    for d in (finished, running, other):
        d.mkdir()
    import conftest

    conftest.prune_finished_sessions(str(root))
    assert sorted(p.name for p in root.iterdir()) == sorted([running.name, other.name])
