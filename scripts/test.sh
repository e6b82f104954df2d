#!/usr/bin/env bash
# Installs the package with its test dependencies, then runs the C++ unit
# tests of the core and the Python test suite.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/system-deps.sh
python3 -m pip install --quiet --upgrade pip
python3 -m pip install --quiet ".[test]"

cmake -S . -B build/cpptests -G Ninja -DBRINVALE_PYTHON=OFF -DBRINVALE_TESTS=ON \
  -DBRINVALE_SANITIZE=${BRINVALE_SANITIZE:-OFF} >/dev/null
cmake --build build/cpptests -j 2
ctest --test-dir build/cpptests --output-on-failure

python3 -m pytest -q "$@"
