"""Type stub of the extension module ``_vexa``, for editors and type checkers.

The module builds max-trees and min-trees of 8-bit 2-D images, node
attributes and binary partition trees, and exports tree quantities and the
sparse ancestor matrix as PyTorch tensors. Parameters after ``/`` are
positional only; the others may be passed by keyword.
"""
from typing import (ClassVar, Dict, List, NewType, Optional, Sequence, SupportsFloat, SupportsIndex, Tuple, Union,
                    overload)

import numpy as np
import torch

_Record = Dict[str, Union[int, List[int], str]]


# A row and column in native code; no Python object converts to it.
_Pixel = NewType("_Pixel", object)


class Node:
    """A node of a component tree: a connected component of a level set.
    Nodes are views into their tree and keep it alive."""

    @overload
    def __init__(self, id: SupportsIndex, representant: SupportsIndex, level: SupportsIndex,
                 pixel: _Pixel, /) -> None: ...
    @overload
    def __init__(self, id: SupportsIndex, representant: SupportsIndex, level: SupportsIndex,
                 pixel: _Pixel, parent: "Node", /) -> None: ...
    @property
    def id(self) -> int:
        """Node id: 0 for the root, parents before children."""
    @property
    def parent(self) -> Optional["Node"]:
        """The parent node (read-write); None for the root."""
    @parent.setter
    def parent(self, node: "Node", /) -> None: ...
    @property
    def children(self) -> List["Node"]:
        """The child nodes."""
    @property
    def cnps(self) -> List[int]:
        """Compact pixels: linear indices of the pixels in this node and in no child."""
    @property
    def pixelsOfCC(self) -> List[int]:
        """Linear indices of every pixel of the node's connected component."""
    @property
    def level(self) -> int:
        """Grey level of the node."""
    @property
    def residue(self) -> int:
        """Level minus the parent's level (the level itself for the root)."""
    @property
    def representant(self) -> int:
        """Linear index of the pixel that represents the node."""
    @property
    def top(self) -> int:
        """First row of the node's bounding box."""
    @property
    def left(self) -> int:
        """First column of the node's bounding box."""
    @property
    def bottom(self) -> int:
        """Last row of the node's bounding box."""
    @property
    def right(self) -> int:
        """Last column of the node's bounding box."""
    def getInfoToDataFrame(self) -> _Record:
        """The node as one record (a dict), ready for ``pandas.DataFrame``."""


class MorphologicalTree:
    """Base class of :class:`MaxTree` and :class:`MinTree`; not built directly."""

    def __init__(self, image: object, adjacency_radius: SupportsFloat, comparator: object, /) -> None: ...


class _ComponentTree(MorphologicalTree):
    """What :class:`MaxTree` and :class:`MinTree` share (a class of this stub
    only: the module declares every member on each of the two)."""

    def __init__(self, image: np.ndarray, adjacency_radius: SupportsFloat, /) -> None:
        """Build the tree of a 2-D uint8 image. ``adjacency_radius`` 1 gives
        4-adjacency, 1.5 gives 8-adjacency."""
    @property
    def root(self) -> Node:
        """The root node: the whole image at its lowest (max-tree) or highest
        (min-tree) level."""
    @property
    def nodes(self) -> List[Node]:
        """Every node, in id order."""
    @property
    def adjacency_radius(self) -> float:
        """The adjacency radius the tree was built with."""
    @property
    def levels(self) -> torch.Tensor:
        """Grey level of every node, in id order."""
    @property
    def parents(self) -> torch.Tensor:
        """Parent id of every node (int64, -1 for a node without parent)."""
    @property
    def pixel_to_node(self) -> torch.Tensor:
        """Id of the smallest node holding each pixel (int64, the image's shape)."""
    def residues(self, deviceStr: str = "cpu", dtype: torch.dtype = torch.float32) -> torch.Tensor:
        """Level minus parent level of every node, as an (N, 1) tensor."""
    def getNodesById(self, ids: Sequence[SupportsIndex], /) -> List[Node]:
        """The nodes with the given ids; IndexError for an unknown id."""
    def getInfoToDataFrame(self) -> List[_Record]:
        """One record (a dict) per node, ready for ``pandas.DataFrame``."""
    def generate_sparse_coo_indices(self) -> None:
        """Fill the cached row and column indices of the ancestor matrix (COO)."""
    def generate_sparse_csr_indices(self) -> None:
        """Fill the cached compressed-row and column indices of the ancestor matrix (CSR)."""
    def jacobian_coo(self, deviceStr: str = "cpu", dtype: torch.dtype = torch.float32) -> torch.Tensor:
        """The N x N ancestor matrix J (levels = J.t() @ residues), sparse COO."""
    def jacobian_csr(self, deviceStr: str = "cpu", dtype: torch.dtype = torch.float32) -> torch.Tensor:
        """The N x N ancestor matrix J, sparse CSR."""
    def jacobian(self, deviceStr: str = "cpu", sparseFormat: str = "coo",
                 dtype: torch.dtype = torch.float32) -> torch.Tensor:
        """The ancestor matrix in the layout ``sparseFormat`` ("coo" or "csr")."""
    def __getstate__(self) -> Tuple[int, np.ndarray, float, Optional[np.ndarray], np.ndarray]:
        """Pickled state: (1, image, adjacency_radius, parents, boxes). The
        image and radius rebuild the tree; ``parents`` (None unless links were
        rewritten) and the (N, 4) bounding boxes are then applied."""
    def __setstate__(self, state: Tuple[int, np.ndarray, float, Optional[np.ndarray], np.ndarray], /) -> None: ...


