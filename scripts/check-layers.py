#!/usr/bin/env python3
"""Fails on an include that goes against the layers, or on a cycle of folders.

    scripts/check-layers.py [--graph]

Every C++ file below src/, include/, tests/ and bench/ belongs to a unit: its
folder, with all of src/bin/<tool>/ one unit per tool. An include is resolved
the way the build resolves it (a quoted one first beside the including file,
then below include/, src/, tests/ and bench/); one that resolves to no file
here is a system or third-party header. Includes within a unit are free; every
other one must be allowed below, or it is printed as file:line and the script
exits with 1. With --graph the unit-to-unit edges are printed as well.

The library's ranks, from the bottom (docs/architecture.md draws them):

    0  base                              nothing of ours
    1  platform                          base
    2  rules, progress, cache, result,   platform, base, the public API, and
       ncdu                              sideways edges: cache -> result
                                         (the cache stores results),
                                         result -> progress (the aggregator
                                         keeps the progress counters), and
                                         ncdu -> result, ncdu -> rules (an
                                         export is written from a result, and
                                         an import records through the
                                         aggregator by the scan's rules, the
                                         bundle names among them)
    3  jwalk, bulk                       the middle tier and below, the public
                                         API; never each other
    4  service                           the engines and below, the public API
    5  bin/common                        the public API only
    6  bin/<tool>                        the public API and bin/common only

A unit may include any unit of a lower rank unless its line above says
otherwise; only the sideways edges named there are allowed within a rank.

include/tessaly, the public API, includes only itself and system headers (no
fmt, spdlog, nlohmann or test framework). Base and platform know nothing of
scans and may not include it; everything from the middle tier up may.

Tests mirror src/:
  tests/<folder>      the layer it tests (src/<folder> and the folders of the
                      same rank, so that one engine's tests may check it
                      against the other), what src/<folder> may include, and
                      tests/support
  tests/bin/<tool>    src/bin/<tool>, bin/common, the public API, tests/support
  tests/support       the library (service and below) and the public API
  tests/consumer      the public API only: it builds against the installed package

bench/ measures the library: its programs may include the public API, the
service and everything below it (the engines, the worker pool and the channel
are what they time), never a tool or a test; its tests (*_test.cc) may add
tests/support.

The folder graph must stay free of cycles too; with the ranks above only an
added sideways edge could make one.
"""

import os
import re
import sys

REPO = os.path.dirname(os.path.dirname(os.path.realpath(__file__)))
TOP_FOLDERS = ["src", "include", "tests", "bench"]
SEARCH_ROOTS = [os.path.join(REPO, name) for name in ["include", "src", "tests", "bench"]]
SOURCE_SUFFIXES = (".h", ".hpp", ".cc", ".cpp")
INCLUDE = re.compile(r'^[ \t]*#[ \t]*include[ \t]*([<"])([^>"]+)[>"]', re.M)
THIRD_PARTY = ("fmt/", "spdlog/", "nlohmann/", "gtest/", "gmock/", "benchmark/")

PUBLIC = "include/tessaly"
BASE, PLATFORM, MIDDLE, ENGINES, SERVICE, TOOL_COMMON, TOOLS = range(7)
RANKS = {
    "base": BASE,
    "platform": PLATFORM,
    "rules": MIDDLE, "progress": MIDDLE, "cache": MIDDLE, "result": MIDDLE, "ncdu": MIDDLE,
    "jwalk": ENGINES, "bulk": ENGINES,
    "service": SERVICE,
    "bin/common": TOOL_COMMON,
}
SIDEWAYS = {("cache", "result"), ("result", "progress"), ("ncdu", "result"), ("ncdu", "rules")}


def unit_of(rel):
    """The unit of a repository-relative path, or None outside the four folders."""
    parts = rel.split("/")
    if len(parts) < 2 or parts[0] not in TOP_FOLDERS:
        return None
    top, rest = parts[0], parts[1:-1]
    if top == "bench":
        return "bench"
    if top == "include":
        return "include/" + "/".join(rest[:1]) if rest else "include"
    if not rest:
        return top
    if rest[0] == "bin" and len(rest) >= 2:
        return f"{top}/bin/{rest[1]}"
    return f"{top}/{rest[0]}"


def rank_of(unit):
    """The rank of a src/ unit, or None when it has none."""
    name = unit.removeprefix("src/")
    if name in RANKS:
        return RANKS[name]
    if name.startswith("bin/"):
        return TOOLS
    return None


def library_below_tools(unit):
    """Whether `unit` is a library folder: the service or below."""
    rank = rank_of(unit) if unit.startswith("src/") else None
    return rank is not None and rank <= SERVICE


def src_may_include(source, target):
    """Why src/ unit `source` may not include `target`, or None when it may."""
    rank = rank_of(source)
    if rank is None:
        return f"{source} has no rank: place it in scripts/check-layers.py"
    if target == PUBLIC:
        return "base and platform may not include the public API" if rank < MIDDLE else None
    if not target.startswith("src/"):
        return "the library and tools include only src/ and the public API"
    if rank == TOOLS:
        if target == "src/bin/common":
            return None
        return "a tool includes only the public API and bin/common"
    if rank == TOOL_COMMON:
        return "bin/common includes only the public API"
    target_rank = rank_of(target)
    if target_rank is None:
        return f"{target} has no rank: place it in scripts/check-layers.py"
    if target_rank < rank:
        return None
    pair = (source.removeprefix("src/"), target.removeprefix("src/"))
    if target_rank == rank and pair in SIDEWAYS:
        return None
    return "sideways include" if target_rank == rank else "upward include"


