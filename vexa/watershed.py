"""Hierarchical watersheds and saliency maps of images.

:func:`watershed_hierarchy` builds the hierarchical watershed of an image
(typically a gradient) by area, volume or dynamics (Cousty and Najman 2011)
as in Najman, Cousty and Perret, "Playing with Kruskal" (ISMM 2013):

1. the pixels form a graph (4- or 8-adjacency in 2-D, 6 or 26 in 3-D) whose
   edges weigh the mean, max, min or absolute difference of the two pixels'
   values;
2. Kruskal's algorithm merges the pixels along the edges in ascending
   weight into a binary partition tree by altitude ordering (its merges are
   the edges of a minimum spanning tree);
3. each node of that tree gets its attribute (area, volume, dynamics), and
   each merge the extinction value of the smaller of the two basins it joins;
4. Kruskal's algorithm merges the pixels again along the spanning tree's
   edges, in ascending extinction value.

The result is the second binary partition tree, a :class:`PartitionTree`
with the pixels as leaves, whose altitudes are the extinction values.

Ties: edges of equal weight are taken in the order of the scan (pixel
index, then the neighbour step in lexicographic order of its (plane, row,
column) offset: right before below in 2-D), and merges of equal extinction
value in the order the first tree made them; both sorts are stable, as
Higra's. On the same graph and weights, Higra's ``watershed_hierarchy_by_*``
(with ``canonize_tree=False``) builds the same binary tree, so the same
saliency on every edge, whenever the weights and the attribute values have
no ties; in 2-D also with ties, its 4- and 8-adjacency graphs listing the
pixel pairs in the same order (its 6-adjacency graph lists the plane step
first).

:func:`saliency` and :func:`edge_saliency` give the ultrametric contour map
of any tree on pixels: for two neighbouring pixels, the altitude of the
smallest node holding both.
"""
from typing import Callable, Tuple, Union

import numpy as np
import torch

import _vexa
from .partition import PartitionTree
from .tree import Array, Tree, as_tree
from .trees import _checked_connectivity, _owned_pixels

ATTRIBUTES = ("area", "volume", "dynamics")
EDGE_WEIGHTS = ("mean", "max", "min", "l1")


def watershed_hierarchy(image: Array, attribute: Union[str, Callable] = "area", connectivity: int = 1,
                        edge_weight: str = "mean") -> PartitionTree:
    """Hierarchical watershed of a 2-D or 3-D image by area, volume or dynamics.

    Parameters
    ----------
    image : numpy array or CPU torch tensor, 2-D or 3-D
        Vertex weights, typically a gradient. Dtype bool, uint8, uint16,
        uint32, int8, int16, int32, int64, float32 or float64; no NaN or
        infinity.
    attribute : {"area", "volume", "dynamics"} or callable
        What ranks the basins: their number of pixels, their volume (the sum
        of the depths below the level where they merge) or their depth. A
        callable ``attribute(tree, altitudes)`` receives the binary
        partition tree by altitude ordering (a :class:`PartitionTree`, leaves
        the pixels) and its node altitudes, and returns one value per node,
        increasing from the leaves to the root, as Higra's
        ``watershed_hierarchy_by_attribute``.
    connectivity : int
        As in scikit-image: 1 joins pixels sharing a face (4 / 6
        neighbours), up to ``image.ndim`` (8 / 26 neighbours).
    edge_weight : {"mean", "max", "min", "l1"}
        The weight of the edge between neighbours of values a and b:
        ``(a + b) / 2``, ``max(a, b)``, ``min(a, b)`` or ``|a - b|`` (for an
        image that is not a gradient), in float64.

    Returns
    -------
    PartitionTree
        Of kind ``"watershed"``, numpy or torch as the image: pixel ``p`` is
        leaf ``p``, the ``num_leaves - 1`` merges follow, and the altitudes
        are the merges' extinction values (0 for leaves). The tree is
        binary: merges within one basin come first, at altitude 0, so
        ``cut(k)`` splits plateaus in merge order. ``saliency(tree)`` is its
        contour map. Its canonical form (Higra's default) keeps the leaves
        and the merges whose altitude differs from their parent's:
        ``tree.simplify((alt != alt[parents]) | (ids < tree.num_leaves))``.

    Examples
    --------
    >>> gradient = np.hypot(*np.gradient(image.astype(float)))
    >>> tree = watershed_hierarchy(gradient, "volume")
    >>> regions = tree.cut(10)
    >>> contours = saliency(tree)
    """
    array, as_tensor = _owned_pixels(image)
    connectivity = _checked_connectivity(connectivity, array.ndim)
    if not isinstance(edge_weight, str) or edge_weight not in EDGE_WEIGHTS:
        raise ValueError(f"edge_weight must be one of {', '.join(EDGE_WEIGHTS)}, got {edge_weight!r}")
    convert = (lambda a: torch.from_numpy(a)) if as_tensor else (lambda a: a)
    pixel_to_node = np.arange(array.size, dtype=np.int64).reshape(array.shape)
    if callable(attribute):
        parents, altitudes, ends = _vexa._altitude_ordering_tree(array, connectivity, edge_weight)
        bpt = PartitionTree._made(convert(parents), convert(altitudes), convert(pixel_to_node), "partition")
        values = _attribute_values(attribute(bpt, bpt.altitudes), bpt.num_nodes)
        parents, altitudes = _vexa._watershed_from_attribute(parents, altitudes, ends, values)
    elif isinstance(attribute, str) and attribute in ATTRIBUTES:
        parents, altitudes = _vexa._watershed_hierarchy(array, connectivity, edge_weight, attribute)
    else:
        raise ValueError(f"attribute must be one of {', '.join(ATTRIBUTES)} or a callable, got {attribute!r}")
    return PartitionTree._made(convert(parents), convert(altitudes), convert(pixel_to_node), "watershed")


