#!/usr/bin/env python3
"""Turns a bench/compare.py result into an SVG chart and Markdown tables.

    bench/chart.py [bench/results/latest.json] [--svg docs/performance.svg]
                   [--markdown bench/results/latest.md]

The chart has one panel per question: the engines against the floor on each
tree (2 threads, warm), and whole processes against the usual tools (warm),
plus the cold table (the page cache dropped before each scan) when the result
has it. The tables also set each scanner, as a whole process, against the
floor's. Bars are medians; the label at the end of each bar gives the figure.
"""

import argparse
import json
import os
import statistics
from xml.sax.saxutils import escape

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)

COLOURS = {"floor": "#9e9e9e", "jwalk": "#1f77b4", "bulk": "#2ca02c",
           "scan_bench": "#1f77b4", "other": "#ff7f0e"}

# Targets on the realistic tree, warm, 2 threads.
TARGET_JWALK_VS_FLOOR = 1.25
TARGET_BULK_VS_FLOOR = 1.15
TARGET_VS_DU = 2.2
TARGET_BYTES_PER_ENTRY = 160
TARGET_DIR_SIZES_SHARE = 0.05
TARGET_THREAD_SPEEDUP = 1.8


def panel(title, rows, unit, x, y, width):
    """rows: (label, value, colour). Returns (svg fragments, height)."""
    bar_height, gap, label_width = 18, 6, 190
    parts = [f'<text x="{x}" y="{y + 14}" font-size="14" font-weight="bold">{escape(title)}</text>']
    top = y + 26
    largest = max((v for _, v, _ in rows), default=1) or 1
    usable = width - label_width - 90
    for i, (label, value, colour) in enumerate(rows):
        row_y = top + i * (bar_height + gap)
        length = max(1.0, usable * value / largest)
        parts.append(f'<text x="{x + label_width - 6}" y="{row_y + 13}" font-size="12" '
                     f'text-anchor="end">{escape(label)}</text>')
        parts.append(f'<rect x="{x + label_width}" y="{row_y}" width="{length:.1f}" '
                     f'height="{bar_height}" fill="{colour}"/>')
        parts.append(f'<text x="{x + label_width + length + 4:.1f}" y="{row_y + 13}" '
                     f'font-size="12">{value:,.{2 if unit == "x" else 1}f} {unit}</text>')
    return parts, 26 + len(rows) * (bar_height + gap) + 16


def engine_rows(result, key="ratio_to_floor", kinds=None):
    rows = []
    for kind, data in result.get("engines", {}).items():
        if kinds is not None and kind not in kinds:
            continue
        for scanner in data["scanners"]:
            name = scanner["name"]
            rows.append((f"{kind}: {name}", scanner[key], COLOURS.get(name, "#555")))
    return rows


def process_rows(section, value_key, scale):
    rows = []
    for name, data in section.items():
        colour = COLOURS["scan_bench"] if name.startswith("scan_bench") else COLOURS["other"]
        rows.append((name, data[value_key] * scale, colour))
    return rows


def cold_table(cold):
    """The cold table as Markdown (compare.py --cold-only prints it)."""
    lines = [f"| cold scan, realistic tree ({cold['rounds']} rounds) | threads | median ms | "
             f"min | max | vs {cold['reference']} | spares started | in a call, waiting, "
             f"spares, queued, held back per look | ms to full room |",
             "|---|---:|---:|---:|---:|---:|---:|---|---:|"]
    for name, row in cold["scanners"].items():
        spares = row.get("spare_threads_started")
        spares = "" if spares is None else f"{statistics.median(spares):.0f}"
        watched = ""
        if row.get("watcher"):
            # Results from before the queue was watched have no queued or held back.
            keys = [key for key in ("mean_in_call", "mean_waiting", "mean_spares", "mean_queued",
                                    "mean_held_back") if key in row["watcher"][0]]
            means = [statistics.median(w[key] for w in row["watcher"]) for key in keys]
            watched = ", ".join(f"{m:.1f}" for m in means)
        # From the scan's start to the spares' room at the cap (older results
        # have none; 0 means the room never filled).
        ramps = [w["full_room_ms"] for w in row.get("watcher") or [] if "full_room_ms" in w]
        ramp = f"{statistics.median(ramps):.1f}" if ramps else ""
        lines.append(f"| {name} | {row['threads']} | {row['median_ms']:.0f} | "
                     f"{min(row['ms']):.0f} | {max(row['ms']):.0f} | "
                     f"{row['ratio_to_floor_32']:.2f}x | {spares} | {watched} | {ramp} |")
    return "\n".join(lines)