def may_include(source, target, path):
    """Why the file `path` of unit `source` may not include unit `target`, or None."""
    if source == PUBLIC or source.startswith("include"):
        return "the public API includes only itself and system headers"
    if source.startswith("src/"):
        return src_may_include(source, target)
    if source == "bench":
        if target == "tests/support" and path.endswith("_test.cc"):
            return None
        if target == PUBLIC or library_below_tools(target):
            return None
        return "bench includes the service and below and the public API"
    if source == "tests/consumer":
        return None if target == PUBLIC else "the consumer test includes only the public API"
    if source == "tests/support":
        if target == PUBLIC or library_below_tools(target):
            return None
        return "test support includes the service and below and the public API"
    if target == "tests/support":
        return None
    if source.startswith("tests/bin/"):
        tool = "src/" + source.removeprefix("tests/")
        if target in (tool, "src/bin/common", PUBLIC):
            return None
        return f"tests of {tool.removeprefix('src/')} include it, bin/common and the public API"
    if source.startswith("tests/"):
        tested = "src/" + source.removeprefix("tests/")
        if rank_of(tested) is None:
            return f"{source} tests no folder of src/ with a rank"
        same_layer = target.startswith("src/") and rank_of(target) == rank_of(tested)
        if target == tested or same_layer:
            return None
        reason = src_may_include(tested, target)
        return None if reason is None else f"{reason} (tests of {tested} include what it may)"
    return f"{source} has no rule"


def resolve(path, quoted, included):
    """The repository-relative file an include names, or None for a system header."""
    candidates = [os.path.join(os.path.dirname(path), included)] if quoted else []
    candidates += [os.path.join(root, included) for root in SEARCH_ROOTS]
    for candidate in candidates:
        if os.path.isfile(candidate):
            return os.path.relpath(os.path.realpath(candidate), REPO)
    return None


def scan():
    """(graph, violations): unit -> {unit: [where]}, and [(where, reason)]."""
    graph = {}
    violations = []
    for top in TOP_FOLDERS:
        for directory, folders, files in os.walk(os.path.join(REPO, top)):
            folders.sort()
            for name in sorted(files):
                if not name.endswith(SOURCE_SUFFIXES):
                    continue
                path = os.path.join(directory, name)
                rel = os.path.relpath(path, REPO)
                source = unit_of(rel)
                if source not in graph and source.startswith("src/") and rank_of(source) is None:
                    violations.append(
                        (rel, f"{source} has no rank: place it in scripts/check-layers.py"))
                graph.setdefault(source, {})
                with open(path, encoding="utf-8", errors="replace") as f:
                    text = f.read()
                for match in INCLUDE.finditer(text):
                    line = text.count("\n", 0, match.start()) + 1
                    included = match.group(2)
                    where = f'{rel}:{line}: #include {match.group(1)}{included}' + \
                        ('"' if match.group(1) == '"' else ">")
                    target_rel = resolve(path, match.group(1) == '"', included)
                    if target_rel is None:
                        if source.startswith("include") and included.startswith(THIRD_PARTY):
                            violations.append(
                                (where, "the public API includes no third-party header"))
                        continue
                    target = unit_of(target_rel)
                    if target is None or target == source:
                        continue
                    graph[source].setdefault(target, []).append(where)
                    reason = may_include(source, target, rel)
                    if reason is not None:
                        violations.append((where, f"{source} -> {target}: {reason}"))
    return graph, violations


def find_cycle(graph):
    """A list of units forming a cycle, or None."""
    state = {}  # unit -> 1 while on the stack, 2 when done
    stack = []

    def visit(node):
        state[node] = 1
        stack.append(node)
        for target in sorted(graph.get(node, {})):
            if state.get(target) == 1:
                return stack[stack.index(target):] + [target]
            if target not in state:
                found = visit(target)
                if found:
                    return found
        stack.pop()
        state[node] = 2
        return None

    for node in sorted(graph):
        if node not in state:
            found = visit(node)
            if found:
                return found
    return None


def main():
    graph, violations = scan()
    if "--graph" in sys.argv[1:]:
        for source in sorted(graph):
            for target in sorted(graph[source]):
                print(f"{source} -> {target}")
    failed = False
    for where, reason in violations:
        print(f"{where}\n    {reason}", file=sys.stderr)
        failed = True
    cycle = find_cycle(graph)
    if cycle is not None:
        print("folder include cycle: " + " -> ".join(cycle), file=sys.stderr)
        for source, target in zip(cycle, cycle[1:]):
            print(f"  {graph[source][target][0]}", file=sys.stderr)
        failed = True
    if failed:
        if violations:
            print(f"{len(violations)} include(s) against the layers", file=sys.stderr)
        return 1
    print(f"include layers: {len(graph)} folders, every include downwards, no cycle")
    return 0


if __name__ == "__main__":
    sys.exit(main())
