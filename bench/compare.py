#!/usr/bin/env python3
"""Runs the whole performance comparison and writes it as JSON.

    bench/compare.py [--build-dir build-bench] [--no-build] [--trees /tmp/tessaly-bench]
                     [--runs 5] [--cold] [--cold-only] [--cold-rounds 3] [--no-install]
                     [--scale F]

Steps, all on the same generated trees in one run:
  0. builds scan_bench, engine_bench and tree_gen (Release) in --build-dir;
  1. installs du's rivals from Debian (ncdu, gdu, fd-find, hyperfine, time)
     unless --no-install, and builds the trees with tree_gen when missing;
  2. engine_bench on every tree kind with 2 threads, and on the realistic
     tree with 1 thread: the floor, the jwalk engine and the bulk engine
     (called directly), their medians, ratios to the floor and the share of
     compute_dir_sizes; then the 1 -> 2 thread speed-ups, 1 and 2 threads
     in turns on the realistic tree (median of --runs per-round ratios);
  3. peak memory: one fresh engine_bench --memory process per engine;
  4. whole processes, warm cache, taking turns, each the median of --runs
     runs after a warm-up: scan_bench --engine jwalk --cold-runs 1
     --warm-runs 0, du -s, ncdu -o /dev/null, gdu -n, fdfind -u (listing only),
     wall time and peak RSS from /usr/bin/time; then, on the realistic, flat
     and hard-link trees, the floor, jwalk and bulk each as a whole warm
     process (engine_bench --memory: one scan, no warm-up, the process timed
     from start to exit), in turns whose order rotates each round, and the
     median over the rounds of each wall time divided by the floor's;
  5. with --cold, as root: cold scans of the realistic tree, each in its own
     engine_bench process right after `sync; echo 3 > /proc/sys/vm/drop_caches`,
     in interleaved rounds (--cold-rounds): the floor at 2, 8 and 32 threads
     and both engines with the default pool (RAYON_NUM_THREADS unset), their
     medians and the median over the rounds of each time divided by the
     32-thread floor's time in the same round, the spare threads each
     engine scan started and what the pool's watcher saw (threads in a
     blocking call, calls blocking, spares, directories queued, spares
     waiting for a job while directories were queued: means per look; the
     time from the scan's start to the spares' room at its cap, and how often
     spares were told to stop). --cold-only runs this step alone (nothing else
     is measured, built or installed; the trees must exist).

The result goes to bench/results/<UTC date>.json and bench/results/latest.json,
and bench/chart.py then turns it into docs/performance.svg and
bench/results/latest.md (the tables); with --output only the JSON is written.
"""

import argparse
import datetime
import json
import os
import platform
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

import chart

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)

TREES = {  # kind: entries
    "realistic": 500_000,
    "flat": 100_000,
    "deep": 2_000,
    "hardlinks": 100_000,
}

PACKAGES = ["ncdu", "gdu", "fd-find", "hyperfine", "time"]
TIME = "/usr/bin/time"


def log(message):
    print(message, file=sys.stderr, flush=True)


def run(command, env=None, capture=True, check=True):
    merged = dict(os.environ)
    if env:
        merged.update(env)
    result = subprocess.run(command, env=merged, text=True,
                            stdout=subprocess.PIPE if capture else subprocess.DEVNULL,
                            stderr=subprocess.PIPE)
    if check and result.returncode != 0:
        raise RuntimeError(f"{' '.join(command)} failed ({result.returncode}): {result.stderr}")
    return result


def install_tools():
    missing = [p for p, exe in [("ncdu", "ncdu"), ("gdu", "gdu"), ("fd-find", "fdfind"),
                                ("hyperfine", "hyperfine"), ("time", TIME)]
               if shutil.which(exe) is None]
    if not missing:
        return
    log(f"installing {' '.join(missing)}")
    env = {"DEBIAN_FRONTEND": "noninteractive"}
    run(["apt-get", "install", "-y", "--no-install-recommends"] + missing, env=env)


def tool_versions():
    versions = {}
    for name, command in [("du", ["du", "--version"]), ("ncdu", ["ncdu", "-v"]),
                          ("gdu", ["gdu", "--version"]), ("fdfind", ["fdfind", "--version"])]:
        try:
            out = run(command, check=False).stdout.strip().splitlines()
            versions[name] = out[0].strip() if out else ""
        except FileNotFoundError:
            versions[name] = None
    return versions


