#!/usr/bin/env python3
"""Checks the include graph of the source tree against its layers.

The product's folders stand in this order, each on the ones before it:

    abi < io < archive < formats < component < host < tools

A file may include headers of its own folder and of folders earlier in the
order, never of a later one; a format's folder (formats/gzip/, ...) does
not include another format's. tests/, fuzz/ and bench/ may include
anything. No two files use each other, directly or through others: taking
a header and its .cpp as one unit, every loop of includes between units is
reported, wherever it lies.

Prints one line per violation and exits 1 when there is any, 0 otherwise.

    scripts/check_layers.py [ROOT]      (default: the checkout holding this script)
"""
import os
import re
import sys

LAYERS = ["abi", "io", "archive", "formats", "component", "host", "tools"]
FREE = ["tests", "fuzz", "bench"]
SOURCE = re.compile(r"\.(h|cpp)$")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def sources(root):
    for top in LAYERS + FREE:
        for folder, _, names in os.walk(os.path.join(root, top)):
            for name in sorted(names):
                if SOURCE.search(name):
                    yield os.path.relpath(os.path.join(folder, name), root).replace(os.sep, "/")


def includes(root, path):
    """The project headers `path` includes, with their line numbers."""
    found = []
    with open(os.path.join(root, path), encoding="utf-8", errors="replace") as f:
        for number, line in enumerate(f, 1):
            m = INCLUDE.match(line)
            if m and os.path.isfile(os.path.join(root, m.group(1))):
                found.append((m.group(1), number))
    return found


def layer_of(path):
    top = path.split("/", 1)[0]
    return LAYERS.index(top) if top in LAYERS else None


def format_of(path):
    parts = path.split("/")
    return parts[1] if parts[0] == "formats" and len(parts) > 2 else None


def layer_violations(graph):
    for path, edges in sorted(graph.items()):
        own = layer_of(path)
        if own is None:
            continue
        for target, line in edges:
            other = layer_of(target)
            if other is not None and other > own:
                yield f"{path}:{line}: includes {target}, from {LAYERS[other]}/, above {LAYERS[own]}/"
            elif format_of(path) and format_of(target) and format_of(path) != format_of(target):
                yield f"{path}:{line}: includes {target}, another format's header"


def unit_graph(graph):
    """The include graph between units: a header and its .cpp are one unit,
    named by their path without the extension."""
    units = {}
    for path, edges in graph.items():
        unit = SOURCE.sub("", path)
        targets = units.setdefault(unit, [])
        for target, line in edges:
            other = SOURCE.sub("", target)
            if other != unit and other not in [t for t, _ in targets]:
                targets.append((other, line))
    return units


def cycles(graph):
    """Strongly connected components of more than one unit, each as one
    path around it (Tarjan's algorithm)."""
    index, low, stack, on_stack, found = {}, {}, [], set(), []
    counter = [0]

    def visit(start):
        # Iterative, so that deep include chains do not meet the recursion limit.
        work = [(start, iter(graph.get(start, [])))]
        index[start] = low[start] = counter[0]
        counter[0] += 1
        stack.append(start)
        on_stack.add(start)
        while work:
            node, edges = work[-1]
            advanced = False
            for target, _ in edges:
                if target not in graph:
                    continue
                if target not in index:
                    index[target] = low[target] = counter[0]
                    counter[0] += 1
                    stack.append(target)
                    on_stack.add(target)
                    work.append((target, iter(graph[target])))
                    advanced = True
                    break
                if target in on_stack:
                    low[node] = min(low[node], index[target])
            if advanced:
                continue
            work.pop()
            if work:
                parent = work[-1][0]
                low[parent] = min(low[parent], low[node])
            if low[node] == index[node]:
                component = []
                while True:
                    member = stack.pop()
                    on_stack.discard(member)
                    component.append(member)
                    if member == node:
                        break
                if len(component) > 1:
                    found.append(sorted(component))

    for node in sorted(graph):
        if node not in index:
            visit(node)
    return found


def describe_cycle(graph, component):
    """One loop through the component, starting at its first file."""
    members = set(component)
    path, seen, node = [component[0]], {component[0]}, component[0]
    while True:
        step = next(t for t, _ in graph[node] if t in members)
        path.append(step)
        if step in seen:
            return " -> ".join(path[path.index(step):])
        seen.add(step)
        node = step


def main():
    root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "..")
    root = os.path.abspath(root)
    graph = {path: includes(root, path) for path in sources(root)}
    problems = list(layer_violations(graph))
    units = unit_graph(graph)
    problems += ["include cycle: " + describe_cycle(units, c) for c in cycles(units)]
    for p in problems:
        print(p)
    if problems:
        print(f"check_layers: {len(problems)} problem(s)", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
