"""Regional extrema of images and their significance, with scikit-image's names.

``h_maxima``, ``h_minima``, ``local_maxima`` and ``local_minima`` take the
arguments of their namesakes in ``skimage.morphology`` and give the same
pixels, read from one component tree instead of a reconstruction or a flood
fill. :func:`extinction_values` goes further: how significant each regional
extremum of a tree is, by its dynamics, area or volume.

Images are 2-D or 3-D, numpy arrays or CPU torch tensors; results come back
as the same kind. A footprint, where one is taken, must be a 3 x 3 (x 3)
ball of 1 to ``ndim`` orthogonal steps, which is a connectivity.
"""
import numbers
import warnings
from typing import Optional, Tuple, Union

import numpy as np
import torch

import _vexa
from .morphology import _as_array, _check_connectivity, _component_tree, _invert, _is_empty_image

ImageLike = Union[np.ndarray, torch.Tensor]

__all__ = ["h_maxima", "h_minima", "local_maxima", "local_minima", "extinction_values"]

EXTINCTION_ATTRIBUTES = ("height", "area", "volume")


# ---- arguments --------------------------------------------------------------

def _footprint_connectivity(footprint, ndim: int) -> int:
    """The connectivity a footprint stands for: ``ndim`` (every neighbour)
    for None, else the number of orthogonal steps of the 3 x ... x 3 ball it
    is. Any other footprint is refused."""
    if footprint is None:
        return ndim
    array = footprint.detach().cpu().numpy() if torch.is_tensor(footprint) else np.asarray(footprint)
    if array.shape == (3,) * ndim:
        steps = np.abs(np.indices(array.shape) - 1).sum(axis=0)
        for connectivity in range(1, ndim + 1):
            if np.array_equal(array.astype(bool), steps <= connectivity):
                return connectivity
    raise ValueError(f"footprint must be a {'x'.join('3' * ndim)} ball of 1 to {ndim} orthogonal steps "
                     f"(a connectivity: the cross up to the full square or cube), got {array.astype(int).tolist()}")


def _check_h(h):
    if isinstance(h, (bool, np.bool_)) or not isinstance(h, numbers.Real):
        raise TypeError(f"h must be a real number, got {h!r}")
    if np.isnan(h):
        raise ValueError("h must not be NaN")
    if h < 0:
        raise ValueError(f"h must be positive, got {h}")
    return h


def _exact_float(values: np.ndarray) -> np.ndarray:
    """float32 or float64 values in the same order as ``values``, ties
    included: floats as they are, 64-bit integers by rank (float64 would
    round them), other integers as float64."""
    if values.dtype in (np.float32, np.float64):
        return values
    if values.dtype.itemsize == 8:
        return np.unique(values, return_inverse=True)[1].astype(np.float64)
    return values.astype(np.float64)


def _numpy(array) -> np.ndarray:
    return array.numpy() if torch.is_tensor(array) else np.asarray(array)


# ---- h-extrema --------------------------------------------------------------

