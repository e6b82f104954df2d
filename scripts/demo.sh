#!/usr/bin/env bash
# Install the package, then build a sample result folder and predict with it.
# The install is skipped when the installed package was built from this very
# source tree (a fingerprint of the sources is kept in build/).
set -euo pipefail
cd "$(dirname "$0")/.."
py=${PYTHON:-python3}
stamp=build/installed-sources.sha256

fingerprint() {
  {
    "$py" -c 'import sys; print(sys.executable)'
    find src CMakeLists.txt pyproject.toml -type f ! -name '*.so' ! -name '*.pyd' \
      ! -path '*/__pycache__/*' -print0 | LC_ALL=C sort -z | xargs -0 sha256sum
  } | sha256sum | cut -d' ' -f1
}
# where the interpreter imports the package from, outside the source tree
installed() {
  (cd / && "$py" -c 'import os, brinvale.brinvale as b; print(os.path.dirname(b.__file__))' 2>/dev/null) || true
}

now="$(fingerprint) $(installed)"
if [ -n "$(installed)" ] && [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$now" ]; then
  echo "brinvale is installed from these sources in $(installed): not reinstalled"
else
  "$py" -m pip install --quiet .
  mkdir -p build
  echo "$(fingerprint) $(installed)" >"$stamp"
fi
"$py" -m brinvale demo "$@"
