#!/usr/bin/env bash
# Builds the project and runs the whole test suite.
# Usage: scripts/test.sh [SANITIZER]   where SANITIZER is empty, "address" or "thread".
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

sanitizer="${1:-}"
build="build${sanitizer:+-$sanitizer}"
build_type=RelWithDebInfo
[[ -n "$sanitizer" ]] && build_type=Debug
jobs=$(nproc 2>/dev/null || echo 2)

cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE="$build_type" \
  -DTESSALY_SANITIZER="$sanitizer" -DTESSALY_WERROR=ON >/dev/null
cmake --build "$build" -j "$jobs"
ctest --test-dir "$build" --output-on-failure -j "$jobs"