def machine():
    model = ""
    with open("/proc/cpuinfo") as info:
        for line in info:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as info:
        mem_kib = int(info.readline().split()[1])
    return {
        "host": socket.gethostname(),
        "kernel": platform.release(),
        "cpu": model,
        "logical_cpus": os.cpu_count(),
        "memory_gib": round(mem_kib / 1024 / 1024, 1),
    }


def load():
    with open("/proc/loadavg") as f:
        return [float(x) for x in f.read().split()[:3]]


def filesystem_of(path):
    out = run(["stat", "-f", "-c", "%T", path]).stdout.strip()
    return out


def timed(command, env=None):
    """Wall seconds and peak RSS (KiB) of one process, from GNU time."""
    with tempfile.NamedTemporaryFile("r", suffix=".time") as report:
        result = run([TIME, "-f", "%e %M", "-o", report.name] + command, env=env,
                     capture=False, check=False)
        if result.returncode != 0:
            raise RuntimeError(f"{' '.join(command)} failed ({result.returncode}): "
                               f"{result.stderr[-2000:]}")
        wall, rss = report.read().split()[-2:]
    return float(wall), int(rss)


def drop_caches():
    subprocess.run(["sync"], check=True)
    with open("/proc/sys/vm/drop_caches", "w") as f:
        f.write("3\n")


def can_drop_caches():
    try:
        drop_caches()
        return True
    except OSError:
        return False


def engine_bench(build, tree, kind, entries, runs, threads, extra=()):
    with tempfile.NamedTemporaryFile("r", suffix=".json") as out:
        run([os.path.join(build, "bench", "engine_bench"), "--tree", tree, "--kind", kind,
             "--entries", str(entries), "--runs", str(runs), "--json", out.name] + list(extra),
            env={"RAYON_NUM_THREADS": str(threads)})
        return json.load(out)


def thread_scaling(build, tree, rounds):
    """1 -> 2 thread speed-up of each scanner: the pool's size is fixed for a
    process, so each round runs engine_bench once with 1 thread and once with
    2, one after the other, and the figure is the median over the rounds of
    the two times' ratio (a drift of the machine's speed between the two
    halves of a separate measurement would not cancel out)."""
    scaling = {}
    for _ in range(rounds):
        one = engine_bench(build, tree, "realistic", TREES["realistic"], 1, 1)
        two = engine_bench(build, tree, "realistic", TREES["realistic"], 1, 2)
        two_by_name = {s["name"]: s for s in two["scanners"]}
        for s in one["scanners"]:
            other = two_by_name.get(s["name"])
            if other is None:
                continue
            entry = scaling.setdefault(s["name"], {"one_thread_ms": [], "two_threads_ms": [],
                                                   "ratios": []})
            entry["one_thread_ms"].append(s["median_ms"])
            entry["two_threads_ms"].append(other["median_ms"])
            entry["ratios"].append(s["median_ms"] / other["median_ms"])
    for entry in scaling.values():
        entry["median_ratio"] = statistics.median(entry["ratios"])
    return scaling


def whole_process_commands(build, tree, report_dir):
    scan_bench = os.path.join(build, "scan_bench")
    return {
        "scan_bench jwalk": ([scan_bench, "--root", tree, "--engine", "jwalk", "--cold-runs", "1",
                              "--warm-runs", "0", "--output-dir", report_dir],
                             {"RAYON_NUM_THREADS": "2"}),
        "du -s": (["du", "-s", tree], None),
        "ncdu -o": (["ncdu", "-x", "-o", "/dev/null", tree], None),
        "gdu -n": (["gdu", "-n", "--no-progress", tree], None),
        "fdfind -u": (["fdfind", "-u", "-j", "2", ".", tree], None),
    }


def scan_bench_elapsed(report_dir):
    """elapsed_ms of the newest scan_bench report in report_dir, removing it."""
    reports = sorted((os.path.join(report_dir, n) for n in os.listdir(report_dir)),
                     key=os.path.getmtime)
    if not reports:
        return None
    with open(reports[-1]) as f:
        data = json.load(f)
    for name in reports:
        os.unlink(name)
    runs = data.get("runs") or []
    return runs[0]["result"]["elapsed_ms"] if runs else None


