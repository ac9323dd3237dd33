#!/usr/bin/env bash
# Builds the host project of tests/consumer/ and examples/ the ways an
# application embeds tessaly, and runs them:
#   1. against the package installed from BUILD (default build/, as
#      scripts/test.sh leaves it; configured and built first when missing),
#      with find_package(tessaly) and, separately, with pkg-config;
#   2. with add_subdirectory of this tree, as a shared library, which must add
#      no tool or test target and leave the host's build type alone;
#   3. against the shared package installed from that embedded build, whose
#      library must export nothing but the public API.
# Usage: scripts/consumer-test.sh [BUILD]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

build="${1:-build}"
jobs=$(nproc 2>/dev/null || echo 2)
work=$(mktemp -d "${TMPDIR:-/tmp}/tessaly-consumer-XXXXXX")
trap 'rm -rf "$work"' EXIT
say() { echo "consumer-test: $*"; }
fail() { echo "consumer-test: $*" >&2; exit 1; }

if [[ ! -f "$build/CMakeCache.txt" ]]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSALY_WERROR=ON >/dev/null
fi
cmake --build "$build" --target tessaly -j "$jobs" >/dev/null

# A scratch tree for the example to scan.
tree="$work/tree"
mkdir -p "$tree/big/inner" "$tree/small"
head -c 300000 /dev/zero >"$tree/big/inner/data"
head -c 1000 /dev/zero >"$tree/small/data"

run_host() {  # build folder of the host project
  local out
  out=$("$1/tessaly_host") || fail "$1/tessaly_host failed: $out"
  [[ "$out" == "host: all checks passed" ]] || fail "unexpected output of $1/tessaly_host: $out"
}

say "static package from $build"
static="$work/static"
cmake --install "$build" --prefix "$static" >/dev/null
[[ -f "$static/include/tessaly/tessaly.h" && ! -e "$static/include/tessaly/src" ]] ||
  fail "public headers missing from $static/include/tessaly"
cmake -S tests/consumer -B "$work/host-static" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_PREFIX_PATH="$static" >/dev/null
cmake --build "$work/host-static" -j "$jobs" >/dev/null
run_host "$work/host-static"

say "pkg-config from the static package"
export PKG_CONFIG_PATH="$static/lib/pkgconfig"
flags=$(pkg-config --cflags --libs tessaly)
[[ "$flags" == *"-I$static/lib/pkgconfig/../../include"* && "$flags" == *"-ltessaly"* ]] ||
  fail "pkg-config --cflags --libs tessaly gave: $flags"
mkdir -p "$work/host-pc"
# shellcheck disable=SC2046  # the flags are separate words
g++ -std=c++23 -O1 -Wall -Wextra -Werror tests/consumer/host.cc -o "$work/host-pc/tessaly_host" \
  $(pkg-config --cflags --libs --static tessaly)
run_host "$work/host-pc"
unset PKG_CONFIG_PATH

say "example against the static package"
cmake -S examples -B "$work/example" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_PREFIX_PATH="$static" >/dev/null
cmake --build "$work/example" -j "$jobs" >/dev/null
out=$("$work/example/largest_dirs" "$tree" jwalk </dev/null 2>/dev/null) ||
  fail "the example failed: $out"
grep -Eq "^ *[0-9]+\.[0-9] (B|KiB|MiB)  $tree/big$" <<<"$out" || fail "the example printed: $out"
# Without an engine the platform's default runs: jwalk on Linux volumes.
out=$("$work/example/largest_dirs" "$tree" </dev/null 2>/dev/null) ||
  fail "the example failed with the default engine: $out"
grep -Eq "^2 files, 3 directories, .* with jwalk$" <<<"$out" ||
  fail "the example printed with the default engine: $out"
# The refresh example: a file deleted, its folder refreshed.
out=$("$work/example/refresh_after_delete" jwalk 2>&1) || fail "the refresh example failed: $out"
grep -Eq "^before: 3 files, 2 directories, [0-9]+ bytes; .*/photos: [0-9]+ bytes$" <<<"$out" ||
  fail "the refresh example printed: $out"
grep -Eq "^after: 2 files, 2 directories, [0-9]+ bytes; .*/photos: [0-9]+ bytes$" <<<"$out" ||
  fail "the refresh example printed: $out"

say "add_subdirectory, shared"
cmake -S tests/consumer -B "$work/host-embedded" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DTESSALY_CONSUMER_SOURCE_DIR="$PWD" -DBUILD_SHARED_LIBS=ON -DTESSALY_INSTALL=ON >/dev/null
targets=$(ninja -C "$work/host-embedded" -t targets all)
if grep -E '(_test|scan_bench|scan_tree|scan_compare|gtest)[^/:]*:' <<<"$targets" >/dev/null; then
  fail "add_subdirectory builds tools or tests"
fi
cmake --build "$work/host-embedded" -j "$jobs" >/dev/null
run_host "$work/host-embedded"

say "shared package"
shared="$work/shared"
cmake --install "$work/host-embedded" --prefix "$shared" >/dev/null
library=$(find "$shared" -name 'libtessaly.so.*' -type f | head -n 1)
[[ -n "$library" ]] || fail "no shared libtessaly in $shared"
# What the library defines for others is the public API (and the standard
# library's template code it instantiated): nothing else of tessaly, and
# nothing of spdlog, fmt or nlohmann-json.
public='(scan_with_jwalk|scan_with_bulk_attrs|supports_bulk_attrs|clear_scan_cache|run_scan'
public+='|run_scan_benchmark|parse_scan_engine|scan_engine_name|request_scan_cancel|scan\('
public+='|default_scan_engine|volume_type_name|is_utf8|utf8_text|join_raw_path|read_ncdu_export'
public+='|write_ncdu_export|refresh\('
public+='|(NameStore|DirTable|ResultDirectory|ScanResult|HardLinkTable|ProgressEmitter)($|::))'
private=$(nm -DC --defined-only "$library" | cut -d' ' -f3- |
  grep -E '^((typeinfo|typeinfo name|vtable|VTT|guard variable) for )?(tessaly|spdlog|fmt|nlohmann)::' |
  grep -Ev "^((typeinfo|typeinfo name|vtable) for )?tessaly::$public" || true)
[[ -z "$private" ]] || fail "the shared library exports private symbols: $private"
cmake -S tests/consumer -B "$work/host-shared" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_PREFIX_PATH="$shared" >/dev/null
cmake --build "$work/host-shared" -j "$jobs" >/dev/null
run_host "$work/host-shared"

say "all passed"
