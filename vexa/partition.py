"""Binary partition trees by region merging, from pixels or from regions.

Adjacent regions are merged two at a time, least dissimilar first, until one
region is left (Salembier and Garrido's binary partition tree). The merging
runs on the region adjacency graph: each region keeps its adjacencies in a
list that is joined in constant time on a merge, a merge walks the new
region's list once to re-weigh it, and the queue holds lower bounds of the
current weights, checked as they come out, so only weights that dropped
are queued again at once. The work is O(D log D) for
D the sum of the merged regions' degrees: near E log E for E adjacencies
when regions stay compact, more when a region grows by absorbing its
neighbours one by one (noise images).

Ties are broken deterministically: among equally dissimilar pairs, the pair
of smallest (smaller node index, larger node index) merges first, nodes
being indexed as in :attr:`PartitionTree.parents` (leaves first, then merged
nodes in merge order). The "min" linkage is Kruskal's algorithm on the
pixel pairs, O(E log E): ties go to the pixel pair met first in the
row-major scan.
"""
from typing import Optional

import numpy as np
import torch

import _vexa
from .tree import Tree

LINKAGES = ("mean", "min", "max", "average", "ward")


class PartitionTree(Tree):
    """A binary partition tree: a :class:`vexa.Tree` whose leaves are the
    initial regions (pixels, or the regions of a label map) and whose other
    nodes are their merges.

    Attributes
    ----------
    parents : int64 (N,)
        Parent of every node, -1 for the root. The leaves come first (in
        ascending label order, or in pixel order when the leaves are pixels),
        then the merged nodes in merge order: children before parents.
    altitudes : float64 (N,)
        Dissimilarity of the two regions at the merge that made each node;
        0 for leaves. Mean, average and Ward linkages may merge below an
        earlier altitude.
    pixel_to_node : int64, the image's spatial shape
        Index of the leaf holding each pixel (also ``leaf_labels``).
    """

    KINDS = ("partition", "watershed")

    def __init__(self, parents: np.ndarray, altitudes: np.ndarray, leaf_labels: np.ndarray):
        super().__init__(parents, altitudes, leaf_labels, "partition")

    @property
    def leaf_labels(self):
        """The leaf holding each pixel: ``pixel_to_node``."""
        return self.pixel_to_node

    def cut(self, k: int) -> np.ndarray:
        """Label map (int32 numpy, the image's shape) of the ``k`` regions
        left after the first ``num_leaves - k`` merges, numbered 0..k-1 in
        the order of their first pixel (row-major)."""
        k = _integer("k", k)
        if not 1 <= k <= self.num_leaves:
            raise ValueError(f"k must be between 1 and {self.num_leaves}, got {k}")
        return _vexa._partition_cut(self._numpy("parents"), self._numpy("pixel_to_node"), k)

    def cut_at(self, altitude: float) -> np.ndarray:
        """Label map (int32 numpy, the image's shape) of the regions joined
        by the merges at ``altitude`` or below, numbered in the order of
        their first pixel. A merge counts at the highest altitude within its
        subtree, so regions only grow with the threshold."""
        altitude = float(altitude)
        if np.isnan(altitude):
            raise ValueError("altitude must not be NaN")
        return _vexa._partition_cut_at(self._numpy("parents"), self._numpy("pixel_to_node"),
                                       self._numpy("altitudes"), altitude)


def _integer(name, value):
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"{name} must be an integer, got {type(value).__name__}")
    return int(value)


def _pixel_values(image, channel_axis):
    """The image as float64 of shape (spatial..., channels)."""
    image = np.asarray(image)
    if image.dtype.kind not in "biuf":
        raise TypeError(f"image must be numeric, got dtype {image.dtype}")
    if channel_axis is None:
        image = image[..., np.newaxis]
    else:
        channel_axis = _integer("channel_axis", channel_axis)
        if not -image.ndim <= channel_axis < image.ndim:
            raise ValueError(f"channel_axis {channel_axis} is out of range for an image of {image.ndim} dimensions")
        image = np.moveaxis(image, channel_axis, -1)
    if image.ndim not in (3, 4):
        raise ValueError("image must be 2-D or 3-D (plus a channel axis), "
                         f"got spatial shape {image.shape[:-1]}")
    if image.size == 0:
        raise ValueError(f"image must not be empty, got shape {image.shape[:-1]}")
    values = np.ascontiguousarray(image, dtype=np.float64)
    if not np.isfinite(values).all():
        raise ValueError("image must not contain NaN or infinite values")
    return values


