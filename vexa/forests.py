"""The component trees of a batch of images, one per image and channel, with
node levels and attributes that are differentiable in the pixels.

The trees are built from the detached images (one tree per image and
channel, in parallel native threads without the GIL). Everything that
depends on pixel values is then computed in torch from the images
themselves, so gradients reach the pixels:

- the level of a node is the mean of the input values of its compact
  pixels (the pixels whose smallest component it is; they are all equal
  in the input, so the mean is their common value and its gradient is
  shared equally between them);
- ``volume``, ``height`` and ``mean_level`` follow from those levels;
- ``area``, the bounding-box attributes and ``rectangularity`` depend on
  the tree alone: wherever the tree does not change they are constant.

Where two pixels tie, or a small change of the pixels changes the tree,
the output is not differentiable and the gradient returned is that of the
tree as built.
"""
from typing import Sequence

import numpy as np
import torch

import _vexa
from . import ops
from .tree import compact_counts, extents
from .trees import areas

__all__ = ["Forest", "build_trees", "image_stack", "standardised"]

# Attributes whose logarithm (of the magnitude) is the feature: sizes spread
# over orders of magnitude.
SIZE_ATTRIBUTES = ("area", "volume", "height", "box_height", "box_width", "extent", "diameter")
ATTRIBUTES = SIZE_ATTRIBUTES + ("mean_level", "rectangularity")
PIXEL_ATTRIBUTES = ("volume", "height", "mean_level")  # the others depend on the tree alone


def image_stack(image, spatial_dims: int = 2):
    """A tensor (H, W), (C, H, W) or (B, C, H, W) viewed as (K, H, W); with
    ``spatial_dims=3``, (D, H, W), (C, D, H, W) or (B, C, D, H, W) viewed as
    (K, D, H, W)."""
    if not isinstance(image, torch.Tensor):
        raise TypeError(f"image must be a torch tensor, got {type(image).__name__}")
    if spatial_dims not in (2, 3):
        raise ValueError(f"spatial_dims must be 2 or 3, got {spatial_dims!r}")
    if spatial_dims == 2 and image.dim() == 5:
        raise ValueError(f"a 5-D image (B, C, D, H, W) needs spatial_dims=3, got shape {tuple(image.shape)}")
    if image.dim() not in range(spatial_dims, spatial_dims + 3):
        expected = "(H, W), (C, H, W) or (B, C, H, W)" if spatial_dims == 2 else \
            "(D, H, W), (C, D, H, W) or (B, C, D, H, W)"
        raise ValueError(f"image must have shape {expected}, got {tuple(image.shape)}")
    if image.is_complex():
        raise TypeError(f"image must be real, got {image.dtype}")
    if image.device.type != "cpu":
        raise ValueError(f"component trees are built on the CPU, got an image on {image.device}")
    if image.shape[-2] * image.shape[-1] == 0:  # an empty batch of images is no error
        raise ValueError(f"image is empty (shape {tuple(image.shape)})")
    return image.reshape((-1,) + tuple(image.shape[-spatial_dims:]))


def standardised(column: torch.Tensor) -> torch.Tensor:
    """(column - mean) / standard deviation, differentiable. A constant
    column is exactly 0: its rounded mean may miss the common value, and
    leave a tiny positive variance that would blow it up to +-1. As sqrt has
    no derivative at 0, its gradient is that of the centred column."""
    centred = column - column.mean()
    if column.detach().amin() == column.detach().amax():
        return centred - centred.detach()
    return centred / torch.sqrt((centred ** 2).mean())


def build_trees(stack: torch.Tensor, kind: str = "max", connectivity: int = 1) -> list:
    """The trees of the images of a stack (K, H, W), one :class:`Forest` of
    one tree per image: max- and min-trees built in parallel native threads
    without the GIL; trees of shapes (``kind="shapes"``, without padding, so
    that every shape holds pixels; connectivity does not apply) and the trees
    of volumes (a stack (K, D, H, W)) one after the other."""
    if kind not in ("max", "min", "shapes"):
        raise ValueError(f"kind must be 'max', 'min' or 'shapes', got {kind!r}")
    if isinstance(connectivity, bool) or connectivity not in (1, 2):
        raise ValueError(f"connectivity must be 1 or 2, got {connectivity!r}")
    if stack.shape[0] == 0:
        return []
    values = stack.detach()
    if values.dtype in (torch.float16, torch.bfloat16):
        values = values.float()  # the same order of pixels, in a type the builder reads
    images = [np.ascontiguousarray(a) for a in values.numpy()]
    if kind == "shapes" or values.dim() == 4:
        from .shapes import tree_of_shapes
        from .trees import max_tree, min_tree
        build = {"shapes": lambda a: tree_of_shapes(a, "none"), "max": lambda a: max_tree(a, connectivity),
                 "min": lambda a: min_tree(a, connectivity)}[kind]
        trees = [build(image) for image in images]
        return [Forest(torch.from_numpy(t.parents), torch.from_numpy(t.pixel_to_node), kind, int(connectivity))
                for t in trees]
    parents, pixel_to_node = _vexa._component_trees(images, int(connectivity), kind == "max")
    return [Forest(torch.from_numpy(p), torch.from_numpy(m), kind, int(connectivity))
            for p, m in zip(parents, pixel_to_node)]


