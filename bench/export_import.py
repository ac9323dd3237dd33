#!/usr/bin/env python3
"""Times saving a scan (scan_tree --export) and opening it again (--import).

    bench/export_import.py [--build-dir build] [--tree /tmp/tessaly-bench/realistic]
                           [--runs 3]

On the 500,000-entry realistic tree (built with tree_gen when missing), warm
cache, whole processes taking turns, each figure the median of --runs runs of
wall time and peak RSS from /usr/bin/time:
  - a full-depth scan (the work an export needs),
  - the same scan writing the export,
  - importing that export at full depth and at the default tree depth,
  - importing ncdu's own export of the tree, when ncdu is installed.
The goal is an import at most as slow as the full-depth scan and at most its
peak memory; the exit status is 1 when the full-depth import misses it.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

FULL_DEPTH = str(2**64 - 1)


def timed(command):
    """Wall seconds and peak RSS in MB of one run of `command`."""
    with tempfile.NamedTemporaryFile("r") as times:
        subprocess.run(["/usr/bin/time", "-o", times.name, "-f", "%e %M"] + command,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        seconds, kilobytes = times.read().split()[-2:]
    return float(seconds), int(kilobytes) / 1000


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build-dir", default="build")
    parser.add_argument("--tree", default="/tmp/tessaly-bench/realistic")
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    scan_tree = os.path.join(args.build_dir, "scan_tree")
    if not os.path.isdir(args.tree):
        subprocess.run([os.path.join(args.build_dir, "bench", "tree_gen"), "--kind", "realistic",
                        "--entries", "500000", args.tree], check=True)
    work = tempfile.mkdtemp()
    saved = os.path.join(work, "export.json")
    theirs = os.path.join(work, "ncdu.json")
    runs = {
        "full-depth scan": [scan_tree, "--root", args.tree, "--tree-depth", FULL_DEPTH],
        "scan and export": [scan_tree, "--root", args.tree, "--export", saved],
        "import, full depth": [scan_tree, "--import", saved, "--tree-depth", FULL_DEPTH],
        "import, tree depth 8": [scan_tree, "--import", saved],
    }
    if shutil.which("ncdu"):
        subprocess.run(["ncdu", "-0", "-o", theirs, args.tree], check=True)
        runs["import of ncdu's export"] = [scan_tree, "--import", theirs]
    figures = {name: [] for name in runs}
    try:
        for _ in range(args.runs):
            for name, command in runs.items():
                figures[name].append(timed(command))
        print(f"export: {os.path.getsize(saved)} bytes")
        print(f"{'run':<26} {'median s':>9} {'peak MB':>8}")
        medians = {}
        for name, values in figures.items():
            medians[name] = (statistics.median(v[0] for v in values),
                             statistics.median(v[1] for v in values))
            print(f"{name:<26} {medians[name][0]:>9.2f} {medians[name][1]:>8.1f}")
    finally:
        shutil.rmtree(work)
    scan, imported = medians["full-depth scan"], medians["import, full depth"]
    if imported[0] > scan[0] or imported[1] > scan[1]:
        print("the import is slower or larger than the scan", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
