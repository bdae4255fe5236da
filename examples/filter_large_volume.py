"""Filters a chunked volume on disk (zarr) on a dask.distributed cluster.

Makes a uint8 volume of the given shape as a zarr array in --output, chunk
by chunk (it is never whole in memory), opens it with dask, runs
vexa.dask.area_opening on a LocalCluster of worker processes and writes the
result next to it, with dask's progress bar. An area opening is not a local
filter: a bright structure may cross every chunk. vexa.dask builds a tree per
chunk and merges only the trees of the chunk borders, so the result is the
in-memory filter's, pixel for pixel. When the volume is small enough, a
cropped region is checked against vexa.area_opening of the whole volume.
At the end, the peak resident memory of every worker is printed.

Usage: filter_large_volume.py [--shape 128 256 256] [--chunks 64] [--workers 2]
                              [--memory-limit 3GiB] [--area 500] [--output .]
"""
import argparse
import logging
import os
import resource
import time

import numpy as np

import dask.array as da
from dask.distributed import Client, LocalCluster, progress, wait

import vexa
import vexa.dask

# Above this many pixels the in-memory check is skipped: the in-memory filter
# needs tens of bytes per pixel.
CHECK_LIMIT = 64 * 1024 * 1024


def make_block(block_info=None):
    """One chunk of a bright, blobby, noisy volume, from global coordinates,
    so that structures run across chunk borders."""
    info = block_info[None]
    (z0, z1), (y0, y1), (x0, x1) = info["array-location"]
    z, y, x = np.ogrid[z0:z1, y0:y1, x0:x1]
    waves = np.sin(z / 9.0) * np.sin(y / 13.0 + 1.0) * np.sin(x / 11.0 + 2.0)
    seed = (z0 * 7919 + y0) * 104729 + x0
    noise = np.random.default_rng(seed).integers(0, 48, size=(z1 - z0, y1 - y0, x1 - x0))
    return (110 + 90 * waves + noise).clip(0, 255).astype(np.uint8)


def write_volume(path: str, shape, chunks) -> da.Array:
    volume = da.map_blocks(make_block, dtype=np.uint8, chunks=da.core.normalize_chunks(chunks, shape))
    volume.to_zarr(path, overwrite=True)
    return da.from_zarr(path)


def peak_resident_bytes() -> int:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--shape", type=int, nargs=3, default=[128, 256, 256])
    parser.add_argument("--chunks", type=int, default=64, help="edge of the cubic chunks")
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--memory-limit", default="3GiB", help="per worker")
    parser.add_argument("--area", type=int, default=500, help="area_threshold")
    parser.add_argument("--output", default=".", help="folder of the two zarr arrays")
    args = parser.parse_args()
    os.makedirs(args.output, exist_ok=True)
    source = os.path.join(args.output, "volume.zarr")
    target = os.path.join(args.output, "opened.zarr")
    shape = tuple(args.shape)
    pixels = int(np.prod(shape))

    # One single-threaded worker process per core: each task builds the tree
    # of one chunk.
    with LocalCluster(n_workers=args.workers, threads_per_worker=1, processes=True,
                      memory_limit=args.memory_limit, dashboard_address=None,
                      silence_logs=logging.ERROR) as cluster, Client(cluster) as client:
        start = time.perf_counter()
        volume = write_volume(source, shape, (args.chunks,) * 3)
        print(f"wrote {shape} uint8 in chunks of {args.chunks}^3 to {source} "
              f"in {time.perf_counter() - start:.1f} s")

        start = time.perf_counter()
        opened = vexa.dask.area_opening(volume, area_threshold=args.area, connectivity=1)
        stored = client.compute(opened.to_zarr(target, overwrite=True, compute=False))
        progress(stored)
        wait(stored)
        stored.result()
        seconds = time.perf_counter() - start
        print(f"\narea opening of {pixels / 1e6:.0f} Mpx on {args.workers} workers: {seconds:.1f} s "
              f"({pixels / seconds / 1e6:.1f} Mpx/s)")
        peaks = client.run(peak_resident_bytes)
        for worker, peak in sorted(peaks.items()):
            print(f"  worker {worker}: peak resident memory {peak / 2 ** 30:.2f} GiB")

    if pixels > CHECK_LIMIT:
        print(f"in-memory check skipped: {pixels / 1e6:.0f} Mpx would need about "
              f"{pixels * 60 / 2 ** 30:.0f} GiB in one process")
        return
    whole = da.from_zarr(source).compute()
    expected = vexa.area_opening(whole, area_threshold=args.area, connectivity=1)
    crop = tuple(slice(n // 4, n // 4 + min(n // 2, 96)) for n in shape)
    got = da.from_zarr(target)[crop].compute()
    assert np.array_equal(got, expected[crop]), "the chunked result differs from the in-memory one"
    print(f"cropped region {[(s.start, s.stop) for s in crop]}: equal to the in-memory area_opening")


if __name__ == "__main__":
    main()
