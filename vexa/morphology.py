"""Attribute openings and closings of images, with scikit-image's names.

``area_opening``, ``area_closing``, ``diameter_opening``, ``diameter_closing``
and ``max_tree_local_maxima`` take the arguments of their namesakes in
``skimage.morphology`` and give the same pixels. ``volume_opening``,
``contrast_opening`` (their closings) and :func:`attribute_filter` go
further: any attribute of the component tree, kept or removed by the direct,
min, max or subtractive rule.

Every function takes a 2-D or 3-D image of any dtype :func:`vexa.max_tree`
takes (bool, integers, float32, float64), as a numpy array or a torch
tensor, and returns the same kind, of the input's dtype and shape (and, for
tensors, device). Levels are never rounded: the direct, min and max rules
give each pixel the level of some node, read in the image's dtype; the
subtractive rule computes in float64. The input is never modified.

These functions are not differentiable: a tensor that requires grad is
read detached, and the result requires no gradient. For gradients, use
:class:`vexa.ConnectedFilter` or the operators of :mod:`vexa.filters`.
"""
import warnings
from typing import Callable, Tuple, Union

import numpy as np
import torch

from . import filters, shapes, trees
from .tree import ATTRIBUTES as TREE_ATTRIBUTES, SYNONYMS, Tree

ImageLike = Union[np.ndarray, torch.Tensor]
Attribute = Union[str, Callable[[object], object]]

ATTRIBUTES = tuple(TREE_ATTRIBUTES) + tuple(SYNONYMS)
RULES = ("direct", "min", "max", "subtractive")


# ---- the one place that builds trees --------------------------------------

def _component_tree(image: np.ndarray, connectivity: int, kind: str, padding: str = "mean") -> Tree:
    """The max-tree (``kind="max"``), min-tree (``kind="min"``) or tree of
    shapes (``kind="shapes"``, with ``padding``; connectivity does not apply)
    of a non-empty numpy image, 2-D or 3-D, of any dtype :func:`vexa.max_tree`
    takes, with ``connectivity`` already checked (beyond ``image.ndim`` it
    means every neighbour, as in scikit-image). Every function of this module
    builds its trees here."""
    if kind == "shapes":
        return shapes.tree_of_shapes(image, padding)
    build = trees.max_tree if kind == "max" else trees.min_tree
    return build(image, min(connectivity, max(image.ndim, 1)))


def _is_empty_image(array: np.ndarray) -> bool:
    """An empty image of a shape and dtype a tree would take: nothing to
    filter. Others, empty or not, go on to the tree's own checks."""
    return array.size == 0 and array.ndim in (2, 3) and array.dtype in trees._DTYPES


# ---- arguments --------------------------------------------------------------

def _as_array(image) -> Tuple[np.ndarray, Callable[[np.ndarray], ImageLike]]:
    """The image as a numpy array, and the function that turns a result of the
    same shape and dtype back into the caller's kind of array."""
    if torch.is_tensor(image):
        try:
            array = image.detach().cpu().numpy()
        except TypeError as error:
            raise TypeError(f"unsupported tensor dtype {image.dtype}") from error
        device = image.device
        return array, lambda out: torch.from_numpy(out).to(device)
    if isinstance(image, np.ndarray):
        if not image.dtype.isnative:  # computed in native order, returned in the image's
            return image.astype(image.dtype.newbyteorder("=")), lambda out: out.astype(image.dtype)
        return image, lambda out: out
    if isinstance(image, (list, tuple)):
        return np.asarray(image), lambda out: out
    raise TypeError(f"image must be a numpy array or a torch tensor, got {type(image).__name__}")


def _check_connectivity(connectivity) -> int:
    if isinstance(connectivity, (bool, np.bool_)) or not isinstance(connectivity, (int, np.integer)):
        raise TypeError(f"connectivity must be an integer, got {connectivity!r}")
    if connectivity < 1:
        raise ValueError(f"connectivity must be at least 1, got {connectivity}")
    return int(connectivity)


def _check_threshold(threshold, name: str) -> float:
    if isinstance(threshold, (str, bytes)):  # float() would read it
        raise TypeError(f"{name} must be a number, got {threshold!r}")
    try:
        value = float(threshold)
    except (TypeError, ValueError):
        raise TypeError(f"{name} must be a number, got {threshold!r}") from None
    if np.isnan(value):
        raise ValueError(f"{name} must not be NaN, got {threshold!r}")
    return value


