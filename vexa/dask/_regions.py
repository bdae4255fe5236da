"""The boundary trees of boxes of the image, and the passes over them.

Every task of the chunked filters calls one function here: :func:`up_chunk`
(a chunk's boundary tree), :func:`merge` (two adjacent boxes' boundary trees
into the boundary tree of their union), :func:`down_merge` (the final values
of a merge's nodes, handed to its two inputs) and :func:`down_chunk` (a
chunk's output pixels). Trees are max-trees or min-trees (``Job.kind``);
a chunk's node ids list parents first (the root is node 0), a merge's
follow its vertices.

A box's *open faces* are its faces shared with the rest of the image. Its
boundary tree holds the nodes with a pixel on an open face, and their
ancestors; the other nodes are final (their component and their parent are
those of the whole image). Per boundary node it keeps its level, its parent,
and accumulators that merge across boxes:

- ``area``, ``level_sum``: sums over the node's *own* part (its pixels and
  its descendants outside the boundary tree);
- ``extreme`` (the highest level of a max-tree's component, the lowest of a
  min-tree's), ``box_lo``, ``box_hi``, ``last_pixel``: extremes over its
  whole subtree in the box (extremes may count a pixel twice);

each only when the job needs it (:func:`accumulators`), and
- ``has_child``: whether it has a child in some box; ``desc_pass``: whether a
  final node of its own part passes the threshold (the ``max`` rule).
"""
from typing import Dict, NamedTuple, Optional, Tuple

import numpy as np
import torch

import _vexa
from .. import trees
from ..morphology import _scatter
from ..tree import SYNONYMS, box_attribute, extents, level_range_height, one_sided_volume

Faces = Dict[Tuple[int, int], np.ndarray]


class Job(NamedTuple):
    """What the filter does: everything a task needs besides its data."""
    kind: str                  # "max" or "min": the tree
    connectivity: int          # at most the image's ndim
    attribute: Optional[str]   # a vexa.Tree attribute name, None for the maxima labels
    threshold: float
    rule: str                  # "direct", "min", "max", or "maxima" (labels of the leaves)
    shape: Tuple[int, ...]     # of the whole image


def accumulators(job: Job) -> Tuple[Tuple[str, ...], Dict[str, str]]:
    """The accumulators the job needs: (sums over own parts, {extreme over
    subtrees: "amax" or "amin"})."""
    name = SYNONYMS.get(job.attribute, job.attribute)
    sums = ("area", "level_sum") if name in ("volume", "mean_level") else ("area",)
    extremes = {}
    if name == "height":  # the other end of a component's levels is its node's level
        extremes["extreme"] = "amax" if job.kind == "max" else "amin"
    elif name not in ("area", "volume", "mean_level", None):  # the bounding box
        extremes.update(box_lo="amin", box_hi="amax")
    if job.rule == "maxima":
        extremes["last_pixel"] = "amax"
    return sums, extremes


class BoundaryTree(NamedTuple):
    lo: Tuple[int, ...]
    hi: Tuple[int, ...]
    parents: np.ndarray        # int64 (K,), -1 for the root
    levels: np.ndarray         # (K,), the image's dtype
    sums: Dict[str, np.ndarray]      # over the own part: area (int64), level_sum (float64)
    # over the subtree: extreme level (float64), box_lo and box_hi ((K, ndim) image
    # coordinates), last_pixel (the largest linear index)
    extremes: Dict[str, np.ndarray]
    has_child: np.ndarray      # bool
    desc_pass: np.ndarray      # bool
    faces: Faces               # (axis, side) -> node ids over the face


class Final(NamedTuple):
    """Final values of some nodes, handed down to the boxes they came from."""
    out: np.ndarray            # the output level (image dtype) or label (int64)
    all_pass: np.ndarray       # bool: the node and all its ancestors pass (the min rule)


def open_faces(lo, hi, shape):
    """The (axis, side) of the faces of box [lo, hi) inside the image."""
    faces = []
    for axis, size in enumerate(shape):
        if lo[axis] > 0:
            faces.append((axis, 0))
        if hi[axis] < size:
            faces.append((axis, 1))
    return faces


