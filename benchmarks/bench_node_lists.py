"""Times what the bindings hand to Python: node lists (fresh and already
handed out), a walk up parent links, and lists of ints.

Usage: bench_node_lists.py [--size 1024] [--runs 7]

Each time is the median of several runs, printed as a ratio to the median
time of list(range(n)) for a list of the same length, measured in the same
run: the cost of making n Python objects at all.
"""
import argparse

import _vexa
from vexa import images

from measure import median_time


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--size", type=int, default=1024)
    parser.add_argument("--runs", type=int, default=7)
    args = parser.parse_args()

    tree = _vexa.MaxTree(images.noise(args.size, args.size), 1.5)
    root, n = tree.root, len(tree.small_components)
    held = tree.nodes
    leaf = held[-1]

    def walk_up():
        x = leaf
        for _ in range(len(held)):
            x = x.parent if x.parent is not None else leaf
        return x

    # Fresh wrappers: a new tree each run, its nodes listed once.
    fresh_image = images.noise(args.size, args.size)
    cases = {
        "nodes, fresh": (lambda: _vexa.MaxTree(fresh_image, 1.5).nodes, len(held)),
        "nodes, already handed out": (lambda: tree.nodes, len(held)),
        "parent reads": (walk_up, len(held)),
        "small_components": (lambda: tree.small_components, n),
        "root.pixelsOfCC": (lambda: root.pixelsOfCC, n),
    }

    print(f"{args.size}x{args.size} noise, {len(held)} nodes, {n} pixels; median of {args.runs} runs")
    print(f"{'case':>26} {'ms':>9} {'x list(range)':>13}")
    for name, (fn, length) in cases.items():
        baseline = median_time(lambda: list(range(length)), args.runs)
        seconds = median_time(fn, args.runs)
        if name == "nodes, fresh":  # the build is not part of what is measured
            seconds -= median_time(lambda: _vexa.MaxTree(fresh_image, 1.5), args.runs)
        print(f"{name:>26} {seconds * 1e3:9.1f} {seconds / baseline:13.2f}")


if __name__ == "__main__":
    main()