def _attribute_values(values, num_nodes: int) -> np.ndarray:
    if isinstance(values, torch.Tensor):
        values = values.detach().cpu().numpy()
    values = np.asarray(values)
    if values.dtype.kind not in "biuf":
        raise TypeError(f"the attribute must return numbers, got dtype {values.dtype}")
    if values.shape != (num_nodes,):
        raise ValueError(f"the attribute must return one value per node, shape ({num_nodes},), got {values.shape}")
    values = np.ascontiguousarray(values, dtype=np.float64)
    if not np.isfinite(values).all():
        raise ValueError("the attribute must return finite values, got NaN or infinity")
    return values


def edge_saliency(tree: Tree) -> Tuple[Array, ...]:
    """Saliency of every pair of neighbouring pixels, one array per axis.

    Parameters
    ----------
    tree : vexa.Tree
        Any tree on the pixels of a 2-D or 3-D image: a watershed hierarchy,
        a partition tree (from pixels, or from a label map: pixels inside
        one region get the leaf's altitude, 0), a max- or min-tree.

    Returns
    -------
    tuple of arrays, one per axis of the image
        Array ``a`` has the image's shape less one along axis ``a``; entry
        ``i`` is the altitude of the smallest node holding pixel ``i`` and
        the pixel one step further along ``a`` (the altitude of their lowest
        common ancestor, as Higra's ``saliency``). The altitudes' dtype, in
        the tree's container. Near-linear time.
    """
    tree = as_tree(tree)
    parents, pixel_to_node, altitudes = _native_arrays(tree)
    values = _vexa._edge_saliency(parents, pixel_to_node, altitudes)
    return tuple(_like_altitudes(tree, v) for v in values)


def _native_arrays(tree: Tree):
    pixel_to_node = tree._numpy("pixel_to_node")
    if pixel_to_node.ndim not in (2, 3):
        raise ValueError(f"the tree's pixels must form a 2-D or 3-D image, got shape {pixel_to_node.shape}")
    altitudes = np.ascontiguousarray(tree._numpy("altitudes"), dtype=np.float64)
    return np.ascontiguousarray(tree._numpy("parents")), np.ascontiguousarray(pixel_to_node), altitudes


def _like_altitudes(tree: Tree, values: np.ndarray) -> Array:
    dtype = tree._numpy("altitudes").dtype
    if values.dtype != dtype:
        values = values.astype(dtype)
    return tree._out(torch.from_numpy(values))


def saliency(tree: Tree) -> Array:
    """The saliency map (ultrametric contour map) of a tree on a 2-D image,
    on the Khalimsky grid.

    Returns
    -------
    array (2H - 1, 2W - 1)
        Entry ``(2i, 2j + 1)`` is the saliency of the edge between pixels
        ``(i, j)`` and ``(i, j + 1)``, entry ``(2i + 1, 2j)`` that of the edge
        between ``(i, j)`` and ``(i + 1, j)`` (see :func:`edge_saliency`),
        entry ``(2i + 1, 2j + 1)`` the largest of the four edges around it,
        and pixel entries ``(2i, 2j)`` are 0: Higra's
        ``graph_4_adjacency_2_khalimsky`` of its ``saliency``. The
        altitudes' dtype, in the tree's container. For 3-D images use
        :func:`edge_saliency`.
    """
    tree = as_tree(tree)
    shape = tuple(tree.pixel_to_node.shape)
    if len(shape) != 2:
        raise ValueError(f"saliency maps on the Khalimsky grid are 2-D; this tree's pixels have shape {shape} "
                         "(edge_saliency gives the saliency of every edge in 3-D)")
    return _like_altitudes(tree, _vexa._khalimsky_saliency(*_native_arrays(tree)))


__all__ = ["watershed_hierarchy", "saliency", "edge_saliency", "ATTRIBUTES", "EDGE_WEIGHTS"]
