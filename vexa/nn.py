"""A learnable connected filter for PyTorch training loops."""
import numpy as np
import torch

import _vexa
from . import filters

ATTRIBUTE_NAMES = ("AREA", "VOLUME", "HEIGHT", "WIDTH", "RECTANGULARITY")


def node_features(tree):
    """Per-node features from the tree's attributes, comparable across
    images: log sizes and rectangularity, standardised over the tree's nodes.
    Returns a float32 tensor (N, 5)."""
    return standardised_features(_vexa.Attributes(tree).data.clone())


def standardised_features(data):
    """Features (N, 5) from raw attribute columns in the order of
    ATTRIBUTE_NAMES: log sizes, standardised over the nodes. Changes data."""
    data[:, :4] = torch.log1p(data[:, :4].abs())
    mean, std = data.mean(dim=0), data.std(dim=0, unbiased=False)
    return ((data - mean) / torch.where(std > 0, std, torch.ones_like(std))).float()


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
            raise TypeError("image must be a two-dimensional uint8 array")
        kinds = {"max": _vexa.MaxTree, "min": _vexa.MinTree}
        if tree_type not in kinds:
            raise ValueError("tree_type must be 'max' or 'min'")
        tree = kinds[tree_type](image, adjacency_radius)
        self.arrays = filters.TreeArrays.of(tree)
        self.features = node_features(tree)
        self.shape = image.shape


class ConnectedFilter(torch.nn.Module):
    """Subtractive connected filter whose keep score is learned:
    ``score = sigmoid(features @ weight + bias)`` per node, features from
    :func:`node_features`. Gradients reach ``weight`` and ``bias``.

    Call it on a uint8 image (2-D numpy array or tensor), on a tree of
    :func:`vexa.max_tree` / :func:`vexa.min_tree` (any image), or on a
    :class:`PreparedImage` to reuse the tree across training steps.
    """

    def __init__(self, tree_type="max", adjacency_radius=1.5, initial_bias=3.0):
        super().__init__()
        self.tree_type = tree_type
        self.adjacency_radius = adjacency_radius
        self.weight = torch.nn.Parameter(torch.zeros(len(ATTRIBUTE_NAMES)))
        self.bias = torch.nn.Parameter(torch.tensor(float(initial_bias)))

    def prepare(self, image):
        return PreparedImage(image, self.tree_type, self.adjacency_radius)

    def scores(self, prepared):
        return torch.sigmoid(prepared.features @ self.weight + self.bias)

    def forward(self, image):
        prepared = image if isinstance(image, PreparedImage) else self.prepare(image)
        return filters.subtractive(prepared.arrays, self.scores(prepared))