# ---- node attributes --------------------------------------------------------

def _scatter(target: torch.Tensor, index: torch.Tensor, source: torch.Tensor, reduce: str):
    """``target.scatter_reduce``, without torch's notice that it is new."""
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", "scatter_reduce", UserWarning)
        return target.scatter_reduce(0, index, source, reduce=reduce, include_self=True)


def node_attribute(tree: Tree, name: str) -> torch.Tensor:
    """Per-node attribute ``name`` of a tree, as a float64 tensor in node-id
    order: :meth:`vexa.Tree.attribute`, whatever the tree's container.

    ``name`` is one of :data:`ATTRIBUTES`: ``height`` is the level range
    (how far the component rises above its parent's level: its dynamics;
    ``contrast`` is the same), ``volume`` the sum over its pixels of that
    distance, and ``box_height``, ``box_width``, ``box_depth`` the bounding
    box's extents along the last axes, ``diameter`` the longest.
    """
    return torch.as_tensor(tree.attribute(name))


# ---- filtering --------------------------------------------------------------

_RULE_FUNCTIONS = {"direct": filters.direct, "min": filters.minimum,
                   "max": filters.maximum, "subtractive": filters.subtractive}


def _keep_mask(tree, attribute: Attribute, threshold: float) -> torch.Tensor:
    if callable(attribute):
        values = torch.as_tensor(np.asarray(attribute(tree), dtype=np.float64))
        if tuple(values.shape) != (tree.num_nodes,):
            raise ValueError(f"the attribute function must return one value per node "
                             f"({tree.num_nodes}), got shape {tuple(values.shape)}")
    elif isinstance(attribute, str):
        values = node_attribute(tree, attribute)
    else:
        raise TypeError(f"attribute must be a name or a function of the tree, got {attribute!r}")
    return values >= threshold


def _filtered(array: np.ndarray, kind: str, attribute: Attribute, threshold: float,
              connectivity: int, rule: str, root_may_fail: bool, padding: str = "mean") -> np.ndarray:
    """Removes the nodes whose attribute is below ``threshold`` by ``rule``.
    With ``root_may_fail``, a removed root takes the level 0 as scikit-image
    does (the whole image, for an increasing attribute); otherwise the root
    is always kept."""
    if _is_empty_image(array):
        return array.copy()
    tree = _component_tree(array, connectivity, kind, padding)
    keep = _keep_mask(tree, attribute, threshold)
    parents = torch.as_tensor(tree.parents)
    if root_may_fail and not bool(keep[parents < 0].all()):
        return np.zeros_like(array)
    pixel_to_node = torch.as_tensor(tree.pixel_to_node)
    if rule == "subtractive":  # shifts levels: float64 arithmetic
        arrays = filters.TreeArrays(parents, torch.from_numpy(tree.levels.astype(np.float64)), pixel_to_node,
                                    tree._native)
        return filters.subtractive(arrays, keep).numpy().astype(array.dtype).reshape(array.shape)
    # The other rules give every pixel the level of some node: filtering the
    # node ids instead of the levels says which, and the levels are then read
    # in the image's own dtype, exactly.
    ids = filters.TreeArrays(parents, torch.arange(tree.num_nodes, dtype=torch.float64), pixel_to_node,
                             tree._native)
    node_of_pixel = _RULE_FUNCTIONS[rule](ids, keep).numpy().astype(np.int64)
    return tree.levels[node_of_pixel].reshape(array.shape)


def _invert(array: np.ndarray) -> np.ndarray:
    """scikit-image's inversion, so that closings match its results."""
    if array.dtype == np.bool_:
        return ~array
    if np.issubdtype(array.dtype, np.unsignedinteger):
        return np.subtract(np.iinfo(array.dtype).max, array, dtype=array.dtype)
    if np.issubdtype(array.dtype, np.signedinteger):
        return np.subtract(-1, array, dtype=array.dtype)
    return np.subtract(1, array, dtype=array.dtype)


