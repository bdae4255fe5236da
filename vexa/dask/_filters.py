"""The public filters of :mod:`vexa.dask`: the arguments of their in-memory
namesakes (checked by the same code), a dask array in and out."""
import math

import dask.array as da
import numpy as np

from .. import trees
from ..morphology import ATTRIBUTES, _check_connectivity, _check_threshold, _invert
from ._plan import filtered
from ._regions import Job


def _checked_array(image, name: str) -> da.Array:
    """The image as a dask array of a shape, chunking and dtype the filters
    take."""
    if not isinstance(image, da.Array):
        raise TypeError(f"image must be a dask array, got {type(image).__name__}; for numpy arrays and "
                        f"torch tensors use vexa.{name}")
    if image.ndim not in (2, 3):
        raise ValueError(f"image must be 2-D or 3-D, got shape {image.shape}")
    if any(math.isnan(size) for sizes in image.chunks for size in sizes):
        raise ValueError(f"image has chunks of unknown size ({image.chunks}); "
                         f"call image.compute_chunk_sizes() first")
    if image.dtype.newbyteorder("=") not in trees._DTYPES:
        raise TypeError(f"image dtype must be bool, uint8, uint16, uint32, int8, int16, int32, int64, "
                        f"float32 or float64, got {image.dtype}")
    return image


def _run(image: da.Array, job: Job) -> da.Array:
    dtype = np.dtype(np.uint64) if job.rule == "maxima" else image.dtype
    if image.size == 0:
        return image.map_blocks(lambda block: np.zeros_like(block, dtype=dtype), dtype=dtype)
    job = job._replace(connectivity=min(job.connectivity, image.ndim), shape=image.shape)
    if all(all(sizes) for sizes in image.chunks):
        return filtered(image, job)
    # Empty chunks (left by slicing) hold no pixels: filtered without them.
    full = tuple(tuple(size for size in sizes if size) for sizes in image.chunks)
    return filtered(image.rechunk(full), job).rechunk(image.chunks)


def _skimage_filter(image, attribute: str, threshold, name: str, connectivity, closing: bool, function: str):
    image = _checked_array(image, function)
    threshold = _check_threshold(threshold, name)
    connectivity = _check_connectivity(connectivity)
    if closing:
        image = image.map_blocks(_invert, dtype=image.dtype)
    # The root is the whole image: when it fails, scikit-image's result is 0.
    root = image.size if attribute == "area" else max(image.shape)
    if image.size and root < threshold:
        out = da.zeros_like(image)
    else:
        out = _run(image, Job("max", connectivity, attribute, threshold, "direct", ()))
    return out.map_blocks(_invert, dtype=out.dtype) if closing else out


def area_opening(image: da.Array, area_threshold: float = 64, connectivity: int = 1) -> da.Array:
    """:func:`vexa.area_opening` of a chunked image.

    Parameters
    ----------
    image : dask.array.Array
        2-D or 3-D, chunked any way (known chunk sizes).
    area_threshold : int, optional
        Smallest area (in pixels) of a component that stays.
    connectivity : int, optional
        1 for 4- (6-) adjacency, up to ``image.ndim`` for 8- (26-) adjacency.

    Returns
    -------
    dask.array.Array
        Lazy, with the input's chunks and dtype: the pixels of
        :func:`vexa.area_opening` (all zeros when the image has fewer than
        ``area_threshold`` pixels).
    """
    return _skimage_filter(image, "area", area_threshold, "area_threshold", connectivity, False, "area_opening")


def area_closing(image: da.Array, area_threshold: float = 64, connectivity: int = 1) -> da.Array:
    """:func:`vexa.area_closing` of a chunked image; parameters and result as
    in :func:`area_opening`."""
    return _skimage_filter(image, "area", area_threshold, "area_threshold", connectivity, True, "area_closing")


def diameter_opening(image: da.Array, diameter_threshold: float = 8, connectivity: int = 1) -> da.Array:
    """:func:`vexa.diameter_opening` of a chunked image; parameters and
    result as in :func:`area_opening`."""
    return _skimage_filter(image, "diameter", diameter_threshold, "diameter_threshold", connectivity, False,
                           "diameter_opening")


def diameter_closing(image: da.Array, diameter_threshold: float = 8, connectivity: int = 1) -> da.Array:
    """:func:`vexa.diameter_closing` of a chunked image; parameters and
    result as in :func:`area_opening`."""
    return _skimage_filter(image, "diameter", diameter_threshold, "diameter_threshold", connectivity, True,
                           "diameter_closing")


