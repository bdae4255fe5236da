"""The tree of shapes of 2-D and 3-D images: a self-dual component tree.

The shapes of an image are the connected components of its upper level sets
``image >= t`` and of its lower level sets ``image <= t``, each with its
holes filled (everything the outside of the image cannot reach). They nest
into one tree that holds bright and dark structures alike: filtering it
treats both the same way (:func:`vexa.grain_filter`).

The image is read as a continuous map on the Khalimsky grid: each pixel
keeps its value, and the edges and corners between pixels take every value
between the smallest and largest pixel around them, so that level lines
never cross and the shapes of upper and lower level sets nest. The tree is
built by the quasi-linear algorithm of Géraud, Carlinet, Crozet and Najman
(ISMM 2013): a propagation from the outside with a hierarchical queue sorts
the points of that grid, and a union-find joins them as for a max-tree. It
gives the tree of Higra's ``component_tree_tree_of_shapes_image`` with
``original_size=True`` and ``immersion=True``.
"""
from typing import Union

import numpy as np
import torch

import _vexa
from . import trees
from .tree import Tree

Array = Union[np.ndarray, torch.Tensor]

PADDINGS = ("mean", "zero", "none")


class TreeOfShapes(Tree):
    """The tree of shapes of an image: a :class:`vexa.Tree` whose nodes are
    the shapes (level-set components with their holes filled).

    Nodes are listed parents first: the root (node 0) is the outside of the
    image, at the padding level, or with ``padding="none"`` the shape of the
    first pixel. ``altitudes`` (also ``levels``) holds each shape's level in
    the image's dtype; ``pixel_to_node`` gives each pixel's smallest shape,
    whose level is the pixel's own. Shapes that hold no pixel of the image
    (which the continuous map has between pixels) are left out, except the
    root, which may hold no pixel at all. The tree owns its arrays.

    Attributes
    ----------
    kind : "shapes"
    padding : {"mean", "zero", "none"}

    Every member of :class:`vexa.Tree` applies: ``attribute``, ``reduce``,
    ``simplify``, pickling, and the filters of :mod:`vexa.morphology` and
    :mod:`vexa.filters`.
    """

    KINDS = ("shapes",)

    def __init__(self, parents: Array, altitudes: Array, pixel_to_node: Array, padding: str = "mean"):
        super().__init__(parents, altitudes, pixel_to_node, "shapes")
        self.padding = _checked_padding(padding)

    def _extras(self):
        return {"padding": self.padding}

    def _check_extras(self, extras):
        if set(extras) != {"padding"} or extras["padding"] not in PADDINGS:
            raise ValueError(f"TreeOfShapes state: extras must be one padding of {', '.join(PADDINGS)}, "
                             f"got {extras!r}")


def _checked_padding(padding) -> str:
    if not isinstance(padding, str) or padding not in PADDINGS:
        raise ValueError(f"padding must be 'mean', 'zero' or 'none', got {padding!r}")
    return padding


def tree_of_shapes(image: Array, padding: str = "mean") -> TreeOfShapes:
    """Tree of shapes of a 2-D or 3-D image.

    Parameters
    ----------
    image : numpy array or CPU torch tensor, 2-D or 3-D
        Any strides; dtype bool, uint8, uint16, uint32, int8, int16, int32,
        int64, float32 or float64 (no NaN).
    padding : {"mean", "zero", "none"}
        What surrounds the image, and so which side of a level line is the
        inside of a shape. ``"mean"``: a border at the mean level of the
        image's border pixels, truncated toward zero for integer dtypes;
        ``"zero"``: a
        border of zeros; ``"none"``: no border, the first pixel stands for
        the outside. With ``"none"`` the tree of the image and of its
        negation have the same shapes (a padded tree need not: the padding
        level of ``-image`` is not always minus the padding level of
        ``image``).

    Returns
    -------
    TreeOfShapes
        A :class:`vexa.Tree` with arrays of the image's container type.

    Notes
    -----
    The work and the memory in use while building grow with the points of
    the Khalimsky grid: about 4 per pixel in 2-D and 8 in 3-D, each taking
    18 to 21 bytes (17 plus the size of a rank: 1 byte for 8-bit images,
    2 for 16-bit ones, 4 for others; 4 more on grids of 2^31 points or
    more). The tree keeps 8 bytes per pixel, and 8 plus the level's size
    per node.
    """
    padding = _checked_padding(padding)
    array, as_tensor = trees._owned_pixels(image)
    parents, pixel_to_node, altitudes = _vexa._tree_of_shapes(array, padding)
    if as_tensor:
        parents, altitudes, pixel_to_node = (torch.from_numpy(a) for a in (parents, altitudes, pixel_to_node))
    return TreeOfShapes._made(parents, altitudes, pixel_to_node, "shapes", padding=padding)


__all__ = ["TreeOfShapes", "tree_of_shapes", "PADDINGS"]
