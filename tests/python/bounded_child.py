"""Running an attack case in a child interpreter under an address-space limit
and a time-out, so that a hang, a crash or a runaway allocation shows as a
failed test instead of taking the test run down with it."""

import json
import os
import resource
import subprocess
import sys
import textwrap

import pytest

ADDRESS_SPACE = 4 << 30
TIMEOUT = 60

HERE = os.path.dirname(os.path.abspath(__file__))


def _limit():
    resource.setrlimit(resource.RLIMIT_AS, (ADDRESS_SPACE, ADDRESS_SPACE))


def run_bounded(code, timeout=TIMEOUT):
    """Runs `code` in a child interpreter; returns its standard output.  A
    child that overruns the time, dies of a signal or exits non-zero fails
    the test."""
    import brinvale

    parent = os.path.dirname(os.path.dirname(os.path.abspath(brinvale.__file__)))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([parent, HERE]), MPLBACKEND="Agg",
               OMP_NUM_THREADS="1", OPENBLAS_NUM_THREADS="1")
    try:
        done = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True,
                              text=True, env=env, timeout=timeout, preexec_fn=_limit)
    except subprocess.TimeoutExpired:
        pytest.fail(f"the case ran past {timeout} s")
    if done.returncode != 0:
        pytest.fail(f"the child ended with status {done.returncode}: {done.stderr[-2000:]}")
    return done.stdout


def outcomes(cases, timeout=TIMEOUT):
    """{case: "LOADED" or "REFUSED Type: message"} for a dict of case -> the
    code of a function body that loads or reads what the case made, all run
    in one child."""
    lines = ["import json", "results = {}"]
    for case, body in cases.items():
        lines.append("def run():")
        lines.extend("    " + line for line in textwrap.dedent(body).strip().splitlines())
        lines.append("try:")
        lines.append("    run()")
        lines.append("except Exception as e:")
        lines.append(f"    results[{case!r}] = 'REFUSED ' + type(e).__name__ + ': ' + str(e)")
        lines.append("else:")
        lines.append(f"    results[{case!r}] = 'LOADED'")
    lines.append("print(json.dumps(results))")
    out = run_bounded("\n".join(lines), timeout=timeout)
    return json.loads(out.strip().splitlines()[-1])
