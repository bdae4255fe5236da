"""vexa: morphological trees of grey-level images, with PyTorch tensors.

The classes and the attribute function of the native module ``_vexa`` are
available here too, with linear-time differentiable tree operators
(:mod:`vexa.ops`), connected filters (:mod:`vexa.filters`) and a learnable
filter module (:mod:`vexa.nn`). Only operators whose gradients are exact are
exported; the native kernels behind them stay private to ``_vexa``.
"""
from _vexa import (Attributes, AttributesPack, BPT, DissimilarityType, MaxTree, Mean, MinTree,
                   MorphologicalTree, Node, NodeBPT)
from _vexa import __doc__ as native_doc  # noqa: F401

from . import (extrema, filters, images, memory, morphology, nn, ops, partition, shapes, threads, tree, trees,
               watershed)
from ._version import __version__
from .extrema import extinction_values, h_maxima, h_minima, local_maxima, local_minima
from .filters import TreeArrays, direct, maximum, minimum, subtractive
from .images import default_image, read_image, read_pgm, write_image, write_pgm, write_png
from .morphology import (area_closing, area_opening, attribute_filter, contrast_closing,
                         contrast_opening, diameter_closing, diameter_opening, grain_filter,
                         max_tree_local_maxima, volume_closing, volume_opening)
from .nn import ConnectedFilter, PreparedImage
from .ops import levels_from_residues, reconstruct, residues_from_levels, subtree_sums
from .partition import PartitionTree, binary_partition_tree
from .shapes import TreeOfShapes, tree_of_shapes
from .memory import kept_memory, release_memory
from .threads import get_num_threads, set_num_threads
from .tree import Tree
from .trees import ComponentTree, max_tree, min_tree
from .watershed import edge_saliency, saliency, watershed_hierarchy

__all__ = [
    # native classes and functions
    "Attributes", "AttributesPack", "BPT", "DissimilarityType", "MaxTree", "Mean", "MinTree",
    "MorphologicalTree", "Node", "NodeBPT",
    # the one tree model, component trees of any image, and the thread setting
    "Tree", "max_tree", "min_tree", "ComponentTree", "get_num_threads", "set_num_threads",
    "kept_memory", "release_memory",
    # the self-dual tree of shapes
    "tree_of_shapes", "TreeOfShapes",
    # differentiable operators
    "levels_from_residues", "subtree_sums", "residues_from_levels", "reconstruct",
    # connected filters and learning them
    "TreeArrays", "subtractive", "direct", "minimum", "maximum", "ConnectedFilter", "PreparedImage",
    # attribute openings and closings with scikit-image's names, and beyond
    "area_opening", "area_closing", "diameter_opening", "diameter_closing",
    "volume_opening", "volume_closing", "contrast_opening", "contrast_closing",
    "attribute_filter", "max_tree_local_maxima", "grain_filter",
    # regional extrema and their significance
    "h_maxima", "h_minima", "local_maxima", "local_minima", "extinction_values",
    # partition trees by region merging
    "PartitionTree", "binary_partition_tree",
    # hierarchical watersheds and saliency maps
    "watershed_hierarchy", "saliency", "edge_saliency",
    # images
    "default_image", "read_image", "write_image", "read_pgm", "write_pgm", "write_png",
    # submodules
    "extrema", "filters", "images", "memory", "morphology", "nn", "ops", "partition", "shapes", "threads",
    "tree", "trees", "watershed",
    "__version__",
]

# Connected filters inside networks: batches of tensors, gradients to the
# pixels, a component-tree loss.
from . import forests, losses  # noqa: E402
from .losses import component_tree_loss  # noqa: E402
from .nn import PreparedBatch, stacked  # noqa: E402

__all__ += ["forests", "losses", "PreparedBatch", "stacked", "component_tree_loss"]
