"""The dask graph of a chunked filter: one task per chunk up, a reduction
tree of merges over the chunk grid, the same tree down, one task per chunk
for its output."""
import math
from typing import List

import dask
import dask.array as da
import numpy as np

from ._regions import Job, down_chunk, down_merge, merge, up_chunk


class _Node:
    """A box of the reduction tree: a chunk, or the merge of two boxes."""

    def __init__(self, boundary, chunk=None, left=None, right=None, state=None, count=None, lo=None, hi=None):
        self.boundary, self.chunk, self.left, self.right = boundary, chunk, left, right
        self.state, self.count, self.lo, self.hi = state, count, lo, hi


def _pairs_axis(shape) -> int:
    """The axis the next round merges along: the one with the most boxes."""
    return int(np.argmax(shape))


def filtered(x: da.Array, job: Job) -> da.Array:
    """The lazy output of ``job`` on the dask array ``x``, with ``x``'s chunks."""
    blocks = x.to_delayed()
    starts = [np.concatenate([[0], np.cumsum(c)]).astype(int) for c in x.chunks]
    up = dask.delayed(up_chunk, nout=2, pure=True)
    grid = np.empty(x.numblocks, dtype=object)
    for index in np.ndindex(*x.numblocks):
        lo = tuple(int(starts[d][i]) for d, i in enumerate(index))
        hi = tuple(int(starts[d][i + 1]) for d, i in enumerate(index))
        boundary, count = up(blocks[index], job, lo, hi)
        grid[index] = _Node(boundary, chunk=index, count=count, lo=lo, hi=hi)
    joined = dask.delayed(merge, nout=3, pure=True)
    while grid.size > 1:
        axis = _pairs_axis(grid.shape)
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
            boundary, state, count = joined(left.boundary, right.boundary, axis, job)
            merged[index] = _Node(boundary, left=left, right=right, state=state, count=count)
        grid = merged
    root = grid.reshape(-1)[0]

    nodes: List[_Node] = []  # every box, parents before children
    stack = [root]
    while stack:
        node = stack.pop()
        nodes.append(node)
        if node.chunk is None:
            stack += [node.right, node.left]
    offsets = [0] * len(nodes)
    if job.rule == "maxima":  # each box numbers its maxima after those of the boxes listed before it
        starts_of = dask.delayed(lambda *counts: np.concatenate([[0], np.cumsum(counts)[:-1]]).tolist(),
                                 pure=True)(*[node.count for node in nodes])
        offsets = [starts_of[i] for i in range(len(nodes))]

    down = dask.delayed(down_merge, nout=2, pure=True)
    out = np.empty(x.numblocks, dtype=object)
    dtype = np.dtype(np.uint64) if job.rule == "maxima" else x.dtype
    finals = {id(root): None}
    for node, offset in zip(nodes, offsets):
        final = finals.pop(id(node))
        if node.chunk is None:
            finals[id(node.left)], finals[id(node.right)] = down(node.state, final, offset, job)
            continue
        shape = tuple(h - l for l, h in zip(node.lo, node.hi))
        pixels = dask.delayed(down_chunk, pure=True)(blocks[node.chunk], final, offset, job, node.lo, node.hi)
        out[node.chunk] = da.from_delayed(pixels, shape=shape, dtype=dtype)
    return da.block(out.tolist())
