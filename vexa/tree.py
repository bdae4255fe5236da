"""The one tree model of vexa: every tree the package returns is a :class:`Tree`.

A tree is three flat arrays indexed by node id: ``parents`` (-1 for the
root), ``altitudes`` (the level of each node) and ``pixel_to_node`` (the
smallest node holding each pixel, with the image's shape). Max-trees and
min-trees list parents before children (the root is node 0); partition
trees list children first (the leaves, then the merges in order, the root
last). Every member below works on both orders.

The parent array is checked once, when the tree is made or unpickled, into
a native tree that the accumulators and filters use without checking it
again. The arrays come in the container of the image the tree was built
from (numpy, or CPU torch tensors); per-node results follow the container
of the values they are given.
"""
from typing import Tuple, Union

import numpy as np
import torch

import _vexa

Array = Union[np.ndarray, torch.Tensor]

OPS = ("sum", "min", "max", "mean")
OVER = ("subtree", "children")

# name -> what it measures; one meaning per name across vexa.
ATTRIBUTES = {
    "area": "pixels of the node's component (the node and its descendants)",
    "volume": "sum over the component's pixels of the distance from their level to the parent's level",
    "height": "largest distance from a level in the component to the parent's level (the level range, "
              "or contrast)",
    "mean_level": "mean level of the component's pixels",
    "box_height": "bounding-box extent along the second-last axis (rows)",
    "box_width": "bounding-box extent along the last axis (columns)",
    "box_depth": "bounding-box extent along the third-last axis (slices; 1 in 2-D)",
    "diameter": "longest bounding-box extent",
    "rectangularity": "area over the bounding box's size",
}
# Older names, each with the one meaning above.
SYNONYMS = {"contrast": "height"}

_STATE_VERSION = 1


def _tensor(values) -> torch.Tensor:
    """A CPU tensor viewing (or holding) ``values``."""
    if isinstance(values, torch.Tensor):
        return values
    return torch.from_numpy(np.ascontiguousarray(values))


def _like(result: torch.Tensor, as_tensor: bool) -> Array:
    return result if as_tensor else result.numpy()


def _describe(x) -> str:
    if isinstance(x, (np.ndarray, torch.Tensor)):
        return f"{x.dtype} of shape {tuple(x.shape)}"
    return type(x).__name__


