"""Cost of the Jacobians against the cost of the tree they come from.

For each tree kind: the time to build the tree, then on that fresh tree the
time of jacobian_coo() and jacobian_csr() (index generation included, since
the cache starts empty), and cached repeats. Times are the best of --repeat
runs; the machine is shared, so the minimum is the least noisy figure.

Both first calls together write 52 bytes of new memory per entry: the int64
caches (16 + 8) and the tensors (COO indices 16 + values 4, CSR columns 8 +
values 4). "floor" is the time to fill that much freshly allocated memory
with numpy in ordinary 4 KiB pages, as the index vectors and tensors get:
the cost of writing and faulting in the memory alone, for comparison.

    PYTHONPATH=.:build/lib /usr/bin/python3 benchmarks/bench_jacobian.py --size 4096
"""
import argparse
import gc
import time

import numpy as np

import _vexa
from vexa.images import photo_like


def timed(fn):
    start = time.perf_counter()
    result = fn()
    return time.perf_counter() - start, result


def fresh_memory_floor(nbytes, repeat):
    """Best time to allocate and fill nbytes, without numpy's huge-page advice."""
    set_advice = getattr(np.core.multiarray, "_set_madvise_hugepage", lambda enabled: True)
    was = set_advice(False)
    try:
        return min(timed(lambda: np.ones(nbytes // 8, np.int64))[0] for _ in range(repeat))
    finally:
        set_advice(was)


def bench(cls, image, radius, repeat):
    build, first_coo, first_csr, again_coo, again_csr = [], [], [], [], []
    for _ in range(repeat):
        t, tree = timed(lambda: cls(image, radius))
        build.append(t)
        t, coo = timed(tree.jacobian_coo)
        first_coo.append(t)
        nnz = coo._nnz()
        del coo
        t, csr = timed(tree.jacobian_csr)
        first_csr.append(t)
        del csr
        again_coo.append(timed(tree.jacobian_coo)[0])
        again_csr.append(timed(tree.jacobian_csr)[0])
        nodes = tree.levels.numel()
        del tree
        gc.collect()
    best = min
    jac = best(c + s for c, s in zip(first_coo, first_csr))
    floor = fresh_memory_floor(52 * nnz, repeat)
    print(f"{cls.__name__:8s} N={nodes:>9,d} nnz={nnz:>13,d}  tree {best(build):7.3f} s  "
          f"coo {best(first_coo):6.3f} s  csr {best(first_csr):6.3f} s  "
          f"(cached: coo {best(again_coo):6.3f} s, csr {best(again_csr):6.3f} s)  "
          f"floor {floor:6.3f} s  jacobians/tree = {jac / best(build):.3f}")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--size", type=int, default=4096, help="side of the square test image")
    parser.add_argument("--radius", type=float, default=1.5)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--seed", type=int, default=0)
    args = parser.parse_args()
    image = photo_like(args.size, args.size, seed=args.seed)
    print(f"photo_like {args.size}x{args.size}, radius {args.radius}, best of {args.repeat}")
    for cls in (_vexa.MaxTree, _vexa.MinTree):
        bench(cls, image, args.radius, args.repeat)


if __name__ == "__main__":
    main()
