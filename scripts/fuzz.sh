#!/usr/bin/env bash
# Builds the fuzzers with clang (libFuzzer, ASan and UBSan) and runs each for a
# bounded time, starting from its seed corpus: the bulk record parser, the
# scan_bench command line, the dataset description parser and the reader of
# saved trees (ncdu's export format).
# Usage: scripts/fuzz.sh [SECONDS]   (per fuzzer, default 60)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

seconds="${1:-60}"
build="${FUZZ_BUILD_DIR:-build-fuzz}"
# The command-line, dataset and saved-tree parsers need clang 16 (for <expected>).
cxx=$(command -v clang++-16 || command -v clang++ || command -v clang++-14)
# A build directory configured for another compiler is started afresh.
if [[ -f "$build/CMakeCache.txt" ]] &&
  ! grep -qx "CMAKE_CXX_COMPILER:[A-Z]*=$cxx" "$build/CMakeCache.txt"; then
  rm -rf "$build"
fi

cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTESSALY_WERROR=ON -DTESSALY_BUILD_TESTS=OFF -DTESSALY_BUILD_BENCH=OFF >/dev/null
fuzzers=(bulk_record_fuzzer options_fuzzer dataset_fuzzer ncdu_import_fuzzer)
cmake --build "$build" --target "${fuzzers[@]}" -j "$(nproc 2>/dev/null || echo 2)"

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}"
for fuzzer in "${fuzzers[@]}"; do
  name=${fuzzer%_fuzzer}
  # Work on a copy, so that the inputs the run discovers stay out of the repository.
  corpus=$(mktemp -d)
  cp "fuzz/corpus/$name"/* "$corpus"/
  echo "fuzz: $fuzzer for $seconds s"
  status=0
  "$build/$fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -max_len=8192 -print_final_stats=1 -artifact_prefix="$build/$name-" "$corpus" || status=$?
  rm -rf "$corpus"
  if ((status != 0)); then
    echo "fuzz: $fuzzer failed (status $status)" >&2
    exit "$status"
  fi
done
