"""vexa: morphological trees of grey-level images, with PyTorch tensors.

Everything of the native module ``_vexa`` is available here too.
"""
from _vexa import *  # noqa: F401,F403
from _vexa import __doc__ as native_doc  # noqa: F401

from .images import default_image, read_pgm, write_pgm  # noqa: F401
