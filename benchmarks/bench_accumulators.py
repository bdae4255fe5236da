"""The passes of _vexa._Tree on the max-tree of a natural-looking image,
against numpy's bincount over the same number of nodes.

Usage: bench_accumulators.py [--size 4096] [--rounds 7] [--calls 5]

Two trees: vexa.max_tree of images.photo_like(size, size) (8-bit, few
nodes) and of a smoothed random field in float32 (about a node per pixel,
far beyond the caches). The baseline is
np.bincount(ids, weights, minlength=N) with ids each node's parent (the
root's 0) and N float64 weights: one scatter-add per node, the memory
traffic of a subtree sum. Each time covers `calls` calls in a row; the
tasks take turns in each round; each ratio is the median over rounds of
the task's time / the baseline's in the same round.
"""
import argparse

import numpy as np
import torch

import _vexa
import vexa
from vexa import images

from measure import interleaved_times, paired_ratio


def smoothed_field(size, seed=3):
    """White noise blurred by a Gaussian of 2 pixels, in float32."""
    rng = np.random.default_rng(seed)
    spectrum = np.fft.rfft2(rng.standard_normal((size, size)))
    fy = np.fft.fftfreq(size)[:, None]
    fx = np.fft.rfftfreq(size)[None, :]
    spectrum *= np.exp(-2 * (np.pi * 2.0) ** 2 * (fx * fx + fy * fy))
    return np.fft.irfft2(spectrum, s=(size, size)).astype(np.float32)


def repeated(fn, calls):
    def run():
        for _ in range(calls):
            result = fn()
        return result
    return run


def bench(name, image, rounds, calls):
    parents = torch.as_tensor(vexa.max_tree(image).parents)
    n = parents.shape[0]
    tree = _vexa._Tree(parents)
    rng = np.random.default_rng(0)
    weights = rng.standard_normal(n)
    values = torch.from_numpy(weights)
    integers = torch.from_numpy(rng.integers(0, 1000, n))
    columns = torch.from_numpy(rng.standard_normal((n, 4)))
    keep = torch.from_numpy(rng.random(n) < 0.1)
    ids = np.maximum(parents.numpy(), 0)

    tasks = {
        "bincount": lambda: np.bincount(ids, weights, minlength=n),
        "sum subtree": lambda: tree.reduce(values, "sum", "subtree"),
        "max subtree": lambda: tree.reduce(values, "max", "subtree"),
        "min subtree": lambda: tree.reduce(values, "min", "subtree"),
        "mean subtree": lambda: tree.reduce(values, "mean", "subtree"),
        "sum subtree int64": lambda: tree.reduce(integers, "sum", "subtree"),
        "sum subtree (N, 4) / 4": lambda: tree.reduce(columns, "sum", "subtree"),
        "sum children": lambda: tree.reduce(values, "sum", "children"),
        "max children": lambda: tree.reduce(values, "max", "children"),
        "mean children": lambda: tree.reduce(values, "mean", "children"),
        "subtree_sum": lambda: tree.subtree_sum(values),
        "ancestor_sum": lambda: tree.ancestor_sum(values),
        "_subtree_sum (checks)": lambda: _vexa._subtree_sum(parents, values),
        "nearest_kept": lambda: tree.nearest_kept(keep),
        "simplify": lambda: tree.simplify(keep),
        "depths": lambda: tree.depths(),
        "children": lambda: tree.children(),
        "_Tree(parents)": lambda: _vexa._Tree(parents),
    }
    times = interleaved_times({task: repeated(fn, calls) for task, fn in tasks.items()}, rounds)
    base = sorted(times["bincount"])[len(times["bincount"]) // 2] / calls
    print(f"{name}: max-tree of {n} nodes; np.bincount {base * 1e3:.1f} ms")
    print(f"{'task':26} {'/ bincount':>10}")
    for task in tasks:
        if task == "bincount":
            continue
        ratio = paired_ratio(times, task, "bincount")
        if task.endswith("/ 4"):
            ratio /= 4
        print(f"{task:26} {ratio:10.2f}")
    print()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--size", type=int, default=4096)
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--calls", type=int, default=5)
    args = parser.parse_args()
    size = args.size
    bench(f"{size}^2 photo-like 8-bit image", images.photo_like(size, size, seed=5), args.rounds, args.calls)
    bench(f"{size}^2 smoothed float32 field", smoothed_field(size), args.rounds, args.calls)


if __name__ == "__main__":
    main()
