"""A learnable connected filter for PyTorch training loops."""
import numbers

import numpy as np
import torch

import _vexa
from . import filters, ops
from .forests import ATTRIBUTES, Forest, build_trees, check_forest_state, image_stack, standardised

ATTRIBUTE_NAMES = ("AREA", "VOLUME", "HEIGHT", "WIDTH", "RECTANGULARITY")
# The same, for trees of tensors: HEIGHT and WIDTH are the bounding box's.
_DEFAULT_ATTRIBUTES = ("area", "volume", "box_height", "box_width", "rectangularity")


def node_features(tree):
    """Per-node features from the tree's attributes, comparable across
    images: log sizes and rectangularity, standardised over the tree's nodes.
    Returns a float32 tensor (N, 5)."""
    return standardised_features(_vexa.Attributes(tree).data.clone())


def standardised_features(data):
    """Features (N, 5) from raw attribute columns in the order of
    ATTRIBUTE_NAMES: log sizes, standardised over the nodes. Changes data."""
    data[:, :4] = torch.log1p(data[:, :4].abs())
    return torch.stack([standardised(column) for column in data.unbind(1)], dim=1).float()


class PreparedImage:
    """What the filter needs of one image, computed once: the tree's arrays
    and its node features. Trees are not differentiable in the image."""

    def __init__(self, image, tree_type="max", adjacency_radius=1.5):
        if hasattr(image, "node_attributes"):  # a tree of vexa.max_tree / min_tree
            self.arrays = filters.TreeArrays.of(image)
            self.features = standardised_features(image.node_attributes())
            self.shape = tuple(image.pixel_to_node.shape)
            return
        if torch.is_tensor(image):
            image = image.detach().cpu().numpy()
        image = np.asarray(image)
        if image.dtype != np.uint8 or image.ndim != 2:
            raise TypeError(f"a numpy image must be a 2-D uint8 array, got {image.dtype} of shape {image.shape}; "
                            "a torch tensor of any real dtype works too")
        if image.size == 0:
            raise ValueError(f"image is empty (shape {image.shape})")
        kinds = {"max": _vexa.MaxTree, "min": _vexa.MinTree}
        if tree_type == "shapes":
            from .shapes import tree_of_shapes
            self.__init__(tree_of_shapes(image, "none"))
            return
        if tree_type not in kinds:
            raise ValueError("tree_type must be 'max', 'min' or 'shapes'")
        tree = kinds[tree_type](image, adjacency_radius)
        self.arrays = filters.TreeArrays.of(tree)
        self.features = node_features(tree)
        self.shape = image.shape

    def __setstate__(self, state):
        names = {"arrays", "features", "shape"}
        if not isinstance(state, dict) or set(state) != names:
            got = sorted(state) if isinstance(state, dict) else type(state).__name__
            raise TypeError(f"PreparedImage state must be a dict of {', '.join(sorted(names))}, got {got}")
        arrays, features, shape = state["arrays"], state["features"], state["shape"]
        if not isinstance(arrays, filters.TreeArrays):
            raise TypeError(f"PreparedImage state: arrays must be TreeArrays, got {type(arrays).__name__}")
        try:  # the checks of new arrays (types, pixel map), and parent links as native passes check them
            filters.TreeArrays(arrays.parents, arrays.levels, arrays.pixel_to_node)
            ops.check_values("levels", arrays.levels, arrays.parents.shape[0])
            ops.subtree_sums(arrays.parents, torch.zeros(arrays.parents.shape[0], dtype=torch.float64))
        except (TypeError, ValueError, IndexError) as error:
            raise type(error)(f"PreparedImage state: {error}") from None
        if not isinstance(shape, tuple) or tuple(arrays.pixel_to_node.shape) != shape:
            raise ValueError(f"PreparedImage state: shape must be the pixel map's "
                             f"{tuple(arrays.pixel_to_node.shape)}, got {shape!r}")
        ops.check_values("PreparedImage state: features", features, arrays.parents.shape[0])
        if features.dim() != 2 or features.shape[1] != len(ATTRIBUTE_NAMES):
            raise ValueError(f"PreparedImage state: features must have {len(ATTRIBUTE_NAMES)} columns, "
                             f"got shape {tuple(features.shape)}")
        self.__dict__.update(state)


