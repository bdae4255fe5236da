"""Connected filters on a component tree.

A filter keeps or removes nodes and rebuilds the image from the tree. Each
function takes the tree's arrays (:class:`TreeArrays`, or a ``MaxTree`` /
``MinTree``) and a per-node keep mask or score, and returns the filtered
image as a floating tensor of the image's shape. Nodes without parent are
always kept: they carry the image's base levels.
"""
from dataclasses import dataclass

import torch

import _vexa
from . import ops


@dataclass(frozen=True)
class TreeArrays:
    """The flat arrays of a component tree that filters need. The pixel map
    is checked against the nodes once, here, rather than on every filter."""
    parents: torch.Tensor        # int64 (N), -1 for a node without parent
    levels: torch.Tensor         # floating (N)
    pixel_to_node: torch.Tensor  # int64, the image's shape

    def __post_init__(self):
        ops._check_parents(self.parents)
        ops._check_pixel_to_node(self.pixel_to_node, self.parents.shape[0])

    @classmethod
    def of(cls, tree, dtype=torch.float32):
        if isinstance(tree, cls):
            return tree
        if hasattr(tree, "tree_arrays"):  # vexa.max_tree / min_tree of any image
            return tree.tree_arrays(dtype)
        if not isinstance(tree, (_vexa.MaxTree, _vexa.MinTree)):
            raise TypeError("expected a MaxTree, a MinTree or TreeArrays")
        return cls(tree.parents, tree.levels.to(dtype), tree.pixel_to_node)

    @property
    def residues(self):
        return ops.residues_from_levels(self.parents, self.levels)


def _per_node(arrays, keep, dtype):
    """keep as a tensor of the given dtype with one entry per node (the
    conversion lets gradients through)."""
    keep = (keep if torch.is_tensor(keep) else torch.as_tensor(keep)).to(dtype)
    if keep.dim() != 1 or keep.shape[0] != arrays.parents.shape[0]:
        raise ValueError(f"keep must have one entry per node ({arrays.parents.shape[0]}), "
                         f"got shape {tuple(keep.shape)}")
    return keep


def subtractive(tree, keep, residues=None):
    """Subtractive rule: removed nodes drop their residue, and every node
    above them shifts by it. ``keep`` may be a soft score in [0, 1]: each
    residue is scaled by its node's score. Differentiable in ``keep`` and in
    ``residues`` (the tree's own residues by default)."""
    arrays = TreeArrays.of(tree)
    if residues is None:
        residues = arrays.residues
    score = _per_node(arrays, keep, residues.dtype)
    score = torch.where(arrays.parents < 0, torch.ones_like(score), score)
    levels = ops.levels_from_residues(arrays.parents, score * residues)
    return ops._reconstruct(levels, arrays.pixel_to_node)


def _nearest_kept(parents, kept):
    """For every node, the nearest node at or above it that is kept (pointer
    jumping: about log2(depth) passes)."""
    target = torch.where(kept, torch.arange(parents.shape[0]), parents)
    while True:
        jumped = target.index_select(0, target)
        if torch.equal(jumped, target):
            return target
        target = jumped


def _hard(arrays, keep):
    return _per_node(arrays, keep, torch.bool) | (arrays.parents < 0)


def direct(tree, keep):
    """Direct rule: the compact pixels of a removed node take the level of its
    nearest kept ancestor; kept nodes keep their levels."""
    arrays = TreeArrays.of(tree)
    kept = _hard(arrays, keep)
    levels = arrays.levels.index_select(0, _nearest_kept(arrays.parents, kept))
    return ops._reconstruct(levels, arrays.pixel_to_node)


def minimum(tree, keep):
    """Min rule: a node is kept only when it and all its ancestors are."""
    arrays = TreeArrays.of(tree)
    removed = (~_hard(arrays, keep)).to(torch.float64)
    kept = _vexa.ancestor_sum(arrays.parents, removed) == 0
    return direct(arrays, kept)


def maximum(tree, keep):
    """Max rule: a node is kept when it or any of its descendants is."""
    arrays = TreeArrays.of(tree)
    kept = _hard(arrays, keep).to(torch.float64)
    kept = _vexa.subtree_sum(arrays.parents, kept) > 0
    return direct(arrays, kept)
