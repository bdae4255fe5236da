"""Tree building by thread count, as ratios to one thread.

Usage: bench_threads.py [--size 4096] [--runs 5] [--radius 1.5]
       bench_threads.py --wide [--size 4096] [--volume 256] [--runs 5]

For a natural-looking and a noise image, times MaxTree construction
(8-adjacency by default) with the thread limit at 1, 2 and every CPU the process may
use (median of several runs), and prints each as a speed-up over one thread
measured in the same run. What limits the scaling: the per-pixel passes
share the memory bandwidth, and part of the seam merge (the union-find over
the components along the seams and their ancestors) runs on one thread.

--wide times vexa.max_tree of float32 noise (size^2) and uint16 noise
(volume^3, 6-adjacency) with the thread limit at 1 and 2, the tasks taking
turns in each round, and prints the median over rounds of the ratio of the
two times; then the uint16 volume built as one band and as 8 bands (on the
threads allowed), the ratio of 8 bands' time to one band's.
"""
import argparse
import os
import statistics

import numpy as np

import _vexa
import vexa
from vexa import images

from measure import interleaved_times, median_time, paired_ratio


def wide(args):
    rng = np.random.default_rng(1)
    cases = [(f"{args.size}^2 float32 noise", rng.random((args.size, args.size), dtype=np.float32)),
             (f"{args.volume}^3 uint16 noise", rng.integers(0, 65536, (args.volume,) * 3).astype(np.uint16))]
    saved = _vexa._thread_limit()
    print(f"CPUs allowed: {_vexa._allowed_cpus()}, load average {os.getloadavg()[0]:.1f} (other processes share them)")
    try:
        for name, image in cases:
            def build(count):
                def run():
                    vexa.set_num_threads(count)
                    return vexa.max_tree(image)
                return run
            times = interleaved_times({1: build(1), 2: build(2)}, args.runs)
            print(f"{name:>22}: 1 thread {statistics.median(times[1]):6.2f} s, 2 threads "
                  f"{statistics.median(times[2]):6.2f} s, speed-up {paired_ratio(times, 1, 2):5.2f}", flush=True)
        _vexa._set_thread_limit(saved)
        volume = cases[1][1]
        times = interleaved_times({b: (lambda b=b: _vexa._component_tree(volume, 1, True, b)) for b in (1, 8)},
                                  args.runs)
        print(f"{cases[1][0]:>22}: 1 band {statistics.median(times[1]):6.2f} s, 8 bands "
              f"{statistics.median(times[8]):6.2f} s, 8 bands / 1 band {paired_ratio(times, 8, 1):5.2f}")
        print(f"load average after: {os.getloadavg()[0]:.1f}")
    finally:
        _vexa._set_thread_limit(saved)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--size", type=int, default=4096)
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--radius", type=float, default=1.5, help="adjacency radius (1: 4-, 1.5: 8-adjacency)")
    parser.add_argument("--wide", action="store_true", help="float32 and uint16 noise through vexa.max_tree")
    parser.add_argument("--volume", type=int, default=256, help="edge of the --wide volume")
    args = parser.parse_args()
    if args.wide:
        return wide(args)

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