class PreparedBatch:
    """The trees of a tensor image (H, W), (C, H, W) or (B, C, H, W), built
    once from its detached values, with the image itself. Pickles (tensors
    only), so a DataLoader's workers can prepare batches."""

    def __init__(self, image, tree_type="max", connectivity=2, spatial_dims=2):
        self.image = image
        self.spatial_dims = spatial_dims
        self.trees = build_trees(image_stack(image, spatial_dims), tree_type, connectivity)  # one per image and channel

    def __setstate__(self, state):
        if not isinstance(state, dict) or set(state) - {"spatial_dims"} != {"image", "trees"}:
            got = sorted(state) if isinstance(state, dict) else type(state).__name__
            raise TypeError(f"PreparedBatch state must be a dict of image, trees and spatial_dims, got {got}")
        spatial_dims = state.get("spatial_dims", 2)
        if isinstance(spatial_dims, bool) or spatial_dims not in (2, 3):
            raise ValueError(f"PreparedBatch state: spatial_dims must be 2 or 3, got {spatial_dims!r}")
        try:
            stack = image_stack(state["image"], spatial_dims)
        except (TypeError, ValueError) as error:
            raise type(error)(f"PreparedBatch state: {error}") from None
        trees = state["trees"]
        if not isinstance(trees, list) or len(trees) != stack.shape[0] \
                or not all(isinstance(tree, Forest) for tree in trees):
            count = f" of {len(trees)}" if isinstance(trees, list) else ""
            raise ValueError(f"PreparedBatch state: trees must be a list of {stack.shape[0]} Forest, one per image "
                             f"and channel, got {type(trees).__name__}{count}")
        for tree in trees:  # each was checked as it was unpickled; here, against the images
            check_forest_state(tree.__getstate__())
            if tree.pixel_to_node.shape != stack.shape[1:] or tree.kind != trees[0].kind:
                raise ValueError(f"PreparedBatch state: every tree must be of one kind and map the "
                                 f"{tuple(stack.shape[1:])} pixels of its image, got a {tree.kind}-tree of "
                                 f"{tuple(tree.pixel_to_node.shape)}")
        self.__dict__.update(state)


