#!/usr/bin/env bash
# Builds scan_bench in release mode and benchmarks one tree with it.
# Usage: scripts/run.sh [ROOT] [scan_bench options...]   (ROOT defaults to /usr)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

root="${1:-/usr}"
shift || true
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DTESSALY_BUILD_TESTS=OFF \
  -DTESSALY_BUILD_BENCH=OFF >/dev/null
cmake --build build-release --target scan_bench -j "$(nproc 2>/dev/null || echo 2)"

# The default engine reads macOS volumes only; elsewhere the parallel walker runs.
engine=jwalk
[[ "$(uname -s)" == "Darwin" ]] && engine=bulk-attrs
exec build-release/scan_bench --root "$root" --engine "$engine" "$@"