# ---- per chunk ------------------------------------------------------------------

class _Chunk(NamedTuple):
    tree: object               # vexa.ComponentTree of the chunk
    parents: np.ndarray
    native: object
    kept: np.ndarray           # bool: the nodes of the boundary tree
    faces: Faces               # local node ids over the open faces
    passes: Optional[np.ndarray]
    has_child: np.ndarray


def _chunk(block: np.ndarray, job: Job, lo, hi) -> _Chunk:
    """The chunk's tree (one thread: dask runs chunks side by side), its
    boundary nodes and local attributes. Deterministic: the up and down
    passes rebuild the same ids."""
    array = np.ascontiguousarray(block, dtype=block.dtype.newbyteorder("="))
    tree = trees._build(array, job.connectivity, job.kind, bands=1)
    parents = tree.parents
    native = tree._native
    pixel_to_node = tree.pixel_to_node
    faces = {}
    for axis, side in open_faces(lo, hi, job.shape):
        faces[(axis, side)] = np.take(pixel_to_node, 0 if side == 0 else -1, axis=axis)
    on_face = np.zeros(tree.num_nodes, dtype=bool)
    for ids in faces.values():
        on_face[ids.reshape(-1)] = True
    kept = native.reduce(torch.from_numpy(on_face), "max", "subtree", 0.0).numpy()
    passes = None if job.attribute is None else tree.attribute(job.attribute) >= job.threshold
    has_child = np.zeros(tree.num_nodes, dtype=bool)
    has_child[parents[1:]] = True
    return _Chunk(tree, parents, native, kept, faces, passes, has_child)


def _last_pixels(chunk: _Chunk, job: Job, lo) -> np.ndarray:
    """Per node of a chunk, the largest linear index (in the whole image) of
    a pixel of its subtree."""
    pixel_to_node = chunk.tree.pixel_to_node
    grid = np.indices(pixel_to_node.shape, sparse=True)
    index = np.ravel_multi_index(tuple(g + o for g, o in zip(grid, lo)), job.shape)
    last = _scatter(torch.full((chunk.tree.num_nodes,), -1, dtype=torch.int64),
                    torch.from_numpy(pixel_to_node.reshape(-1)), torch.from_numpy(index.reshape(-1)), "amax")
    return chunk.native.reduce(last, "max", "subtree", 0.0).numpy()


def up_chunk(block: np.ndarray, job: Job, lo, hi) -> Tuple[Optional[BoundaryTree], int]:
    """(the chunk's boundary tree, None for a chunk that is the whole image;
    how many maxima it numbers: its leaves outside the boundary tree)."""
    chunk = _chunk(block, job, lo, hi)
    tree = chunk.tree
    count = int((~chunk.has_child & ~chunk.kept).sum()) if job.rule == "maxima" else 0
    if not chunk.kept.any():
        return None, count
    sum_names, extreme_names = accumulators(job)
    counts = tree.compact_counts
    sums = {"area": counts}
    if "level_sum" in sum_names:
        sums["level_sum"] = counts * tree.levels.astype(np.float64)
    extremes = {}
    if "extreme" in extreme_names:
        extremes["extreme"] = tree._level_range()[0 if job.kind == "max" else 1]
    if "box_lo" in extreme_names:
        box = tree.bbox + np.asarray(lo, dtype=np.int64)[:, None]
        extremes["box_lo"], extremes["box_hi"] = box[:, :, 0], box[:, :, 1]
    if "last_pixel" in extreme_names:
        extremes["last_pixel"] = _last_pixels(chunk, job, lo)
    passes = chunk.passes if chunk.passes is not None else np.zeros(tree.num_nodes, dtype=bool)
    boundary = _fold(chunk.parents, chunk.native, tree.levels, sums, extremes, chunk.has_child,
                     np.zeros(tree.num_nodes, dtype=bool), passes, chunk.kept, chunk.faces, lo, hi)
    return boundary, count