class Tree:
    """A hierarchy of nested regions of an image, as flat arrays.

    Build one with :func:`vexa.max_tree`, :func:`vexa.min_tree` or
    :func:`vexa.binary_partition_tree`; the constructor takes arrays that
    are already a tree's and checks them.

    Parameters
    ----------
    parents : int64 array (N,)
        Parent of each node, -1 for the root; exactly one root, no cycle.
    altitudes : array (N,)
        Level of each node.
    pixel_to_node : int64 array, the image's shape
        Smallest node holding each pixel.
    kind : str
        What built the tree: ``"max"``, ``"min"`` or ``"partition"``.

    Attributes
    ----------
    parents, altitudes, pixel_to_node : arrays, of the container the tree was built from
    kind : str
    root, num_nodes, num_leaves : int
    leaves, depth : int64 arrays (N,)
    """

    KINDS: Tuple[str, ...] = ()  # the kinds a subclass's builders make; () for any

    def __init__(self, parents: Array, altitudes: Array, pixel_to_node: Array, kind: str):
        if not isinstance(kind, str):
            raise TypeError(f"kind must be a str, got {type(kind).__name__}")
        owned = [a.clone() if isinstance(a, torch.Tensor) else np.array(a) if isinstance(a, np.ndarray) else a
                 for a in (parents, altitudes, pixel_to_node)]
        self._set(*_checked_arrays(*owned), kind)

    @classmethod
    def _made(cls, parents: Array, altitudes: Array, pixel_to_node: Array, kind: str, native=None, **extras):
        """A tree of arrays a builder just made (fresh, already a tree): no
        copy, and the native check waits until something needs it."""
        tree = cls.__new__(cls)
        tree._set(native, parents, altitudes, pixel_to_node, kind)
        tree.__dict__.update(extras)
        return tree

    def _set(self, native, parents, altitudes, pixel_to_node, kind):
        """Takes arrays the tree owns from now on and their native tree, or
        None to make it on first use."""
        self._native_tree = native
        self.parents, self.altitudes, self.pixel_to_node = parents, altitudes, pixel_to_node
        self.kind = kind
        self._cache = {}

    @property
    def _native(self):
        """The checked native tree behind the accumulators."""
        if self._native_tree is None:
            self._native_tree = _vexa._Tree(_tensor(self.parents))
        return self._native_tree

    # ---- container ----------------------------------------------------------

    @property
    def _as_tensor(self) -> bool:
        return isinstance(self.parents, torch.Tensor)

    def _out(self, tensor: torch.Tensor) -> Array:
        return _like(tensor, self._as_tensor)

    def _made_once(self, name, make):
        if name not in self._cache:
            self._cache[name] = make()
        return self._cache[name]

    # ---- structure ----------------------------------------------------------

    @property
    def num_nodes(self) -> int:
        return int(self.parents.shape[0])

    def __len__(self) -> int:
        return self.num_nodes

    @property
    def root(self) -> int:
        return int(self._native.root)

    @property
    def levels(self) -> Array:
        """The altitudes: the level of each node."""
        return self.altitudes

    def children_csr(self) -> Tuple[Array, Array]:
        """The children of every node at once: ``(offsets, ids)``, int64, with
        the children of node ``i`` in ``ids[offsets[i]:offsets[i + 1]]``,
        ascending."""
        offsets, ids = self._made_once("children", self._native.children)
        return self._out(offsets), self._out(ids)

    def children(self, node: int) -> Array:
        """Ids of the children of ``node``, ascending (int64)."""
        node = self._node(node)
        offsets, ids = self._made_once("children", self._native.children)
        return self._out(ids[int(offsets[node]):int(offsets[node + 1])])

    def _node(self, node) -> int:
        if isinstance(node, (bool, np.bool_)) or not isinstance(node, (int, np.integer)):
            raise TypeError(f"node must be an integer id, got {type(node).__name__}")
        if not 0 <= node < self.num_nodes:
            raise IndexError(f"node {node} is outside 0..{self.num_nodes - 1}")
        return int(node)

    @property
    def leaves(self) -> Array:
        """Ids of the nodes without children, ascending (int64)."""
        return self._out(self._made_once("leaves", self._native.leaves))

    @property
    def num_leaves(self) -> int:
        return int(self._made_once("leaves", self._native.leaves).shape[0])

    @property
    def depth(self) -> Array:
        """Number of proper ancestors of each node (the root has depth 0)."""
        return self._out(self._made_once("depth", self._native.depths))

    # ---- accumulators -------------------------------------------------------

    def reduce(self, values: Array, op: str = "sum", over: str = "subtree", fill: float = 0) -> Array:
        """Combine per-node values over each node's subtree or children.

        Parameters
        ----------
        values : array (N,) or (N, C)
            Per-node values (numpy or torch; floats, integers or bool).
        op : {"sum", "min", "max", "mean"}
        over : {"subtree", "children"}
            ``"subtree"``: the node and all its descendants; ``"children"``:
            its children only, and ``fill`` for a node without children.
        fill : float
            The result of a node without children, for ``over="children"``.

        Returns
        -------
        array of values' container and shape
            Of the values' dtype (float64 for the mean of integers). Linear
            time. Sums and means of a tensor that requires grad are
            differentiable to any order; min and max refuse such a tensor.
        """
        if op not in OPS:
            raise ValueError(f"op must be one of {', '.join(OPS)}, got {op!r}")
        if over not in OVER:
            raise ValueError(f"over must be one of {', '.join(OVER)}, got {over!r}")
        as_tensor = isinstance(values, torch.Tensor)
        if not as_tensor and not isinstance(values, np.ndarray):
            raise TypeError(f"values must be a numpy array or a torch tensor, got {type(values).__name__}")
        if as_tensor and values.requires_grad:
            return self._differentiable_reduce(values, op, over, fill)
        tensor = _tensor(values.detach() if as_tensor else values)
        return _like(self._native.reduce(tensor, op, over, float(fill)), as_tensor)

    def _differentiable_reduce(self, values: torch.Tensor, op, over, fill):
        if op not in ("sum", "mean"):
            raise ValueError(f"reduce(op={op!r}) has no gradient; detach the values first")
        if not values.is_floating_point():
            raise TypeError(f"values that require grad must be floating, got {values.dtype}")
        from . import ops
        parents = torch.as_tensor(self.parents)
        if over == "subtree":
            total = ops.subtree_sums(parents, values)
            count = self._native.reduce(torch.ones(self.num_nodes, dtype=values.dtype), "sum", "subtree", 0.0)
        else:
            has_parent = parents >= 0
            total = torch.zeros_like(values).index_add(0, parents[has_parent], values[has_parent])
            count = torch.zeros(self.num_nodes, dtype=values.dtype).index_add(
                0, parents[has_parent], torch.ones(int(has_parent.sum()), dtype=values.dtype))
        if op == "mean":
            total = total / count.clamp(min=1).reshape((-1,) + (1,) * (values.dim() - 1))
        if over == "children":
            childless = (count == 0).reshape((-1,) + (1,) * (values.dim() - 1))
            total = torch.where(childless, torch.full_like(total, float(fill)), total)
        return total

    def nearest_kept(self, keep: Array) -> Array:
        """Per node, the id of its nearest ancestor-or-self that ``keep``
        keeps; the root always counts as kept. Values kept nodes carry down
        to the others are ``values[tree.nearest_kept(keep)]``."""
        return _like(self._native.nearest_kept(self._mask(keep)), isinstance(keep, torch.Tensor))

    def _mask(self, keep) -> torch.Tensor:
        if isinstance(keep, torch.Tensor):
            keep = keep.detach()
        elif isinstance(keep, (np.ndarray, list, tuple)):
            keep = np.asarray(keep)
        else:
            raise TypeError(f"keep must be a boolean array with one entry per node, got {type(keep).__name__}")
        if keep.dtype not in (np.bool_, torch.bool):
            raise TypeError(f"keep must be a boolean array with one entry per node, got {_describe(keep)}")
        if tuple(keep.shape) != (self.num_nodes,):
            raise ValueError(f"keep must have shape ({self.num_nodes},), one entry per node, "
                             f"got {tuple(keep.shape)}")
        return _tensor(keep)

    def simplify(self, keep: Array) -> Tuple["Tree", Array]:
        """The tree without the nodes ``keep`` removes (the root always stays).

        Children of a removed node are re-attached to its nearest kept
        ancestor, and its pixels go to that ancestor too. Kept nodes keep
        their order.

        Returns
        -------
        (Tree, node_map)
            The new tree, of the same kind and container, and per old node
            the id in the new tree of its nearest kept ancestor-or-self.
        """
        kept = self._mask(keep).clone()
        kept[self.root] = True
        parents, node_map = self._native.simplify(kept)
        altitudes = _tensor(self.altitudes)[kept]
        pixel_to_node = node_map[_tensor(self.pixel_to_node).reshape(-1)].reshape(tuple(self.pixel_to_node.shape))
        out = self._out
        tree = self._made(out(parents), out(altitudes), out(pixel_to_node), self.kind, _vexa._Tree(parents),
                          **self._extras())
        return tree, out(node_map)

    def labels(self, keep: Array) -> Array:
        """The regions ``keep`` leaves: each pixel holds the id of the nearest
        kept ancestor-or-self of its node (int64, the image's shape)."""
        target = self._native.nearest_kept(self._mask(keep))
        return self._out(target[_tensor(self.pixel_to_node)])

    def reconstruct(self, node_values: Array) -> Array:
        """The image in which each pixel takes the value of its node:
        ``node_values[pixel_to_node]``, of shape ``pixel_to_node.shape +
        node_values.shape[1:]``, in the container of ``node_values``
        (differentiable for a tensor)."""
        if isinstance(node_values, torch.Tensor):
            from . import ops
            return ops.reconstruct(node_values, _tensor(self.pixel_to_node))
        node_values = np.asarray(node_values)
        if node_values.ndim == 0 or node_values.shape[0] != self.num_nodes:
            raise ValueError(f"node_values must have one row per node ({self.num_nodes}), "
                             f"got shape {node_values.shape}")
        return node_values[np.asarray(self.pixel_to_node)]

    # ---- attributes ---------------------------------------------------------

    @property
    def attribute_names(self) -> Tuple[str, ...]:
        """The names :meth:`attribute` takes (see ``vexa.tree.ATTRIBUTES``)."""
        return tuple(ATTRIBUTES)

    def attribute(self, name: str) -> Array:
        """Per-node attribute ``name`` as float64, in the tree's container.

        ``area``, ``volume``, ``height`` (the level range), ``mean_level``,
        ``box_height``, ``box_width``, ``box_depth``, ``diameter`` and
        ``rectangularity``: each has one meaning for every kind of tree
        (``vexa.tree.ATTRIBUTES``). A node's distance is measured from its
        parent's level (the root's from its own).
        """
        canonical = SYNONYMS.get(name, name)
        if canonical not in ATTRIBUTES:
            hint = " (the bounding box's extents are box_height, box_width and box_depth)" \
                if name in ("width", "depth") else ""
            raise ValueError(f"unknown attribute {name!r}{hint}; expected one of {', '.join(ATTRIBUTES)}")
        return self._out(torch.from_numpy(np.asarray(self._attribute_array(canonical), dtype=np.float64)))

    def _attribute_array(self, name: str) -> np.ndarray:
        if name in ("area", "volume", "height", "mean_level"):
            return np.asarray(getattr(self, name), dtype=np.float64)
        return box_attribute(name, self.area, self.extent)

    def _numpy(self, name: str) -> np.ndarray:
        value = getattr(self, name)
        return value.numpy() if isinstance(value, torch.Tensor) else value

    def _sum(self, values: np.ndarray) -> np.ndarray:
        return self._native.reduce(torch.from_numpy(values), "sum", "subtree", 0.0).numpy()

    @property
    def compact_counts(self) -> np.ndarray:
        """int64 (N,): how many pixels have each node as their smallest."""
        return self._made_once("compact", lambda: compact_counts(self._numpy("pixel_to_node"), self.num_nodes))

    @property
    def area(self) -> np.ndarray:
        """int64 (N,) numpy: the pixels of each node's component."""
        return self._made_once("area", lambda: self._sum(self.compact_counts))

    def _parent_levels(self) -> np.ndarray:
        levels = self._numpy("altitudes").astype(np.float64)
        parents = self._numpy("parents")
        return np.where(parents >= 0, levels[np.maximum(parents, 0)], levels)

    def _level_sums(self) -> np.ndarray:
        def make():  # each node's pixels all have its level: no pass over the pixels
            return self._sum(self.compact_counts * self._numpy("altitudes").astype(np.float64))
        return self._made_once("level_sums", make)

    @property
    def volume(self) -> np.ndarray:
        """float64 (N,) numpy: the sum over the component's pixels of the
        distance from their level to the parent's level."""
        def make():
            parent = self._parent_levels()
            highest, lowest = self._level_range()
            if not ((highest > parent) & (lowest < parent)).any():
                # Every component lies on one side of its parent's level.
                return one_sided_volume(self._level_sums(), self.area, parent)
            return self._walked_volume(parent)
        return self._made_once("volume", make)

    def _walked_volume(self, parent: np.ndarray) -> np.ndarray:
        """The volume where components hold levels on both sides of their
        parent's (trees of shapes): each node that holds pixels adds their
        distances to every ancestor-or-self, one step up at a time, in time
        the sum of their depths."""
        levels = self._numpy("altitudes").astype(np.float64)
        parents = self._numpy("parents")
        node = np.flatnonzero(self.compact_counts)
        level, weight = levels[node], self.compact_counts[node].astype(np.float64)
        volume = np.zeros(self.num_nodes)
        while node.size:
            volume += np.bincount(node, weights=weight * np.abs(level - parent[node]), minlength=self.num_nodes)
            up = parents[node]
            alive = up >= 0
            node, level, weight = up[alive], level[alive], weight[alive]
        return volume

    @property
    def mean_level(self) -> np.ndarray:
        """float64 (N,) numpy: mean level of the component's pixels."""
        return self._made_once("mean_level", lambda: self._level_sums() / self.area)

    @property
    def height(self) -> np.ndarray:
        """float64 (N,) numpy: the largest distance from a level in the
        component to the parent's level: for a max-tree its highest level
        minus the parent's level (the dynamics of a leaf's branch)."""
        def make():
            highest, lowest = self._level_range()
            return level_range_height(highest, lowest, self._parent_levels())
        return self._made_once("height", make)

    def _level_range(self):
        """(highest, lowest) float64 (N,): the extreme levels of each
        component's pixels."""
        def make():
            levels = self._numpy("altitudes").astype(np.float64)
            holds_pixels = self.compact_counts > 0  # the levels of the component's pixels only
            highest = self._native.reduce(torch.from_numpy(np.where(holds_pixels, levels, -np.inf)), "max",
                                          "subtree", 0.0).numpy()
            lowest = self._native.reduce(torch.from_numpy(np.where(holds_pixels, levels, np.inf)), "min",
                                         "subtree", 0.0).numpy()
            return highest, lowest
        return self._made_once("level_range", make)

    @property
    def bbox(self) -> np.ndarray:
        """int64 (N, ndim, 2) numpy: lowest and highest coordinate of each
        node's component along every axis."""
        return self._made_once("bbox", self._boxes)

    def _boxes(self) -> np.ndarray:
        parents = self._numpy("parents")
        pixel_to_node = self._numpy("pixel_to_node")
        if pixel_to_node.ndim not in (2, 3):
            raise ValueError(f"bounding boxes need a 2-D or 3-D image, got shape {pixel_to_node.shape}")
        n = self.num_nodes
        if (parents < np.arange(n)).all():
            return _vexa._subtree_boxes(pixel_to_node, parents)
        if not (parents[parents >= 0] > np.flatnonzero(parents >= 0)).all():
            raise ValueError("bounding boxes need a tree that lists parents before children or after them")
        # Children first: the same tree with its ids reversed lists parents first.
        reversed_parents = np.where(parents[::-1] >= 0, n - 1 - parents[::-1], -1)
        return _vexa._subtree_boxes(n - 1 - pixel_to_node, np.ascontiguousarray(reversed_parents))[::-1].copy()

    @property
    def extent(self) -> np.ndarray:
        """int64 (N, ndim) numpy: each bounding box's side length along every axis."""
        return self._made_once("extent", lambda: extents(self.bbox))

    @property
    def diameter(self) -> np.ndarray:
        """int64 (N,) numpy: the longest side of each bounding box."""
        return self._made_once("diameter", lambda: self.extent.max(axis=1))

    def node_attributes(self):
        """float64 tensor (N, 5) of the learnable filter's raw attributes
        (:data:`vexa.nn.ATTRIBUTE_NAMES`): area, volume, bounding-box height
        and width (the last two axes), and rectangularity (area over the
        bounding box's size)."""
        extent = self.extent.astype(np.float64)
        columns = [self.area, self.volume, extent[:, -2], extent[:, -1], self.area / extent.prod(axis=1)]
        return torch.from_numpy(np.stack(columns, axis=1).astype(np.float64))

    # ---- other views --------------------------------------------------------

    def tree_arrays(self, dtype: torch.dtype = torch.float64):
        """The arrays :mod:`vexa.filters` and :mod:`vexa.ops` take, as tensors
        (zero-copy for the int64 ones), with the tree's native check."""
        from .filters import TreeArrays
        levels = torch.as_tensor(self._numpy("altitudes").astype(np.float64)).to(dtype)
        return TreeArrays(_tensor(self.parents), levels, _tensor(self.pixel_to_node), self._native)

    def to_networkx(self):
        """A ``networkx.DiGraph`` with an edge from each parent to each child
        and each node's ``altitude``, ``area`` and ``depth`` as node data."""
        import networkx
        graph = networkx.DiGraph()
        altitudes = self._numpy("altitudes").tolist()
        depth = np.asarray(self.depth).tolist()
        area = self.area.tolist()
        graph.add_nodes_from((i, {"altitude": altitudes[i], "area": area[i], "depth": depth[i]})
                             for i in range(self.num_nodes))
        parents = self._numpy("parents")
        children = np.flatnonzero(parents >= 0)
        graph.add_edges_from(zip(parents[children].tolist(), children.tolist()))
        return graph

    def plot(self, ax=None, max_nodes: int = 1000):
        """Draw the tree with matplotlib: the root on top, each node at the
        height of its depth and above the middle of its leaves, labelled
        with its id. Meant for trees of up to a few hundred nodes.

        Returns
        -------
        matplotlib.axes.Axes
        """
        if self.num_nodes > max_nodes:
            raise ValueError(f"the tree has {self.num_nodes} nodes, more than max_nodes={max_nodes} "
                             "to draw; simplify it first")
        import matplotlib.pyplot as plt
        if ax is None:
            ax = plt.figure().add_subplot()
        parents = self._numpy("parents")
        depth = np.asarray(self.depth)
        offsets, ids = (np.asarray(a) for a in self.children_csr())
        x = np.zeros(self.num_nodes)
        next_leaf = 0
        stack = [(self.root, False)]
        while stack:  # depth first, leaves left to right
            node, done = stack.pop()
            kids = ids[offsets[node]:offsets[node + 1]]
            if done:
                x[node] = x[kids].mean()
            elif len(kids) == 0:
                x[node], next_leaf = next_leaf, next_leaf + 1
            else:
                stack.append((node, True))
                stack.extend((int(k), False) for k in kids[::-1])
        for child in np.flatnonzero(parents >= 0):
            ax.plot([x[parents[child]], x[child]], [-depth[parents[child]], -depth[child]], "k-", lw=0.8)
        ax.scatter(x, -depth, s=60, c=self._numpy("altitudes").astype(np.float64), cmap="viridis", zorder=2)
        for node in range(self.num_nodes):
            ax.annotate(str(node), (x[node], -depth[node]), xytext=(0, 6), textcoords="offset points",
                        ha="center", fontsize=7)
        ax.set_xticks([])
        ax.set_ylabel("depth")
        return ax

    # ---- pickling -----------------------------------------------------------

    def __getstate__(self):
        if not hasattr(self, "parents"):
            raise TypeError(f"this {type(self).__name__} was made without its constructor and holds no tree")
        return {"version": _STATE_VERSION, "parents": self.parents, "altitudes": self.altitudes,
                "pixel_to_node": self.pixel_to_node, "kind": self.kind, "extras": self._extras()}

    def _extras(self) -> dict:
        """Builder-specific members that a simplified or restored tree keeps."""
        return {}

    def __setstate__(self, state):
        if not isinstance(state, dict) or state.get("version") != _STATE_VERSION:
            raise ValueError(f"not a {type(self).__name__} state: expected a dict of version {_STATE_VERSION}, "
                             f"got {_describe(state) if not isinstance(state, dict) else state.get('version')!r}")
        missing = {"parents", "altitudes", "pixel_to_node", "kind", "extras"} - set(state)
        if missing:
            raise ValueError(f"{type(self).__name__} state lacks {', '.join(sorted(missing))}")
        if not isinstance(state["extras"], dict):
            raise ValueError(f"{type(self).__name__} state: extras must be a dict, got {_describe(state['extras'])}")
        if not isinstance(state["kind"], str) or (self.KINDS and state["kind"] not in self.KINDS):
            raise ValueError(f"{type(self).__name__} state: kind must be one of {', '.join(self.KINDS or ('a str',))}, "
                             f"got {state['kind']!r}")
        kinds = {type(state[name]) for name in ("parents", "altitudes", "pixel_to_node")}
        if not (kinds <= {np.ndarray} or kinds <= {torch.Tensor}):
            raise TypeError(f"{type(self).__name__} state: the arrays must all be numpy arrays or all tensors, "
                            f"got {', '.join(sorted(k.__name__ for k in kinds))}")
        checked = _checked_arrays(state["parents"], state["altitudes"], state["pixel_to_node"])
        self._check_extras(state["extras"])
        self._set(*checked, state["kind"])
        self.__dict__.update(state["extras"])

    def _check_extras(self, extras: dict) -> None:
        if extras:
            raise ValueError(f"{type(self).__name__} state: unexpected extras {', '.join(map(str, extras))}")

    def __repr__(self) -> str:
        return (f"{type(self).__name__}(kind={self.kind!r}, num_nodes={self.num_nodes}, "
                f"shape={tuple(self.pixel_to_node.shape)}, altitudes={self.altitudes.dtype})")


