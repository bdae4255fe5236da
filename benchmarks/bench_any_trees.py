"""Times vexa.max_tree on 16-bit, float and 3-D images against numpy's stable
argsort of the same array, and beside Higra where it is importable.

Usage: bench_any_trees.py [--size 4096] [--volume 256] [--runs 3]

Each time is the median of several runs, printed as a ratio to the median
time of numpy.argsort(x, axis=None, kind="stable") measured in the same run
("-" for Higra when it is not installed). Memory: the peak resident growth
while building, per pixel.
"""
import argparse

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
    if higra is None or image.ndim != 2:
        return None
    graph = higra.get_4_adjacency_graph(image.shape)
    return median_time(lambda: higra.component_tree_max_tree(graph, image), runs)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--size", type=int, default=4096)
    parser.add_argument("--volume", type=int, default=256)
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()

    plane = natural_field((args.size, args.size))
    volume = natural_field((args.volume,) * 3, seed=2)
    cases = [
        (f"{args.size}^2 uint16", (plane * 65535).astype(np.uint16)),
        (f"{args.size}^2 float32", plane),
        (f"{args.volume}^3 uint8", (volume * 255).astype(np.uint8)),
        (f"{args.volume}^3 float32", volume),
    ]
    del plane, volume
    print(f"threads: {vexa.get_num_threads()}")
    print(f"{'image':>16} {'argsort ms':>10} {'tree ms':>9} {'x argsort':>9} {'higra x':>8} {'nodes/px':>8} "
          f"{'peak B/px':>9}")
    for name, image in cases:
        base = median_time(lambda: np.argsort(image, axis=None, kind="stable"), args.runs)
        t = median_time(lambda: vexa.max_tree(image), args.runs)
        peak, _ = memory_growth(lambda: vexa.max_tree(image))
        nodes = vexa.max_tree(image).num_nodes
        h = higra_time(image, args.runs)
        higra_column = f"{h / base:8.2f}" if h else f"{'-':>8}"
        print(f"{name:>16} {base * 1e3:10.1f} {t * 1e3:9.1f} {t / base:9.2f} {higra_column} "
              f"{nodes / image.size:8.3f} {peak / image.size:9.1f}", flush=True)


if __name__ == "__main__":
    main()