def _leaf_labels(labels, spatial_shape):
    """The label map as uint32, with the labels' ascending order kept."""
    labels = np.asarray(labels)
    if labels.dtype.kind not in "biu":
        raise TypeError(f"labels must be an integer array, got dtype {labels.dtype}")
    if labels.shape != spatial_shape:
        raise ValueError(f"labels must have the image's shape {spatial_shape}, got {labels.shape}")
    if labels.min() >= 0 and labels.max() <= np.iinfo(np.uint32).max:
        return np.ascontiguousarray(labels, dtype=np.uint32)
    return np.unique(labels, return_inverse=True)[1].reshape(spatial_shape).astype(np.uint32)


def binary_partition_tree(image, labels: Optional[np.ndarray] = None, linkage: str = "mean",
                          connectivity: int = 1, *, channel_axis: Optional[int] = None) -> PartitionTree:
    """Binary partition tree of an image, from its pixels or its regions.

    Parameters
    ----------
    image : ndarray, 2-D or 3-D, any numeric dtype
        Grey levels, or colour with ``channel_axis`` set (e.g. ``-1`` for RGB).
        When ``labels`` has one dimension less than ``image``, the last axis
        is taken as the channel axis.
    labels : ndarray of integers, optional
        Initial regions: every distinct label is a leaf (a label may cover
        pixels that do not touch). By default every pixel is a leaf.
    linkage : {"mean", "min", "max", "average", "ward"}
        Dissimilarity of two adjacent regions: the Euclidean distance
        between their mean values ("mean"; on grey images the mean-level
        rule of ``_vexa.BPT``); the least, greatest or mean distance between
        the values of two adjacent pixels across their border ("min",
        "max", "average"); or the growth of the squared error,
        ``nA nB / (nA + nB) |meanA - meanB|^2`` ("ward").
    connectivity : int
        Pixels at most this many orthogonal steps apart are adjacent (1: 4-
        or 6-neighbourhood; ``image.ndim``: 8- or 26-neighbourhood).
    channel_axis : int, optional
        Axis of the image holding the channels.

    Returns
    -------
    PartitionTree
        A :class:`vexa.Tree`, numpy or torch as the image.

    Examples
    --------
    >>> tree = binary_partition_tree(image, linkage="ward")
    >>> regions = tree.cut(10)          # int32 label map of 10 regions
    """
    if linkage not in LINKAGES:
        raise ValueError(f"linkage must be one of {LINKAGES}, got {linkage!r}")
    connectivity = _integer("connectivity", connectivity)
    as_tensor = isinstance(image, torch.Tensor)
    if as_tensor:
        if image.device.type != "cpu":
            raise ValueError(f"image must be on the CPU, got a tensor on {image.device}")
        image = image.detach().numpy()
    if isinstance(labels, torch.Tensor):
        labels = labels.detach().cpu().numpy()
    image = np.asarray(image)
    if channel_axis is None and labels is not None and np.ndim(labels) == image.ndim - 1:
        channel_axis = -1
    values = _pixel_values(image, channel_axis)
    spatial_shape = values.shape[:-1]
    if not 1 <= connectivity <= len(spatial_shape):
        raise ValueError(f"connectivity must be between 1 and {len(spatial_shape)}, got {connectivity}")
    leaf_map = None if labels is None else _leaf_labels(labels, spatial_shape)
    parents, altitudes, leaf_of = _vexa._binary_partition_tree(values, leaf_map, linkage, connectivity)
    if leaf_of is None:
        leaf_of = np.arange(int(np.prod(spatial_shape)), dtype=np.int64).reshape(spatial_shape)
    else:
        leaf_of = leaf_of.astype(np.int64)
    if as_tensor:
        parents, altitudes, leaf_of = (torch.from_numpy(a) for a in (parents, altitudes, leaf_of))
    return PartitionTree._made(parents, altitudes, leaf_of, "partition")