def compare_processes(build, tree, runs):
    report_dir = tempfile.mkdtemp(prefix="tessaly-compare-")
    commands = whole_process_commands(build, tree, report_dir)
    available = {name: command for name, command in commands.items()
                 if shutil.which(command[0][0]) or os.path.exists(command[0][0])}
    samples = {name: {"wall_s": [], "peak_rss_kib": [], "elapsed_ms": []} for name in available}
    for round_index in range(runs + 1):  # round 0 warms the caches
        for name, (command, env) in available.items():
            wall, rss = timed(command, env)
            elapsed = scan_bench_elapsed(report_dir) if name.startswith("scan_bench") else None
            if round_index == 0:
                continue
            samples[name]["wall_s"].append(wall)
            samples[name]["peak_rss_kib"].append(rss)
            if elapsed is not None:
                samples[name]["elapsed_ms"].append(elapsed)
        log(f"  warm round {round_index} done")
    warm = {}
    for name, s in samples.items():
        warm[name] = {
            "command": available[name][0],
            "env": available[name][1] or {},
            "wall_s": s["wall_s"],
            "median_wall_s": statistics.median(s["wall_s"]),
            "peak_rss_kib": s["peak_rss_kib"],
            "median_peak_rss_kib": statistics.median(s["peak_rss_kib"]),
        }
        if s["elapsed_ms"]:
            warm[name]["elapsed_ms"] = s["elapsed_ms"]
            warm[name]["median_elapsed_ms"] = statistics.median(s["elapsed_ms"])

    shutil.rmtree(report_dir, ignore_errors=True)
    return warm

# Trees whose whole processes are set against the floor's.
FLOOR_PROCESS_KINDS = ("realistic", "flat", "hardlinks")


def timed_exactly(command, env):
    """Wall seconds of one process, to the microsecond (GNU time's %e has 10 ms steps)."""
    start = time.monotonic()
    run(command, env=env)
    return time.monotonic() - start


def processes_against_floor(build, trees_dir, kinds, runs):
    """Each scanner as a whole process per tree kind, warm, 2 threads, next to the floor's."""
    scanners = ["floor", "jwalk", "bulk"]
    result = {}
    for kind in kinds:
        tree = os.path.join(trees_dir, kind)
        samples = {name: {"wall_s": [], "peak_rss_kib": []} for name in scanners}
        for round_index in range(runs + 1):  # round 0 warms the caches
            turn = round_index % len(scanners)
            for name in scanners[turn:] + scanners[:turn]:
                with tempfile.NamedTemporaryFile("r", suffix=".json") as out:
                    wall = timed_exactly(
                        [os.path.join(build, "bench", "engine_bench"), "--tree", tree, "--kind",
                         kind, "--entries", str(TREES[kind]), "--memory", "--scanners", name,
                         "--json", out.name],
                        {"RAYON_NUM_THREADS": "2"})
                    # The process's own peak: a child's rusage would count the fork of this
                    # script before the exec.
                    rss = json.load(out)["memory"]["peak_rss_kib"]
                if round_index == 0:
                    continue
                samples[name]["wall_s"].append(wall)
                samples[name]["peak_rss_kib"].append(rss)
        floor = samples["floor"]["wall_s"]
        result[kind] = {}
        for name, s in samples.items():
            ratios = [wall / ref for wall, ref in zip(s["wall_s"], floor)]
            result[kind][name] = {
                "wall_s": s["wall_s"],
                "median_wall_s": statistics.median(s["wall_s"]),
                "peak_rss_kib": s["peak_rss_kib"],
                "median_peak_rss_kib": statistics.median(s["peak_rss_kib"]),
                "ratios_to_floor": ratios,
                "ratio_to_floor": statistics.median(ratios),
            }
        log(f"  {kind}: " + ", ".join(f"{name} {result[kind][name]['ratio_to_floor']:.3f}x"
                                      for name in scanners[1:]))
    return result


# The cold table: (row, engine_bench scanner, RAYON_NUM_THREADS or None for
# the default pool). The ratios are to COLD_REFERENCE.
COLD_SCANNERS = [
    ("floor, 2 threads", "floor", 2),
    ("floor, 8 threads", "floor", 8),
    ("floor, 32 threads", "floor", 32),
    ("jwalk, default pool", "jwalk", None),
    ("bulk, default pool", "bulk", None),
]
COLD_REFERENCE = "floor, 32 threads"


