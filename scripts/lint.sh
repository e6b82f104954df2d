#!/usr/bin/env bash
# Lint: ruff over the Python sources (configuration in pyproject.toml) and
# clang-format (.clang-format) over every C++ source; fails on the first
# finding.  `scripts/lint.sh --fix` rewrites the files instead.
set -euo pipefail
cd "$(dirname "$0")/.."
ruff_version=0.17.6
clang_format_version=23.1.5

# pip puts the tools' commands beside the interpreter (or under ~/.local/bin)
PATH="$(python3 -c 'import sysconfig; print(sysconfig.get_path("scripts"))'):$HOME/.local/bin:$PATH"
have() { command -v "$1" >/dev/null && "$1" --version 2>/dev/null | grep -q "$2"; }
if ! have ruff "$ruff_version" || ! have clang-format "$clang_format_version"; then
  python3 -m pip install --quiet "ruff==$ruff_version" "clang-format==$clang_format_version"
fi

mapfile -t cxx < <(git ls-files 'src/*.cpp' 'src/*.hpp' 'src/*.h' 'tests/cpp/*.cpp' 'tests/cpp/*.hpp')
if [ "${1:-}" = --fix ]; then
  ruff check --fix src/brinvale scripts tests bench
  clang-format -i "${cxx[@]}"
  exit 0
fi
ruff check src/brinvale scripts tests bench
clang-format --dry-run --Werror "${cxx[@]}"
echo "clang-format: ${#cxx[@]} C++ files follow .clang-format"