def cold_rows(cold):
    return [(name, row["median_ms"], COLOURS.get(row["scanner"], "#555"))
            for name, row in cold["scanners"].items()]


def render_svg(result):
    width = 760
    parts, y = [], 10
    sections = [
        ("Realistic tree, warm cache, 2 threads (median ms)",
         engine_rows(result, "median_ms", {"realistic"}), "ms"),
        ("Every tree: time / floor time in the same round (median)", engine_rows(result), "x"),
    ]
    if "processes_warm" in result:
        sections.append(("Whole process on the realistic tree, warm (median wall ms)",
                         process_rows(result["processes_warm"], "median_wall_s", 1000), "ms"))
        sections.append(("Whole process, warm (median peak RSS MiB)",
                         process_rows(result["processes_warm"], "median_peak_rss_kib", 1 / 1024),
                         "MiB"))
    if "processes_cold" in result:  # results from before the cold table
        sections.append(("Whole process, cold cache (median wall ms)",
                         process_rows(result["processes_cold"], "median_wall_s", 1000), "ms"))
    if "cold" in result:
        sections.append(("Realistic tree, page cache dropped before each scan (median ms)",
                         cold_rows(result["cold"]), "ms"))
    for title, rows, unit in sections:
        fragment, height = panel(title, rows, unit, 10, y, width)
        parts += fragment
        y += height
    machine = result.get("machine", {})
    note = (f"{machine.get('cpu', '')}, {machine.get('logical_cpus', '?')} CPUs, "
            f"{result.get('filesystem', '')}, load {result.get('load_before')} -> "
            f"{result.get('load_after')}, {result.get('started', '')}")
    parts.append(f'<text x="10" y="{y + 4}" font-size="11" fill="#555">{escape(note)}</text>')
    height = y + 16
    return (f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
            f'viewBox="0 0 {width} {height}" font-family="sans-serif">\n'
            f'<rect width="100%" height="100%" fill="white"/>\n' + "\n".join(parts) + "\n</svg>\n")


def verdict(ok):
    return "met" if ok else "**missed**"