class MaxTree(_ComponentTree):
    """The max-tree of an image: connected components of its upper level sets."""

    @property
    def small_components(self) -> List[int]:
        """Id of the smallest node holding each pixel, in pixel order."""


class MinTree(_ComponentTree):
    """The min-tree of an image: connected components of its lower level sets."""

    @property
    def small_component(self) -> List[int]:
        """Id of the smallest node holding each pixel, in pixel order."""


class AttributesPack:
    """Node attributes of a component tree, one row per node in id order."""

    names: ClassVar[List[str]]
    @property
    def data(self) -> torch.Tensor:
        """float64 table (N, 5): AREA, VOLUME, HEIGHT, WIDTH, RECTANGULARITY."""
    @property
    def AREA(self) -> torch.Tensor:
        """Pixels in each node's component."""
    @property
    def VOLUME(self) -> torch.Tensor:
        """Sum of the grey levels of each node's component."""
    @property
    def HEIGHT(self) -> torch.Tensor:
        """Rows spanned by each component's bounding box."""
    @property
    def WIDTH(self) -> torch.Tensor:
        """Columns spanned by each component's bounding box."""
    @property
    def RECTANGULARITY(self) -> torch.Tensor:
        """AREA / (HEIGHT * WIDTH)."""
    @property
    def num_nodes(self) -> int: ...
    @property
    def num_attrs(self) -> int: ...
    def __getstate__(self) -> torch.Tensor:
        """Pickled state: the table (:attr:`data`)."""
    def __setstate__(self, data: torch.Tensor, /) -> None: ...


def Attributes(tree: MorphologicalTree) -> AttributesPack:
    """Compute the attributes of every node of ``tree``."""


def _ancestor_sum(parents: torch.Tensor, values: torch.Tensor) -> torch.Tensor:
    """Private kernel of ``vexa.ops``: each node's value plus its ancestors'
    (J.t() @ values), without autograd history. ``parents``: int64 (N), -1 for
    a node without parent; ``values``: floating (N) or (N, C)."""


def _subtree_sum(parents: torch.Tensor, values: torch.Tensor) -> torch.Tensor:
    """Private kernel of ``vexa.ops``: sum of ``values`` over each node's
    subtree (J @ values), without autograd history."""


def _nearest_kept(parents: torch.Tensor, keep: torch.Tensor) -> torch.Tensor:
    """Private kernel of ``vexa.filters``: for each node, the nearest of
    itself and its ancestors whose ``keep`` is true (int64, -1 for none)."""


