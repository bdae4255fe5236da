"""Timing and memory helpers shared by the benchmarks."""
import ctypes
import gc
import statistics
import time

import vexa


def median_time(fn, runs):
    """Median wall time of fn over several runs, in seconds; each result is
    dropped before the next run."""
    times = []
    for _ in range(runs):
        gc.collect()
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
        del result
    return statistics.median(times)


def interleaved_times(tasks, rounds):
    """Wall times of each task (a dict of name -> fn), one per round, the
    tasks taking turns within each round: on a shared machine a slow spell
    then slows the tasks of a round alike rather than one of them."""
    times = {name: [] for name in tasks}
    for _ in range(rounds):
        for name, fn in tasks.items():
            gc.collect()
            start = time.perf_counter()
            result = fn()
            times[name].append(time.perf_counter() - start)
            del result
    return times


def paired_ratio(times, numerator, denominator):
    """Median over rounds of numerator's time / denominator's in the same
    round. The best of each alone favours a task that takes less time than
    one made of it plus more (its best round need not be the other's)."""
    return statistics.median(a / b for a, b in zip(times[numerator], times[denominator]))


def _status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field):
                return int(line.split()[1]) * 1024
    return 0


def _release_free_memory():
    """Hands memory the allocator keeps after earlier runs back to the system,
    so that a later run cannot reuse it unseen."""
    vexa.release_memory()  # the large blocks vexa keeps for reuse
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass


def memory_growth(fn):
    """(peak, retained) growth of the resident size in bytes while fn runs:
    the peak during the call, and what its result still holds afterwards."""
    gc.collect()
    _release_free_memory()
    base = _status("VmRSS:")
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # reset the peak resident size
    result = fn()
    peak = _status("VmHWM:") - base
    _release_free_memory()
    retained = _status("VmRSS:") - base
    del result
    return peak, retained
