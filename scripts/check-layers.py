#!/usr/bin/env python3
"""Fails when the include graph between the folders of src/ has a cycle.

    scripts/check-layers.py [--graph]

A folder is a file's directory below src/ (bin/scan_bench, platform, ...); an
include "a/b.h" or <tessaly/b.h> found below src/ or include/ is an edge from
the including file's folder to the included file's. Includes within a folder
are free. With --graph the edges are printed as well.
"""

import os
import re
import sys

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
ROOTS = [os.path.join(REPO, "src"), os.path.join(REPO, "include")]
INCLUDE = re.compile(r'^\s*#\s*include\s*[<"]([^>"]+)[>"]', re.M)


def folder_of(path):
    for root in ROOTS:
        if path.startswith(root + os.sep):
            prefix = "include/" if root.endswith("include") else ""
            return prefix + os.path.dirname(os.path.relpath(path, root))
    return None


def edges():
    graph = {}
    for root in ROOTS:
        for directory, _, files in os.walk(root):
            for name in files:
                if not name.endswith((".h", ".cc")):
                    continue
                path = os.path.join(directory, name)
                source = folder_of(path)
                graph.setdefault(source, {})
                with open(path, encoding="utf-8", errors="replace") as f:
                    text = f.read()
                for included in INCLUDE.findall(text):
                    for base in ROOTS:
                        target_path = os.path.join(base, included)
                        if os.path.isfile(target_path):
                            target = folder_of(target_path)
                            if target != source:
                                graph[source].setdefault(target, []).append(
                                    f"{os.path.relpath(path, REPO)} includes {included}")
                            break
    return graph


def find_cycle(graph):
    """A list of folders forming a cycle, or None."""
    state = {}  # folder -> 1 while on the stack, 2 when done
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
    graph = edges()
    if "--graph" in sys.argv[1:]:
        for source in sorted(graph):
            for target in sorted(graph[source]):
                print(f"{source} -> {target}")
    cycle = find_cycle(graph)
    if cycle is None:
        print(f"folder include graph: {len(graph)} folders, no cycle")
        return 0
    print("folder include cycle: " + " -> ".join(cycle), file=sys.stderr)
    for source, target in zip(cycle, cycle[1:]):
        print(f"  {graph[source][target][0]}", file=sys.stderr)
    return 1


if __name__ == "__main__":
    sys.exit(main())
