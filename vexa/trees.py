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


def compact_counts(pixel_to_node: np.ndarray, num_nodes: int) -> np.ndarray:
    """int64 (N,): how many pixels have each node as their smallest component."""
    return np.bincount(pixel_to_node.ravel(), minlength=num_nodes)


def areas(parents: np.ndarray, compact: np.ndarray) -> np.ndarray:
    """int64 (N,): the pixels of each node's component, from the compact counts."""
    sums = _vexa._subtree_sum(torch.as_tensor(parents), torch.from_numpy(compact.astype(np.float64)))
    return sums.numpy().astype(np.int64)


def extents(boxes: np.ndarray) -> np.ndarray:
    """(N, ndim): each bounding box's side length along every axis, from
    the (N, ndim, 2) boxes of ``_vexa._subtree_boxes``."""
    return boxes[:, :, 1] - boxes[:, :, 0] + 1


class ComponentTree:
    """A max-tree or min-tree as flat arrays indexed by node id.

    Attributes
    ----------
    parents : int64 array (N,)
        Parent of each node, -1 for the root (node 0). Every parent id is
        smaller than its children's.
    levels : array (N,) of the image's dtype
        Level of each node.
    pixel_to_node : int64 array, the image's shape
        The node whose level each pixel has (its smallest component).
    num_nodes : int
    kind : "max" or "min"
    connectivity : int

    Node attributes, each computed in one linear pass over the pixels or
    nodes (numpy float64 / int64 arrays, whatever the container):

    - ``area``: pixels of the component (node and descendants).
    - ``volume``: sum over the component's pixels of how far their level is
      beyond the parent's level (the root's own level for the root).
    - ``height``: the largest such distance (contrast): for a max-tree the
      highest level in the component minus the parent's level.
    - ``bbox``: (N, ndim, 2) lowest and highest coordinate along each axis.
    - ``extent``: (N, ndim) bounding-box side length along each axis.
    - ``diameter``: the largest extent, as scikit-image's
      ``diameter_closing`` measures it.
    - ``mean_level``: mean level of the component's pixels.
    """

    def __init__(self, parents, levels, pixel_to_node, kind, connectivity, image):
        self.parents, self.levels, self.pixel_to_node = parents, levels, pixel_to_node
        self.kind, self.connectivity = kind, connectivity
        self._image = image  # numpy, for the attributes
        self._np = {}

    @property
    def num_nodes(self) -> int:
        return int(self.parents.shape[0])

    def __len__(self):
        return self.num_nodes

    def __repr__(self):
        return (f"ComponentTree(kind={self.kind!r}, nodes={self.num_nodes}, shape={tuple(self.pixel_to_node.shape)}, "
                f"dtype={self._image.dtype})")

    def _numpy(self, name):
        value = getattr(self, name)
        return value.numpy() if isinstance(value, torch.Tensor) else value

    def tree_arrays(self, dtype=torch.float32):
        """The arrays that :mod:`vexa.filters` and :mod:`vexa.ops` take, as tensors
        (zero-copy for the int64 ones)."""
        from .filters import TreeArrays
        parents = torch.as_tensor(self._numpy("parents"))
        levels = torch.as_tensor(self._numpy("levels").astype(np.float64)).to(dtype)
        return TreeArrays(parents, levels, torch.as_tensor(self._numpy("pixel_to_node")))

    def node_attributes(self):
        """float64 tensor (N, 5) of the learnable filter's raw attributes
        (:data:`vexa.nn.ATTRIBUTE_NAMES`): area, volume, bounding-box height
        and width (the last two axes), and rectangularity (area over the
        bounding box's size)."""
        extent = self.extent.astype(np.float64)
        columns = [self.area, self.volume, extent[:, -2], extent[:, -1], self.area / extent.prod(axis=1)]
        return torch.from_numpy(np.stack(columns, axis=1).astype(np.float64))

    # Attributes -----------------------------------------------------------

    def _cached(self, name, compute):
        if name not in self._np:
            self._np[name] = compute()
        return self._np[name]

    def _subtree_sum(self, values):
        parents = torch.as_tensor(self._numpy("parents"))
        return _vexa._subtree_sum(parents, torch.as_tensor(values)).numpy()

    def _parent_levels(self):
        levels = self._numpy("levels").astype(np.float64)
        parents = self._numpy("parents")
        return np.where(parents >= 0, levels[np.maximum(parents, 0)], levels)

    @property
    def area(self) -> np.ndarray:
        return self._cached("area", lambda: areas(self._numpy("parents"),
                                                  compact_counts(self._numpy("pixel_to_node"), self.num_nodes)))

    def _level_sums(self):
        def compute():
            sums = np.bincount(self._numpy("pixel_to_node").ravel(), weights=self._image.ravel().astype(np.float64),
                               minlength=self.num_nodes)
            return self._subtree_sum(sums)
        return self._cached("level_sums", compute)

    @property
    def volume(self) -> np.ndarray:
        sign = 1.0 if self.kind == "max" else -1.0
        return self._cached("volume", lambda: sign * (self._level_sums() - self.area * self._parent_levels()))

    @property
    def mean_level(self) -> np.ndarray:
        return self._cached("mean_level", lambda: self._level_sums() / self.area)

    @property
    def height(self) -> np.ndarray:
        def compute():
            sign = 1.0 if self.kind == "max" else -1.0
            extreme = (sign * self._numpy("levels").astype(np.float64)).reshape(-1, 1).copy()
            _vexa._subtree_max(self._numpy("parents"), extreme)
            return extreme[:, 0] - sign * self._parent_levels()
        return self._cached("height", compute)

    @property
    def bbox(self) -> np.ndarray:
        return self._cached("bbox", lambda: _vexa._subtree_boxes(self._numpy("pixel_to_node"),
                                                                 self._numpy("parents")))

    @property
    def extent(self) -> np.ndarray:
        return self._cached("extent", lambda: extents(self.bbox))

    @property
    def diameter(self) -> np.ndarray:
        return self._cached("diameter", lambda: self.extent.max(axis=1))


def _build(image, connectivity, kind, bands=0):
    array, as_tensor = _as_numpy(image)
    array = _checked(array)
    if isinstance(connectivity, bool) or not isinstance(connectivity, (int, np.integer)):
        raise TypeError(f"connectivity must be an int, got {type(connectivity).__name__}")
    if not 1 <= connectivity <= array.ndim:
        raise ValueError(f"connectivity must be between 1 and {array.ndim}, got {connectivity}")
    parents, pixel_to_node, level_pixel = _vexa._component_tree(array, int(connectivity), kind == "max", bands)
    levels = array.reshape(-1)[level_pixel]
    if as_tensor:
        parents, levels, pixel_to_node = (torch.from_numpy(a) for a in (parents, levels, pixel_to_node))
    return ComponentTree(parents, levels, pixel_to_node, kind, int(connectivity), array)


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
        Arrays of the image's container type.
    """
    return _build(image, connectivity, "max")


def min_tree(image: Array, connectivity: int = 1) -> ComponentTree:
    """Min-tree of a 2-D or 3-D image: the components of its lower level
    sets. Parameters and result as for :func:`max_tree`."""
    return _build(image, connectivity, "min")