def render_markdown(result):
    lines = []
    if result.get("engines"):  # a --cold-only result has the cold table alone
        lines.append("| tree | scanner | median ms | min ms | max ms | vs floor | files | dirs | "
                     "compute_dir_sizes share |")
        lines.append("|---|---|---:|---:|---:|---:|---:|---:|---:|")
    for kind, data in result.get("engines", {}).items():
        for s in data["scanners"]:
            lines.append(f"| {kind} | {s['name']} | {s['median_ms']:.1f} | {min(s['ms']):.1f} | "
                         f"{max(s['ms']):.1f} | {s['ratio_to_floor']:.2f}x | {s['files']:,} | "
                         f"{s['dirs']:,} | {100 * s['compute_dir_sizes_share']:.1f}% |")
    if result.get("engines"):
        lines.append("")
    targets = []
    engines = result.get("engines", {}).get("realistic")
    one = result.get("engines_1_thread")
    if engines:
        by_name = {s["name"]: s for s in engines["scanners"]}
        if "jwalk" in by_name:
            r = by_name["jwalk"]["ratio_to_floor"]
            targets.append(("jwalk elapsed vs floor", f"<= {TARGET_JWALK_VS_FLOOR}x", f"{r:.2f}x",
                            r <= TARGET_JWALK_VS_FLOOR))
            share = by_name["jwalk"]["compute_dir_sizes_share"]
            targets.append(("jwalk compute_dir_sizes share", "<= 5%", f"{100 * share:.2f}%",
                            share <= TARGET_DIR_SIZES_SHARE))
        if "bulk" in by_name:
            r = by_name["bulk"]["ratio_to_floor"]
            targets.append(("bulk elapsed vs floor", f"<= {TARGET_BULK_VS_FLOOR}x", f"{r:.2f}x",
                            r <= TARGET_BULK_VS_FLOOR))
            share = by_name["bulk"]["compute_dir_sizes_share"]
            targets.append(("bulk compute_dir_sizes share", "<= 5%", f"{100 * share:.2f}%",
                            share <= TARGET_DIR_SIZES_SHARE))
        scaling = result.get("thread_scaling")
        if scaling:
            for name in ("floor", "jwalk", "bulk"):
                if name in scaling:
                    entry = scaling[name]
                    speedup = entry["median_ratio"]
                    spread = f"{min(entry['ratios']):.2f}-{max(entry['ratios']):.2f}x"
                    targets.append((f"{name}: 1 -> 2 threads", f">= {TARGET_THREAD_SPEEDUP}x",
                                    f"{speedup:.2f}x (rounds {spread})",
                                    speedup >= TARGET_THREAD_SPEEDUP))
        elif one:
            # Older results: the medians of two separate measurements.
            one_by_name = {s["name"]: s for s in one["scanners"]}
            for name in ("floor", "jwalk", "bulk"):
                if name in by_name and name in one_by_name:
                    speedup = one_by_name[name]["median_ms"] / by_name[name]["median_ms"]
                    targets.append((f"{name}: 1 -> 2 threads", f">= {TARGET_THREAD_SPEEDUP}x",
                                    f"{speedup:.2f}x", speedup >= TARGET_THREAD_SPEEDUP))
    for name, data in result.get("memory", {}).items():
        if name == "floor":
            continue
        per = data["bytes_per_entry"]
        targets.append((f"{name} peak RSS per entry", f"<= {TARGET_BYTES_PER_ENTRY} B",
                        f"{per:.0f} B ({data['added_bytes_per_entry']:.0f} B above the idle "
                        f"process)", per <= TARGET_BYTES_PER_ENTRY))
    warm = result.get("processes_warm", {})
    ours = warm.get("scan_bench jwalk")
    if ours:
        for rival, need in (("du -s", TARGET_VS_DU), ("gdu -n", 1.0), ("ncdu -o", 1.0)):
            if rival in warm:
                ratio = warm[rival]["median_wall_s"] / ours["median_wall_s"]
                targets.append((f"scan_bench process vs {rival}", f">= {need}x faster",
                                f"{ratio:.2f}x", ratio >= need))
    if targets:
        lines.append("| target (realistic tree, warm, 2 threads) | wanted | measured | |")
        lines.append("|---|---|---|---|")
        for name, wanted, measured, ok in targets:
            lines.append(f"| {name} | {wanted} | {measured} | {verdict(ok)} |")
        lines.append("")
    for section, title in (("processes_warm", "warm"), ("processes_cold", "cold")):
        if section not in result:
            continue
        lines.append(f"| process ({title}, realistic tree) | median wall ms | min | max | "
                     f"median peak RSS MiB | scan_bench elapsed_ms |")
        lines.append("|---|---:|---:|---:|---:|---:|")
        for name, data in result[section].items():
            rss = data.get("median_peak_rss_kib")
            lines.append(f"| {name} | {1000 * data['median_wall_s']:.0f} | "
                         f"{1000 * min(data['wall_s']):.0f} | {1000 * max(data['wall_s']):.0f} | "
                         f"{'' if rss is None else f'{rss / 1024:.1f}'} | "
                         f"{data.get('median_elapsed_ms', '')} |")
        lines.append("")
    if "processes_vs_floor" in result:
        lines.append("| whole process (warm, 2 threads) | scanner | median wall ms | min | max | "
                     "vs floor | median peak RSS MiB |")
        lines.append("|---|---|---:|---:|---:|---:|---:|")
        for kind, rows in result["processes_vs_floor"].items():
            for name, data in rows.items():
                lines.append(f"| {kind} | {name} | {1000 * data['median_wall_s']:.1f} | "
                             f"{1000 * min(data['wall_s']):.1f} | "
                             f"{1000 * max(data['wall_s']):.1f} | {data['ratio_to_floor']:.3f}x | "
                             f"{data['median_peak_rss_kib'] / 1024:.1f} |")
        lines.append("")
    if "cold" in result:
        lines.append(cold_table(result["cold"]))
        lines.append("")
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("result", nargs="?", default=os.path.join(HERE, "results", "latest.json"))
    parser.add_argument("--svg", default=os.path.join(REPO, "docs", "performance.svg"))
    parser.add_argument("--markdown", default=os.path.join(HERE, "results", "latest.md"))
    args = parser.parse_args()
    with open(args.result) as f:
        result = json.load(f)
    with open(args.svg, "w") as f:
        f.write(render_svg(result))
    with open(args.markdown, "w") as f:
        f.write(render_markdown(result) + "\n")
    print(f"wrote {args.svg} and {args.markdown}")


if __name__ == "__main__":
    main()
