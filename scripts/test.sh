#!/usr/bin/env bash
# Installs the package with its test dependencies, lints, then runs the C++
# unit tests of the core and the Python test suite, without and with pyarrow
# (and Dask).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/system-deps.sh
python3 -m pip install --quiet --upgrade pip
python3 -m pip install --quiet ".[test]"

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
mkdir -p build
cpp_tests >build/cpptests.log 2>&1 &
cpp=$!
arrow=build/venv-arrow
# The second environment is prepared in the background too.
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
prepare_arrow >build/venv-arrow.log 2>&1 &
arrow_ready=$!

# The Python suite twice: with the declared dependencies only, and in a
# virtual environment that also has pyarrow and Dask, where pandas 3 stores text with
# pyarrow throughout (frames, records, pickles).
status=0
python3 -m pytest -q "$@" || status=$?
if wait "$cpp"; then
  grep -E "tests passed|tests failed" build/cpptests.log
else
  cat build/cpptests.log
  echo "the core's C++ tests failed" >&2
  exit 1
fi
[ "$status" = 0 ] || exit "$status"
if ! wait "$arrow_ready"; then
  cat build/venv-arrow.log
  echo "the pyarrow environment could not be prepared" >&2
  exit 1
fi
# The wheel build (marked slow) compiles the same sources in either
# environment: it runs in the first only.
"$arrow/bin/python" -m pytest -q -m "not slow" "$@"