def compact_counts(pixel_to_node: np.ndarray, num_nodes: int) -> np.ndarray:
    """int64 (N,): how many pixels have each node as their smallest component."""
    return np.bincount(pixel_to_node.ravel(), minlength=num_nodes)


# ---- the arithmetic of the attributes, from mergeable accumulators ------------
# (the tree model above, and the chunked filters of vexa.dask, which merge
# these accumulators across chunks, compute every attribute here)

def one_sided_volume(level_sums: np.ndarray, area: np.ndarray, parent_levels: np.ndarray) -> np.ndarray:
    """The volume of components that lie on one side of their parent's level
    (component trees): ``|sum of levels - area * parent level|``."""
    return np.abs(level_sums - area * parent_levels)


def level_range_height(highest: np.ndarray, lowest: np.ndarray, parent_levels: np.ndarray) -> np.ndarray:
    """The height: the largest distance from a level of the component to the
    parent's level."""
    return np.maximum(highest - parent_levels, parent_levels - lowest)


def box_attribute(name: str, area: np.ndarray, extent: np.ndarray) -> np.ndarray:
    """``box_height``, ``box_width``, ``box_depth``, ``diameter`` or
    ``rectangularity`` from the areas and the (N, ndim) box extents."""
    if name.startswith("box_"):
        axis = {"box_height": -2, "box_width": -1, "box_depth": -3}[name]
        return extent[:, axis] if extent.shape[1] >= -axis else np.ones(extent.shape[0])
    if name == "diameter":
        return extent.max(axis=1)
    return area / extent.prod(axis=1)


