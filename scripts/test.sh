#!/usr/bin/env bash
# Installs the package with its test dependencies, lints, then runs the C++
# unit tests of the core and the Python test suite, without and with pyarrow
# (and Dask).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/system-deps.sh
python3 -m pip install --quiet --upgrade pip
# The build's own requirements first, so that the package builds without
# build isolation and with its paths relative to the source tree: the
# compiler cache then serves the wheel build test, which compiles the same
# sources again in a copy of the tree.
# (The wheel build test runs under a home of its own: the cache is named.)
export CCACHE_DIR="${CCACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/ccache}"
python3 -m pip install --quiet "scikit-build-core>=0.10" "pybind11>=2.13" ninja cmake
CCACHE_BASEDIR="$PWD" python3 -m pip install --quiet --no-build-isolation ".[test]"

# Layout and lint first: ruff over the Python, clang-format over all C++.
bash scripts/lint.sh

# The core's unit tests, once plainly and once under AddressSanitizer and
# UndefinedBehaviorSanitizer: built and run on one core in the background
# while the Python suite, which mostly runs on one core, runs beside them.
cpp_tests() {
  for variant in plain sanitize; do
    sanitize=OFF; [ "$variant" = sanitize ] && sanitize=ON
    cmake -S . -B "build/cpptests-$variant" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DBRINVALE_PYTHON=OFF -DBRINVALE_TESTS=ON -DBRINVALE_SANITIZE=$sanitize >/dev/null
    cmake --build "build/cpptests-$variant" -j 1
    ctest --test-dir "build/cpptests-$variant" --output-on-failure
  done
}
arrow=build/venv-arrow
# The second environment, prepared while the C++ tests build.
prepare_arrow() {
  if [ ! -x "$arrow/bin/python" ]; then
    python3 -m venv "$arrow"
  fi
  # The second environment sees what the first one installed (whether that is
  # the system's Python or a virtual environment the user activated): a .pth
  # file names the first one's site folders, after its own, so that what it
  # installs itself (pyarrow, Dask) comes first.
  outer=$(python3 -c 'import site, sysconfig; print("\n".join(dict.fromkeys([sysconfig.get_paths()["purelib"], sysconfig.get_paths()["platlib"], *site.getsitepackages()])))')
  inner=$("$arrow/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
  printf '%s\n' "$outer" >"$inner/brinvale-first-environment.pth"
  # the Dask extra too: the partitioned engine's tests run there (they skip
  # where Dask is missing)
  "$arrow/bin/python" -m pip install --quiet pyarrow "dask[dataframe,distributed]>=2025.1"
}

# The second core's share, beside the first suite: the C++ tests, then the
# Python suite in the pyarrow environment, where pandas 3 stores text with
# pyarrow throughout (frames, records, pickles).  The wheel build (marked
# slow) compiles the same sources in either environment: it runs in the
# first only.  Each step leaves its exit status in build/.
second_core() {
  prepare_arrow >build/venv-arrow.log 2>&1 &
  local ready=$! rc=0
  cpp_tests >build/cpptests.log 2>&1 || rc=$?
  echo "$rc" >build/cpptests.rc
  rc=0
  wait "$ready" || rc=$?
  echo "$rc" >build/venv-arrow.rc
  [ "$rc" = 0 ] || return 0
  rc=0
  "$arrow/bin/python" -m pytest -q -m "not slow" "$@" >build/pytest-arrow.log 2>&1 || rc=$?
  echo "$rc" >build/pytest-arrow.rc
}
mkdir -p build
rm -f build/cpptests.rc build/venv-arrow.rc build/pytest-arrow.rc
second_core "$@" &
side=$!

# The Python suite with the declared dependencies only.
status=0
python3 -m pytest -q "$@" || status=$?
wait "$side" || true
if [ "$(cat build/cpptests.rc 2>/dev/null)" = 0 ]; then
  grep -E "tests passed|tests failed" build/cpptests.log
else
  cat build/cpptests.log
  echo "the core's C++ tests failed" >&2
  exit 1
fi
if [ "$(cat build/venv-arrow.rc 2>/dev/null)" != 0 ]; then
  cat build/venv-arrow.log
  echo "the pyarrow environment could not be prepared" >&2
  exit 1
fi
echo "the suite in the pyarrow environment ($arrow):"
cat build/pytest-arrow.log 2>/dev/null || true
[ "$status" = 0 ] || exit "$status"
exit "$(cat build/pytest-arrow.rc 2>/dev/null || echo 1)"