def _h_extrema(image, h, footprint, kind: str):
    """scikit-image's h-maxima (``kind="max"``) or h-minima, without its
    reconstruction: the reconstruction of the shifted image under the image
    is read from the component tree.

    Seed s = image shifted by h towards the root; rec(p) is the largest, over
    pixels q, of min(s(q), the best path level from q to p), and the best
    path level between two pixels is the level of their nodes' lowest common
    ancestor. So for a node N, rec = max over its ancestors A of
    min(level(A), S(A)), with S(A) the extreme seed of A's subtree (the
    max-tree case; the min-tree one swaps max and min). Along a branch the
    levels rise while S falls: the nodes with level(A) >= S(A) are closed
    under descendants, and the maximum sits where a branch enters them, at
    their top X: rec(N) = max(level(parent X), S(X)), or level(N) outside."""
    array, back = _as_array(image)
    h = _check_h(h)
    if array.dtype == np.bool_:
        raise TypeError("h_maxima and h_minima take integer or float images, got bool")
    connectivity = _footprint_connectivity(footprint, array.ndim)
    if _is_empty_image(array):
        return back(np.zeros(array.shape, dtype=np.uint8))
    if h > np.ptp(array):  # no extremum is that deep: scikit-image gives nothing, not even the global ones
        return back(np.zeros(array.shape, dtype=np.uint8))
    if isinstance(h, (float, np.floating)) and np.issubdtype(array.dtype, np.integer):
        if h % 1 != 0:
            warnings.warn("possible precision loss converting image to floating point. To silence "
                          "this warning, ensure image and h have same data type.", UserWarning, stacklevel=3)
            array = array.astype(np.float64)
        else:
            h = array.dtype.type(h)
    if h == 0:
        raise ValueError(f"h = 0 is ambiguous, use local_{'maxima' if kind == 'max' else 'minima'}() instead?")

    tree = _component_tree(array, connectivity, kind)
    parents, levels = _numpy(tree.parents), _numpy(tree.levels)
    up = 1 if kind == "max" else -1  # the sign of "towards the leaves"
    if np.issubdtype(levels.dtype, np.floating):
        # scikit-image's shift, with its allowance for rounding, element by element as it computes it.
        resolution = 2 * np.finfo(levels.dtype).resolution * np.abs(levels)
        seeds = levels - h - resolution if up > 0 else levels + h + resolution
    else:  # shifted in int64 and clipped to the dtype, exactly
        info, levels = np.iinfo(levels.dtype), levels.astype(np.int64)
        h = int(h)
        if up > 0:
            seeds = np.where(levels < info.min + h, info.min, levels - h)
        else:
            seeds = np.where(levels > info.max - h, info.max, levels + h)
    extreme = _vexa._subtree_extremes(parents, _exact_float(seeds), up > 0)
    subtree_seed = seeds[extreme]
    flooded = up * levels >= up * subtree_seed
    has_parent = parents >= 0
    parent = np.maximum(parents, 0)
    top = flooded & ~(flooded[parent] & has_parent)
    entry = _vexa._nearest_kept(torch.from_numpy(parents), torch.from_numpy(top)).numpy()
    entry = np.maximum(entry, 0)  # only read where flooded, where it is a real node
    higher = np.maximum if up > 0 else np.minimum
    entered = np.where(has_parent[entry], higher(levels[parent[entry]], subtree_seed[entry]), subtree_seed[entry])
    reconstruction = np.where(flooded, entered, levels)
    if np.issubdtype(levels.dtype, np.floating):  # scikit-image's reconstruction is float64
        residue = up * (levels.astype(np.float64) - reconstruction.astype(np.float64))
    else:
        residue = up * (levels - reconstruction)
    keep = (residue >= h).astype(np.uint8)
    return back(keep[_numpy(tree.pixel_to_node)].reshape(array.shape))


