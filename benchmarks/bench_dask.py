"""Times vexa.dask's chunked area opening against the in-memory one, and its
scaling on a LocalCluster of one and two worker processes.

Usage: bench_dask.py [--size 4096] [--chunk 1024] [--volume 128 512 512]
                     [--volume-chunk 128] [--runs 3]

1. In one process: vexa.dask.area_opening of a --size² photo-like uint8 image
   in chunks of --chunk² on dask's threaded scheduler, as a ratio to
   vexa.area_opening of the whole image (both on every core), medians of
   --runs, the tasks taking turns.
2. Scaling: the same filter of a --volume uint8 volume on a LocalCluster of
   one, then two single-threaded worker processes: the speed-up of two.
Every result is checked equal to the in-memory one.
"""
import argparse
import logging
import statistics

import numpy as np

import dask
import dask.array as da
from dask.distributed import Client, LocalCluster

import vexa
import vexa.dask
from vexa import images

from measure import interleaved_times, median_time, paired_ratio

AREA = 500


def volume_like(shape, dtype=np.uint8, seed=3):
    """A blobby noisy volume: structures of every size across chunks; float
    ones get distinct levels (the largest boundary trees)."""
    rng = np.random.default_rng(seed)
    z, y, x = np.ogrid[:shape[0], :shape[1], :shape[2]]
    waves = np.sin(z / 9.0) * np.sin(y / 13.0 + 1.0) * np.sin(x / 11.0 + 2.0)
    field = 110 + 90 * waves + rng.integers(0, 48, size=shape)
    if np.issubdtype(dtype, np.floating):
        field = field + rng.random(shape)
    return field.clip(0, 255).astype(dtype)


def in_process(size, chunk, runs):
    image = images.photo_like(size, size, seed=5)
    expected = vexa.area_opening(image, AREA)
    chunked = da.from_array(image, chunks=chunk)
    with dask.config.set(scheduler="threads"):
        assert np.array_equal(vexa.dask.area_opening(chunked, AREA).compute(), expected)
        times = interleaved_times({
            "in memory": lambda: vexa.area_opening(image, AREA),
            "chunked": lambda: vexa.dask.area_opening(chunked, AREA).compute(),
        }, runs)
    print(f"{size}^2 uint8 photo, area opening {AREA}, chunks {chunk}^2, threaded scheduler")
    print(f"  in memory {statistics.median(times['in memory']):.2f} s, "
          f"chunked {statistics.median(times['chunked']):.2f} s: "
          f"chunked / in memory = {paired_ratio(times, 'chunked', 'in memory'):.2f} (target <= 2)")


def on_cluster(volume, chunk, workers, runs):
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None,
                      silence_logs=logging.ERROR) as cluster, Client(cluster) as client:
        client.run(lambda: __import__("vexa.dask"))
        chunked = da.from_array(volume, chunks=chunk)
        result = {}

        def run():
            result["pixels"] = vexa.dask.area_opening(chunked, AREA).compute()

        seconds = median_time(run, runs)
    return seconds, result["pixels"]


def scaling(shape, chunk, runs):
    volume = volume_like(tuple(shape))
    expected = vexa.area_opening(volume, AREA)
    one, pixels = on_cluster(volume, chunk, 1, runs)
    assert np.array_equal(pixels, expected)
    two, pixels = on_cluster(volume, chunk, 2, runs)
    assert np.array_equal(pixels, expected)
    print(f"{'x'.join(map(str, shape))} uint8 volume, area opening {AREA}, chunks {chunk}^3, LocalCluster")
    print(f"  1 worker {one:.2f} s, 2 workers {two:.2f} s: speed-up {one / two:.2f} (target >= 1.6)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=4096)
    parser.add_argument("--chunk", type=int, default=1024)
    parser.add_argument("--volume", type=int, nargs=3, default=[128, 512, 512])
    parser.add_argument("--volume-chunk", type=int, default=128)
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    in_process(args.size, args.chunk, args.runs)
    scaling(args.volume, args.volume_chunk, args.runs)


if __name__ == "__main__":
    main()
