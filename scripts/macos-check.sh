#!/usr/bin/env bash
# Checks tessaly on a Mac (Apple silicon, macOS 12 or later, Homebrew, Xcode 15
# or later command-line tools): builds it natively, runs the whole test suite,
# then checks both engines against the real kernel and against counts made
# without any of the scanner's code: scripts/macos-oracle.py, an os.lstat walk
# written from the scan rules alone, and `du -k -x`. Bytes are compared, not
# only counts:
#   records    getattrlistbulk's bytes for a fixture directory equal the test
#              reference packer's bytes for the same entries
#   dataless   a scanning thread's policy leaves dataless files in place
#   fixture    a tree holding a clone (cp -c), a compressed file (ditto
#              --hfsCompression), a sparse file, hard links, a bundle, a FIFO
#              and a mounted disk image: both engines equal the oracle
#              exactly, and the oracle equals du
#   image      the mounted disk image is left out by both engines
#   home       the same on TREE (by default the home folder), within 0.5%, as
#              a live tree changes between scans
#   root       "/": both engines count the volume group once (the firmlinked
#              folders under their own paths), within 1% of the oracle, and
#              bulk-attrs at most the APFS container's used space (df)
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

# --- dataless ----------------------------------------------------------------
if "$build/tests/dataless_policy_test" >"$work/dataless.log" 2>&1 &&
  grep -q 'PASSED' "$work/dataless.log" && ! grep -q 'SKIPPED' "$work/dataless.log"; then
  verdict dataless 0 "a scanning thread reads IOPOL_MATERIALIZE_DATALESS_FILES_OFF back"
else
  tail -n 20 "$work/dataless.log"
  verdict dataless 1 "the dataless-file policy is not set as expected (see above)"
fi

# oracle ROOT JSON: the independent count of ROOT.
oracle() {
  python3 scripts/macos-oracle.py "$1" >"$2"
}

# against ENGINE.json ORACLE.json ENGINE TOLERANCE [du KIB]: an engine's bytes
# and files against the oracle's (bulk-attrs leaves FIFOs, sockets and devices
# out and sizes the other volumes under /System/Volumes as single items, which
# are taken off; jwalk counts the first as files), jwalk's directories too;
# with a du total in KiB, the oracle's du_bytes against it. Within TOLERANCE
# (a fraction; 0 is exact).
against() {
  python3 - "$@" <<'EOF'
import json, sys
scan, truth = (json.load(open(p)) for p in sys.argv[1:3])
engine, tolerance = sys.argv[3], float(sys.argv[4])
du_kib = int(sys.argv[6]) if len(sys.argv) > 6 else None
items = [c for c in scan["children_map"].get("/System/Volumes", []) if not c["is_dir"]]
files = scan["files_found"] - (len(items) if engine == "bulk-attrs" else 0)
size = scan["total_size"] - (sum(c["size"] for c in items) if engine == "bulk-attrs" else 0)
want_files = truth["files"] + (truth["other_files"] if engine == "jwalk" else 0)
want_bytes = truth["bytes"] + (truth["other_bytes"] if engine == "jwalk" else 0)
pairs = [("bytes", size, want_bytes), ("files", files, want_files)]
if engine == "jwalk":
    pairs.append(("dirs", scan["dirs_found"], truth["dirs"]))
if du_kib is not None:
    pairs.append(("du bytes", truth["du_bytes"], du_kib * 1024))
bad = [f"{k} {x} vs {y}" for k, x, y in pairs if abs(x - y) > tolerance * max(x, y)]
print("; ".join(bad) if bad else ", ".join(f"{k} {x}" for k, x, _ in pairs))
sys.exit(1 if bad else 0)
EOF
}

# --- fixture -----------------------------------------------------------------
tree="$work/tree"
mkdir -p "$tree/docs" "$tree/image" "$tree/Tool.app/Contents"
head -c 100000 /dev/urandom >"$tree/docs/kept.bin"
echo "kept" >"$tree/top.txt"
head -c 3000000 /dev/urandom >"$tree/docs/original.bin"
cp -c "$tree/docs/original.bin" "$tree/docs/clone.bin"
yes 'a line that compresses well' | head -c 4000000 >"$work/plain.txt"
ditto --hfsCompression "$work/plain.txt" "$tree/docs/compressed.txt"
python3 -c 'import sys; f = open(sys.argv[1], "wb"); f.seek(64 << 20); f.write(b"x")' \
  "$tree/docs/sparse.bin"
