#!/usr/bin/env bash
# Development loop: build the modules in place under src/brinvale, then run
# Python with PYTHONPATH=src.  CI and users install with pip instead.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build/dev}
if [ ! -f "$build/build.ninja" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=${BUILD_TYPE:-Release} \
    -DBRINVALE_INPLACE=ON -DBRINVALE_TESTS=ON -DPython_EXECUTABLE="$(command -v python3)" >/dev/null
fi
cmake --build "$build" -j "${JOBS:-2}" "$@"
