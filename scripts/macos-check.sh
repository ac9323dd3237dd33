#!/usr/bin/env bash
# Checks tessaly on a Mac (Apple silicon, macOS 12 or later, Homebrew, Xcode 15
# or later command-line tools): builds it natively, runs the whole test suite,
# then checks the default engine against the real kernel:
#   records    getattrlistbulk's bytes for a fixture directory equal the test
#              reference packer's bytes for the same entries
#   image      a disk image attached with `hdiutil attach -mountpoint` inside a
#              scanned tree is left out by both engines, which agree exactly
#   agreement  bulk-attrs and jwalk agree on a real tree (TREE, by default the
#              home folder; within 0.5%, as a live tree changes between scans)
#   preboot    the space used bulk-attrs gives /System/Volumes/Preboot is
#              within 1% of what `diskutil info` reports
# Prints one verdict line per check ("PASS  name: ..." or "FAIL  name: ...")
# and exits with status 1 when any check fails, 2 when this is not such a Mac.
# Usage: scripts/macos-check.sh [TREE]
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ "$(uname -s)" != Darwin || "$(uname -m)" != arm64 ]]; then
  echo "macos-check: needs a Mac with Apple silicon" >&2
  exit 2
fi
if (($(sw_vers -productVersion | cut -d. -f1) < 12)); then
  echo "macos-check: needs macOS 12 or later" >&2
  exit 2
fi
if ! command -v brew >/dev/null; then
  echo "macos-check: needs Homebrew (https://brew.sh)" >&2
  exit 2
fi

tree_to_compare="${1:-$HOME}"
build="${TESSALY_CHECK_BUILD_DIR:-build-macos-check}"
jobs="$(sysctl -n hw.ncpu)"
failures=0

# verdict NAME OK DETAIL: one line per check; OK is 0 for a pass.
verdict() {
  if [[ "$2" == 0 ]]; then
    echo "PASS  $1: $3"
  else
    echo "FAIL  $1: $3"
    failures=$((failures + 1))
  fi
}

scripts/setup.sh
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSALY_WERROR=ON >/dev/null
cmake --build "$build" -j "$jobs"

