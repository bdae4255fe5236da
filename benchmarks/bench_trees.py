"""Times MaxTree and MinTree construction against numpy's stable argsort of the
same image, and reports memory per pixel.

Usage: bench_trees.py [--sizes 512 2048 4096] [--runs 5]

Each time is the median of several runs, printed as a ratio to the median
time of numpy.argsort(image, axis=None, kind="stable") measured in the same
run. Memory: the peak resident growth while building, and what stays with the
built tree, both per pixel.
"""
import argparse

import numpy as np

import _vexa
from vexa import images

from measure import median_time, memory_growth


def memory_per_pixel(kind, image, radius):
    """(peak growth, retained) in bytes per pixel while building one tree."""
    peak, retained = memory_growth(lambda: kind(image, radius))
    return peak / image.size, retained / image.size


def node_count(tree):
    pixel_map = tree.small_components if isinstance(tree, _vexa.MaxTree) else tree.small_component
    return max(pixel_map) + 1


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--sizes", type=int, nargs="+", default=[512, 2048, 4096])
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()

    makers = {"photo": images.photo_like, "smooth": images.smooth, "noise": images.noise}
    print(f"{'image':>13} {'argsort ms':>10} {'tree':>8} {'radius':>6} {'ms':>9} "
          f"{'x argsort':>9} {'nodes/px':>8} {'peak B/px':>9} {'kept B/px':>9}")
    for size in args.sizes:
        runs = args.runs if size <= 2048 else max(3, args.runs // 2)
        for name, make in makers.items():
            image = make(size, size, seed=1)
            base = median_time(lambda: np.argsort(image, axis=None, kind="stable"), runs)
            for kind in (_vexa.MaxTree, _vexa.MinTree):
                for radius in (1.0, 1.5):
                    t = median_time(lambda: kind(image, radius), runs)
                    peak, kept = memory_per_pixel(kind, image, radius)
                    nodes = node_count(kind(image, radius))
                    print(f"{name + ' ' + str(size):>13} {base * 1e3:10.1f} {kind.__name__:>8} "
                          f"{radius:6.1f} {t * 1e3:9.1f} {t / base:9.2f} {nodes / image.size:8.3f} "
                          f"{peak:9.1f} {kept:9.1f}", flush=True)


if __name__ == "__main__":
    main()
