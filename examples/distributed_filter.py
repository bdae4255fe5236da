"""Filters a stack of images on a dask.distributed cluster of processes.

Each task sends one numpy image to a worker process, which filters it with
vexa.area_opening and sends the result back: images travel, trees stay where
they are built. The same code runs on a cluster of machines by giving
Client the scheduler's address instead of a LocalCluster.

Usage: distributed_filter.py [--workers 2] [--images 16] [--size 1024]
"""
import argparse
import logging
import time

import numpy as np
from dask.distributed import Client, LocalCluster

import vexa
from vexa import images


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--images", type=int, default=16)
    parser.add_argument("--size", type=int, default=1024)
    args = parser.parse_args()
    stack = [images.photo_like(args.size, args.size, seed=seed) for seed in range(args.images)]

    start = time.perf_counter()
    serial = [vexa.area_opening(image, 100, connectivity=2) for image in stack]
    serial_s = time.perf_counter() - start

    # One single-threaded worker process per CPU: tree building holds the
    # interpreter lock, so threads of one process would take turns.
    with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                      dashboard_address=None, silence_logs=logging.ERROR) as cluster, Client(cluster) as client:
        client.run(lambda: __import__("vexa"))  # import once per worker, outside the timing
        start = time.perf_counter()
        futures = client.map(vexa.area_opening, stack, area_threshold=100, connectivity=2)
        filtered = client.gather(futures)
        cluster_s = time.perf_counter() - start

    assert all(np.array_equal(a, b) for a, b in zip(filtered, serial))
    print(f"{args.images} images of {args.size} x {args.size}: {serial_s:.2f} s in this process, "
          f"{cluster_s:.2f} s on {args.workers} worker processes (same pixels)")


if __name__ == "__main__":
    main()
