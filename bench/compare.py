#!/usr/bin/env python3
"""Runs the whole performance comparison and writes it as JSON.

    bench/compare.py [--build-dir build-bench] [--no-build] [--trees /tmp/tessaly-bench]
                     [--runs 5] [--cold] [--no-install] [--scale F]

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
     wall time and peak RSS from /usr/bin/time;
  5. with --cold, as root: the same after `sync; echo 3 >
     /proc/sys/vm/drop_caches`, scan_bench at 2, 8 and 16 pool threads.

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


def compare_processes(build, tree, runs, cold, threads_list):
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

    cold_results = None
    if cold:
        cold_results = {}
        cold_runs = max(3, runs // 2)
        cold_commands = {}
        for threads in threads_list:
            command, _ = available["scan_bench jwalk"]
            cold_commands[f"scan_bench jwalk, {threads} threads"] = (
                command, {"RAYON_NUM_THREADS": str(threads)})
        for name in ("du -s", "gdu -n"):
            if name in available:
                cold_commands[name] = available[name]
        samples = {name: [] for name in cold_commands}
        elapsed = {name: [] for name in cold_commands}
        for round_index in range(cold_runs):
            for name, (command, env) in cold_commands.items():
                drop_caches()
                wall, _ = timed(command, env)
                samples[name].append(wall)
                if name.startswith("scan_bench"):
                    value = scan_bench_elapsed(report_dir)
                    if value is not None:
                        elapsed[name].append(value)
            log(f"  cold round {round_index + 1} done")
        for name, (command, env) in cold_commands.items():
            cold_results[name] = {"command": command, "env": env or {}, "wall_s": samples[name],
                                  "median_wall_s": statistics.median(samples[name])}
            if elapsed[name]:
                cold_results[name]["elapsed_ms"] = elapsed[name]
                cold_results[name]["median_elapsed_ms"] = statistics.median(elapsed[name])
    shutil.rmtree(report_dir, ignore_errors=True)
    return warm, cold_results


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
    parser.add_argument("--cold-threads", default="2,8,16")
    parser.add_argument("--no-install", action="store_true")
    parser.add_argument("--kinds", default=",".join(TREES), help="tree kinds for engine_bench")
    parser.add_argument("--scale", type=float, default=1.0,
                        help="multiply every tree's size (a quick trial run with 0.01)")
    parser.add_argument("--output", default=None,
                        help="JSON file; default bench/results/<UTC time>.json and latest.json")
    args = parser.parse_args()
    if args.runs < 1:
        parser.error("--runs must be positive")

    if not args.no_install:
        install_tools()
    build = os.path.abspath(args.build_dir)
    if not args.no_build:
        log(f"building in {build}")
        run(["cmake", "-S", REPO, "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
             "-DTESSALY_BUILD_TESTS=OFF", "-DTESSALY_BUILD_BENCH=ON"])
        run(["cmake", "--build", build, "--target", "scan_bench", "engine_bench", "tree_gen",
             "-j", str(os.cpu_count() or 2)])
    for program in ("scan_bench", "bench/engine_bench", "bench/tree_gen"):
        if not os.path.exists(os.path.join(build, program)):
            parser.error(f"{program} is not built in {build}; build the Release targets first")

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
        cold = args.cold and can_drop_caches()
        if args.cold and not cold:
            log("cannot drop the page cache (not root?): cold runs skipped")
        warm, cold_results = compare_processes(
            build, realistic, args.runs, cold, [int(t) for t in args.cold_threads.split(",")])
        result["processes_warm"] = warm
        if cold_results is not None:
            result["processes_cold"] = cold_results
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