def h_maxima(image: ImageLike, h: float, footprint=None) -> ImageLike:
    """Mark the regional maxima that rise at least ``h`` above their
    surroundings, and the global maxima.

    A regional maximum M (a connected plateau higher than every neighbour)
    is kept when every path from M to an equal or higher maximum descends
    by at least ``h`` below M's level. Gives the pixels of
    ``skimage.morphology.h_maxima``.

    Parameters
    ----------
    image : ndarray or Tensor
        2-D or 3-D image, integer or float (no NaN).
    h : int or float
        The least height, positive. An integer-valued float is an integer;
        any other float turns an integer image into float64, with
        scikit-image's warning.
    footprint : ndarray, optional
        The neighbourhood: None (the default) or the full 3 x 3 (x 3) block
        for every neighbour, the cross for face neighbours (in 3-D also the
        18-neighbour ball). Other footprints are refused.

    Returns
    -------
    ndarray or Tensor
        uint8, 1 on the kept maxima and 0 elsewhere, of the image's shape
        and kind.

    Raises
    ------
    ValueError
        If ``h`` is 0 (use :func:`local_maxima`), negative or NaN.

    Notes
    -----
    Read from the max-tree in linear time. For integer images the maxima
    kept are the leaves whose dynamics, counting a merge with an equal
    maximum as no merge, reaches ``h``; the pixels equal scikit-image's
    for levels within +-2**53 (beyond, its float64 reconstruction rounds
    levels together, while vexa compares them exactly).
    For float images vexa repeats scikit-image's arithmetic: the image is
    lowered by ``h`` plus a rounding allowance of ``2 * resolution *
    abs(image)`` (``resolution`` of ``np.finfo``), and a pixel is kept when
    it stands at least ``h`` above the reconstruction in float64; the
    pixels equal scikit-image's there too. When ``h`` exceeds the image's
    range nothing is kept, not even the global maxima. An empty image gives
    an empty result.

    Examples
    --------
    >>> import numpy as np, vexa
    >>> image = np.array([[0, 5, 1, 3, 0, 9, 2]], dtype=np.uint8)
    >>> vexa.h_maxima(image, 3)
    array([[0, 1, 0, 0, 0, 1, 0]], dtype=uint8)
    """
    return _h_extrema(image, h, footprint, "max")


def h_minima(image: ImageLike, h: float, footprint=None) -> ImageLike:
    """Mark the regional minima that sink at least ``h`` below their
    surroundings, and the global minima; the dual of :func:`h_maxima`, with
    the pixels of ``skimage.morphology.h_minima``. Parameters, result and
    float handling as in :func:`h_maxima` (the image is raised by ``h`` and
    the allowance).

    Examples
    --------
    >>> import numpy as np, vexa
    >>> image = np.array([[9, 4, 8, 6, 9, 0, 7]], dtype=np.uint8)
    >>> vexa.h_minima(image, 3)
    array([[0, 1, 0, 0, 0, 1, 0]], dtype=uint8)
    """
    return _h_extrema(image, h, footprint, "min")


# ---- local extrema ----------------------------------------------------------

def _local_extrema(image, footprint, connectivity, indices: bool, allow_borders: bool, kind: str):
    array, _ = _as_array(image)
    if array.ndim not in (2, 3):
        raise ValueError(f"image must be 2-D or 3-D, got shape {array.shape}")
    if footprint is not None:
        connectivity = _footprint_connectivity(footprint, array.ndim)
    elif connectivity is None:
        connectivity = array.ndim
    else:
        connectivity = _check_connectivity(connectivity)
    if kind == "min":  # scikit-image's inversion, rounding of floats included
        array = ~array if array.dtype == np.bool_ else _invert(array)
    found = np.zeros(array.shape, dtype=bool)
    if array.size and not allow_borders and min(array.shape) < 3:
        warnings.warn("maxima can't exist for an image with any dimension smaller 3 if borders aren't allowed",
                      UserWarning, stacklevel=3)
    elif array.size:
        tree = _component_tree(array, connectivity, "max")
        parents, pixel_to_node = _numpy(tree.parents), _numpy(tree.pixel_to_node)
        leaf = np.ones(parents.shape[0], dtype=bool)
        leaf[parents[parents >= 0]] = False
        leaf[0] &= parents.shape[0] > 1  # a flat image has no extremum
        if not allow_borders:
            inside = tuple(slice(1, -1) for _ in range(array.ndim))
            border = np.ones(array.shape, dtype=bool)
            border[inside] = False
            leaf[pixel_to_node[border]] = False
        found = leaf[pixel_to_node]
    if torch.is_tensor(image):
        found = torch.from_numpy(found).to(image.device)
        return torch.nonzero(found, as_tuple=True) if indices else found
    return np.nonzero(found) if indices else found


