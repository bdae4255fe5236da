"""vexa: morphological trees of grey-level images, with PyTorch tensors.

Everything of the native module ``_vexa`` is available here too, with
linear-time differentiable tree operators (:mod:`vexa.ops`), connected
filters (:mod:`vexa.filters`) and a learnable filter module (:mod:`vexa.nn`).
"""
from _vexa import *  # noqa: F401,F403
from _vexa import __doc__ as native_doc  # noqa: F401

from . import filters, nn, ops  # noqa: F401
from .filters import TreeArrays, direct, maximum, minimum, subtractive  # noqa: F401
from .images import default_image, read_pgm, write_pgm, write_png  # noqa: F401
from .nn import ConnectedFilter, PreparedImage  # noqa: F401
from .ops import levels_from_residues, reconstruct, residues_from_levels, subtree_sums  # noqa: F401

# Thread setting and component trees of any image.
from .threads import get_num_threads, set_num_threads  # noqa: F401
from .trees import ComponentTree, max_tree, min_tree  # noqa: F401
