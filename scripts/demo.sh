#!/usr/bin/env bash
# Install the package, then build a sample result folder and predict with it.
set -euo pipefail
cd "$(dirname "$0")/.."
python3 -m pip install --quiet .
python3 -m brinvale demo "$@"
