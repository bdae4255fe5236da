"""The dask graph of a chunked filter: one task per chunk up, a reduction
tree of merges over the chunk grid, the same tree down, one task per chunk
for its output. One graph layer, written directly (its size is linear in the
number of chunks)."""
import math
from operator import getitem
from typing import List

import dask.array as da
import numpy as np
from dask.base import tokenize
from dask.core import get_dependencies
from dask.highlevelgraph import HighLevelGraph

from ._regions import Job, down_chunk, down_merge, merge, up_chunk


class _Box:
    """A box of the reduction tree: a chunk, or the merge of two boxes; with
    the keys of its boundary tree, its count of maxima and its merge state."""

    def __init__(self, key, chunk=None, left=None, right=None, lo=None, hi=None):
        self.key, self.chunk, self.left, self.right, self.lo, self.hi = key, chunk, left, right, lo, hi


def _offsets(*counts) -> List[int]:
    """Where each box's numbering of maxima starts: after the boxes before it."""
    return np.concatenate([[0], np.cumsum(counts)[:-1]]).astype(int).tolist()


def _part(key, name):
    return (f"{key[0]}-{name}",) + key[1:]


def _rereader(source: dict, key):
    """What the down pass reads a chunk with: the chunk's own task again when
    it only reads storage or a whole array (zarr, ``da.from_array``), so
    that no chunk waits in memory between the passes; otherwise the chunk's
    key, whose result dask then keeps."""
    task = source.get(key, key)
    if all(isinstance(dependency, str) for dependency in get_dependencies(source, task=task)):
        return task
    return key


def filtered(x: da.Array, job: Job) -> da.Array:
    """The lazy output of ``job`` on the dask array ``x`` (no empty chunk),
    with ``x``'s chunks."""
    token = tokenize(x.name, job)
    up, down, out_name = f"vexa-up-{token}", f"vexa-down-{token}", f"vexa-{job.rule}-{token}"
    graph = {}
    source = dict(x.__dask_graph__())

    def parts(key, *names):  # a key per part of a task's result, so that each is freed once used
        for i, name in enumerate(names):
            graph[(f"{up}-{name}",) + key[1:]] = (getitem, key, i)

    starts = [np.concatenate([[0], np.cumsum(c)]).astype(int) for c in x.chunks]
    grid = np.empty(x.numblocks, dtype=object)
    count = 0
    for index in np.ndindex(*x.numblocks):
        lo = tuple(int(starts[d][i]) for d, i in enumerate(index))
        hi = tuple(int(starts[d][i + 1]) for d, i in enumerate(index))
        key = (up, count)
        graph[key] = (up_chunk, (x.name,) + index, job, lo, hi)
        parts(key, "boundary", "count")
        grid[index] = _Box(key, chunk=index, lo=lo, hi=hi)
        count += 1
    while grid.size > 1:
        axis = int(np.argmax(grid.shape))  # merge along the axis with the most boxes
        shape = list(grid.shape)
        shape[axis] = math.ceil(shape[axis] / 2)
        merged = np.empty(shape, dtype=object)
        for index in np.ndindex(*shape):
            first = list(index)
            first[axis] *= 2
            left = grid[tuple(first)]
            if first[axis] + 1 == grid.shape[axis]:
                merged[index] = left  # the odd box waits for the next round
                continue
            first[axis] += 1
            right = grid[tuple(first)]
            key = (up, count)
            graph[key] = (merge, _part(left.key, "boundary"), _part(right.key, "boundary"), axis, job)
            parts(key, "boundary", "state", "count")
            merged[index] = _Box(key, left=left, right=right)
            count += 1
        grid = merged
    root = grid.reshape(-1)[0]

    boxes: List[_Box] = []  # every box, parents before children
    stack = [root]
    while stack:
        box = stack.pop()
        boxes.append(box)
        if box.chunk is None:
            stack += [box.right, box.left]
    offsets = [0] * len(boxes)
    if job.rule == "maxima":
        graph[(down, "offsets")] = (_offsets, [_part(box.key, "count") for box in boxes])
        offsets = [(getitem, (down, "offsets"), i) for i in range(len(boxes))]
    finals = {root.key: None}
    for box, offset in zip(boxes, offsets):
        final = finals.pop(box.key)
        if box.chunk is None:
            key = (down,) + box.key[1:]
            graph[key] = (down_merge, _part(box.key, "state"), final, offset, job)
            finals[box.left.key], finals[box.right.key] = (getitem, key, 0), (getitem, key, 1)
        else:
            block = _rereader(source, (x.name,) + box.chunk)
            graph[(out_name,) + box.chunk] = (down_chunk, block, final, offset, job, box.lo, box.hi)
    layer = HighLevelGraph.from_collections(out_name, graph, dependencies=[x])
    dtype = np.dtype(np.uint64) if job.rule == "maxima" else x.dtype
    return da.Array(layer, out_name, chunks=x.chunks, dtype=dtype)