def attribute_filter(image: da.Array, attribute: str, threshold: float, *, tree: str = "max",
                     rule: str = "direct", connectivity: int = 1) -> da.Array:
    """:func:`vexa.attribute_filter` of a chunked image.

    Parameters
    ----------
    image : dask.array.Array
        2-D or 3-D, chunked any way (known chunk sizes).
    attribute : str
        An attribute name of :meth:`vexa.Tree.attribute` (``"area"``,
        ``"volume"``, ``"height"`` or ``"contrast"``, ``"mean_level"``,
        ``"box_height"``, ``"box_width"``, ``"box_depth"``, ``"diameter"``,
        ``"rectangularity"``). Functions of the tree need the whole tree and
        are refused.
    threshold : float
        Nodes with ``attribute >= threshold`` are kept.
    tree : {"max", "min"}, optional
        Max-tree (bright structures) or min-tree (dark ones). The tree of
        shapes has no chunked form.
    rule : {"direct", "min", "max"}, optional
        As in :func:`vexa.attribute_filter`; the subtractive rule is refused.
    connectivity : int, optional
        1 for 4- (6-) adjacency, up to ``image.ndim`` for 8- (26-) adjacency.

    Returns
    -------
    dask.array.Array
        Lazy, with the input's chunks and dtype. The root is always kept.
    """
    if tree == "shapes":
        raise ValueError("tree='shapes' has no chunked form; use vexa.attribute_filter on an image in memory")
    if tree not in ("max", "min"):
        raise ValueError(f"tree must be 'max' or 'min', got {tree!r}")
    if rule == "subtractive":
        raise ValueError("rule='subtractive' has no chunked form; use 'direct', 'min' or 'max', or "
                         "vexa.attribute_filter on an image in memory")
    if rule not in ("direct", "min", "max"):
        raise ValueError(f"rule must be one of direct, min, max, got {rule!r}")
    if callable(attribute):
        raise TypeError("attribute must be a name here: a function of the tree needs the whole tree "
                        "(use vexa.attribute_filter on an image in memory)")
    if not isinstance(attribute, str):
        raise TypeError(f"attribute must be a name, got {attribute!r}")
    if attribute not in ATTRIBUTES:
        raise ValueError(f"unknown attribute {attribute!r}; expected one of {', '.join(ATTRIBUTES)}")
    image = _checked_array(image, "attribute_filter")
    threshold = _check_threshold(threshold, "threshold")
    connectivity = _check_connectivity(connectivity)
    return _run(image, Job(tree, connectivity, attribute, threshold, rule, ()))


def volume_opening(image: da.Array, volume_threshold: float, connectivity: int = 1) -> da.Array:
    """:func:`vexa.volume_opening` of a chunked image (see
    :func:`attribute_filter`). Float volumes may differ from the in-memory
    ones in the last bit (another order of summation)."""
    volume_threshold = _check_threshold(volume_threshold, "volume_threshold")
    return attribute_filter(image, "volume", volume_threshold, tree="max", connectivity=connectivity)


def volume_closing(image: da.Array, volume_threshold: float, connectivity: int = 1) -> da.Array:
    """:func:`vexa.volume_closing` of a chunked image (see
    :func:`volume_opening`)."""
    volume_threshold = _check_threshold(volume_threshold, "volume_threshold")
    return attribute_filter(image, "volume", volume_threshold, tree="min", connectivity=connectivity)


def contrast_opening(image: da.Array, contrast_threshold: float, connectivity: int = 1) -> da.Array:
    """:func:`vexa.contrast_opening` of a chunked image (see
    :func:`attribute_filter`)."""
    contrast_threshold = _check_threshold(contrast_threshold, "contrast_threshold")
    return attribute_filter(image, "height", contrast_threshold, tree="max", connectivity=connectivity)


def contrast_closing(image: da.Array, contrast_threshold: float, connectivity: int = 1) -> da.Array:
    """:func:`vexa.contrast_closing` of a chunked image (see
    :func:`attribute_filter`)."""
    contrast_threshold = _check_threshold(contrast_threshold, "contrast_threshold")
    return attribute_filter(image, "height", contrast_threshold, tree="min", connectivity=connectivity)


def max_tree_local_maxima(image: da.Array, connectivity: int = 1) -> da.Array:
    """The regional maxima of a chunked image, labelled.

    Parameters
    ----------
    image : dask.array.Array
        2-D or 3-D, chunked any way (known chunk sizes).
    connectivity : int, optional
        1 for 4- (6-) adjacency, up to ``image.ndim`` for 8- (26-) adjacency.

    Returns
    -------
    dask.array.Array
        uint64, lazy, with the input's chunks: labels 1, 2, ... on the
        maxima of :func:`vexa.max_tree_local_maxima`, 0 elsewhere. The
        numbering differs: the maxima are numbered box by box of the
        reduction over the chunks, and within a box by descending level,
        then descending largest linear index (see :mod:`vexa.dask`).
    """
    image = _checked_array(image, "max_tree_local_maxima")
    connectivity = _check_connectivity(connectivity)
    return _run(image, Job("max", connectivity, None, 0.0, "maxima", ()))