head -c 50000 /dev/urandom >"$tree/docs/linked.bin"
ln "$tree/docs/linked.bin" "$tree/linked-again.bin"
head -c 20000 /dev/urandom >"$tree/Tool.app/Contents/tool"
ln -s docs/kept.bin "$tree/link"
mkfifo "$tree/pipe"
hdiutil create -quiet -size 32m -fs APFS -volname tessaly-check "$work/image.dmg"
hdiutil attach -quiet -nobrowse -mountpoint "$tree/image" "$work/image.dmg"
image_mounted="$tree/image"
mkdir -p "$tree/image/inside"
head -c 300000 /dev/urandom >"$tree/image/inside/hidden.bin"
echo "hidden" >"$tree/image/top-of-image.txt"
scan bulk-attrs "$tree" "$work/fixture-bulk.json"
scan jwalk "$tree" "$work/fixture-jwalk.json"
oracle "$tree" "$work/fixture-oracle.json"
fixture_du=$(du -k -x "$tree" | tail -n 1 | cut -f 1)
for engine in bulk-attrs jwalk; do
  json="$work/fixture-${engine%%-*}.json"
  if detail=$(against "$json" "$work/fixture-oracle.json" "$engine" 0 du "$fixture_du"); then
    verdict fixture 0 "$engine equals the oracle and du ($detail)"
  else
    verdict fixture 1 "$engine differs from the oracle or du (${detail:-see $work})"
  fi
done
if python3 - "$work/fixture-bulk.json" "$work/fixture-jwalk.json" "$tree" <<'EOF'; then
import json, sys
for path in sys.argv[1:3]:
    names = [c["name"] for c in json.load(open(path))["children_map"].get(sys.argv[3], [])]
    if "image" in names:
        sys.exit(1)
EOF
  verdict image 0 "the mounted image is left out by both engines"
else
  verdict image 1 "the mounted image is listed (see the JSON in $work)"
fi
hdiutil detach -quiet "$tree/image" && image_mounted=""

# --- home --------------------------------------------------------------------
scan bulk-attrs "$tree_to_compare" "$work/home-bulk.json"
scan jwalk "$tree_to_compare" "$work/home-jwalk.json"
oracle "$tree_to_compare" "$work/home-oracle.json"
home_du=$(du -k -x "$tree_to_compare" 2>/dev/null | tail -n 1 | cut -f 1)
for engine in bulk-attrs jwalk; do
  json="$work/home-${engine%%-*}.json"
  if detail=$(against "$json" "$work/home-oracle.json" "$engine" 0.005 du "$home_du"); then
    verdict home 0 "$engine agrees with the oracle and du on $tree_to_compare ($detail)"
  else
    verdict home 1 "$engine differs on $tree_to_compare (${detail:-see $work})"
  fi
done

# --- root --------------------------------------------------------------------
scan bulk-attrs / "$work/root-bulk.json"
scan jwalk / "$work/root-jwalk.json"
oracle / "$work/root-oracle.json"
for engine in bulk-attrs jwalk; do
  json="$work/root-${engine%%-*}.json"
  if detail=$(against "$json" "$work/root-oracle.json" "$engine" 0.01); then
    verdict root 0 "$engine counts the volume group of / as the oracle does ($detail)"
  else
    verdict root 1 "$engine differs from the oracle on / (${detail:-see $work})"
  fi
done
# The container's used space: its size less what every volume of it may
# still use, as df reports it for any of its volumes.
container_used=$(df -k / | awk 'NR == 2 { print ($2 - $4) * 1024 }')
root_scan=$(python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["total_size"])' \
  "$work/root-bulk.json")
if [[ -n "$container_used" && "$root_scan" -le "$container_used" ]]; then
  verdict root 0 "bulk-attrs $root_scan bytes, at most the container's used $container_used"
else
  verdict root 1 "bulk-attrs $root_scan bytes, above the container's used ${container_used:-none}"
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
