#!/usr/bin/env bash
# Debian packages the build and the tests need: GoogleTest for the C++ unit
# tests, ninja and ccache for the build, a CJK font so Chinese chart labels
# render.
set -euo pipefail
need=()
[ -f /usr/include/gtest/gtest.h ] || need+=(libgtest-dev)
command -v ninja >/dev/null || need+=(ninja-build)
command -v ccache >/dev/null || need+=(ccache)
fc-list 2>/dev/null | grep -qi 'noto sans cjk' || need+=(fonts-noto-cjk)
if [ ${#need[@]} -gt 0 ]; then
  if [ "$(id -u)" = 0 ]; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${need[@]}" >/dev/null
  else
    echo "missing system packages: ${need[*]} (install them with apt-get)" >&2
    exit 1
  fi
fi
