#!/usr/bin/env bash
# Fails when any tracked C++ file (or each FILE given) differs from what
# clang-format makes of it with the project's .clang-format. Changes nothing.
# Usage: scripts/format-check.sh [FILE...]
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

if (($#)); then
  files=("$@")
else
  mapfile -t files < <(git ls-files '*.cc' '*.h')
fi
((${#files[@]})) || exit 0
clang-format --version
clang-format --dry-run --Werror "${files[@]}"
echo "format-check: ${#files[@]} files formatted"