def _skimage_opening(image, attribute: str, threshold, name: str, connectivity, closing: bool):
    array, back = _as_array(image)
    threshold = _check_threshold(threshold, name)
    connectivity = _check_connectivity(connectivity)
    if closing:
        inverted = _filtered(_invert(array), "max", attribute, threshold, connectivity, "direct", True)
        return back(_invert(inverted))
    return back(_filtered(array, "max", attribute, threshold, connectivity, "direct", True))


def area_opening(image: ImageLike, area_threshold: float = 64, connectivity: int = 1) -> ImageLike:
    """Remove bright structures of fewer than ``area_threshold`` pixels.

    Every connected component of an upper level set with fewer pixels than
    ``area_threshold`` is lowered to the level of the largest component
    around it that has enough. Gives the pixels of
    ``skimage.morphology.area_opening``.

    Parameters
    ----------
    image : ndarray or Tensor
        2-D or 3-D image.
    area_threshold : int, optional
        Smallest area (in pixels) of a component that stays.
    connectivity : int, optional
        Largest number of orthogonal steps to a neighbour: 1 for 4- (6- in
        3-D) adjacency, up to ``image.ndim`` (or more) for 8- (26-) adjacency.

    Returns
    -------
    ndarray or Tensor
        The filtered image, of the same kind, dtype and shape as ``image``,
        without gradient (use :class:`vexa.ConnectedFilter` or
        :mod:`vexa.filters` for gradients).

    Notes
    -----
    When the whole image has fewer than ``area_threshold`` pixels no
    component passes, and, as in scikit-image, the result is all zeros.
    """
    return _skimage_opening(image, "area", area_threshold, "area_threshold", connectivity, False)


def area_closing(image: ImageLike, area_threshold: float = 64, connectivity: int = 1) -> ImageLike:
    """Fill dark structures of fewer than ``area_threshold`` pixels.

    The dual of :func:`area_opening` on lower level sets; gives the pixels
    of ``skimage.morphology.area_closing``. Parameters as in
    :func:`area_opening`.

    Returns
    -------
    ndarray or Tensor
        The filtered image, of the same kind, dtype and shape as ``image``,
        without gradient (use :class:`vexa.ConnectedFilter` or
        :mod:`vexa.filters` for gradients).

    Notes
    -----
    When no component passes, the result is scikit-image's inversion of 0:
    the dtype's maximum for unsigned integers, -1 for signed ones, 1.0 for
    floats.
    """
    return _skimage_opening(image, "area", area_threshold, "area_threshold", connectivity, True)


def diameter_opening(image: ImageLike, diameter_threshold: float = 8,
                     connectivity: int = 1) -> ImageLike:
    """Remove bright structures whose bounding box is shorter than
    ``diameter_threshold`` along its longest side.

    Long thin structures stay, unlike with an opening by a disc. Gives the
    pixels of ``skimage.morphology.diameter_opening``; parameters as in
    :func:`area_opening`. When no component passes, the result is all zeros.

    Returns
    -------
    ndarray or Tensor
        The filtered image, of the same kind, dtype and shape as ``image``,
        without gradient (use :class:`vexa.ConnectedFilter` or
        :mod:`vexa.filters` for gradients).
    """
    return _skimage_opening(image, "diameter", diameter_threshold, "diameter_threshold",
                            connectivity, False)


def diameter_closing(image: ImageLike, diameter_threshold: float = 8,
                     connectivity: int = 1) -> ImageLike:
    """Fill dark structures whose bounding box is shorter than
    ``diameter_threshold`` along its longest side; the dual of
    :func:`diameter_opening`, with the pixels of
    ``skimage.morphology.diameter_closing``.

    Returns
    -------
    ndarray or Tensor
        The filtered image, of the same kind, dtype and shape as ``image``,
        without gradient (use :class:`vexa.ConnectedFilter` or
        :mod:`vexa.filters` for gradients).
    """
    return _skimage_opening(image, "diameter", diameter_threshold, "diameter_threshold",
                            connectivity, True)


