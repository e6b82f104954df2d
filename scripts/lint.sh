#!/usr/bin/env bash
# Lint: ruff over the Python sources (configuration in pyproject.toml), and
# clang-format (.clang-format) over the C++ lines changed since a base commit,
# by default the previous commit: the code older than the configuration is not
# reformatted wholesale.
#
#   scripts/lint.sh [BASE]        e.g. scripts/lint.sh origin/main
set -euo pipefail
cd "$(dirname "$0")/.."
base=${1:-HEAD~1}
ruff_version=0.17.6
clang_format_version=23.1.5

have() { command -v "$1" >/dev/null && "$1" --version 2>/dev/null | grep -q "$2"; }
if ! have ruff "$ruff_version" || ! have clang-format "$clang_format_version"; then
  python3 -m pip install --quiet "ruff==$ruff_version" "clang-format==$clang_format_version"
fi

ruff check src/brinvale scripts tests bench

if git rev-parse --verify --quiet "$base^{commit}" >/dev/null; then
  out=$(git clang-format --diff "$base" -- src tests/cpp 2>&1 || true)
  if grep -q '^diff --git' <<<"$out"; then
    printf '%s\n' "$out"
    echo "C++ lines changed since $base do not follow .clang-format: run 'git clang-format $base'" >&2
    exit 1
  fi
  echo "clang-format: the C++ lines changed since $base follow .clang-format"
else
  echo "clang-format: no commit $base to compare with, C++ layout not checked"
fi
