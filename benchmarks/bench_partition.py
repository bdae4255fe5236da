"""Times vexa.binary_partition_tree against VIGRA's hierarchical clustering
(and Higra's binary_partition_tree when it can be imported), side by side in
one run, and reports memory.

Usage: bench_partition.py [--runs 3] [--vigra-pixels-max 1024] [--skip-exact] [--noise-only]

1. From pixels, mean linkage: skimage's camera (512², grey) and astronaut
   (512², RGB), then vexa.images.photo_like at 512², 1024² and 2048² for the
   growth exponent of time in pixels (log t ratio / log pixel ratio). VIGRA:
   4-neighbourhood grid graph, agglomerative clustering on the distance of
   node means alone (beta 1, no Ward term) down to one region; it is timed up
   to --vigra-pixels-max per side (it needs minutes beyond). The other
   linkages are timed on camera.
2. From 10^4 and 10^5 superpixels of photo_like 2048² (the label maps of
   bench_bpt.py), mean linkage, 8-neighbourhood, against VIGRA's clustering on
   the region adjacency graph and the exact _vexa.BPT.
3. Memory: peak resident growth of one build per pixel, from pixels at 2048².
4. The exact _vexa.BPT on its hard case, one label per pixel on a constant
   image, each size in a fresh process: time and peak resident growth of the
   build, beside ours on the same input (skipped with --skip-exact).
5. Mean linkage on uniform noise, where one region absorbs its neighbours
   one by one: 128² to 1024² and 16³ to 80³ (6-neighbourhood), time per
   pixel and growth exponent between sizes, and noise 512² over the bundled
   512² image (vexa.default_image()). --noise-only runs this part alone.

Times are medians (wall, seconds); "x" columns are VIGRA's time over ours.
"""
import argparse
import math
import os
import subprocess
import sys

import numpy as np

import vexa
from vexa import images

from bench_bpt import quiet_stdout, superpixels, vigra_clustering
from measure import median_time, memory_growth

try:
    import vigra
except ImportError:
    vigra = None
try:
    import higra
except ImportError:
    higra = None


def ours(image, labels=None, linkage="mean", connectivity=1):
    return vexa.binary_partition_tree(image, labels, linkage, connectivity,
                                      channel_axis=-1 if image.ndim == 3 and labels is None else None)


def vigra_pixels(image):
    grey = image.ndim == 2
    grid = vigra.graphs.gridGraph(image.shape[:2], directNeighborhood=True)
    features = image.astype(np.float32)[..., None] if grey else image.astype(np.float32)
    weights = np.zeros(vigra.graphs.edgeFeaturesFromImage(grid, features[..., 0]).shape, np.float32)
    with quiet_stdout():
        return vigra.graphs.agglomerativeClustering(
            graph=grid, edgeWeights=weights, nodeFeatures=features, beta=1.0,
            metric="l1" if grey else "norm", wardness=0.0, nodeNumStop=1)


def higra_pixels(image):
    graph = higra.get_4_adjacency_graph(image.shape[:2])
    weights = higra.weight_graph(graph, image.astype(np.float64), higra.WeightFunction.L2)
    return higra.binary_partition_tree_average_linkage(graph, weights)


def row(name, t_ours, t_peer, pixels):
    peer = f"{t_peer:8.3f} {t_peer / t_ours:6.1f}x" if t_peer is not None else f"{'-':>8} {'-':>7}"
    print(f"{name:<28} {t_ours:8.3f} {peer} {t_ours / pixels * 1e9:9.1f}", flush=True)


def from_pixels(runs, vigra_max):
    from skimage import data
    print("\n1. From pixels, mean linkage (4-neighbourhood)")
    print(f"{'image':<28} {'ours s':>8} {'vigra s':>8} {'speed-up':>7} {'ns/pixel':>9}")
    cases = [("camera 512 grey", data.camera()), ("astronaut 512 RGB", data.astronaut())]
    cases += [(f"photo_like {n} grey", images.photo_like(n, n, seed=1)) for n in (512, 1024, 2048)]
    growth = {}
    for name, image in cases:
        side = image.shape[0]
        t = median_time(lambda: ours(image), runs if side <= 1024 else 1)
        t_vigra = None
        if vigra is not None and side <= vigra_max:
            t_vigra = median_time(lambda: vigra_pixels(image), 1)
        row(name, t, t_vigra, image.shape[0] * image.shape[1])
        if name.startswith("photo_like"):
            growth[side * side] = t
    sizes = sorted(growth)
    exponent = math.log(growth[sizes[-1]] / growth[sizes[0]]) / math.log(sizes[-1] / sizes[0])
    print(f"growth exponent of time in pixels, photo_like 512² to 2048²: {exponent:.2f}")

    camera = data.camera()
    print("\nOther linkages on camera 512 (ours s)" + ("" if higra else "; Higra not installed"))
    for linkage in ("min", "max", "average", "ward"):
        t = median_time(lambda: ours(camera, linkage=linkage), runs)
        peer = ""
        if higra is not None and linkage == "average":
            peer = f"  higra {median_time(lambda: higra_pixels(camera), runs):.3f}"
        print(f"  {linkage:<8} {t:8.3f}{peer}", flush=True)