def local_maxima(image: ImageLike, footprint=None, connectivity: Optional[int] = None,
                 indices: bool = False, allow_borders: bool = True):
    """Find the regional maxima: connected plateaus strictly higher than
    every neighbour.

    Gives the pixels of ``skimage.morphology.local_maxima``: the leaves of
    the max-tree.

    Parameters
    ----------
    image : ndarray or Tensor
        2-D or 3-D image of any dtype :func:`vexa.max_tree` takes.
    footprint : ndarray, optional
        A 3 x 3 (x 3) ball of 1 to ``ndim`` orthogonal steps; overrides
        ``connectivity``.
    connectivity : int, optional
        Orthogonal steps to a neighbour; None (the default) for every
        neighbour.
    indices : bool, optional
        Return the coordinates of the maxima (as ``np.nonzero``) instead of
        a mask.
    allow_borders : bool, optional
        Whether plateaus touching the image's border count.

    Returns
    -------
    ndarray or Tensor, or tuple of them
        A bool mask of the image's shape, or one index array per axis
        (int64 tensors for a tensor). A flat image has no maximum.

    Examples
    --------
    >>> import numpy as np, vexa
    >>> image = np.array([[0, 0, 0, 0], [0, 2, 2, 0], [0, 0, 0, 3]])
    >>> vexa.local_maxima(image, connectivity=1).astype(int)
    array([[0, 0, 0, 0],
           [0, 1, 1, 0],
           [0, 0, 0, 1]])
    >>> vexa.local_maxima(image, connectivity=1, allow_borders=False).astype(int)
    array([[0, 0, 0, 0],
           [0, 1, 1, 0],
           [0, 0, 0, 0]])
    """
    return _local_extrema(image, footprint, connectivity, indices, allow_borders, "max")


def local_minima(image: ImageLike, footprint=None, connectivity: Optional[int] = None,
                 indices: bool = False, allow_borders: bool = True):
    """Find the regional minima: connected plateaus strictly lower than
    every neighbour; the dual of :func:`local_maxima`, with the pixels of
    ``skimage.morphology.local_minima``.

    Notes
    -----
    As in scikit-image, the image is inverted first: a float image becomes
    ``1 - image``, so levels that this rounds together are one level.

    Examples
    --------
    >>> import numpy as np, vexa
    >>> image = np.array([[0, 0, 0, 0], [0, -2, -2, 0], [0, 0, 0, -3]])
    >>> vexa.local_minima(image, connectivity=1, indices=True)
    (array([1, 1, 2]), array([1, 2, 3]))
    """
    return _local_extrema(image, footprint, connectivity, indices, allow_borders, "min")


# ---- extinction values ------------------------------------------------------

def _branches(parents: torch.Tensor, levels: np.ndarray, highest: bool,
              size: Optional[torch.Tensor] = None) -> Tuple[torch.Tensor, torch.Tensor]:
    """(tops, leaves): the branches of a tree, one per leaf.

    Each node's branch continues into its dominant child: the one with the
    largest ``size``, ties going to the child whose extreme leaf (highest
    level for ``highest``, else lowest; the largest node id among equal
    levels) comes first in that order. Without ``size`` the dominant child
    is the one holding the node's own extreme leaf, which is the same rule
    with the dynamics as size. A top is a root or a node that is not its
    parent's dominant child; ``leaves[i]`` is the leaf whose branch ends at
    ``tops[i]``. ``levels`` are float32 or float64, in the tree's order."""
    extreme = torch.from_numpy(_vexa._subtree_extremes(parents.numpy(), levels, highest))
    has_parent = parents >= 0
    if size is None:
        top = ~has_parent | (extreme != extreme.index_select(0, parents.clamp(min=0)))
        tops = top.nonzero()[:, 0]
        return tops, extreme.index_select(0, tops)
    # Rank every node by (size, extreme leaf's level, its id): a parent's largest child dominates.
    extreme_np = extreme.numpy()
    order = np.lexsort((extreme_np, levels[extreme_np] if highest else -levels[extreme_np], size.numpy()))
    rank = torch.empty(order.shape[0], dtype=torch.int64)
    rank[torch.from_numpy(order)] = torch.arange(order.shape[0])
    child = has_parent.nonzero()[:, 0]
    best = torch.full_like(rank, -1)
    with warnings.catch_warnings():  # scatter_reduce is labelled beta in torch 1.13
        warnings.simplefilter("ignore", UserWarning)
        best.scatter_reduce_(0, parents[child], rank[child], "amax")
    top = ~has_parent
    top[child] = rank[child] != best[parents[child]]
    # Every leaf rises through its branch to the branch's top.
    is_leaf = torch.ones_like(top)
    is_leaf[parents[child]] = False
    leaves = is_leaf.nonzero()[:, 0]
    leaf_of = torch.full_like(rank, -1)
    leaf_of[_vexa._nearest_kept(parents, top).index_select(0, leaves)] = leaves
    tops = top.nonzero()[:, 0]
    return tops, leaf_of.index_select(0, tops)


