"""Connected filters on a component tree.

A filter keeps or removes nodes and rebuilds the image from the tree. Each
function takes the tree's arrays (:class:`TreeArrays`, or a ``MaxTree`` /
``MinTree``) and a per-node keep mask or score, and returns the filtered
image as a floating tensor of the image's shape. Nodes without parent are
always kept: they carry the image's base levels.

The parent array is checked on every call (ids in range, a root, no cycle):
a ValueError names the offending node.
"""
from dataclasses import dataclass, field
from typing import Any, Optional, Union

import torch

import _vexa
from . import ops

__all__ = ["TreeArrays", "subtractive", "direct", "minimum", "maximum"]


@dataclass(frozen=True)
class TreeArrays:
    """The flat arrays of a component tree that filters need. The pixel map
    is checked against the nodes once, here, rather than on every filter."""
    parents: torch.Tensor        # int64 (N), -1 for a node without parent
    levels: torch.Tensor         # floating (N)
    pixel_to_node: torch.Tensor  # int64, the image's shape
    # The tree's checked native tree (vexa.Tree.tree_arrays), whose passes
    # skip checking the parent array again.
    native: Any = field(default=None, compare=False, repr=False)

    def __post_init__(self):
        ops.check_parents(self.parents)
        ops._check_pixel_to_node(self.pixel_to_node, self.parents.shape[0])

    @classmethod
    def of(cls, tree, dtype=torch.float32):
        if isinstance(tree, cls):
            return tree
        if hasattr(tree, "tree_arrays"):  # a vexa.Tree
            return tree.tree_arrays(dtype)
        if not isinstance(tree, (_vexa.MaxTree, _vexa.MinTree)):
            raise TypeError(f"expected a MaxTree, a MinTree or TreeArrays, got {type(tree).__name__}")
        return cls(tree.parents, tree.levels.to(dtype), tree.pixel_to_node)

    @property
    def residues(self):
        return ops.residues_from_levels(self.parents, self.levels)


Tree = Union[TreeArrays, "_vexa.MaxTree", "_vexa.MinTree"]


def _arrays(tree) -> TreeArrays:
    arrays = TreeArrays.of(tree)
    ops.check_values("levels", arrays.levels, arrays.parents.shape[0])
    return arrays


def _per_node(arrays, keep, dtype=None):
    """keep as a CPU tensor with one entry per node, converted to ``dtype``
    when one is given (the conversion lets gradients through)."""
    keep = keep if torch.is_tensor(keep) else torch.as_tensor(keep)
    if keep.device.type != "cpu" or keep.dtype.is_complex:
        raise TypeError(f"keep must be a real CPU tensor, got {keep.dtype} on {keep.device}")
    if keep.dim() != 1 or keep.shape[0] != arrays.parents.shape[0]:
        raise ValueError(f"keep must have one entry per node ({arrays.parents.shape[0]}), "
                         f"got shape {tuple(keep.shape)}")
    return keep if dtype is None else keep.to(dtype)


def _hard(arrays, keep, rule):
    """A hard keep mask (bool, or numbers that are all 0 or 1), roots kept."""
    keep = _per_node(arrays, keep)
    if keep.dtype != torch.bool:
        soft = ~((keep == 0) | (keep == 1))
        if soft.any():
            node = int(soft.nonzero()[0, 0])
            raise ValueError(f"{rule} takes a hard keep mask (bool, or 0/1), but node {node} has "
                             f"{keep[node].item()}; for soft scores in [0, 1] use vexa.subtractive")
        keep = keep != 0
    return keep | (arrays.parents < 0)


def subtractive(tree: Tree, keep, residues: Optional[torch.Tensor] = None) -> torch.Tensor:
    """Subtractive rule: removed nodes drop their residue, and every node
    above them shifts by it.

    Parameters
    ----------
    tree : TreeArrays, MaxTree or MinTree
    keep : array_like or torch.Tensor, shape (N)
        Keep mask, or soft scores in [0, 1]: each residue is scaled by its
        node's score. Differentiable in ``keep``.
    residues : torch.Tensor, optional
        Floating (N), the tree's own residues by default. Differentiable.

    Returns
    -------
    torch.Tensor
        The filtered image, of the dtype of the residues.
    """
    arrays = _arrays(tree)
    if residues is None:
        residues = arrays.residues
    ops.check_values("residues", residues, arrays.parents.shape[0])
    score = _per_node(arrays, keep, residues.dtype)
    if torch.isnan(score).any():
        raise ValueError(f"keep holds NaN at node {int(torch.isnan(score).nonzero()[0, 0])}")
    score = torch.where(arrays.parents < 0, torch.ones_like(score), score)
    levels = ops.levels_from_residues(arrays.parents, score * residues)
    return ops._reconstruct(levels, arrays.pixel_to_node)


def _pass(arrays, name, values):
    """A native pass over the tree: on its checked tree when it has one."""
    if arrays.native is not None:
        return getattr(arrays.native, name)(values)
    return getattr(_vexa, "_" + name)(arrays.parents, values)


def _direct_from_mask(arrays, kept):
    """Direct rule on a hard mask whose roots are kept: one pass, parents first."""
    target = _pass(arrays, "nearest_kept", kept)
    return ops._reconstruct(arrays.levels.index_select(0, target), arrays.pixel_to_node)


def direct(tree: Tree, keep) -> torch.Tensor:
    """Direct rule: the compact pixels of a removed node take the level of its
    nearest kept ancestor; kept nodes keep their levels. ``keep`` is a hard
    mask of shape (N): bool, or numbers that are all 0 or 1."""
    arrays = _arrays(tree)
    return _direct_from_mask(arrays, _hard(arrays, keep, "direct"))


def minimum(tree: Tree, keep) -> torch.Tensor:
    """Min rule: a node is kept only when it and all its ancestors are.
    ``keep`` is a hard mask, as for :func:`direct`."""
    arrays = _arrays(tree)
    removed = (~_hard(arrays, keep, "minimum")).to(torch.float64)
    return _direct_from_mask(arrays, _pass(arrays, "ancestor_sum", removed) == 0)


def maximum(tree: Tree, keep) -> torch.Tensor:
    """Max rule: a node is kept when it or any of its descendants is.
    ``keep`` is a hard mask, as for :func:`direct`."""
    arrays = _arrays(tree)
    kept = _hard(arrays, keep, "maximum").to(torch.float64)
    return _direct_from_mask(arrays, _pass(arrays, "subtree_sum", kept) > 0)
