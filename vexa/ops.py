"""Differentiable tree operators in linear time.

A tree (or forest) is given by its parent array: an int64 tensor ``parents``
of length N with ``parents[i]`` the parent of node i, or -1 for a node
without parent. Every operator here is one pass over the nodes, and its
gradient is the adjoint pass; none of them builds the ancestor matrix J.
"""
import torch

import _vexa


class _AncestorSum(torch.autograd.Function):
    @staticmethod
    def forward(ctx, parents, values):
        ctx.save_for_backward(parents)
        return _vexa.ancestor_sum(parents, values)

    @staticmethod
    def backward(ctx, grad):
        (parents,) = ctx.saved_tensors
        return None, _vexa.subtree_sum(parents, grad.contiguous())


class _SubtreeSum(torch.autograd.Function):
    @staticmethod
    def forward(ctx, parents, values):
        ctx.save_for_backward(parents)
        return _vexa.subtree_sum(parents, values)

    @staticmethod
    def backward(ctx, grad):
        (parents,) = ctx.saved_tensors
        return None, _vexa.ancestor_sum(parents, grad.contiguous())


class _Reconstruct(torch.autograd.Function):
    @staticmethod
    def forward(ctx, node_values, pixel_to_node):
        ctx.save_for_backward(pixel_to_node)
        ctx.num_nodes = node_values.shape[0]
        flat = pixel_to_node.reshape(-1)
        out = node_values.index_select(0, flat)
        return out.reshape(tuple(pixel_to_node.shape) + tuple(node_values.shape[1:]))

    @staticmethod
    def backward(ctx, grad):
        (pixel_to_node,) = ctx.saved_tensors
        flat = pixel_to_node.reshape(-1)
        grad = grad.reshape((flat.numel(),) + tuple(grad.shape[pixel_to_node.dim():]))
        out = grad.new_zeros((ctx.num_nodes,) + tuple(grad.shape[1:]))
        return out.index_add_(0, flat, grad), None


def _check_parents(parents):
    if not isinstance(parents, torch.Tensor) or parents.dtype != torch.int64 or parents.dim() != 1:
        raise TypeError("parents must be a one-dimensional torch.int64 tensor")


def levels_from_residues(parents, residues):
    """Level of every node: the sum of the residues of the node and its
    ancestors (``J.t() @ residues``). residues: (N) or (N, C), floating."""
    _check_parents(parents)
    return _AncestorSum.apply(parents, residues)


def subtree_sums(parents, values):
    """Sum of ``values`` over each node's subtree (``J @ values``)."""
    _check_parents(parents)
    return _SubtreeSum.apply(parents, values)


def residues_from_levels(parents, levels):
    """Inverse of :func:`levels_from_residues`: each node's level minus its
    parent's, the level itself for a node without parent."""
    _check_parents(parents)
    has_parent = parents >= 0
    parent_levels = levels.index_select(0, parents.clamp(min=0))
    mask = has_parent.reshape((-1,) + (1,) * (levels.dim() - 1)).to(levels.dtype)
    return levels - parent_levels * mask


def _check_pixel_to_node(pixel_to_node, num_nodes):
    if not isinstance(pixel_to_node, torch.Tensor) or pixel_to_node.dtype != torch.int64:
        raise TypeError("pixel_to_node must be a torch.int64 tensor")
    if pixel_to_node.numel() and (pixel_to_node.min() < 0 or pixel_to_node.max() >= num_nodes):
        raise IndexError("pixel_to_node holds a node id outside 0..N-1")


def _reconstruct(node_values, pixel_to_node):
    """:func:`reconstruct` for a pixel map already checked against the
    number of nodes (a tree's arrays are checked once, not per call)."""
    return _Reconstruct.apply(node_values, pixel_to_node)


def reconstruct(node_values, pixel_to_node):
    """Image of per-node values: pixel p gets ``node_values[pixel_to_node[p]]``.
    The gradient sums each pixel's gradient into its node."""
    _check_pixel_to_node(pixel_to_node, node_values.shape[0])
    return _Reconstruct.apply(node_values, pixel_to_node)
