#!/usr/bin/env bash
# A virtual environment with the oldest libraries brinvale supports
# (scripts/oldest-deps.txt), for recording the pickle names their result
# folders use and for writing the old golden folders of the test suite:
#
#   bash scripts/oldest-env.sh            # creates build/venv-oldest
#   PYTHONPATH=src build/venv-oldest/bin/python -m pytest -q
#
# The modules built in place (scripts/dev-build.sh) are used as they are: they
# depend on the interpreter's version only.  OLDEST_PYARROW=15.0.0 adds
# pyarrow of that version (pandas 2.2 keeps text as Python objects either way).
set -euo pipefail
cd "$(dirname "$0")/.."
venv=${OLDEST_VENV:-build/venv-oldest}
python=${PYTHON:-python3}
if [ ! -x "$venv/bin/python" ]; then
  "$python" -m venv "$venv"
fi
"$venv/bin/python" -m pip install --quiet -r scripts/oldest-deps.txt "pytest>=7.4" "hypothesis>=6.90"
if [ -n "${OLDEST_PYARROW:-}" ]; then
  "$venv/bin/python" -m pip install --quiet "pyarrow==$OLDEST_PYARROW"
fi
"$venv/bin/python" -c "import sys; assert sys.version_info[:2] == (3, 11), sys.version"