def max_tree_local_maxima(image: ImageLike, connectivity: int = 1) -> ImageLike:
    """Label the regional maxima of the image.

    A regional maximum is a connected set of pixels of one level whose
    neighbours are all lower. Gives the labels of
    ``skimage.morphology.max_tree_local_maxima``, numbered in the same order.

    Returns
    -------
    ndarray or Tensor
        Labels 1, 2, ... of the maxima and 0 elsewhere, as uint64 (int64 for
        a tensor, which has no uint64). A constant image is one maximum.
        No gradient.
    """
    array, _ = _as_array(image)
    labels = _maxima_labels(array, _check_connectivity(connectivity))
    if torch.is_tensor(image):
        return labels.to(image.device)
    return labels.numpy().astype(np.uint64)


def _maxima_labels(array: np.ndarray, connectivity: int) -> torch.Tensor:
    """int64 labels of the leaves of the max-tree, in scikit-image's order."""
    if _is_empty_image(array):
        return torch.zeros(array.shape, dtype=torch.int64)
    tree = _component_tree(array, connectivity, "max")
    parents = torch.as_tensor(tree.parents)
    pixel_to_node = torch.as_tensor(tree.pixel_to_node).reshape(-1)
    leaf = torch.ones(parents.shape[0], dtype=torch.bool)
    leaf[parents[parents >= 0]] = False
    # scikit-image numbers the maxima backwards through its argsort of the
    # pixels, each maximum at its first pixel in that order.
    order = torch.from_numpy(np.argsort(array.ravel()).astype(np.int64, copy=False))
    first = _scatter(torch.full_like(parents, order.shape[0]), pixel_to_node.index_select(0, order),
                     torch.arange(order.shape[0]), "amin")
    leaves = torch.nonzero(leaf)[:, 0]
    numbered = leaves[torch.argsort(first[leaves], descending=True)]
    labels = torch.zeros_like(parents)
    labels[numbered] = torch.arange(1, numbered.shape[0] + 1)
    return labels.index_select(0, pixel_to_node).reshape(array.shape)


# ---- beyond scikit-image ----------------------------------------------------

def attribute_filter(image: ImageLike, attribute: Attribute, threshold: float, *,
                     tree: str = "max", rule: str = "direct", connectivity: int = 1) -> ImageLike:
    """Keep the nodes of the image's component tree whose attribute reaches
    ``threshold``, and remove the others by ``rule``.

    Parameters
    ----------
    image : ndarray or Tensor
        2-D or 3-D image.
    attribute : str or callable
        One of ``"area"``, ``"volume"``, ``"height"`` (the level range,
        also ``"contrast"``), ``"mean_level"``, ``"box_height"``,
        ``"box_width"``, ``"box_depth"``, ``"diameter"``,
        ``"rectangularity"`` (see :func:`node_attribute` and
        :meth:`vexa.Tree.attribute`), or a function that takes the tree (a
        :class:`vexa.Tree`) and returns one value per node in node-id
        order.
    threshold : float
        Nodes with ``attribute >= threshold`` are kept.
    tree : {"max", "min", "shapes"}, optional
        Filter bright structures (max-tree, an opening for an increasing
        attribute), dark ones (min-tree, a closing), or both alike (the tree
        of shapes with its default padding, :func:`vexa.tree_of_shapes`;
        ``connectivity`` does not apply to it).
    rule : {"direct", "min", "max", "subtractive"}, optional
        How removed nodes go: ``direct`` gives a removed node's own pixels
        the level of its nearest kept ancestor; ``min`` also removes the
        descendants of removed nodes; ``max`` keeps every ancestor of a kept
        node; ``subtractive`` lowers the whole subtree of a removed node by
        its step. For an increasing attribute (area, volume, height,
        diameter) all four give the same result.
    connectivity : int, optional
        1 for 4- (6-) adjacency, up to ``image.ndim`` for 8- (26-) adjacency.

    Returns
    -------
    ndarray or Tensor
        The filtered image, of the same kind, dtype and shape as ``image``,
        without gradient (use :class:`vexa.ConnectedFilter` or
        :mod:`vexa.filters` for gradients).

    Notes
    -----
    The tree's root (the whole image at its lowest, or highest, level; the
    outside of the image for the tree of shapes) is always kept, so the
    result never leaves the image's range. This differs
    from scikit-image's area and diameter filters, which set the image to 0
    when even the root fails.
    """
    if tree not in ("max", "min", "shapes"):
        raise ValueError(f"tree must be 'max', 'min' or 'shapes', got {tree!r}")
    if rule not in RULES:
        raise ValueError(f"rule must be one of {', '.join(RULES)}, got {rule!r}")
    array, back = _as_array(image)
    threshold = _check_threshold(threshold, "threshold")
    connectivity = _check_connectivity(connectivity)
    return back(_filtered(array, tree, attribute, threshold, connectivity, rule, False))