def _fold(parents, native, levels, sums, extremes, has_child, desc_pass, passes, kept, faces, lo,
          hi) -> BoundaryTree:
    """The boundary tree of the ``kept`` nodes of a tree (with own sums and
    subtree extremes): each other node's own part goes to its nearest kept
    ancestor."""
    ids = np.cumsum(kept) - 1
    target = ids[native.nearest_kept(torch.from_numpy(kept)).numpy()]
    size = int(ids[-1]) + 1
    kept_parents = parents[kept]
    kept_parents = np.where(kept_parents >= 0, ids[np.maximum(kept_parents, 0)], -1)
    return BoundaryTree(
        tuple(lo), tuple(hi), kept_parents, levels[kept],
        {name: np.bincount(target, weights=values, minlength=size).astype(values.dtype)
         for name, values in sums.items()},
        {name: values[kept] for name, values in extremes.items()},
        has_child[kept],
        np.bincount(target, weights=(desc_pass | (passes & ~kept)).astype(np.float64), minlength=size) > 0,
        {face: ids[nodes] for face, nodes in faces.items()})


def down_chunk(block: np.ndarray, final: Optional[Final], offset: int, job: Job, lo, hi) -> np.ndarray:
    """The chunk's output: its pixels filtered with the final values of its
    boundary nodes."""
    chunk = _chunk(block, job, lo, hi)
    tree = chunk.tree
    last = _last_pixels(chunk, job, lo) if job.rule == "maxima" else None
    values = _resolve(chunk.parents, chunk.native, tree.levels, chunk.passes, None, chunk.has_child, last,
                      chunk.kept, final, job, offset)
    out = values.out[tree.pixel_to_node]
    if job.rule == "maxima":
        return out.astype(np.uint64)
    return out.astype(block.dtype, copy=False)


# ---- merges ---------------------------------------------------------------------

class MergeState(NamedTuple):
    """What a merge keeps for the down pass."""
    parents: np.ndarray
    levels: np.ndarray
    passes: Optional[np.ndarray]
    desc_pass: np.ndarray
    has_child: np.ndarray
    last_pixel: np.ndarray
    kept: np.ndarray
    vertex_node: np.ndarray    # merged node of every vertex: a's nodes, then b's
    size_a: int


def _cross_edges(face_a: np.ndarray, face_b: np.ndarray, connectivity: int):
    """The pairs of node ids of neighbouring pixels across a shared face:
    ``face_a`` is the last layer of the lower box, ``face_b`` the first layer
    of the upper one (one step apart along the merge axis)."""
    us, vs = [], []
    for offset in np.ndindex(*(3,) * face_a.ndim):
        offset = np.asarray(offset) - 1
        if np.count_nonzero(offset) + 1 > connectivity:
            continue
        src = tuple(slice(max(0, -d), n - max(0, d)) for d, n in zip(offset, face_a.shape))
        dst = tuple(slice(max(0, d), n - max(0, -d)) for d, n in zip(offset, face_a.shape))
        us.append(face_a[src].reshape(-1))
        vs.append(face_b[dst].reshape(-1))
    return np.concatenate(us), np.concatenate(vs)


def _ranks(levels: np.ndarray, kind: str) -> np.ndarray:
    """uint64 ranks: the deepest level (highest for a max-tree) is 0."""
    values, inverse = np.unique(levels, return_inverse=True)
    inverse = inverse.reshape(-1).astype(np.uint64)
    return np.uint64(values.shape[0] - 1) - inverse if kind == "max" else inverse


