"""Differentiable tree operators in linear time.

A tree (or forest) is given by its parent array: an int64 tensor ``parents``
of length N with ``parents[i]`` the parent of node i, or -1 for a node
without parent. Every operator here is one pass over the nodes, and its
gradient is the adjoint pass; none of them builds the ancestor matrix J.
Gradients of every order are exact: each backward is built from the same
differentiable operators.
"""
import torch

import _vexa

__all__ = ["levels_from_residues", "subtree_sums", "residues_from_levels", "reconstruct"]


def _tree_sum(parents, values, over_subtrees):
    kernel = _vexa._subtree_sum if over_subtrees else _vexa._ancestor_sum
    return kernel(parents, values)


class _TreeSum(torch.autograd.Function):
    """A linear pass over the forest: ``J.t() @ values`` (sums over each node
    and its ancestors) or ``J @ values`` (sums over each subtree). Its
    backward is the other pass, itself a ``_TreeSum`` when a graph of the
    backward is being built, so gradients of every order are exact."""

    @staticmethod
    def forward(ctx, parents, values, over_subtrees):
        ctx.save_for_backward(parents)
        ctx.over_subtrees = over_subtrees
        return _tree_sum(parents, values, over_subtrees)

    @staticmethod
    def backward(ctx, grad):
        (parents,) = ctx.saved_tensors
        adjoint = not ctx.over_subtrees
        if torch.is_grad_enabled():  # create_graph: this backward must be differentiable too
            return None, _TreeSum.apply(parents, grad, adjoint), None
        return None, _tree_sum(parents, grad, adjoint), None


def check_parents(parents: torch.Tensor) -> None:
    """Raise TypeError unless ``parents`` is a one-dimensional int64 CPU tensor.
    Its content (ids in range, one root at least, no cycle) is checked by
    every native pass, which raises ValueError naming the offending node."""
    if not isinstance(parents, torch.Tensor):
        raise TypeError(f"parents must be a torch.int64 tensor, got {type(parents).__name__}")
    if parents.dtype != torch.int64 or parents.dim() != 1 or parents.device.type != "cpu":
        raise TypeError("parents must be a one-dimensional torch.int64 CPU tensor, got "
                        f"{parents.dtype} of shape {tuple(parents.shape)} on {parents.device}")


def check_values(name: str, values: torch.Tensor, num_nodes: int) -> None:
    """Raise TypeError or ValueError unless ``values`` is a floating CPU
    tensor of shape (N) or (N, C)."""
    if not isinstance(values, torch.Tensor):
        raise TypeError(f"{name} must be a floating-point tensor, got {type(values).__name__}")
    if not values.is_floating_point() or values.device.type != "cpu":
        raise TypeError(f"{name} must be a floating-point CPU tensor, got {values.dtype} on {values.device}")
    if values.dim() not in (1, 2) or values.shape[0] != num_nodes:
        raise ValueError(f"{name} must have shape (N) or (N, C) with N = {num_nodes} nodes, "
                         f"got {tuple(values.shape)}")


def levels_from_residues(parents: torch.Tensor, residues: torch.Tensor) -> torch.Tensor:
    """Level of every node: the sum of the residues of the node and its
    ancestors (``J.t() @ residues``).

    Parameters
    ----------
    parents : torch.Tensor
        int64 (N), -1 for a node without parent.
    residues : torch.Tensor
        Floating (N) or (N, C).

    Returns
    -------
    torch.Tensor
        Same shape and dtype as ``residues``; differentiable to any order.
    """
    check_parents(parents)
    check_values("residues", residues, parents.shape[0])
    return _TreeSum.apply(parents, residues, False)


def subtree_sums(parents: torch.Tensor, values: torch.Tensor) -> torch.Tensor:
    """Sum of ``values`` over each node's subtree (``J @ values``), the
    adjoint of :func:`levels_from_residues`. Same shapes and dtypes."""
    check_parents(parents)
    check_values("values", values, parents.shape[0])
    return _TreeSum.apply(parents, values, True)


def residues_from_levels(parents: torch.Tensor, levels: torch.Tensor) -> torch.Tensor:
    """Inverse of :func:`levels_from_residues`: each node's level minus its
    parent's, the level itself for a node without parent."""
    check_parents(parents)
    check_values("levels", levels, parents.shape[0])
    outside = (parents < -1) | (parents >= parents.shape[0])
    if outside.any():
        node = int(outside.nonzero()[0, 0])
        raise ValueError(f"parents[{node}] is {int(parents[node])}, outside -1..{parents.shape[0] - 1}")
    has_parent = parents >= 0
    parent_levels = levels.index_select(0, parents.clamp(min=0))
    mask = has_parent.reshape((-1,) + (1,) * (levels.dim() - 1)).to(levels.dtype)
    return levels - parent_levels * mask


def _describe(x) -> str:
    return f"{x.dtype} of shape {tuple(x.shape)}" if isinstance(x, torch.Tensor) else type(x).__name__


def _check_pixel_to_node(pixel_to_node, num_nodes: int) -> None:
    if not isinstance(pixel_to_node, torch.Tensor) or pixel_to_node.dtype != torch.int64:
        raise TypeError(f"pixel_to_node must be a torch.int64 tensor, got {_describe(pixel_to_node)}")
    if pixel_to_node.numel() and (pixel_to_node.min() < 0 or pixel_to_node.max() >= num_nodes):
        raise IndexError(f"pixel_to_node holds a node id outside 0..{num_nodes - 1}")


def _reconstruct(node_values: torch.Tensor, pixel_to_node: torch.Tensor) -> torch.Tensor:
    """:func:`reconstruct` for a pixel map already checked against the
    number of nodes (a tree's arrays are checked once, not per call)."""
    picked = node_values.index_select(0, pixel_to_node.reshape(-1))
    return picked.reshape(tuple(pixel_to_node.shape) + tuple(node_values.shape[1:]))


def reconstruct(node_values: torch.Tensor, pixel_to_node: torch.Tensor) -> torch.Tensor:
    """Image of per-node values: pixel p gets ``node_values[pixel_to_node[p]]``.

    The result has the shape of ``pixel_to_node`` followed by the trailing
    dimensions of ``node_values``. The gradient sums each pixel's gradient
    into its node (plain indexing, so differentiable to any order)."""
    if not isinstance(node_values, torch.Tensor) or node_values.dim() == 0:
        raise TypeError(f"node_values must be a tensor with one row per node, got {_describe(node_values)}")
    _check_pixel_to_node(pixel_to_node, node_values.shape[0])
    return _reconstruct(node_values, pixel_to_node)
