"""Times the binary partition tree against VIGRA's region adjacency graph with
mean-level hierarchical clustering, side by side in one run, and reports the
peak memory of both.

Usage: bench_bpt.py [--size 2048] [--regions 10000 100000] [--runs 5]

The image is vexa.images.photo_like; the label maps are superpixels seeded on
a jittered grid (one seed per cell), each pixel going to the nearest of the
nine seeds around its cell by a distance that adds grey-level difference to
spatial distance, so region borders follow the image.

Ours: _vexa.BPT(image, labels, Mean), from the two arrays to the finished tree.
VIGRA: 8-neighbourhood grid graph, region adjacency graph, mean grey level and
size per region, then agglomerative clustering on the l1 distance of region
means alone (beta 1, no Ward term) down to one region. Its progress lines go
to /dev/null. The VIGRA columns read "-" when vigra cannot be imported.

Times are medians of several runs; memory is the peak resident growth of one
build, in MiB.
"""
import argparse
import contextlib
import os

import numpy as np

import _vexa
from vexa import images

from measure import median_time, memory_growth

try:
    import vigra
except ImportError:  # the comparison is optional
    vigra = None


def superpixels(image, regions, seed=0, compactness=8.0):
    """A label map of about `regions` int32 labels numbered from 0."""
    h, w = image.shape
    step = np.sqrt(h * w / regions)
    gy, gx = max(1, round(h / step)), max(1, round(w / step))
    rng = np.random.default_rng(seed)
    seed_y = (np.arange(gy)[:, None] + rng.uniform(0.2, 0.8, (gy, gx))) * (h / gy)
    seed_x = (np.arange(gx)[None, :] + rng.uniform(0.2, 0.8, (gy, gx))) * (w / gx)
    seed_grey = image[seed_y.astype(int), seed_x.astype(int)].astype(np.float32)
    yy = np.arange(h, dtype=np.float32)[:, None]
    xx = np.arange(w, dtype=np.float32)[None, :]
    cell_y = np.minimum((np.arange(h) * gy) // h, gy - 1)[:, None]
    cell_x = np.minimum((np.arange(w) * gx) // w, gx - 1)[None, :]
    grey = image.astype(np.float32)
    best = np.full((h, w), np.inf, np.float32)
    labels = np.zeros((h, w), np.int32)
    scale = np.float32((compactness / step) ** 2)
    for dy in (-1, 0, 1):
        for dx in (-1, 0, 1):
            cy = np.clip(cell_y + dy, 0, gy - 1)
            cx = np.clip(cell_x + dx, 0, gx - 1)
            d = ((yy - seed_y[cy, cx]) ** 2 + (xx - seed_x[cy, cx]) ** 2) * scale
            d += (grey - seed_grey[cy, cx]) ** 2
            closer = d < best
            best[closer] = d[closer]
            labels[closer] = np.broadcast_to(cy * gx + cx, (h, w))[closer]
    # Number the labels that occur 0..n-1, as VIGRA's graph expects.
    _, labels = np.unique(labels, return_inverse=True)
    return labels.reshape(h, w).astype(np.int32)


def ours(image, labels):
    return _vexa.BPT(image, labels, _vexa.Mean)


@contextlib.contextmanager
def quiet_stdout():
    """Sends the C-level standard output to /dev/null (VIGRA prints progress)."""
    import sys
    sys.stdout.flush()
    saved = os.dup(1)
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 1)
    try:
        yield
    finally:
        os.dup2(saved, 1)
        os.close(null)
        os.close(saved)


def vigra_clustering(image, labels):
    grid = vigra.graphs.gridGraph(image.shape, directNeighborhood=False)
    rag = vigra.graphs.regionAdjacencyGraph(grid, labels)
    means = rag.accumulateNodeFeatures(image.astype(np.float32))
    with quiet_stdout():
        result = vigra.graphs.agglomerativeClustering(
            graph=rag, edgeWeights=np.zeros(rag.edgeNum, np.float32),
            nodeFeatures=means.reshape(-1, 1), beta=1.0, metric="l1", wardness=0.0,
            nodeNumStop=1)
    return rag, result


def peak_memory(fn):
    """Peak resident growth in bytes while fn runs (its result kept until the end)."""
    return memory_growth(fn)[0]


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--size", type=int, default=2048)
    parser.add_argument("--regions", type=int, nargs="+", default=[10_000, 100_000])
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()

    image = images.photo_like(args.size, args.size, seed=1)
    mib = 1 / 2 ** 20
    print(f"image photo_like {args.size}x{args.size}; vigra "
          f"{'not installed' if vigra is None else vigra.version}")
    print(f"{'regions':>8} {'ours ms':>8} {'vigra ms':>9} {'speed-up':>8} "
          f"{'ours MiB':>8} {'vigra MiB':>9} {'labels MiB':>10}")
    for regions in args.regions:
        labels = superpixels(image, regions)
        count = int(labels.max()) + 1
        t_ours = median_time(lambda: ours(image, labels), args.runs)
        m_ours = peak_memory(lambda: ours(image, labels))
        if vigra is not None:
            labels32 = labels.astype(np.uint32)
            t_vigra = median_time(lambda: vigra_clustering(image, labels32), max(1, args.runs // 2))
            m_vigra = peak_memory(lambda: vigra_clustering(image, labels32))
            vigra_cols = f"{t_vigra * 1e3:9.1f} {t_vigra / t_ours:7.1f}x"
            vigra_mem = f"{m_vigra * mib:9.1f}"
        else:
            vigra_cols, vigra_mem = f"{'-':>9} {'-':>8}", f"{'-':>9}"
        print(f"{count:8d} {t_ours * 1e3:8.1f} {vigra_cols} {m_ours * mib:8.1f} {vigra_mem} "
              f"{labels.nbytes * mib:10.1f}", flush=True)


if __name__ == "__main__":
    main()
