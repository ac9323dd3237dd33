#!/usr/bin/env bash
# Builds the bulk record parser's fuzzer with clang (libFuzzer, ASan and UBSan)
# and runs it for a bounded time, starting from the seed corpus.
# Usage: scripts/fuzz.sh [SECONDS]   (default 60)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

seconds="${1:-60}"
build=build-fuzz
cxx=$(command -v clang++ || command -v clang++-14)

cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTESSALY_BUILD_TESTS=OFF -DTESSALY_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" --target bulk_record_fuzzer -j "$(nproc 2>/dev/null || echo 2)"

# Work on a copy, so that the inputs the run discovers stay out of the repository.
corpus=$(mktemp -d)
trap 'rm -rf "$corpus"' EXIT
cp fuzz/corpus/bulk_record/* "$corpus"/

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}"
"$build"/bulk_record_fuzzer -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
  -max_len=8192 -print_final_stats=1 -artifact_prefix="$build/" "$corpus"
