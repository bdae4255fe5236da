"""Losses on component trees, differentiable in the pixels.

The max-tree's regional maxima are ranked by an extinction value (the
largest size a maximum reaches before it merges into a more significant
one). A loss on the maxima beyond the ``num_maxima`` most significant drives
their dynamics to zero: gradient descent on the pixels removes them and
leaves the others, as in Perret & Cousty's component-tree loss (2022).
"""
import numpy as np
import torch

from .extrema import _branches
from .forests import build_trees, image_stack

__all__ = ["component_tree_loss"]

EXTINCTIONS = ("dynamics", "area", "volume")


def _dominant_leaves(forest, stack, levels, extinction):
    """(top, leaf, significance): for each regional maximum (leaf), the
    highest node of the branch it dominates (where it goes extinct, at the
    top's parent) and its extinction value there; a root's is infinite.
    The branches are those of :func:`vexa.extinction_values`."""
    values = levels.detach()
    if values.dtype not in (torch.float32, torch.float64):
        values = values.to(torch.float64)  # the same order for the half types
    size = None
    if extinction != "dynamics":
        size = forest.attribute(extinction, stack.detach(), levels.detach()).to(torch.float64)
    tops, leaves = _branches(forest.parents, values.numpy(), True, size)
    has_parent = forest.parents.index_select(0, tops) >= 0
    if size is None:
        merges = forest.parents.index_select(0, tops).clamp(min=0)
        significance = values.index_select(0, leaves) - values.index_select(0, merges)
    else:
        significance = size.index_select(0, tops)
    significance = torch.where(has_parent, significance.to(torch.float64),
                               torch.tensor(float("inf"), dtype=torch.float64))
    return tops, leaves, significance


def component_tree_loss(image: torch.Tensor, num_maxima: int, extinction: str = "dynamics",
                        connectivity: int = 1) -> torch.Tensor:
    """Sum of the squared dynamics of the regional maxima beyond the
    ``num_maxima`` most significant ones, in each image.

    Parameters
    ----------
    image : torch.Tensor
        Floating, (H, W), (C, H, W) or (B, C, H, W); one max-tree per image
        and channel, built from the detached values.
    num_maxima : int
        Maxima kept per image (their dynamics are not penalised).
    extinction : "dynamics", "area" or "volume"
        What ranks the maxima: their dynamics (contrast), or the area or
        volume of the largest component in which each is the most
        significant maximum.
    connectivity : int
        1 (4 neighbours) or 2 (8 neighbours).

    Returns
    -------
    torch.Tensor
        A scalar of the image's dtype. The dynamics of a maximum is the
        level of its leaf minus the level of the node where it merges into a
        more significant maximum; each level is the value of the node's
        compact pixels, so the gradient reaches exactly those pixels (split
        equally between them) and is zero elsewhere. It is undefined where
        pixel values tie or a step changes the tree.
    """
    if extinction not in EXTINCTIONS:
        raise ValueError(f"extinction must be one of {', '.join(EXTINCTIONS)}, got {extinction!r}")
    if isinstance(num_maxima, bool) or not isinstance(num_maxima, (int, np.integer)) or num_maxima < 1:
        raise ValueError(f"num_maxima must be a positive int, got {num_maxima!r}")
    stack = image_stack(image)
    if not stack.is_floating_point():
        raise TypeError(f"image must be floating-point to be differentiable, got {stack.dtype}")
    loss = stack.new_zeros(())
    for tree, one in zip(build_trees(stack, "max", connectivity), stack):
        levels = tree.levels(one)
        tops, leaves, significance = _dominant_leaves(tree, one, levels, extinction)
        removed = torch.argsort(significance, descending=True, stable=True)[num_maxima:]
        merges = tree.parents.index_select(0, tops.index_select(0, removed))
        dynamics = levels.index_select(0, leaves.index_select(0, removed)) - levels.index_select(0, merges)
        loss = loss + (dynamics * dynamics).sum()
    return loss
