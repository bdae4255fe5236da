"""Models the cost of vexa.dask.area_opening on a volume far larger than this
machine, from per-chunk and per-merge costs measured here.

Usage: model_dask_cost.py [--chunk 128] [--pixels 1e11] [--machines 1 8 48]
                          [--bandwidth 1.25e9] [--dtype uint8]

1. Measures, in this process and on one core, the four kinds of task of a
   chunked filter on a 2 x 2 x 2 grid of --chunk³ chunks: a chunk's tree and
   boundary tree (up), a merge of two boundary trees, a merge handing its
   final values down, a chunk's output (down). Chunk tasks are costed per
   pixel, merges per pixel of the open faces of their two inputs, messages
   per byte of the pickled boundary trees.
2. Plays the same reduction over the chunk grid of a --pixels volume (a cube
   of --chunk³ chunks) on each number of machines (one single-threaded worker
   each): chunk tasks spread evenly, merges level by level (a level waits for
   the one below it), every merge's inputs sent over a link of --bandwidth
   bytes/s. Prints the time and the speed-up over one machine.
"""
import argparse
import math
import pickle
import time

import numpy as np

import vexa
from vexa.dask import _regions

from bench_dask import volume_like

AREA = 500


def timed(fn, *args):
    start = time.process_time()
    result = fn(*args)
    return time.process_time() - start, result


def face_pixels(tree) -> int:
    return 0 if tree is None else sum(int(face.size) for face in tree.faces.values())


def measure(chunk: int, dtype):
    """Seconds per chunk pixel (up, down), per open-face pixel (merge, down
    merge) and pickled bytes per open-face pixel."""
    shape = (2 * chunk,) * 3
    volume = volume_like(shape, dtype)
    job = _regions.Job("max", 1, "area", AREA, "direct", shape)
    boxes, up = {}, 0.0
    for index in np.ndindex(2, 2, 2):
        lo = tuple(i * chunk for i in index)
        hi = tuple(c + chunk for c in lo)
        seconds, (tree, _) = timed(_regions.up_chunk, volume[tuple(slice(a, b) for a, b in zip(lo, hi))],
                                   job, lo, hi)
        up += seconds
        boxes[index] = (tree, lo, hi)
    merged, merge_s, faces, sent = [], 0.0, 0, 0
    grid = np.empty((2, 2, 2), dtype=object)
    for index, (tree, _, _) in boxes.items():
        grid[index] = tree
    while grid.size > 1:
        axis = int(np.argmax(grid.shape))  # as vexa.dask: the axis with the most boxes
        shape_next = list(grid.shape)
        shape_next[axis] //= 2
        next_grid = np.empty(shape_next, dtype=object)
        for index in np.ndindex(*shape_next):
            first = list(index)
            first[axis] *= 2
            a = grid[tuple(first)]
            first[axis] += 1
            b = grid[tuple(first)]
            faces += face_pixels(a) + face_pixels(b)
            sent += len(pickle.dumps(a)) + len(pickle.dumps(b))
            seconds, (tree, state, _) = timed(_regions.merge, a, b, axis, job)
            merge_s += seconds
            merged.append(state)
            next_grid[index] = tree
        grid = next_grid
    down_merge_s = 0.0
    finals = [None]
    for state in merged[::-1]:  # the last merge first: each hands its values down
        seconds, _ = timed(_regions.down_merge, state, finals[0], 0, job)
        down_merge_s += seconds
    down = 0.0
    for index, (tree, lo, hi) in boxes.items():
        block = volume[tuple(slice(a, b) for a, b in zip(lo, hi))]
        # the chunk's share of the work does not depend on which final values it gets
        seconds, _ = timed(_regions.down_chunk, block, None, 0, job, lo, hi)
        down += seconds
    pixels = volume.size
    return {"up": up / pixels, "down": down / pixels, "merge": merge_s / faces,
            "down_merge": down_merge_s / faces, "bytes": sent / faces,
            "in_memory": timed(vexa.area_opening, volume, AREA)[0] / pixels}


def open_face_pixels(lo, hi, shape):
    total = 0
    for axis in range(3):
        across = math.prod(h - l for d, (l, h) in enumerate(zip(lo, hi)) if d != axis)
        total += across * ((lo[axis] > 0) + (hi[axis] < shape[axis]))
    return total


def play(costs, chunk: int, pixels: float, machines: int, bandwidth: float):
    """Seconds of the whole filter on ``machines`` single-core workers."""
    side = max(1, round((pixels / chunk ** 3) ** (1 / 3)))
    shape = (side * chunk,) * 3
    chunks = side ** 3
    rounds = math.ceil(chunks / machines)
    total = rounds * chunk ** 3 * (costs["up"] + costs["down"])
    grid = np.empty((side,) * 3, dtype=object)
    for index in np.ndindex(*grid.shape):
        grid[index] = (tuple(i * chunk for i in index), tuple((i + 1) * chunk for i in index))
    while grid.size > 1:
        axis = int(np.argmax(grid.shape))  # as vexa.dask: the axis with the most boxes
        shape_next = list(grid.shape)
        shape_next[axis] = math.ceil(shape_next[axis] / 2)
        next_grid = np.empty(shape_next, dtype=object)
        slowest, merges = 0.0, 0
        for index in np.ndindex(*shape_next):
            first = list(index)
            first[axis] *= 2
            left = grid[tuple(first)]
            if first[axis] + 1 == grid.shape[axis]:
                next_grid[index] = left
                continue
            first[axis] += 1
            right = grid[tuple(first)]
            faces = open_face_pixels(*left, shape) + open_face_pixels(*right, shape)
            seconds = faces * (costs["merge"] + costs["down_merge"])
            if machines > 1:
                seconds += faces * costs["bytes"] / bandwidth
            slowest = max(slowest, seconds)
            merges += 1
            next_grid[index] = (left[0], right[1])
        total += math.ceil(merges / machines) * slowest
        grid = next_grid
    return total, side ** 3 * chunk ** 3


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--chunk", type=int, default=128)
    parser.add_argument("--pixels", type=float, default=1e11)
    parser.add_argument("--machines", type=int, nargs="+", default=[1, 8, 48])
    parser.add_argument("--bandwidth", type=float, default=1.25e9, help="bytes/s between machines")
    parser.add_argument("--dtype", default="uint8")
    args = parser.parse_args()
    vexa.set_num_threads(1)
    costs = measure(args.chunk, np.dtype(args.dtype))
    print(f"measured on {args.chunk}^3 {args.dtype} chunks, area opening {AREA}, one core:")
    print(f"  chunk up {costs['up'] * 1e9:.0f} ns/px, chunk down {costs['down'] * 1e9:.0f} ns/px "
          f"(in memory, whole: {costs['in_memory'] * 1e9:.0f} ns/px)")
    print(f"  merge {costs['merge'] * 1e9:.0f} ns, down merge {costs['down_merge'] * 1e9:.0f} ns, "
          f"message {costs['bytes']:.0f} bytes per open-face pixel")
    one, modelled = play(costs, args.chunk, args.pixels, 1, args.bandwidth)
    print(f"\n{modelled:.3g} px in {args.chunk}^3 chunks:")
    print("| machines | hours | speed-up |")
    print("|---|---|---|")
    for machines in args.machines:
        seconds, _ = play(costs, args.chunk, args.pixels, machines, args.bandwidth)
        print(f"| {machines} | {seconds / 3600:.2f} | {one / seconds:.1f} |")


if __name__ == "__main__":
    main()