def _component_tree(image: np.ndarray, connectivity: SupportsIndex, max_tree: bool,
                    bands: SupportsIndex = 0) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Private builder of ``vexa.max_tree`` / ``vexa.min_tree``: (parents,
    pixel_to_node, levels) of a C-contiguous 2-D or 3-D array: int64 parents
    and pixel_to_node, and each node's level in the image's dtype; ``bands``
    0 plans the bands from the thread budget."""


def _component_trees(images: List[np.ndarray], connectivity: SupportsIndex,
                     max_tree: bool) -> Tuple[List[np.ndarray], List[np.ndarray]]:
    """Private builder of the trees of a batch of equally shaped 2-D arrays,
    one thread per tree without the GIL: (parents, pixel_to_node), two lists
    of int64 arrays."""


def _kept_memory() -> int:
    """The bytes of large blocks kept for reuse by later native work."""


def _release_kept_memory() -> None:
    """Gives the blocks kept for reuse back to the system."""


def _graph_component_tree(rank: np.ndarray, u: np.ndarray, v: np.ndarray) -> np.ndarray:
    """Private kernel: the component tree of a vertex-weighted graph. ``rank``
    uint64 (n), lower ranks deeper in the tree, equal ranks that an edge joins
    one node; edges ``(u[i], v[i])``, uint32 (m). Returns int64 (n): for the
    canonical vertex of a node (the highest id among its vertices of its
    rank) the canonical vertex of its parent node, -1 for a root; for any
    other vertex its node's canonical vertex. Bad dtypes raise TypeError,
    bad shapes or vertex ids ValueError."""


def _subtree_boxes(pixel_to_node: np.ndarray, parents: np.ndarray) -> np.ndarray:
    """(N, ndim, 2) int64: lowest and highest coordinate of each node's
    component along every axis."""


def _tree_of_shapes(image: np.ndarray, padding: str) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    """(parents, pixel_to_node, altitudes) of the tree of shapes of a
    C-contiguous 2-D or 3-D array: parents first (int64, -1 for the root),
    each pixel's smallest shape and each shape's level (the image's dtype);
    padding is 'mean', 'zero' or 'none'."""


def _binary_partition_tree(values: np.ndarray, labels: Optional[np.ndarray], linkage: str,
                           connectivity: SupportsIndex) -> Tuple[np.ndarray, np.ndarray, Optional[np.ndarray]]:
    """Private builder of ``vexa.binary_partition_tree``: (parents int64,
    altitudes float64, leaf of each pixel (uint32, or None when the leaves
    are the pixels)). ``values``: float64 (spatial..., channels)."""


def _partition_cut(parents: np.ndarray, pixel_to_leaf: np.ndarray, regions: SupportsIndex) -> np.ndarray:
    """Label map (int32) left after the first merges of a partition tree whose
    parent array lists children first; regions numbered by first pixel."""


def _partition_cut_at(parents: np.ndarray, pixel_to_leaf: np.ndarray, altitudes: np.ndarray,
                      threshold: SupportsFloat) -> np.ndarray:
    """Label map (int32) where the merges at altitude at most ``threshold``
    are made."""


def _thread_budget() -> int:
    """Threads that native work may use now."""


def _allowed_cpus() -> int:
    """CPUs of the affinity mask, within the control group's quota."""


def _thread_limit() -> int:
    """The thread cap that is set; 0 for none."""


def _set_thread_limit(limit: SupportsIndex) -> None:
    """Caps the threads of native work; 0 removes the cap."""


class _LearnedFilterBatch:
    """The learnable subtractive filter of a batch of component trees: the
    native forward and first-order backward of ``vexa.ConnectedFilter``, one
    tree per thread."""

    def __init__(self, parents: List[torch.Tensor], pixel_to_node: List[torch.Tensor], attributes: List[str],
                 max_tree: bool) -> None: ...
    @property
    def num_features(self) -> int: ...
    def forward(self, images: torch.Tensor, weight: torch.Tensor, bias: torch.Tensor) -> torch.Tensor:
        """The filtered images (K, P); no autograd history."""
    def backward(self, grad_output: torch.Tensor) -> Tuple[torch.Tensor, torch.Tensor, torch.Tensor]:
        """Gradients (images, weight, bias) from that of forward's output."""


def _subtree_extremes(parents: np.ndarray, values: np.ndarray, highest: bool) -> np.ndarray:
    """Private kernel of ``vexa.forests``: for each node, the node of its
    subtree with the largest value (``highest``) or the smallest, the largest
    id among equal values, as int64 (N). ``parents``: int64 (N), -1 for a
    root, each parent listed before its children; ``values``: float32 or
    float64 (N), no NaN. Bad input raises ValueError or TypeError."""



def _watershed_hierarchy(image: np.ndarray, connectivity: int, edge_weight: str,
                         attribute: str) -> Tuple[np.ndarray, np.ndarray]:
    """Private kernel of ``vexa.watershed_hierarchy``: (parents int64, altitudes
    float64) of the binary watershed hierarchy by ``attribute`` ("area",
    "volume", "dynamics") of a C-contiguous 2-D or 3-D image, pixels first."""


def _altitude_ordering_tree(image: np.ndarray, connectivity: int,
                            edge_weight: str) -> Tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Private: the binary partition tree by altitude ordering of the pixel
    graph, (parents, altitudes, the pixel pair of each merge (L - 1, 2) uint32)."""


def _watershed_from_attribute(parents: np.ndarray, altitudes: np.ndarray, ends: np.ndarray,
                              attribute: np.ndarray) -> Tuple[np.ndarray, np.ndarray]:
    """Private: the watershed hierarchy of a tree by altitude ordering for
    per-node attribute values (float64 (2L - 1))."""


def _edge_saliency(parents: np.ndarray, pixel_to_node: np.ndarray,
                   altitudes: np.ndarray) -> Tuple[np.ndarray, ...]:
    """Private kernel of ``vexa.edge_saliency``: per axis, float64."""


def _khalimsky_saliency(parents: np.ndarray, pixel_to_node: np.ndarray, altitudes: np.ndarray) -> np.ndarray:
    """Private kernel of ``vexa.saliency``: float64 (2H - 1, 2W - 1)."""

class _Tree:
    """Private base of the tree model of ``vexa``: a parent array (int64
    (N), -1 for the root) read once into memory of its own and checked once
    (one root, ids in range, no cycle; not empty). Its passes are linear in
    N, run without the GIL and never check the tree again. A parent array of
    the wrong kind raises TypeError, one that is not a tree ValueError naming
    a node."""

    def __init__(self, parents: torch.Tensor) -> None: ...
    @property
    def num_nodes(self) -> int: ...
    @property
    def root(self) -> int: ...
    def parents(self) -> torch.Tensor:
        """A copy of the parent ids."""
    def children(self) -> Tuple[torch.Tensor, torch.Tensor]:
        """Children lists in compressed form: ``(offsets, ids)``, offsets
        (N + 1), ids ascending for each node."""
    def depths(self) -> torch.Tensor:
        """Proper ancestors of each node (the root 0)."""
    def leaves(self) -> torch.Tensor:
        """Ids of the nodes without children, ascending."""
    def reduce(self, values: torch.Tensor, op: str, over: str, fill: SupportsFloat = 0.0) -> torch.Tensor:
        """``op`` ("sum", "min", "max", "mean") of ``values`` (N) or (N, C)
        over each node's subtree (``over="subtree"``: the node and its
        descendants) or its children (``over="children"``; ``fill`` for a
        node without children). ``values``: float32, float64, int64, int32,
        uint8 or bool. The result has the values' dtype, except that sums of
        bool, uint8 and int32 are int64 (as ``torch.sum`` gives) and means of
        integers and bools float64. NaN propagates, through min and max too."""
    def ancestor_sum(self, values: torch.Tensor) -> torch.Tensor:
        """Each node's value plus its ancestors' (``values`` floating, (N) or (N, C))."""
    def subtree_sum(self, values: torch.Tensor) -> torch.Tensor:
        """Sum of ``values`` over each node's subtree."""
    def nearest_kept(self, keep: torch.Tensor) -> torch.Tensor:
        """For each node, the nearest node at or above it whose ``keep`` (bool
        (N)) is true, the root always counting as kept: int64 (N)."""
    def simplify(self, keep: torch.Tensor) -> Tuple[torch.Tensor, torch.Tensor]:
        """The tree of the kept nodes (``keep`` bool (N), the root always
        kept), numbered by their rank in id order: ``(parents, node_map)``,
        each kept node's parent its nearest kept proper ancestor, and
        ``node_map`` the new id of every node's nearest kept node at or above it."""
    def __getstate__(self) -> torch.Tensor:
        """Pickled state: the parent ids."""
    def __setstate__(self, parents: torch.Tensor, /) -> None: ...


