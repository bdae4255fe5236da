"""Times vexa.tree_of_shapes and vexa.grain_filter per core, against numpy's
stable argsort of the same image and against Higra's tree of shapes (with
``reconstruct_leaf_data`` for the grain filter) when Higra is importable.

Usage: bench_shapes.py [--size 2048] [--volume 128] [--runs 3]

The whole process is pinned to one CPU and vexa to one thread, so that every
ratio is per core. Each time is the median of several runs; "x argsort" is
the ratio to numpy.argsort(x, axis=None, kind="stable") of the same array,
"higra / vexa" how many times Higra's time vexa's is ("-" without Higra).
"kept B/px" is what the tree keeps (parents, levels, pixel map) per pixel;
"peak B/px" the peak resident growth while building. The natural image is
the bundled photograph upscaled; the volume a smooth random field. A 256^3
volume works too but builds on a Khalimsky grid of 138 million points (about
1.8 GB for vexa, several times that for Higra).
"""
import argparse
import os
import sys

import numpy as np
from PIL import Image

import vexa

from measure import median_time, memory_growth

PEERS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "shared", "peers")
if os.path.isdir(PEERS):
    sys.path.append(PEERS)
try:
    import higra
except ImportError:
    higra = None


def natural_image(size):
    """The bundled photograph, grey, upscaled to size x size (uint8)."""
    return np.asarray(Image.fromarray(vexa.default_image()).resize((size, size), Image.BICUBIC))


def smooth_volume(size, seed=2):
    """A smooth random field of size^3 uint8 voxels: low frequencies only."""
    rng = np.random.default_rng(seed)
    coarse = rng.random((max(size // 16, 2),) * 3)
    from scipy import ndimage
    field = ndimage.zoom(coarse, size / coarse.shape[0], order=3)[:size, :size, :size]
    field -= field.min()
    return (255 * field / field.max()).astype(np.uint8)


def higra_tree(image):
    return higra.component_tree_tree_of_shapes_image(image, padding="mean", original_size=True, immersion=True)


def higra_grain(image, threshold):
    tree, altitudes = higra_tree(image)
    removed = higra.attribute_area(tree) < threshold
    return higra.reconstruct_leaf_data(tree, altitudes, removed)


def kept_bytes(tree):
    return sum(np.asarray(a).nbytes for a in (tree.parents, tree.altitudes, tree.pixel_to_node))


def row(name, image, vexa_fn, higra_fn, runs, tree=None):
    base = median_time(lambda: np.argsort(image, axis=None, kind="stable"), runs)
    t = median_time(vexa_fn, runs)
    peak, _ = memory_growth(vexa_fn)
    h = median_time(higra_fn, max(1, runs // 2)) if higra is not None else None
    higra_column = f"{h / t:12.2f}" if h else f"{'-':>12}"
    kept = f"{kept_bytes(tree) / image.size:9.1f}" if tree is not None else f"{'-':>9}"
    print(f"{name:>22} {base * 1e3:10.1f} {t * 1e3:9.1f} {t / base:9.2f} {higra_column} {kept} "
          f"{peak / image.size:9.1f}", flush=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--size", type=int, default=2048)
    parser.add_argument("--volume", type=int, default=128)
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
    vexa.set_num_threads(1)

    plane = natural_image(args.size)
    volume = smooth_volume(args.volume)
    print(f"one core; higra: {'yes' if higra is not None else 'no'}")
    print(f"{'case':>22} {'argsort ms':>10} {'vexa ms':>9} {'x argsort':>9} {'higra / vexa':>12} "
          f"{'kept B/px':>9} {'peak B/px':>9}")
    for name, image in ((f"tree {args.size}^2 uint8", plane), (f"tree {args.volume}^3 uint8", volume)):
        row(name, image, lambda: vexa.tree_of_shapes(image), lambda: higra_tree(image), args.runs,
            vexa.tree_of_shapes(image))
    row(f"grain {args.size}^2 uint8", plane, lambda: vexa.grain_filter(plane, 64),
        lambda: higra_grain(plane, 64), args.runs)


if __name__ == "__main__":
    main()