def grain_filter(image: ImageLike, area_threshold: float, padding: str = "mean") -> ImageLike:
    """Remove bright and dark structures alike: every shape of fewer than
    ``area_threshold`` pixels.

    A shape is a connected component of an upper or lower level set with its
    holes filled (:func:`vexa.tree_of_shapes`). Each pixel of a removed shape
    takes the level of its nearest kept ancestor. Unlike an area opening
    followed by a closing, the result does not depend on which goes first:
    the filter is self-dual (with ``padding="none"``, exactly:
    ``grain_filter(-f) == -grain_filter(f)``).

    Parameters
    ----------
    image : ndarray or Tensor
        2-D or 3-D image of any dtype :func:`vexa.max_tree` takes.
    area_threshold : float
        Smallest area (in pixels) of a shape that stays.
    padding : {"mean", "zero", "none"}, optional
        What surrounds the image (see :func:`vexa.tree_of_shapes`).

    Returns
    -------
    ndarray or Tensor
        The filtered image, of the same kind, dtype and shape as ``image``.
    """
    shapes._checked_padding(padding)
    array, back = _as_array(image)
    threshold = _check_threshold(area_threshold, "area_threshold")
    return back(_filtered(array, "shapes", "area", threshold, 1, "direct", False, padding))


def volume_opening(image: ImageLike, volume_threshold: float, connectivity: int = 1) -> ImageLike:
    """Remove bright structures whose volume above their surroundings (the
    sum over their pixels of the height above the parent level) is below
    ``volume_threshold``. See :func:`attribute_filter`.

    Returns
    -------
    ndarray or Tensor
        The filtered image, of the same kind, dtype and shape as ``image``,
        without gradient (use :class:`vexa.ConnectedFilter` or
        :mod:`vexa.filters` for gradients).
    """
    volume_threshold = _check_threshold(volume_threshold, "volume_threshold")
    return attribute_filter(image, "volume", volume_threshold, tree="max", connectivity=connectivity)


def volume_closing(image: ImageLike, volume_threshold: float, connectivity: int = 1) -> ImageLike:
    """Fill dark structures whose volume below their surroundings is below
    ``volume_threshold``; the dual of :func:`volume_opening`.

    Returns
    -------
    ndarray or Tensor
        The filtered image, of the same kind, dtype and shape as ``image``,
        without gradient (use :class:`vexa.ConnectedFilter` or
        :mod:`vexa.filters` for gradients).
    """
    volume_threshold = _check_threshold(volume_threshold, "volume_threshold")
    return attribute_filter(image, "volume", volume_threshold, tree="min", connectivity=connectivity)


def contrast_opening(image: ImageLike, contrast_threshold: float, connectivity: int = 1) -> ImageLike:
    """Remove bright structures that rise less than ``contrast_threshold``
    above their surroundings (their dynamics): peaks lower than the
    threshold are flattened, higher ones keep every level. See
    :func:`attribute_filter`.

    Returns
    -------
    ndarray or Tensor
        The filtered image, of the same kind, dtype and shape as ``image``,
        without gradient (use :class:`vexa.ConnectedFilter` or
        :mod:`vexa.filters` for gradients).
    """
    contrast_threshold = _check_threshold(contrast_threshold, "contrast_threshold")
    return attribute_filter(image, "height", contrast_threshold, tree="max", connectivity=connectivity)


def contrast_closing(image: ImageLike, contrast_threshold: float, connectivity: int = 1) -> ImageLike:
    """Fill dark structures that sink less than ``contrast_threshold`` below
    their surroundings; the dual of :func:`contrast_opening`.

    Returns
    -------
    ndarray or Tensor
        The filtered image, of the same kind, dtype and shape as ``image``,
        without gradient (use :class:`vexa.ConnectedFilter` or
        :mod:`vexa.filters` for gradients).
    """
    contrast_threshold = _check_threshold(contrast_threshold, "contrast_threshold")
    return attribute_filter(image, "height", contrast_threshold, tree="min", connectivity=connectivity)
