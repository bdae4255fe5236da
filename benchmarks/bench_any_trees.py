"""Times vexa.max_tree on 16-bit, 32-bit integer, float and 3-D images against
numpy's stable argsort of the same array, and beside Higra where it is
importable.

Usage: bench_any_trees.py [--size 4096] [--volume 256] [--runs 3] [--core N]

Each time is the median of several runs, printed as a ratio to the median
time of numpy.argsort(x, axis=None, kind="stable") measured in the same run
("-" for Higra when it is not installed), and Higra's time over vexa's.
Memory: the peak resident growth while building, per pixel. --core N pins
the process to that core and vexa to one thread, to compare per core with
Higra (single-threaded).
"""
import argparse
import os

import numpy as np

import vexa

from measure import median_time, memory_growth

try:
    import higra
except ImportError:
    higra = None


def natural_field(shape, seed=1):
    """A 1/f field (natural-looking texture) scaled to [0, 1]."""
    rng = np.random.default_rng(seed)
    freqs = np.meshgrid(*[np.fft.fftfreq(n) for n in shape[:-1]], np.fft.rfftfreq(shape[-1]), indexing="ij",
                        sparse=True)
    radius = np.sqrt(sum(f * f for f in freqs))
    radius.flat[0] = 1.0
    spectrum = (rng.standard_normal(radius.shape) + 1j * rng.standard_normal(radius.shape)) / radius ** 1.6
    spectrum.flat[0] = 0
    field = np.fft.irfftn(spectrum, s=shape).astype(np.float32)
    field -= field.min()
    return field / field.max()


def higra_time(image, runs):
    if higra is None:
        return None
    if image.ndim == 2:
        graph = higra.get_4_adjacency_graph(image.shape)
    else:
        graph = higra.get_6_adjacency_implicit_graph(image.shape)
    return median_time(lambda: higra.component_tree_max_tree(graph, image), runs)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--size", type=int, default=4096)
    parser.add_argument("--volume", type=int, default=256)
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--core", type=int, default=None, help="pin to this core, vexa on one thread")
    args = parser.parse_args()
    if args.core is not None:
        os.sched_setaffinity(0, {args.core})
        vexa.set_num_threads(1)

    plane = natural_field((args.size, args.size))
    volume = natural_field((args.volume,) * 3, seed=2)
    noise = np.random.default_rng(3).random((args.size, args.size), dtype=np.float32)
    cases = [
        (f"{args.size}^2 uint16", (plane * 65535).astype(np.uint16)),
        (f"{args.size}^2 float32", plane),
        (f"{args.size}^2 f32 noise", noise),
        (f"{args.size}^2 int32", (plane * 1e6).astype(np.int32)),
        (f"{args.volume}^3 uint8", (volume * 255).astype(np.uint8)),
        (f"{args.volume}^3 float32", volume),
    ]
    del plane, volume, noise
    print(f"threads: {vexa.get_num_threads()}")
    print(f"{'image':>16} {'argsort ms':>10} {'tree ms':>9} {'x argsort':>9} {'higra x':>8} {'/vexa':>6} "
          f"{'nodes/px':>8} {'peak B/px':>9}")
    for name, image in cases:
        base = median_time(lambda: np.argsort(image, axis=None, kind="stable"), args.runs)
        t = median_time(lambda: vexa.max_tree(image), args.runs)
        peak, _ = memory_growth(lambda: vexa.max_tree(image))
        nodes = vexa.max_tree(image).num_nodes
        h = higra_time(image, args.runs)
        higra_column = f"{h / base:8.2f} {h / t:6.2f}" if h else f"{'-':>8} {'-':>6}"
        print(f"{name:>16} {base * 1e3:10.1f} {t * 1e3:9.1f} {t / base:9.2f} {higra_column} "
              f"{nodes / image.size:8.3f} {peak / image.size:9.1f}", flush=True)


if __name__ == "__main__":
    main()