work="$(cd "$(mktemp -d /tmp/tessaly-check.XXXXXX)" && pwd -P)"
image_mounted=""
cleanup() {
  if [[ -n "$image_mounted" ]]; then hdiutil detach -quiet -force "$image_mounted" || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# --- suite -------------------------------------------------------------------
if ctest --test-dir "$build" --output-on-failure -j "$jobs" >"$work/ctest.log" 2>&1; then
  verdict suite 0 "$(grep -E 'tests passed' "$work/ctest.log" | tail -1)"
else
  tail -n 40 "$work/ctest.log"
  verdict suite 1 "$(grep -E 'tests passed|tests failed' "$work/ctest.log" | tail -1)"
fi

# --- records -----------------------------------------------------------------
if "$build/tests/bulk_record_golden_test" --gtest_filter='BulkRecordKernel.*' \
  >"$work/records.log" 2>&1 && grep -q '\[  PASSED  \] 1 test' "$work/records.log"; then
  verdict records 0 "the kernel's records equal the reference packer's, byte for byte"
else
  tail -n 30 "$work/records.log"
  verdict records 1 "the kernel's records differ from the reference packer's (see above)"
fi

# scan ENGINE ROOT JSON [options...]: the whole result of one scan as JSON.
scan() {
  local engine="$1" root="$2" json="$3"
  shift 3
  "$build/scan_tree" --root "$root" --engine "$engine" --json "$json" "$@" >/dev/null
}

# compare A.json B.json TOLERANCE: the counters of two results, equal within
# TOLERANCE (a fraction); with 0 the directory lists must be equal too.
compare() {
  python3 - "$@" <<'EOF'
import json, sys
a, b = (json.load(open(p)) for p in sys.argv[1:3])
tolerance = float(sys.argv[3])
bad = []
for key in ("files_found", "dirs_found", "total_size"):
    x, y = a[key], b[key]
    if abs(x - y) > tolerance * max(x, y):
        bad.append(f"{key} {x} vs {y}")
if tolerance == 0:
    lists = lambda r: {d: sorted(map(json.dumps, c)) for d, c in r["children_map"].items()}
    if lists(a) != lists(b):
        bad.append("directory lists differ")
print("; ".join(bad) if bad else
      f"files {a['files_found']} vs {b['files_found']}, dirs {a['dirs_found']} vs "
      f"{b['dirs_found']}, bytes {a['total_size']} vs {b['total_size']}")
sys.exit(1 if bad else 0)
EOF
}

# --- image -------------------------------------------------------------------
tree="$work/tree"
mkdir -p "$tree/docs" "$tree/image"
head -c 100000 /dev/urandom >"$tree/docs/kept.bin"
echo "kept" >"$tree/top.txt"
hdiutil create -quiet -size 32m -fs APFS -volname tessaly-check "$work/image.dmg"
hdiutil attach -quiet -nobrowse -mountpoint "$tree/image" "$work/image.dmg"
image_mounted="$tree/image"
mkdir -p "$tree/image/inside"
head -c 300000 /dev/urandom >"$tree/image/inside/hidden.bin"
echo "hidden" >"$tree/image/top-of-image.txt"
scan bulk-attrs "$tree" "$work/image-bulk.json"
scan jwalk "$tree" "$work/image-jwalk.json"
if detail=$(compare "$work/image-bulk.json" "$work/image-jwalk.json" 0) &&
  python3 - "$work/image-bulk.json" "$tree" <<'EOF'; then
import json, sys
r = json.load(open(sys.argv[1]))
names = [c["name"] for c in r["children_map"].get(sys.argv[2], [])]
sys.exit(0 if r["files_found"] == 2 and r["dirs_found"] == 1 and "image" not in names else 1)
EOF
  verdict image 0 "the mounted image is left out by both engines ($detail)"
else
  verdict image 1 "the mounted image is not left out as expected (${detail:-see the JSON in $work})"
fi
hdiutil detach -quiet "$tree/image" && image_mounted=""

# --- agreement ---------------------------------------------------------------
scan bulk-attrs "$tree_to_compare" "$work/tree-bulk.json"
scan jwalk "$tree_to_compare" "$work/tree-jwalk.json"
if detail=$(compare "$work/tree-bulk.json" "$work/tree-jwalk.json" 0.005); then
  verdict agreement 0 "bulk-attrs and jwalk agree on $tree_to_compare ($detail)"
else
  verdict agreement 1 "bulk-attrs and jwalk differ on $tree_to_compare ($detail)"
fi

# --- preboot -----------------------------------------------------------------
preboot_disk=$(diskutil info /System/Volumes/Preboot |
  sed -n 's/.*Volume Used Space:.*(\([0-9]*\) Bytes).*/\1/p')
scan bulk-attrs /System/Volumes "$work/volumes.json" --tree-depth 1
preboot_scan=$(python3 - "$work/volumes.json" <<'EOF'
import json, sys
r = json.load(open(sys.argv[1]))
print(next((c["size"] for c in r["children_map"].get("/System/Volumes", [])
            if c["name"] == "Preboot"), 0))
EOF
)
if [[ -n "$preboot_disk" && "$preboot_disk" -gt 0 ]] &&
  python3 -c "import sys; a, b = map(int, sys.argv[1:]); sys.exit(abs(a - b) > b / 100)" \
    "$preboot_scan" "$preboot_disk"; then
  verdict preboot 0 "bulk-attrs $preboot_scan bytes, diskutil $preboot_disk bytes"
else
  verdict preboot 1 "bulk-attrs ${preboot_scan:-none} bytes, diskutil ${preboot_disk:-none} bytes"
fi

((failures == 0)) || exit 1