class ConnectedFilter(torch.nn.Module):
    """Subtractive connected filter whose keep score is learned:
    ``score = sigmoid(features @ weight + bias)`` per node, features from
    the tree's attributes. Gradients reach ``weight`` and ``bias``.

    Call it on a tensor of shape (H, W), (C, H, W) or (B, C, H, W), float or
    integer: the result has the same shape and the module's dtype. One tree
    is built per image and channel, in parallel native threads, from the
    detached input. Gradients then reach the pixels too: a node's level is
    the mean of the input values of its compact pixels (all equal), and the
    features of ``volume``, ``height`` and ``mean_level`` follow those
    levels. The output is differentiable wherever the tree does not change
    (no ties between neighbouring levels); stack stages, e.g. a max-tree
    stage then a min-tree one, with :func:`stacked` or ``torch.nn.Sequential``.

    It also takes a 2-D uint8 numpy image, a tree of :func:`vexa.max_tree` /
    :func:`vexa.min_tree`, or a :class:`PreparedImage` / :class:`PreparedBatch`
    to reuse trees across training steps.

    Parameters
    ----------
    tree_type : "max", "min" or "shapes"
        The max-tree (bright structures), the min-tree (dark ones) or the
        tree of shapes (both, self-dual; built without padding, one image
        after the other, and filtered through torch operators rather than
        the native passes).
    adjacency_radius : float
        Joins the pixels at Euclidean distance ``adjacency_radius`` or less:
        from 1 up to sqrt(2) exclusive, the 4 neighbours of a pixel, from
        sqrt(2) up to 2 exclusive (1.5 by default), the 8 neighbours. Other
        values are refused. Max- and min-trees only: the tree of shapes
        has its own adjacency.
    initial_bias : float
        The bias at start: a large one keeps every node (identity filter).
    spatial_dims : {2, 3}
        3 reads tensors as volumes: (D, H, W), (C, D, H, W) or (B, C, D, H,
        W), one tree per volume and channel, filtered through torch
        operators (``box_height`` and ``box_width`` are the last two axes,
        ``diameter`` and ``rectangularity`` take all three). With 2, the
        default, a 3-D tensor is (C, H, W) and a 5-D one is refused.
    attributes : sequence of str, optional
        Attributes of each node to learn from, among
        ``vexa.forests.ATTRIBUTES``; by default ``ATTRIBUTE_NAMES``
        (area, volume, bounding-box height and width, rectangularity).
    """

    def __init__(self, tree_type="max", adjacency_radius=1.5, initial_bias=3.0, attributes=None, spatial_dims=2):
        super().__init__()
        if isinstance(spatial_dims, bool) or spatial_dims not in (2, 3):
            raise ValueError(f"spatial_dims must be 2 or 3, got {spatial_dims!r}")
        self.spatial_dims = spatial_dims
        if tree_type not in ("max", "min", "shapes"):
            raise ValueError(f"tree_type must be 'max', 'min' or 'shapes', got {tree_type!r}")
        self.tree_type = tree_type
        self.adjacency_radius = _checked_radius(adjacency_radius)
        self.attributes = tuple(attributes) if attributes is not None else None
        for name in self.attributes or ():
            if name not in ATTRIBUTES:
                raise ValueError(f"unknown attribute {name!r}; choose from {', '.join(ATTRIBUTES)}")
        width = _feature_width(self.attributes)
        self.weight = torch.nn.Parameter(torch.zeros(width))
        self.bias = torch.nn.Parameter(torch.tensor(float(initial_bias)))

    @property
    def connectivity(self) -> int:
        return _connectivity(self.adjacency_radius)

    def __setstate__(self, state):
        if not isinstance(state, dict) or not isinstance(state.get("_parameters"), dict):
            raise TypeError(f"ConnectedFilter state must be a module's dict, got {type(state).__name__}")
        if state.get("tree_type") not in ("max", "min", "shapes"):
            raise ValueError(f"ConnectedFilter state: tree_type must be 'max', 'min' or 'shapes', "
                             f"got {state.get('tree_type')!r}")
        if state.get("spatial_dims", 2) not in (2, 3) or isinstance(state.get("spatial_dims"), bool):
            raise ValueError(f"ConnectedFilter state: spatial_dims must be 2 or 3, got {state.get('spatial_dims')!r}")
        try:
            _checked_radius(state.get("adjacency_radius"))
        except (TypeError, ValueError) as error:
            raise type(error)(f"ConnectedFilter state: {error}") from None
        attributes = state.get("attributes")
        if attributes is not None and (not isinstance(attributes, tuple) or
                                       not all(isinstance(a, str) and a in ATTRIBUTES for a in attributes)):
            raise ValueError(f"ConnectedFilter state: attributes must be None or a tuple of names among "
                             f"{', '.join(ATTRIBUTES)}, got {attributes!r}")
        width = _feature_width(attributes)
        weight, bias = state["_parameters"].get("weight"), state["_parameters"].get("bias")
        for name, value, shape in (("weight", weight, (width,)), ("bias", bias, ())):
            if not isinstance(value, torch.Tensor) or not value.is_floating_point() or tuple(value.shape) != shape:
                raise ValueError(f"ConnectedFilter state: {name} must be a floating-point tensor of shape {shape}, "
                                 f"got {ops._describe(value)}")
        super().__setstate__(state)

    def prepare(self, image):
        """The trees of ``image``, to reuse across training steps: a
        :class:`PreparedBatch` of a tensor, else a :class:`PreparedImage`."""
        if isinstance(image, torch.Tensor):
            return PreparedBatch(image, self.tree_type, self.connectivity, self.spatial_dims)
        if self.attributes is not None:
            raise TypeError(f"a filter with chosen attributes takes tensors, got {type(image).__name__}")
        return PreparedImage(image, self.tree_type, self.adjacency_radius)

    def scores(self, prepared):
        return torch.sigmoid(prepared.features.to(self.weight.dtype) @ self.weight + self.bias)

    def _check_device(self, image=None):
        devices = {self.weight.device.type} | ({image.device.type} if isinstance(image, torch.Tensor) else set())
        if devices != {"cpu"}:
            on_image = f" and an image on {image.device}" if isinstance(image, torch.Tensor) else ""
            raise ValueError(f"ConnectedFilter runs on the CPU only; got parameters on {self.weight.device}"
                             + on_image)

    def forward(self, image):
        self._check_device(image)
        prepared = image if isinstance(image, (PreparedImage, PreparedBatch)) else self.prepare(image)
        if isinstance(prepared, PreparedBatch):
            return self._filter_batch(prepared)
        residues = prepared.arrays.residues.to(self.weight.dtype)
        return filters.subtractive(prepared.arrays, self.scores(prepared), residues)

    def _filter_batch(self, prepared):
        self._check_device(prepared.image)
        if not prepared.trees:  # an empty batch
            return torch.empty(prepared.image.shape, dtype=self.weight.dtype)
        stack = image_stack(prepared.image, getattr(prepared, "spatial_dims", 2)).to(self.weight.dtype)
        names = self.attributes or _DEFAULT_ATTRIBUTES
        if prepared.trees[0].kind == "shapes" or stack.dim() == 4:  # the native passes: 2-D max- and min-trees
            filtered = _composed_filter(prepared.trees, stack, self.weight, self.bias, names)
        else:
            filtered = _BatchFilter.apply(stack, self.weight, self.bias, prepared.trees, names)
        return filtered.reshape(prepared.image.shape)