class DissimilarityType:
    """How the binary partition tree measures two adjacent regions."""

    Mean: ClassVar["DissimilarityType"]
    __members__: ClassVar[Dict[str, "DissimilarityType"]]
    def __init__(self, value: SupportsIndex) -> None: ...
    @property
    def name(self) -> str: ...
    @property
    def value(self) -> int: ...
    def __int__(self) -> int: ...
    def __index__(self) -> int: ...
    def __eq__(self, other: object) -> bool: ...
    def __ne__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...
    def __repr__(self) -> str: ...
    def __str__(self) -> str: ...
    def __getstate__(self) -> int: ...
    def __setstate__(self, state: SupportsIndex, /) -> None: ...


Mean: DissimilarityType


class NodeBPT:
    """A region of a binary partition tree."""

    @overload
    def __init__(self, id: SupportsIndex, pixel: _Pixel, /) -> None: ...
    @overload
    def __init__(self, id: SupportsIndex, first: "NodeBPT", second: "NodeBPT", unused: SupportsIndex,
                 metric: SupportsFloat, /) -> None: ...
    @property
    def id(self) -> int: ...
    @property
    def neighbors(self) -> List["NodeBPT"]:
        """Regions adjacent to this one."""
    @property
    def ccps(self) -> List[int]:
        """Linear indices of the region's pixels."""
    @property
    def metric(self) -> float:
        """Dissimilarity at which the region was formed (float32)."""
    @property
    def parent(self) -> Optional["NodeBPT"]:
        """The region this one merged into; None for the root."""
    @property
    def children(self) -> Tuple["NodeBPT", "NodeBPT"]:
        """The two regions merged into this one."""
    @property
    def top(self) -> int: ...
    @property
    def left(self) -> int: ...
    @property
    def bottom(self) -> int: ...
    @property
    def right(self) -> int: ...


