"""Losses on component trees, differentiable in the pixels.

The max-tree's regional maxima are ranked by an extinction value (the
largest size a maximum reaches before it merges into a more significant
one). A loss on the maxima beyond the ``num_maxima`` most significant drives
their dynamics to zero: gradient descent on the pixels removes them and
leaves the others, as in Perret & Cousty's component-tree loss (2022).
"""
import warnings

import numpy as np
import torch

from .forests import build_trees, image_stack

__all__ = ["component_tree_loss"]

EXTINCTIONS = ("dynamics", "area", "volume")


def _dominant_leaves(forest, stack, levels, extinction):
    """(top, leaf, significance): for each regional maximum (leaf), the
    highest node of the branch it dominates (where it goes extinct, at the
    top's parent) and its extinction value there; a root's is infinite."""
    parents = forest.parents
    has_parent = parents >= 0
    if extinction == "dynamics":
        # The branch of a node continues into its child holding the highest leaf.
        # index_select gathers here and below: several times faster than indexing.
        down = forest.extreme_node(levels)
        tops = (~has_parent | (down != down.index_select(0, parents.clamp(min=0)))).nonzero()[:, 0]
        # Dynamics of the tops alone (few beside all nodes); a root's is replaced below.
        values = levels.detach()
        merges = parents.index_select(0, tops).clamp(min=0)
        significance = values.index_select(0, down.index_select(0, tops)) - values.index_select(0, merges)
    else:
        size = forest.attribute(extinction, stack.detach(), levels.detach())
        highest = levels.detach()[forest.extreme_node(levels)]
        # Each node's rank by (size, highest level, id): the largest child continues the branch.
        order = torch.from_numpy(np.lexsort((highest.numpy(), size.numpy())))
        rank = torch.empty_like(order)
        rank[order] = torch.arange(forest.num_nodes)
        child = has_parent.nonzero()[:, 0]
        best = torch.full((forest.num_nodes,), -1, dtype=torch.int64)
        with warnings.catch_warnings():  # scatter_reduce is labelled beta in torch 1.13
            warnings.simplefilter("ignore", UserWarning)
            best.scatter_reduce_(0, parents[child], rank[child], "amax")
        dominant = child[rank[child] == best[parents[child]]]
        down = torch.arange(forest.num_nodes)
        down[parents[dominant]] = dominant
        while True:  # pointer jumping: every node reaches the leaf of its branch
            further = down[down]
            if torch.equal(further, down):
                break
            down = further
        top = ~has_parent
        top[child] = rank[child] != best[parents[child]]
        tops = top.nonzero()[:, 0]
        significance = size[tops]
    significance = torch.where(has_parent.index_select(0, tops), significance.to(torch.float64),
                               torch.tensor(float("inf"), dtype=torch.float64))
    return tops, down.index_select(0, tops), significance


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