def cold_scan(build, tree, scanner, threads):
    """One scan of `tree` by `scanner` right after the page cache was dropped,
    in a fresh engine_bench process (one run, no warm-up): its time in ms,
    the spare threads it started, its peak RSS in KiB, the pool's size and
    what the pool's watcher saw (when the program reports it)."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")}
    if threads is not None:
        env["RAYON_NUM_THREADS"] = str(threads)
    with tempfile.NamedTemporaryFile("r", suffix=".json") as out:
        command = [os.path.join(build, "bench", "engine_bench"), "--tree", tree,
                   "--scanners", scanner, "--memory", "--json", out.name]
        drop_caches()
        result = subprocess.run(command, env=env, text=True, stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE)
        if result.returncode != 0:
            raise RuntimeError(f"{' '.join(command)} failed ({result.returncode}): "
                               f"{result.stderr}")
        data = json.load(out)
    entry = data["scanners"][0]
    return (entry["ms"][0], data.get("spare_threads_started", 0),
            data["memory"]["peak_rss_kib"], data["threads"], data.get("watcher"))


def cold_scans(build, tree, rounds):
    """The cold table: every row of COLD_SCANNERS once per round, in turns."""
    rows = {name: {"scanner": scanner, "threads": None, "ms": [], "spare_threads_started": [],
                   "peak_rss_kib": []} for name, scanner, _ in COLD_SCANNERS}
    for round_index in range(rounds):
        for name, scanner, threads in COLD_SCANNERS:
            ms, spares, rss, pool, watcher = cold_scan(build, tree, scanner, threads)
            row = rows[name]
            row["threads"] = pool
            row["ms"].append(ms)
            row["spare_threads_started"].append(spares)
            row["peak_rss_kib"].append(rss)
            if watcher is not None and scanner != "floor":
                row.setdefault("watcher", []).append(watcher)
        log(f"  cold round {round_index + 1} of {rounds} done")
    reference = rows[COLD_REFERENCE]["ms"]
    for row in rows.values():
        row["median_ms"] = statistics.median(row["ms"])
        row["ratios_to_floor_32"] = [ms / ref for ms, ref in zip(row["ms"], reference)]
        row["ratio_to_floor_32"] = statistics.median(row["ratios_to_floor_32"])
        if row["scanner"] == "floor":
            del row["spare_threads_started"]
    return {"tree": tree, "rounds": rounds, "reference": COLD_REFERENCE, "scanners": rows}


def cold_only(args, build):
    """--cold-only: the cold table of the realistic tree, written alone."""
    realistic = os.path.join(args.trees, "realistic")
    if not os.path.isdir(realistic):
        sys.exit(f"compare.py: {realistic} does not exist; run without --cold-only first")
    if not can_drop_caches():
        sys.exit("compare.py: cannot drop the page cache (not root?)")
    started = datetime.datetime.now(datetime.timezone.utc)
    result = {"started": started.strftime("%Y-%m-%dT%H:%M:%SZ"), "machine": machine(),
              "filesystem": filesystem_of(args.trees), "load_before": load()}
    log("cold scans")
    result["cold"] = cold_scans(build, realistic, args.cold_rounds)
    result["load_after"] = load()
    output = args.output or os.path.join(
        HERE, "results", started.strftime("cold-%Y-%m-%dT%H%M%SZ") + ".json")
    with open(output, "w") as f:
        json.dump(result, f, indent=2)
        f.write("\n")
    print(chart.cold_table(result["cold"]))
    log(f"results written to {output}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build-dir", default=os.path.join(REPO, "build-bench"),
                        help="Release build directory for scan_bench and the bench programs")
    parser.add_argument("--no-build", action="store_true",
                        help="use the programs already built in --build-dir as they are")
    parser.add_argument("--trees", default="/tmp/tessaly-bench",
                        help="where the generated trees live (reused when present)")
    parser.add_argument("--runs", type=int, default=5, help="measured runs per figure (>= 5)")
    parser.add_argument("--cold", action="store_true", help="also measure with dropped caches")
    parser.add_argument("--cold-only", action="store_true",
                        help="measure the cold table alone (implies --cold, --no-build, "
                             "--no-install; writes --output or bench/results/cold-<time>.json)")
    parser.add_argument("--cold-rounds", type=int, default=3, help="interleaved cold rounds")
    parser.add_argument("--no-install", action="store_true")
    parser.add_argument("--kinds", default=",".join(TREES), help="tree kinds for engine_bench")
    parser.add_argument("--scale", type=float, default=1.0,
                        help="multiply every tree's size (a quick trial run with 0.01)")
    parser.add_argument("--output", default=None,
                        help="JSON file; default bench/results/<UTC time>.json and latest.json")
    args = parser.parse_args()
    if args.runs < 1:
        parser.error("--runs must be positive")
    if args.cold_rounds < 1:
        parser.error("--cold-rounds must be positive")
    if args.cold_only:
        args.cold = args.no_build = args.no_install = True

    if not args.no_install:
        install_tools()
    build = os.path.abspath(args.build_dir)
    if not args.no_build:
        log(f"building in {build}")
        run(["cmake", "-S", REPO, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
             "-DTESSALY_BUILD_TESTS=OFF", "-DTESSALY_BUILD_BENCH=ON"])
        run(["cmake", "--build", build, "--target", "scan_bench", "engine_bench", "tree_gen",
             "-j", str(os.cpu_count() or 2)])
    needed = ["bench/engine_bench"] if args.cold_only else ["scan_bench", "bench/engine_bench",
                                                           "bench/tree_gen"]
    for program in needed:
        if not os.path.exists(os.path.join(build, program)):
            parser.error(f"{program} is not built in {build}; build the Release targets first")

    if args.cold_only:
        cold_only(args, build)
        return
    if args.scale != 1.0:
        for kind in TREES:
            TREES[kind] = max(10, int(TREES[kind] * args.scale))
    os.makedirs(args.trees, exist_ok=True)
    kinds = [k for k in args.kinds.split(",") if k]
    trees = {}
    for kind in kinds:
        path = os.path.join(args.trees, kind)
        out = run([os.path.join(build, "bench", "tree_gen"), "--kind", kind, "--entries",
                   str(TREES[kind]), path]).stdout
        trees[kind] = json.loads(out)
        trees[kind]["entries_requested"] = TREES[kind]
    realistic = os.path.join(args.trees, "realistic")

    started = datetime.datetime.now(datetime.timezone.utc)
    result = {
        "started": started.strftime("%Y-%m-%dT%H:%M:%SZ"),
        "machine": machine(),
        "filesystem": filesystem_of(args.trees),
        "load_before": load(),
        "tools": tool_versions(),
        "runs": args.runs,
        "trees": trees,
    }

    log("engines, 2 threads")
    result["engines"] = {}
    for kind in kinds:
        result["engines"][kind] = engine_bench(build, os.path.join(args.trees, kind), kind,
                                               TREES[kind], args.runs, 2)
    if "realistic" in kinds:
        log("engines, 1 thread")
        result["engines_1_thread"] = engine_bench(build, realistic, "realistic",
                                                  TREES["realistic"], args.runs, 1)
        log("engines, 1 and 2 threads in turns")
        result["thread_scaling"] = thread_scaling(build, realistic, args.runs)
        log("peak memory")
        result["memory"] = {}
        for scanner in ("floor", "jwalk", "bulk"):
            data = engine_bench(build, realistic, "realistic", TREES["realistic"], 1, 2,
                                ["--scanners", scanner, "--memory"])
            result["memory"][scanner] = data["memory"]
        log("whole processes")
        result["processes_warm"] = compare_processes(build, realistic, args.runs)
    floor_kinds = [kind for kind in FLOOR_PROCESS_KINDS if kind in kinds]
    if floor_kinds:
        log("whole processes against the floor")
        result["processes_vs_floor"] = processes_against_floor(build, args.trees, floor_kinds,
                                                               args.runs)
    if "realistic" in kinds:
        if args.cold:
            if can_drop_caches():
                log("cold scans")
                result["cold"] = cold_scans(build, realistic, args.cold_rounds)
            else:
                log("cannot drop the page cache (not root?): cold scans skipped")
    result["load_after"] = load()

    results_dir = os.path.join(HERE, "results")
    os.makedirs(results_dir, exist_ok=True)
    output = args.output or os.path.join(results_dir,
                                         started.strftime("%Y-%m-%dT%H%M%SZ") + ".json")
    # An explicit --output (a trial run, say) leaves latest.json alone.
    targets = [output] if args.output else [output, os.path.join(results_dir, "latest.json")]
    for path in targets:
        with open(path, "w") as f:
            json.dump(result, f, indent=2)
            f.write("\n")
    log(f"results written to {output}")
    # The tables and the chart follow the latest results; a trial run with
    # --output leaves them alone.
    if not args.output:
        subprocess.run([sys.executable, os.path.join(HERE, "chart.py"), output], check=True)


if __name__ == "__main__":
    main()
