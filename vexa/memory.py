"""The memory vexa keeps between calls.

The large arrays of native work (tree builds, batches of trees and their
passes, the arrays of trees handed to Python) are kept when freed, up to an
eighth of the machine's memory, and handed out again to later work: on
virtual machines the first write to fresh memory can cost more than the
passes that fill it. A process that builds trees once and then needs its
memory elsewhere can give them back.
"""
import _vexa


def kept_memory() -> int:
    """The bytes vexa keeps for reuse now (freed arrays, not yet given back)."""
    return _vexa._kept_memory()


def release_memory() -> None:
    """Gives the memory kept for reuse back to the system.

    Arrays still in use (trees and results the caller holds) are not
    affected; later work allocates afresh.
    """
    _vexa._release_kept_memory()
