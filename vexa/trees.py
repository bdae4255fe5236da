"""Component trees of every image: 2-D and 3-D, bool to float64, numpy or torch.

:func:`max_tree` and :func:`min_tree` build the tree of the upper (lower)
level sets of an image with scikit-image's ``connectivity``. The tree comes
as flat arrays indexed by node id, parents before children, with the same
container type as the image (numpy or CPU torch), and works with
:mod:`vexa.ops`, :mod:`vexa.filters` and :class:`vexa.nn.ConnectedFilter`.
"""
from typing import Union

import numpy as np
import torch

import _vexa
from .tree import Tree

Array = Union[np.ndarray, torch.Tensor]

_DTYPES = {np.dtype(t) for t in (np.bool_, np.uint8, np.uint16, np.uint32, np.int8, np.int16, np.int32,
                                 np.int64, np.float32, np.float64)}


def _as_numpy(image):
    """(numpy view or copy of the image, whether it came as a tensor)."""
    if isinstance(image, torch.Tensor):
        if image.device.type != "cpu":
            raise ValueError(f"image must be on the CPU, got a tensor on {image.device}")
        return image.detach().resolve_conj().numpy(), True
    if not isinstance(image, np.ndarray):
        raise TypeError(f"image must be a numpy array or a torch tensor, got {type(image).__name__}")
    return image, False


def _checked(image):
    if image.dtype.newbyteorder("=") not in _DTYPES:  # either byte order
        raise TypeError(f"image dtype must be bool, uint8, uint16, uint32, int8, int16, int32, int64, "
                        f"float32 or float64, got {image.dtype}")
    if image.ndim not in (2, 3):
        raise ValueError(f"image must be 2-D or 3-D, got shape {image.shape}")
    if image.size == 0:
        raise ValueError(f"image is empty (shape {image.shape})")
    # Dense, native order: borrowed when it already is.
    return np.ascontiguousarray(image, dtype=image.dtype.newbyteorder("="))


def areas(parents: np.ndarray, compact: np.ndarray) -> np.ndarray:
    """int64 (N,): the pixels of each node's component, from the compact counts."""
    sums = _vexa._subtree_sum(torch.as_tensor(parents), torch.from_numpy(compact.astype(np.float64)))
    return sums.numpy().astype(np.int64)


class ComponentTree(Tree):
    KINDS = ("max", "min")

    """A max-tree or min-tree: a :class:`vexa.Tree` whose nodes are the
    connected components of the image's upper (lower) level sets.

    Nodes are listed parents first: the root (the whole image at its lowest
    level for a max-tree, highest for a min-tree) is node 0. ``altitudes``
    (also ``levels``) holds each node's level in the image's dtype;
    ``pixel_to_node`` gives the node whose level each pixel has. The tree
    owns its arrays: it never reads the image again.

    Attributes
    ----------
    kind : "max" or "min"
    connectivity : int

    Besides :meth:`attribute`, the attributes are properties (numpy, float64
    or int64, whatever the container): ``area``, ``volume``, ``height``,
    ``bbox`` ((N, ndim, 2) lowest and highest coordinates), ``extent``
    ((N, ndim) box side lengths), ``diameter`` and ``mean_level``.
    """

    def __init__(self, parents: Array, levels: Array, pixel_to_node: Array, kind: str, connectivity: int):
        if kind not in ("max", "min"):
            raise ValueError(f"kind must be 'max' or 'min', got {kind!r}")
        super().__init__(parents, levels, pixel_to_node, kind)
        self.connectivity = connectivity

    def _extras(self):
        return {"connectivity": self.connectivity}

    def _check_extras(self, extras):
        connectivity = extras.get("connectivity")
        if isinstance(connectivity, bool) or not isinstance(connectivity, int) or not 1 <= connectivity <= 3:
            raise ValueError(f"ComponentTree state: connectivity must be 1, 2 or 3, got {connectivity!r}")
        if set(extras) != {"connectivity"}:
            raise ValueError(f"ComponentTree state: unexpected extras {', '.join(map(str, extras))}")


def _owned_pixels(image):
    """(the image as a dense, native-order numpy array of our own, whether it
    came as a tensor). The caller's pixels are read once: a tree and its
    levels come from the same values, whatever the caller does to its buffer
    meanwhile or later."""
    source, as_tensor = _as_numpy(image)
    array = _checked(source)
    if np.may_share_memory(array, source):
        array = array.copy()
    return array, as_tensor


def _checked_connectivity(connectivity, ndim: int) -> int:
    if isinstance(connectivity, (bool, np.bool_)) or not isinstance(connectivity, (int, np.integer)):
        raise TypeError(f"connectivity must be an int, got {type(connectivity).__name__}")
    if not 1 <= connectivity <= ndim:
        raise ValueError(f"connectivity must be between 1 and {ndim}, got {connectivity}")
    return int(connectivity)


def _build(image, connectivity, kind, bands=0):
    array, as_tensor = _owned_pixels(image)
    connectivity = _checked_connectivity(connectivity, array.ndim)
    parents, pixel_to_node, levels = _vexa._component_tree(array, connectivity, kind == "max", bands)
    if as_tensor:
        parents, levels, pixel_to_node = (torch.from_numpy(a) for a in (parents, levels, pixel_to_node))
    return ComponentTree._made(parents, levels, pixel_to_node, kind, connectivity=connectivity)


def max_tree(image: Array, connectivity: int = 1) -> ComponentTree:
    """Max-tree of a 2-D or 3-D image: the components of its upper level sets.

    Parameters
    ----------
    image : numpy array or CPU torch tensor, 2-D or 3-D
        Any strides; dtype bool, uint8, uint16, uint32, int8, int16, int32,
        int64, float32 or float64 (no NaN; -0.0 and 0.0 are one level).
    connectivity : int
        As in scikit-image: 1 joins pixels sharing a face (4 / 6
        neighbours), up to ``image.ndim`` joining every neighbour (8 / 26).

    Returns
    -------
    ComponentTree
        A :class:`vexa.Tree`, with arrays of the image's container type. It
        keeps its own copy of the node levels and never reads the image again.
    """
    return _build(image, connectivity, "max")


def min_tree(image: Array, connectivity: int = 1) -> ComponentTree:
    """Min-tree of a 2-D or 3-D image: the components of its lower level
    sets. Parameters and result as for :func:`max_tree`."""
    return _build(image, connectivity, "min")
