"""Tree building by thread count, as ratios to one thread.

Usage: bench_threads.py [--size 4096] [--runs 5] [--radius 1.5]

For a natural-looking and a noise image, times MaxTree construction
(8-adjacency by default) with the thread limit at 1, 2 and every CPU the process may
use (median of several runs), and prints each as a speed-up over one thread
measured in the same run. What limits the scaling: the k - 1 seams are
merged one after the other (their cost grows with k times the image width
times the depth of the trees along the seam), and the per-pixel passes share
the memory bandwidth.
"""
import argparse

import _vexa
import vexa
from vexa import images

from measure import median_time


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--size", type=int, default=4096)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--radius", type=float, default=1.5, help="adjacency radius (1: 4-, 1.5: 8-adjacency)")
    args = parser.parse_args()

    cpus = _vexa._allowed_cpus()
    counts = sorted({1, 2, cpus})
    saved = _vexa._thread_limit()
    print(f"CPUs allowed: {cpus}")
    print(f"{'image':>14} {'threads':>7} {'ms':>9} {'speed-up':>8}")
    try:
        for name, make in (("natural", images.photo_like), ("noise", images.noise)):
            image = make(args.size, args.size, seed=1)
            base = None
            for count in counts:
                vexa.set_num_threads(count)
                t = median_time(lambda: _vexa.MaxTree(image, args.radius), args.runs)
                base = base or t
                print(f"{name + ' ' + str(args.size):>14} {count:7d} {t * 1e3:9.1f} {base / t:8.2f}", flush=True)
    finally:
        _vexa._set_thread_limit(saved)


if __name__ == "__main__":
    main()