def extinction_values(tree, attribute: str = "height"):
    """The extinction value of every regional extremum of a component tree.

    Each leaf of a max-tree (min-tree) is a regional maximum (minimum).
    Going from the leaves to the root, a node's extremum lives on through
    its dominant child, the child with the largest ``attribute``; at every
    other child the extremum of that child's branch goes extinct, and its
    extinction value is that child's attribute. The branch reaching the
    root ends there with the root's attribute. For ``"height"`` this is the
    dynamics: how far the extremum rises (sinks) above (below) the level
    where it meets a more significant one, and for the most significant
    extremum the image's whole range.

    Parameters
    ----------
    tree : ComponentTree
        A tree of :func:`vexa.max_tree` or :func:`vexa.min_tree`.
    attribute : {"height", "area", "volume"}, optional
        ``height`` (the dynamics), ``area`` (pixels) or ``volume`` of the
        components, as the tree's properties of those names.

    Returns
    -------
    ndarray or Tensor
        float64, one value per node, of the tree's container type: each
        leaf's extinction value, 0 on the other nodes.

    Notes
    -----
    Ties between children of equal attribute go to the child holding the
    more extreme regional extremum (higher in a max-tree, lower in a
    min-tree); among equally extreme ones, to the one whose leaf has the
    larger node id. Which extremum wins a tie never changes the set of
    values, only which leaf carries which.

    Examples
    --------
    >>> import numpy as np, vexa
    >>> tree = vexa.max_tree(np.array([[0, 5, 1, 3, 0, 9, 2]], dtype=np.uint8))
    >>> dynamics = vexa.extinction_values(tree)
    >>> dynamics[tree.pixel_to_node[0, [1, 3, 5]]]
    array([5., 2., 9.])
    >>> area = vexa.extinction_values(tree, "area")
    >>> area[tree.pixel_to_node[0, [1, 3, 5]]]
    array([7., 1., 2.])
    """
    if getattr(tree, "kind", None) not in ("max", "min") or not all(
            hasattr(tree, name) for name in ("parents", "levels", "pixel_to_node", "num_nodes")):
        raise TypeError(f"tree must be a tree of vexa.max_tree or vexa.min_tree, got {type(tree).__name__}")
    if attribute not in EXTINCTION_ATTRIBUTES:
        raise ValueError(f"attribute must be one of {', '.join(EXTINCTION_ATTRIBUTES)}, got {attribute!r}")
    parents = torch.as_tensor(_numpy(tree.parents))
    levels = _exact_float(_numpy(tree.levels))
    values = np.asarray(getattr(tree, attribute), dtype=np.float64)
    size = None if attribute == "height" else torch.from_numpy(values)
    tops, leaves = _branches(parents, levels, tree.kind == "max", size)
    extinction = np.zeros(tree.num_nodes, dtype=np.float64)
    extinction[leaves.numpy()] = values[tops.numpy()]
    return torch.from_numpy(extinction) if torch.is_tensor(tree.parents) else extinction
