"""vexa's attribute openings and closings against scikit-image's (and Higra's,
when it can be imported), on the same photo-like image in one run.

Usage: bench_morphology.py [--sizes 2048 4096] [--runs 3] [--peer-runs 1]

For each function and size it prints vexa's median time, the peers' times and
the ratios peer / vexa (how many times faster vexa is), after checking that
vexa's pixels equal scikit-image's. scikit-image is slow on large images (its
diameter opening takes minutes at 4096 x 4096), so it runs --peer-runs times.
Higra's pipeline is its component tree, the attribute and a direct filter.
"""
import argparse
import statistics
import time

import numpy as np
from skimage import morphology

import vexa
from vexa import images

from measure import median_time

try:
    import higra as hg
except ImportError:
    hg = None

# name, vexa's call, scikit-image's call (None where it has no such filter)
CASES = [
    ("area_opening", lambda im: vexa.area_opening(im, 64), lambda im: morphology.area_opening(im, 64)),
    ("area_closing", lambda im: vexa.area_closing(im, 64), lambda im: morphology.area_closing(im, 64)),
    ("diameter_opening", lambda im: vexa.diameter_opening(im, 8), lambda im: morphology.diameter_opening(im, 8)),
    ("diameter_closing", lambda im: vexa.diameter_closing(im, 8), lambda im: morphology.diameter_closing(im, 8)),
    ("max_tree_local_maxima", vexa.max_tree_local_maxima, morphology.max_tree_local_maxima),
    ("volume_opening", lambda im: vexa.volume_opening(im, 500), None),
    ("contrast_opening", lambda im: vexa.contrast_opening(im, 20), None),
]


def timed(fn, runs):
    """Median wall time of fn in seconds, and its last result."""
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times), result


def higra_area_opening(image):
    graph = hg.get_4_adjacency_graph(image.shape)
    tree, altitudes = hg.component_tree_max_tree(graph, image)
    area = hg.attribute_area(tree)
    return hg.reconstruct_leaf_data(tree, altitudes, area < 64)


HIGRA = {"area_opening": higra_area_opening}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[2048, 4096])
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--peer-runs", type=int, default=1)
    args = parser.parse_args()

    print(f"{'function':<22} {'size':>5} {'vexa ms':>9} {'skimage ms':>11} {'x skimage':>10} "
          f"{'higra ms':>9} {'x higra':>8}")
    for size in args.sizes:
        image = images.photo_like(size, size, seed=7)
        for _, ours, _ in CASES:  # first calls pay for lazy set-up, not timed
            ours(image)
        for name, ours, theirs in CASES:
            ours_ms = median_time(lambda: ours(image), args.runs) * 1e3
            row = f"{name:<22} {size:>5} {ours_ms:>9.1f}"
            if theirs is not None:
                peer_s, want = timed(lambda: theirs(image), args.peer_runs)
                assert np.array_equal(ours(image), want), name
                peer_ms = peer_s * 1e3
                row += f" {peer_ms:>11.1f} {peer_ms / ours_ms:>10.1f}"
            else:
                row += f" {'-':>11} {'-':>10}"
            if hg is not None and name in HIGRA:
                higra_ms = median_time(lambda: HIGRA[name](image), args.runs) * 1e3
                row += f" {higra_ms:>9.1f} {higra_ms / ours_ms:>8.1f}"
            else:
                row += f" {'-':>9} {'-':>8}"
            print(row, flush=True)


if __name__ == "__main__":
    main()