def check_forest_state(state) -> None:
    """Raise TypeError or ValueError naming what is wrong unless ``state`` is
    one that :meth:`Forest.__getstate__` gives: int64 parents whose every id
    is below its node's (so no cycle), a pixel map onto every node, the
    kind, the connectivity and the sizes of the trees."""
    names = {"parents", "pixel_to_node", "kind", "connectivity", "sizes"}
    if not isinstance(state, dict) or set(state) != names:
        got = sorted(state) if isinstance(state, dict) else type(state).__name__
        raise TypeError(f"Forest state must be a dict of {', '.join(sorted(names))}, got {got}")
    parents, pixel_to_node = state["parents"], state["pixel_to_node"]
    for name, value, dims in (("parents", parents, (1,)), ("pixel_to_node", pixel_to_node, (2, 3))):
        if not isinstance(value, torch.Tensor) or value.dtype != torch.int64 or value.dim() not in dims:
            wanted = " or ".join(f"{d}-D" for d in dims)
            raise TypeError(f"Forest state: {name} must be a {wanted} int64 tensor, got {ops._describe(value)}")
    n = parents.shape[0]
    if n == 0:
        raise ValueError("Forest state: parents must hold one node at least, got none")
    bad = torch.nonzero((parents < -1) | (parents >= torch.arange(n)))
    if len(bad):
        node = bad[0, 0].item()
        raise ValueError(f"Forest state: parents must be ids below each node's own, or -1, got "
                         f"{parents[node].item()} at node {node}")
    ids = pixel_to_node.reshape(-1)
    if ids.numel() == 0 or ids.min() < 0 or ids.max() >= n or torch.bincount(ids, minlength=n).min() == 0:
        raise ValueError(f"Forest state: pixel_to_node must map pixels onto every node 0..{n - 1}, "
                         f"got {ops._describe(pixel_to_node)}")
    if state["kind"] not in ("max", "min", "shapes") or state["connectivity"] not in (1, 2, 3) \
            or isinstance(state["connectivity"], bool):
        raise ValueError(f"Forest state: kind must be 'max', 'min' or 'shapes' and connectivity 1 to 3, got "
                         f"{state['kind']!r} and {state['connectivity']!r}")
    sizes = state["sizes"]
    if not isinstance(sizes, list) or not all(isinstance(k, int) and k > 0 for k in sizes) or sum(sizes) != n:
        raise ValueError(f"Forest state: sizes must be positive ints adding up to {n} nodes, got {sizes!r}")


