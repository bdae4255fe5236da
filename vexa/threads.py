"""How many threads vexa's native work uses.

By default vexa uses every CPU the process may run on: its CPU affinity
(``taskset``, ``os.sched_setaffinity``) within the CPU quota of its control
group (containers). Inside a PyTorch data-loader worker it uses one thread,
since the loader already runs one worker per core. A limit set here, or by
the environment variable ``VEXA_NUM_THREADS`` at start-up, overrides both
defaults (it never exceeds the CPUs allowed).
"""
from typing import Optional

import _vexa


def set_num_threads(num_threads: Optional[int]) -> None:
    """Caps the threads vexa's native work may use.

    Parameters
    ----------
    num_threads : int or None
        At least 1. ``None`` removes the cap and restores the defaults.
    """
    if num_threads is None:
        _vexa._set_thread_limit(0)
        return
    if isinstance(num_threads, bool) or not isinstance(num_threads, int):
        raise TypeError(f"num_threads must be an int, got {type(num_threads).__name__}")
    if num_threads < 1:
        raise ValueError(f"num_threads must be at least 1, got {num_threads}")
    _vexa._set_thread_limit(min(num_threads, 65536))


def get_num_threads() -> int:
    """The number of threads vexa's native work would use now."""
    return _vexa._thread_budget()
