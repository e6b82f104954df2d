"""Crafted models and records that may crash, hang or exhaust memory are
loaded in a child interpreter under an address-space limit of 4 GB and a
60 s timeout, so that any of these fails the test instead of ending the run."""

import os
import resource
import subprocess
import sys
import tempfile
from pathlib import Path

import brinvale

PACKAGE_PARENT = str(Path(brinvale.__file__).resolve().parents[1])
ADDRESS_SPACE = 4 * 1024**3
TIMEOUT = 60

# Loads each pickle of the folder as a result folder's model is loaded (the
# restricted unpickler, then the structure check) and, if it loads, runs
# ACTION on it (`obj`, with `X` a float frame of `width` columns).  One line
# per file: "NAME: refused: Type: message", "NAME: ran" or "NAME: failed: Type".
CHILD = r"""
import io, os, sys, numpy as np, pandas as pd
import brinvale.brinvale as bv
folder, width = sys.argv[1], int(sys.argv[2])
X = pd.DataFrame(np.random.RandomState(0).rand(20, width), columns=[f"f{i}" for i in range(width)])
for name in sorted(os.listdir(folder)):
    with open(os.path.join(folder, name), "rb") as f:
        raw = f.read()
    try:
        obj = bv._check_model_structure(bv._ResultUnpickler(io.BytesIO(raw)).load())
    except Exception as e:
        print(f"{name}: refused: {type(e).__name__}: {e}", flush=True)
        continue
    try:
        ACTION
        print(f"{name}: ran", flush=True)
    except Exception as e:
        print(f"{name}: failed: {type(e).__name__}: {e}", flush=True)
"""


def _limits():
    resource.setrlimit(resource.RLIMIT_AS, (ADDRESS_SPACE, ADDRESS_SPACE))


def run_limited(args, timeout=TIMEOUT):
    """A child interpreter with `args` under the limits; returns (returncode,
    stdout, stderr), returncode None when it ran out of time."""
    env = dict(os.environ, PYTHONPATH=PACKAGE_PARENT, MPLBACKEND="Agg")
    try:
        done = subprocess.run([sys.executable, "-X", "faulthandler", *args], capture_output=True,
                              text=True, env=env, timeout=timeout, preexec_fn=_limits)
    except subprocess.TimeoutExpired as e:
        out = e.stdout.decode() if isinstance(e.stdout, bytes) else (e.stdout or "")
        return None, out, ""
    return done.returncode, done.stdout, done.stderr


def load_each(files, action="obj.predict(X)", width=3):
    """Loads every pickle of `files` (name -> bytes) in a limited child and
    returns {name: outcome line}; a crash, hang or memory exhaustion fails."""
    with tempfile.TemporaryDirectory() as folder:
        for name, data in files.items():
            with open(os.path.join(folder, name), "wb") as f:
                f.write(data)
        code, out, err = run_limited(["-c", CHILD.replace("ACTION", action), folder, str(width)])
    assert code == 0, f"child ended with {code}\n{out}\n{err[-4000:]}"
    got = {}
    for line in out.splitlines():
        name, _, rest = line.partition(": ")
        got[name] = rest
    return got
