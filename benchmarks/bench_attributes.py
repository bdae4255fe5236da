"""Times Attributes beside the tree build on large synthetic images.

Usage: /usr/bin/python3 benchmarks/bench_attributes.py [--size 4096] [--runs 3] [--kinds noise ...]

For each image kind (photo-like, smooth, noise) and tree kind (MaxTree,
MinTree) it prints the node count, the median build time, the median
extraction time and their ratio attributes / build.
"""
import argparse

import _vexa
from vexa import images

from measure import median_time


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=4096, help="image side in pixels")
    parser.add_argument("--runs", type=int, default=3, help="runs per timing (median taken)")
    parser.add_argument("--radius", type=float, default=1.5, help="adjacency radius")
    parser.add_argument("--kinds", nargs="+", default=["photo_like", "smooth", "noise"],
                        choices=["photo_like", "smooth", "noise"], help="image kinds to time")
    args = parser.parse_args()

    print(f"{args.size}x{args.size}, radius {args.radius}, median of {args.runs} runs")
    print(f"{'image':<11}{'tree':<9}{'nodes':>10}{'build s':>10}{'attrs ms':>10}{'ratio':>9}")
    for kind in args.kinds:
        image = getattr(images, kind)(args.size, args.size)
        for tree_class in (_vexa.MaxTree, _vexa.MinTree):
            build = median_time(lambda: tree_class(image, args.radius), args.runs)
            tree = tree_class(image, args.radius)
            _vexa.Attributes(tree)  # the first extraction widens the boxes; time the steady state too
            attrs = median_time(lambda: _vexa.Attributes(tree=tree), args.runs)
            nodes = _vexa.Attributes(tree).num_nodes
            print(f"{kind:<11}{tree_class.__name__:<9}{nodes:>10}{build:>10.3f}{attrs * 1e3:>10.3f}"
                  f"{attrs / build:>9.5f}", flush=True)
            tree = None  # freed before the next image


if __name__ == "__main__":
    main()