def extents(boxes: np.ndarray) -> np.ndarray:
    """(N, ndim): each bounding box's side length along every axis, from
    the (N, ndim, 2) boxes of ``_vexa._subtree_boxes``."""
    return boxes[:, :, 1] - boxes[:, :, 0] + 1


def _checked_arrays(parents, altitudes, pixel_to_node):
    """(native tree, parents, altitudes, pixel_to_node) after checking that
    the three arrays make a tree; each array is kept as given."""
    for name, value in (("parents", parents), ("altitudes", altitudes), ("pixel_to_node", pixel_to_node)):
        if not isinstance(value, (np.ndarray, torch.Tensor)):
            raise TypeError(f"{name} must be a numpy array or a torch tensor, got {type(value).__name__}")
    if isinstance(parents, torch.Tensor) and parents.device.type != "cpu":
        raise ValueError(f"parents must be on the CPU, got a tensor on {parents.device}")
    if parents.dtype not in (np.int64, torch.int64) or parents.ndim != 1:
        raise TypeError(f"parents must be one-dimensional int64, got {_describe(parents)}")
    native = _vexa._Tree(_tensor(parents))
    n = int(parents.shape[0])
    if altitudes.ndim != 1 or altitudes.shape[0] != n:
        raise ValueError(f"altitudes must have shape ({n},), one per node, got {_describe(altitudes)}")
    if pixel_to_node.dtype not in (np.int64, torch.int64):
        raise TypeError(f"pixel_to_node must be int64, got {_describe(pixel_to_node)}")
    flat = _tensor(pixel_to_node)
    if flat.numel() == 0:
        raise ValueError(f"pixel_to_node is empty (shape {tuple(pixel_to_node.shape)})")
    low, high = int(flat.min()), int(flat.max())
    if low < 0 or high >= n:
        raise ValueError(f"pixel_to_node holds node {low if low < 0 else high}, outside 0..{n - 1}")
    return native, parents, altitudes, pixel_to_node


def as_tree(tree, name: str = "tree") -> Tree:
    """``tree`` when it is a :class:`Tree`; a TypeError naming what it is otherwise."""
    if not isinstance(tree, Tree):
        raise TypeError(f"{name} must be a vexa tree (vexa.max_tree, vexa.min_tree, "
                        f"vexa.binary_partition_tree), got {type(tree).__name__}")
    return tree


__all__ = ["Tree", "ATTRIBUTES", "OPS", "OVER", "as_tree"]