def from_regions(runs):
    print("\n2. From superpixels of photo_like 2048², mean linkage (8-neighbourhood)")
    print(f"{'regions':>8} {'ours s':>8} {'vigra s':>8} {'speed-up':>7} {'exact s':>8}")
    image = images.photo_like(2048, 2048, seed=1)
    for regions in (10_000, 100_000):
        labels = superpixels(image, regions)
        t = median_time(lambda: ours(image, labels, connectivity=2), runs)
        t_exact = median_time(lambda: vexa.BPT(image, labels, vexa.Mean), runs)
        t_vigra = None
        if vigra is not None:
            labels32 = labels.astype(np.uint32)
            t_vigra = median_time(lambda: vigra_clustering(image, labels32), max(1, runs // 2))
        peer = f"{t_vigra:8.3f} {t_vigra / t:6.1f}x" if t_vigra else f"{'-':>8} {'-':>7}"
        print(f"{int(labels.max()) + 1:8d} {t:8.3f} {peer} {t_exact:8.3f}", flush=True)


def memory():
    print("\n3. Memory, from pixels, photo_like 2048² grey, mean linkage")
    image = images.photo_like(2048, 2048, seed=1)
    peak, kept = memory_growth(lambda: ours(image))
    pixels = image.size
    print(f"peak growth {peak / pixels:.0f} bytes/pixel ({peak / 2**20:.0f} MiB); "
          f"result kept {kept / pixels:.0f} bytes/pixel", flush=True)


CHILD = """
import sys, time
sys.path.insert(0, sys.argv[3])
import numpy as np
import _vexa, vexa
from measure import memory_growth
n, which = int(sys.argv[1]), sys.argv[2]
image = np.zeros((n, n), np.uint8)
labels = np.arange(n * n, dtype=np.int32).reshape(n, n)
if which == "exact":
    build = lambda: _vexa.BPT(image, labels, _vexa.Mean)
else:
    build = lambda: vexa.binary_partition_tree(image, labels, "mean", 2)
start = time.perf_counter()
peak = memory_growth(build)[0]
print(time.perf_counter() - start, peak)
"""


def exact_hard_case():
    print("\n4. One label per pixel on a constant image (8-neighbourhood), each in a fresh process")
    print(f"{'side':>5} {'exact s':>8} {'exact MiB':>9} {'ours s':>8} {'ours MiB':>8}")
    here = os.path.dirname(os.path.abspath(__file__))
    for n in (64, 96, 128):
        figures = []
        for which in ("exact", "ours"):
            out = subprocess.run([sys.executable, "-c", CHILD, str(n), which, here], capture_output=True,
                                 text=True, check=True).stdout.split()
            figures += [float(out[0]), float(out[1]) / 2**20]
        print(f"{n:5d} {figures[0]:8.2f} {figures[1]:9.1f} {figures[2]:8.3f} {figures[3]:8.1f}", flush=True)


def noise_sweep(runs):
    print("\n5. Mean linkage on uniform noise, from pixels (4- and 6-neighbourhood)")
    rng = np.random.default_rng(0)
    natural = median_time(lambda: ours(vexa.default_image()), runs)
    print(f"{'image':<16} {'ours s':>8} {'ns/pixel':>9} {'exponent':>8}")
    print(f"{'default 512²':<16} {natural:8.3f} {natural / 512**2 * 1e9:9.1f}", flush=True)
    for shapes in ([(n, n) for n in (128, 256, 512, 1024)], [(n, n, n) for n in (16, 32, 48, 64, 80)]):
        previous = None
        for shape in shapes:
            image = rng.random(shape)
            t = median_time(lambda: vexa.binary_partition_tree(image), runs if image.size <= 2**18 else 1)
            exponent = (f"{math.log(t / previous[1]) / math.log(image.size / previous[0]):8.2f}"
                        if previous else f"{'-':>8}")
            name = f"noise {shape[0]}" + ("²" if len(shape) == 2 else "³")
            print(f"{name:<16} {t:8.3f} {t / image.size * 1e9:9.1f} {exponent}", flush=True)
            if shape == (512, 512):
                noise512 = t
            previous = (image.size, t)
    print(f"noise 512² over default 512²: {noise512 / natural:.2f}x")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--vigra-pixels-max", type=int, default=1024)
    parser.add_argument("--skip-exact", action="store_true")
    parser.add_argument("--noise-only", action="store_true")
    args = parser.parse_args()
    if args.noise_only:
        noise_sweep(args.runs)
        return
    print(f"vigra {'not installed' if vigra is None else vigra.version}; "
          f"higra {'not installed' if higra is None else higra.__version__}")
    from_pixels(args.runs, args.vigra_pixels_max)
    from_regions(args.runs)
    memory()
    if not args.skip_exact:
        exact_hard_case()
    noise_sweep(args.runs)


if __name__ == "__main__":
    main()