def _checked_radius(radius) -> float:
    """The radius if it gives 4- or 8-adjacency, else a ValueError naming it."""
    if isinstance(radius, bool) or not isinstance(radius, numbers.Real):
        raise TypeError(f"adjacency_radius must be a number, got {radius!r}")
    if not 1 <= radius < 2:
        raise ValueError(f"adjacency_radius must be a number from 1 (4-adjacency) or sqrt(2) (8-adjacency) "
                         f"up to 2 exclusive, got {radius!r}")
    return radius


def _connectivity(radius: float) -> int:
    """Neighbours at distance sqrt(2) are joined as by ``_vexa.MaxTree``, in
    float32 with a tolerance of 1e-6 on the squared radius."""
    return 2 if float(np.float32(radius) * np.float32(radius)) + 1e-6 >= 2 else 1


def _feature_width(attributes) -> int:
    return len(ATTRIBUTE_NAMES) if attributes is None else sum(2 if a == "extent" else 1 for a in attributes)


def _composed_filter(trees, stack, weight, bias, names):
    """The filter of :class:`_BatchFilter` built from differentiable torch
    operators, image by image: a reference, and the graph of its backward."""
    return torch.stack([_filter_one(tree, image, weight, bias, names) for tree, image in zip(trees, stack)])


def _filter_one(tree, image, weight, bias, names):
    levels = tree.levels(image)
    columns = tree.feature_columns(names, image, levels)
    logits = bias + sum(w * column for w, column in zip(weight.unbind(), columns))
    score = torch.where(tree.parents < 0, torch.ones_like(logits), torch.sigmoid(logits))
    residues = levels - tree.parent_levels(levels) * (tree.parents >= 0)
    return ops._reconstruct(ops.levels_from_residues(tree.parents, score * residues), tree.pixel_to_node)


class _BatchFilter(torch.autograd.Function):
    """The filter of a stack of images (K, H, W), one tree per image: native
    passes, one tree per thread, forward and backward. A graph of the
    backward (``create_graph=True``, second derivatives) is built from
    :func:`_composed_filter`, the same filter in torch operators."""

    @staticmethod
    def forward(ctx, stack, weight, bias, trees, names):
        native = _vexa._LearnedFilterBatch([t.parents for t in trees], [t.pixel_to_node for t in trees],
                                           list(names), trees[0].kind == "max")
        ctx.native, ctx.trees, ctx.names = native, trees, names
        ctx.save_for_backward(stack, weight, bias)
        return native.forward(stack.reshape(len(trees), -1), weight, bias.reshape(())).reshape(stack.shape)

    @staticmethod
    def backward(ctx, grad):
        stack, weight, bias = ctx.saved_tensors
        if torch.is_grad_enabled():  # the backward must be differentiable too
            wanted = [t for t, needed in zip((stack, weight, bias), ctx.needs_input_grad) if needed]
            output = _composed_filter(ctx.trees, stack, weight, bias, ctx.names)
            found = iter(torch.autograd.grad(output, wanted, grad, create_graph=True, allow_unused=True))
            grads = [next(found) if needed else None for needed in ctx.needs_input_grad[:3]]
            return (*grads, None, None)
        images, weights, bias_grad = ctx.native.backward(grad.reshape(len(ctx.trees), -1))
        return images.reshape(stack.shape), weights, bias_grad.reshape(bias.shape), None, None


def stacked(*tree_types, **options) -> torch.nn.Sequential:
    """Filters applied one after the other, e.g. ``stacked("max", "min")``
    (or ``stacked("shapes", ...)``): a max-tree stage then a min-tree stage, trained end to end (each
    stage's gradient reaches the previous stage through its pixels)."""
    return torch.nn.Sequential(*(ConnectedFilter(t, **options) for t in tree_types))