class BPT:
    """Binary partition tree: adjacent regions of a label map merged, least
    dissimilar first, until one region is left."""

    def __init__(self, image: np.ndarray, labels: np.ndarray, measure: DissimilarityType, /) -> None:
        """``image``: 2-D uint8; ``labels``: int32 label map of the initial regions, the image's shape."""
    @property
    def root(self) -> NodeBPT: ...
    @property
    def nodes(self) -> List[NodeBPT]:
        """Every node: the initial regions, then the merges in order."""
    @property
    def parents(self) -> torch.Tensor:
        """Position in ``nodes`` of each node's parent (int64, -1 for the root)."""
    @property
    def pixel_to_node(self) -> torch.Tensor:
        """Position in ``nodes`` of the leaf holding each pixel (int64, the image's shape)."""
    def cut(self, k: SupportsIndex) -> np.ndarray:
        """Label map (int32, the image's shape) of the ``k`` regions left
        after the first ``len(leaves) - k`` merges, numbered 0..k-1 in the order
        of their first pixel (row-major), as :meth:`vexa.PartitionTree.cut`
        numbers them. ValueError unless ``k`` lies between the number of
        regions left at the end and the number of leaves."""
    @property
    def merge_levels(self) -> np.ndarray:
        """Merge level of every merged node, in node order (float32, one per
        merge): the dissimilarity of its two children when they merged, the
        key the merge was taken by (``|first.metric - second.metric|`` for
        ``Mean``). A merge may come at a lower level than an earlier one."""
    def __getstate__(self) -> Tuple[int, np.ndarray, np.ndarray, DissimilarityType]:
        """Pickled state: (1, image, label map (uint32), measure), which rebuild the tree."""
    def __setstate__(self, state: Tuple[int, np.ndarray, np.ndarray, DissimilarityType], /) -> None: ...
