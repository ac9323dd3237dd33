#!/usr/bin/env bash
# Time and peak memory of the tools' readers on inputs built to hurt them.
#
#     bench/tool_readers.sh [BIN_DIR] [WORK_DIR]
#
# BIN_DIR holds scan_bench and scan_compare (default: build); WORK_DIR keeps
# the generated inputs between runs (default: a fresh temporary folder,
# removed at the end). Each case prints one line: wall seconds, peak RSS from
# /usr/bin/time -v, the exit status and the first line the tool wrote. A case
# still running after READERS_TIMEOUT seconds (default 600) is stopped: exit 124.
#
#   dataset-16MiB-{}   scan_bench with a dataset description just under its
#                      16 MiB cap, an array of about 5.6 million {}
#   compare-array-{}   scan_compare on a 3 MB array of a million {}
#   compare-runs-{}    scan_compare on a report whose "runs" are a million {}
#   compare-dataset-{} scan_compare on two reports scan_bench wrote with a
#                      dataset description of a million {}
#   compare-ints-250MB scan_compare on a 250 MB array of integers
#   compare-meta-ints  scan_compare on a report whose dataset_metadata is an
#                      array of integers, 200 MB in all
set -euo pipefail

bin_dir=$(realpath "${1:-build}")
work=${2:-}
if [[ -z "$work" ]]; then
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
fi
mkdir -p "$work"

# A JSON array of `count` copies of `item`, written without a trailing newline.
json_array() {
  python3 - "$1" "$2" "$3" <<'EOF'
import sys
item, count, path = sys.argv[1], int(sys.argv[2]), sys.argv[3]
chunk = ",".join([item] * 100000)
with open(path, "w") as f:
    f.write("[")
    for start in range(0, count, 100000):
        n = min(100000, count - start)
        f.write(("," if start else "") + (chunk if n == 100000 else ",".join([item] * n)))
    f.write("]")
EOF
}

measure() {
  local name=$1
  shift
  local log="$work/$name.time" out="$work/$name.out"
  local status=0
  /usr/bin/time -v -o "$log" timeout "${READERS_TIMEOUT:-600}" "$@" >"$out" 2>&1 || status=$?
  local wall rss
  wall=$(awk -F': ' '/Elapsed \(wall clock\)/ {print $2}' "$log")
  rss=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$log")
  printf '%-20s %10s s %10.1f MB  exit %-3s %s\n' "$name" "$wall" "$((rss))e-3" "$status" \
    "$(grep -v '^\s*Command' "$out" | head -c 100 | head -n 1)"
}

tree="$work/tree"
mkdir -p "$tree/d"
echo x >"$tree/d/f"

# Just under 16 MiB: "[" + n * "{}" + (n - 1) * "," + "]".
dataset_items=$(((16 * 1024 * 1024 - 2 + 1) / 3 - 1))
[[ -f "$work/dataset16.json" ]] || json_array '{}' "$dataset_items" "$work/dataset16.json"
cp "$work/dataset16.json" "$tree.x-scanner-dataset.json"
measure dataset-16MiB-{} "$bin_dir/scan_bench" --root "$tree" --engine jwalk --cold-runs 1 \
  --warm-runs 3 --output "$work/bench16.json"
ls -l "$work/bench16.json" | awk '{printf "%-20s report of %.1f MB\n", "", $5 / 1e6}'

[[ -f "$work/array.json" ]] || json_array '{}' 1000000 "$work/array.json"
measure compare-array-{} "$bin_dir/scan_compare" "$work/array.json" "$work/array.json"

if [[ ! -f "$work/runs.json" ]]; then
  python3 - "$work/runs.json" <<'EOF'
import sys
with open(sys.argv[1], "w") as f:
    f.write('{"timestamp_unix_secs": 1, "label": "x", "root": "/", "engine": "jwalk", '
            '"tree_depth": 8, "exclude_paths": [], "machine": {"os": "linux", "arch": "x86_64", '
            '"logical_cores": 2, "fs_type": "ext4"}, "dataset_metadata": null, "runs": ['
            + ",".join(["{}"] * 1000000) + '], "summary": {}, "notes": []}')
EOF
fi
measure compare-runs-{} "$bin_dir/scan_compare" "$work/runs.json" "$work/runs.json"

json_array '{}' 1000000 "$tree.x-scanner-dataset.json"
for side in base new; do
  [[ -f "$work/meta-$side.json" ]] ||
    "$bin_dir/scan_bench" --root "$tree" --engine jwalk --cold-runs 1 --warm-runs 3 \
      --output "$work/meta-$side.json" >/dev/null
done
rm -f "$tree.x-scanner-dataset.json"
measure compare-dataset-{} "$bin_dir/scan_compare" "$work/meta-base.json" "$work/meta-new.json"

[[ -f "$work/ints.json" ]] || json_array 1 125000000 "$work/ints.json"
measure compare-ints-250MB "$bin_dir/scan_compare" "$work/ints.json" "$work/ints.json"

if [[ ! -f "$work/meta-ints.json" ]]; then
  python3 - "$work/meta-base.json" "$work/meta-ints.json" <<'EOF'
import sys
text = open(sys.argv[1]).read()
start = text.index('"dataset_metadata": ') + len('"dataset_metadata": ')
end = text.index(',\n  "runs": ')
with open(sys.argv[2], "w") as f:
    f.write(text[:start] + "[")
    chunk = ",".join(["1"] * 100000)
    for i in range(1000):
        f.write(("," if i else "") + chunk)
    f.write("]" + text[end:])
EOF
fi
measure compare-meta-ints "$bin_dir/scan_compare" "$work/meta-ints.json" "$work/meta-ints.json"