class Forest:
    """A component tree as tensors (a forest of one tree, or of several
    whose node ids follow one another), with per-node quantities
    differentiable in the pixels. Holds only tensors, so it pickles.

    Attributes
    ----------
    parents : int64 (N,), -1 for a root
    pixel_to_node : int64, the image's shape
    sizes : list of int, the number of nodes of each tree
    kind : "max", "min" or "shapes"
    """

    def __init__(self, parents, pixel_to_node, kind, connectivity):
        self.parents, self.pixel_to_node = parents, pixel_to_node
        self.kind, self.connectivity = kind, connectivity
        self.sizes = [int(parents.shape[0])]
        self._derived = {}  # what the tree alone fixes, made on first use

    def __getstate__(self):
        return {name: value for name, value in self.__dict__.items() if name != "_derived"}

    def __setstate__(self, state):
        check_forest_state(state)
        self.__dict__.update(state, _derived={})

    def _made_once(self, name, make):
        if name not in self._derived:
            self._derived[name] = make()
        return self._derived[name]

    @property
    def compact(self) -> torch.Tensor:
        """float64 (N,): the pixels whose smallest component each node is."""
        return self._made_once("compact", lambda: torch.from_numpy(
            compact_counts(self.pixel_to_node.numpy(), self.num_nodes)).to(torch.float64))

    @property
    def area(self) -> torch.Tensor:
        """float64 (N,): the pixels of each node's component."""
        return self._made_once("area", lambda: torch.from_numpy(
            areas(self.parents.numpy(), self.compact.numpy())).to(torch.float64))

    @property
    def extent(self) -> torch.Tensor:
        """float64 (N, ndim): the (slices,) rows and columns of each node's
        bounding box."""
        return self._made_once("extent", lambda: torch.from_numpy(
            extents(_vexa._subtree_boxes(self.pixel_to_node.numpy(), self.parents.numpy()))).to(torch.float64))

    @property
    def tree_of_node(self) -> torch.Tensor:
        """int64 (N,): the tree each node belongs to."""
        return torch.repeat_interleave(torch.arange(len(self.sizes)), torch.tensor(self.sizes))

    @property
    def num_nodes(self) -> int:
        return int(self.parents.shape[0])

    # Differentiable in the pixels -------------------------------------------

    def pixel_sums(self, stack: torch.Tensor) -> torch.Tensor:
        """Sum of the input values of each node's compact pixels."""
        flat = stack.reshape(-1)
        return torch.zeros(self.num_nodes, dtype=flat.dtype).index_add(0, self.pixel_to_node.reshape(-1), flat)

    def levels(self, stack: torch.Tensor) -> torch.Tensor:
        """Level of each node: the mean of its compact pixels' input values."""
        compact = self.compact.to(stack.dtype)
        if self.kind == "shapes" and not bool((compact > 0).all()):
            raise ValueError("a tree of shapes whose shapes do not all hold pixels (built with padding) has "
                             "levels that no pixel carries; build it without padding")
        return self.pixel_sums(stack) / compact

    def parent_levels(self, levels):
        """Each node's parent's level; a root's own level."""
        return torch.where(self.parents >= 0, levels[self.parents.clamp(min=0)], levels)

    def attribute(self, name: str, stack: torch.Tensor, levels=None) -> torch.Tensor:
        """Attribute ``name`` of every node, (N,) or (N, 2) for ``extent``, in
        the stack's dtype; differentiable in the pixels where it depends on them."""
        dtype = stack.dtype
        sign = 1.0 if self.kind == "max" else -1.0
        if levels is None and name in ("volume", "height", "mean_level"):
            levels = self.levels(stack)
        if name in ("volume", "mean_level"):  # sums over each component of its pixels' values
            sums = ops.subtree_sums(self.parents, levels * self.compact.to(dtype))
        if name == "area":
            return self.area.to(dtype)
        if name == "volume" and self.kind == "shapes":  # pixels on both sides of the parent's level
            return self._walked_volume(levels)
        if name == "volume":
            return sign * (sums - self.area.to(dtype) * self.parent_levels(levels))
        if name == "mean_level":
            return sums / self.area.to(dtype)
        if name == "height" and self.kind == "shapes":
            parent = self.parent_levels(levels)
            return torch.maximum(levels[self.extreme_node(levels, True)] - parent,
                                 parent - levels[self.extreme_node(levels, False)])
        if name == "height":
            return sign * (levels[self.extreme_node(levels)] - self.parent_levels(levels))
        if name in ("box_height", "box_width", "extent", "diameter", "rectangularity"):
            extent = self.extent.to(dtype)
            return {"box_height": extent[:, -2], "box_width": extent[:, -1], "extent": extent[:, -2:],
                    "diameter": extent.max(dim=1).values,
                    "rectangularity": self.area.to(dtype) / extent.prod(dim=1)}[name]
        raise ValueError(f"unknown attribute {name!r}; choose from {', '.join(ATTRIBUTES)}")

    def extreme_node(self, levels, highest=None) -> torch.Tensor:
        """For each node, the node of its subtree farthest from the root in
        level (highest in a max-tree, lowest in a min-tree; as ``highest``
        says when given), the largest id among equal levels."""
        values = levels.detach()
        if values.dtype not in (torch.float32, torch.float64):
            values = values.to(torch.float64)  # the same order for the half types
        highest = self.kind == "max" if highest is None else highest
        return torch.from_numpy(_vexa._subtree_extremes(self.parents.numpy(), values.numpy(), highest))

    def _walked_volume(self, levels) -> torch.Tensor:
        """Per node, the sum over its component's pixels of their distance to
        its parent's level, where a component holds levels on both sides of
        it: each node adds its compact pixels' distances to every
        ancestor-or-self, one step up at a time."""
        parent_levels = self.parent_levels(levels)
        compact = self.compact.to(levels.dtype)
        node = torch.nonzero(compact > 0)[:, 0]
        level, weight = levels[node], compact[node]
        volume = torch.zeros_like(levels)
        while node.numel():
            volume = volume.index_add(0, node, weight * (level - parent_levels[node]).abs())
            up = self.parents[node]
            alive = up >= 0
            node, level, weight = up[alive], level[alive], weight[alive]
        return volume

    def feature_columns(self, names: Sequence[str], stack: torch.Tensor, levels=None):
        """The features as a list of (N,) columns: each attribute (both axes
        of ``extent``), the logarithm of the magnitude for sizes,
        standardised over the nodes of each image. Columns that depend on
        the tree alone are computed without a graph."""
        columns = []
        for name in names:
            with torch.set_grad_enabled(torch.is_grad_enabled() and name in PIXEL_ATTRIBUTES):
                value = self.attribute(name, stack, levels)
                value = torch.log1p(value.abs()) if name in SIZE_ATTRIBUTES else value
                columns += [self._standardised(column) for column in value.reshape(self.num_nodes, -1).unbind(1)]
        return columns

    def _standardised(self, column):
        return torch.cat([standardised(piece) for piece in column.split(self.sizes)])  # each tree's nodes apart

    def features(self, names: Sequence[str], stack: torch.Tensor, levels=None) -> torch.Tensor:
        """Features (N, F), the columns of :meth:`feature_columns`."""
        return torch.stack(self.feature_columns(names, stack, levels), dim=1)