def merge(a: BoundaryTree, b: BoundaryTree, axis: int, job: Job) -> Tuple[Optional[BoundaryTree], MergeState, int]:
    """The boundary tree of the union of box ``a`` and box ``b``, the next
    one along ``axis`` (same extent on the other axes); the state its down
    pass needs, and how many maxima the merge numbers."""
    size_a = a.parents.shape[0]
    n = size_a + b.parents.shape[0]
    parents = np.concatenate([a.parents, np.where(b.parents >= 0, b.parents + size_a, -1)])
    levels = np.concatenate([a.levels, b.levels])
    child = np.flatnonzero(parents >= 0)
    cross_u, cross_v = _cross_edges(a.faces[(axis, 1)], b.faces[(axis, 0)] + size_a, job.connectivity)
    cross = np.unique(cross_u * n + cross_v)  # many pixel pairs join the same two nodes
    u = np.concatenate([child, cross // n]).astype(np.uint32)
    v = np.concatenate([parents[child], cross % n]).astype(np.uint32)
    rank = _ranks(levels, job.kind)
    result = _vexa._graph_component_tree(rank, u, v)  # native, without the GIL
    canonical = (result < 0) | (rank[np.maximum(result, 0)] != rank)
    nodes = np.flatnonzero(canonical)  # the merged nodes, in vertex order (not parents first)
    new_id = np.empty(n, dtype=np.int64)
    new_id[nodes] = np.arange(nodes.shape[0])
    vertex_node = new_id[np.where(canonical, np.arange(n), result)]
    size = nodes.shape[0]
    node_parents = np.where(result[nodes] >= 0, new_id[np.maximum(result[nodes], 0)], -1)
    node_levels = levels[nodes]
    native = _vexa._Tree(torch.from_numpy(node_parents))

    def joined(name, part):  # both inputs' values of one accumulator, vertex by vertex
        return np.concatenate([getattr(a, part)[name], getattr(b, part)[name]])

    def flags(name):  # per merged node, whether one of its vertices has the flag
        values = np.concatenate([getattr(a, name), getattr(b, name)]).astype(np.float64)
        return np.bincount(vertex_node, weights=values, minlength=size) > 0

    sums = {name: np.bincount(vertex_node, weights=joined(name, "sums"), minlength=size).astype(a.sums[name].dtype)
            for name in a.sums}
    extremes = {name: _subtree_extreme(native, vertex_node, size, joined(name, "extremes"), op)
                for name, op in accumulators(job)[1].items()}
    has_child = flags("has_child")
    has_child[node_parents[node_parents >= 0]] = True
    desc_pass = flags("desc_pass")
    passes = None
    if job.attribute is not None:
        totals = {name: native.reduce(torch.from_numpy(values), "sum", "subtree", 0.0).numpy()
                  for name, values in sums.items()}
        passes = accumulated_attribute(job, node_parents, node_levels, totals, extremes) >= job.threshold

    lo = tuple(a.lo)
    hi = tuple(b.hi[d] if d == axis else a.hi[d] for d in range(len(lo)))
    faces = {}
    for j, side in open_faces(lo, hi, job.shape):
        if j == axis:
            faces[(j, side)] = vertex_node[a.faces[(j, 0)]] if side == 0 else vertex_node[b.faces[(j, 1)] + size_a]
        else:
            faces[(j, side)] = np.concatenate([vertex_node[a.faces[(j, side)]],
                                               vertex_node[b.faces[(j, side)] + size_a]],
                                              axis=axis if axis < j else axis - 1)
    on_face = np.zeros(size, dtype=bool)
    for ids in faces.values():
        on_face[ids.reshape(-1)] = True
    kept = native.reduce(torch.from_numpy(on_face), "max", "subtree", 0.0).numpy()
    count = int((~has_child & ~kept).sum()) if job.rule == "maxima" else 0
    last = extremes.get("last_pixel")
    state = MergeState(node_parents, node_levels, passes, desc_pass, has_child, last, kept, vertex_node, size_a)
    if not kept.any():
        return None, state, count
    boundary = _fold(node_parents, native, node_levels, sums, extremes, has_child, desc_pass,
                     passes if passes is not None else np.zeros(size, dtype=bool), kept, faces, lo, hi)
    return boundary, state, count


def _subtree_extreme(native, vertex_node, size, values: np.ndarray, op: str) -> np.ndarray:
    """Per merged node, the extreme (``op`` "amax" or "amin") of its
    vertices' values, then over its subtree."""
    values = torch.from_numpy(np.ascontiguousarray(values))
    if values.dtype.is_floating_point:
        fill = -np.inf if op == "amax" else np.inf
    else:
        fill = torch.iinfo(values.dtype).min if op == "amax" else torch.iinfo(values.dtype).max
    shape = (size,) + tuple(values.shape[1:])
    index = torch.from_numpy(vertex_node).reshape((-1,) + (1,) * (values.dim() - 1)).expand(values.shape)
    own = _scatter(torch.full(shape, fill, dtype=values.dtype), index.contiguous(), values, op)
    return native.reduce(own, "max" if op == "amax" else "min", "subtree", 0.0).numpy()


def down_merge(state: MergeState, final: Optional[Final], offset: int, job: Job) -> Tuple[Final, Final]:
    """The final values of the vertices of a merge: those of box a, of box b."""
    native = _vexa._Tree(torch.from_numpy(state.parents))
    values = _resolve(state.parents, native, state.levels, state.passes, state.desc_pass, state.has_child,
                      state.last_pixel, state.kept, final, job, offset)
    a, b = state.vertex_node[:state.size_a], state.vertex_node[state.size_a:]
    return Final(values.out[a], values.all_pass[a]), Final(values.out[b], values.all_pass[b])


# ---- attributes and rules ---------------------------------------------------------

def _parent_levels(parents: np.ndarray, levels: np.ndarray) -> np.ndarray:
    levels = levels.astype(np.float64)
    return np.where(parents >= 0, levels[np.maximum(parents, 0)], levels)


def accumulated_attribute(job: Job, parents, levels, sums, extremes) -> np.ndarray:
    """The attribute of :meth:`vexa.Tree.attribute` from merged accumulators
    (subtree sums, subtree extremes), with the tree model's arithmetic."""
    name = SYNONYMS.get(job.attribute, job.attribute)
    area = sums["area"].astype(np.float64)
    if name == "area":
        return area
    parent_levels = _parent_levels(parents, levels)
    if name == "volume":
        return one_sided_volume(sums["level_sum"], area, parent_levels)
    if name == "mean_level":
        return sums["level_sum"] / area
    if name == "height":
        own = levels.astype(np.float64)  # a component's levels reach its node's level on the other side
        if job.kind == "max":
            return level_range_height(extremes["extreme"], own, parent_levels)
        return level_range_height(own, extremes["extreme"], parent_levels)
    box = np.stack([extremes["box_lo"], extremes["box_hi"]], axis=2)
    return np.asarray(box_attribute(name, area, extents(box)), dtype=np.float64)


def _resolve(parents, native, levels, passes, desc_pass, has_child, last, kept, final: Optional[Final], job: Job,
             offset: int) -> Final:
    """The final values of every node of a tree whose ``kept`` nodes get
    theirs from ``final`` (the merge above), the others being final here.
    With nothing above, the root is the image's and always stays."""
    size = parents.shape[0]
    boundary = kept
    if job.rule == "maxima":
        out = np.zeros(size, dtype=np.int64)
        new = np.flatnonzero(~has_child & ~boundary)
        order = np.lexsort((last[new], levels[new]))[::-1]
        out[new[order]] = offset + 1 + np.arange(new.shape[0])
        if final is not None:
            out[boundary] = final.out
        return Final(out, np.zeros(size, dtype=bool))
    passes = passes.copy()
    if final is None:
        passes[parents < 0] = True
    value = levels.copy()
    all_pass = np.zeros(size, dtype=bool)
    if job.rule == "min":
        keep = passes.copy()
        if final is not None:
            keep[boundary] = final.all_pass
        fails = native.ancestor_sum(torch.from_numpy((~keep).astype(np.float64))).numpy()
        all_pass = fails == 0
        top_fail = (fails == 1) & ~keep
        resolved = all_pass | top_fail
        inner = top_fail & ~boundary
        value[inner] = levels[parents[inner]]
    elif job.rule == "max":
        subtree = passes if desc_pass is None else passes | desc_pass
        resolved = native.reduce(torch.from_numpy(subtree), "max", "subtree", 0.0).numpy()
    else:
        resolved = passes
    if final is not None:
        value[boundary] = final.out
        resolved = resolved | boundary
    nearest = native.nearest_kept(torch.from_numpy(resolved)).numpy()
    return Final(value[nearest], all_pass)
