#!/usr/bin/env bash
# Installs the build and test dependencies that are missing, and nothing else.
# Safe to run again: an up-to-date machine is left untouched.
set -euo pipefail

if [[ "$(uname -s)" == "Darwin" ]]; then
  formulae=(cmake ninja nlohmann-json spdlog fmt googletest google-benchmark)
  missing=()
  for f in "${formulae[@]}"; do
    brew list --versions "$f" >/dev/null 2>&1 || missing+=("$f")
  done
  if ((${#missing[@]})); then
    echo "setup: installing ${missing[*]}"
    brew install "${missing[@]}"
  fi
  exit 0
fi

packages=(g++ cmake ninja-build pkg-config clang-format doxygen nlohmann-json3-dev libspdlog-dev libfmt-dev
  libgtest-dev libgmock-dev libbenchmark-dev clang libclang-rt-14-dev clang-16
  libclang-rt-16-dev chromium shellcheck python3-yaml ncdu gdu)
missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
((${#missing[@]})) || exit 0

echo "setup: installing ${missing[*]}"
sudo=()
if [[ $(id -u) -ne 0 ]]; then sudo=(sudo); fi
"${sudo[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
  "${missing[@]}"
