"""Forward plus backward of levels-from-residues and of the subtractive filter:
the linear-time route (vexa.ops) against the explicit sparse Jacobian route
(jacobian_coo with torch.sparse.mm), which only fits on small images.

Usage: bench_filters.py [--small 512] [--large 4096] [--runs 5]

Two computations, each timed forward plus backward:
- levels: levels = J^T r from the residues r, loss = sum(levels);
- filter: the subtractive filter with soft scores s, image = levels of
  (s * r) spread over the pixels, loss = mean(image^2); gradients reach s and r.
The filter's pixel-level work (spreading over the image, the loss) is the
same in both routes.
"""
import argparse

import torch

import _vexa
import vexa
from vexa import images

from measure import median_time


def linear_levels(arrays, residues, score):
    def run():
        r = residues.detach().requires_grad_()
        vexa.levels_from_residues(arrays.parents, r).sum().backward()
    return run


def linear_filter(arrays, residues, score):
    def run():
        r = residues.detach().requires_grad_()
        s = score.detach().requires_grad_()
        vexa.subtractive(arrays, s, r).square().mean().backward()
    return run


def jacobian_levels(Jt, arrays, residues, score):
    def run():
        r = residues.detach().requires_grad_()
        torch.sparse.mm(Jt, r.unsqueeze(1)).sum().backward()
    return run


def jacobian_filter(Jt, arrays, residues, score):
    root = arrays.parents < 0

    def run():
        r = residues.detach().requires_grad_()
        s = score.detach().requires_grad_()
        kept = torch.where(root, torch.ones_like(s), s) * r
        levels = torch.sparse.mm(Jt, kept.unsqueeze(1)).squeeze(1)
        levels.index_select(0, arrays.pixel_to_node.reshape(-1)).square().mean().backward()
    return run


def setup(size):
    image = images.photo_like(size, size, seed=5)
    tree = _vexa.MaxTree(image, 1.5)
    arrays = vexa.TreeArrays.of(tree, torch.float64)
    residues = arrays.residues
    score = torch.rand(residues.shape[0], dtype=torch.float64)
    return tree, arrays, residues, score


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--small", type=int, default=512)
    parser.add_argument("--large", type=int, default=4096)
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()

    tree, arrays, residues, score = setup(args.small)
    Jt = tree.jacobian_coo(dtype=torch.float64).t().coalesce()
    print(f"{args.small}^2 image: {residues.shape[0]} nodes, {Jt._nnz()} Jacobian entries")
    print(f"{'':8} {'Jacobian ms':>12} {'linear ms':>10} {'ratio':>8}")
    for name, jac, lin in (("levels", jacobian_levels, linear_levels),
                           ("filter", jacobian_filter, linear_filter)):
        t_jac = median_time(jac(Jt, arrays, residues, score), args.runs)
        t_lin = median_time(lin(arrays, residues, score), args.runs)
        print(f"{name:8} {t_jac * 1e3:12.2f} {t_lin * 1e3:10.2f} {t_jac / t_lin:7.0f}x")

    del tree, Jt
    tree, arrays, residues, score = setup(args.large)
    n = residues.shape[0]
    print(f"{args.large}^2 image: {n} nodes (the Jacobian route does not fit)")
    for name, lin in (("levels", linear_levels), ("filter", linear_filter)):
        t_lin = median_time(lin(arrays, residues, score), max(3, args.runs // 2))
        print(f"{name:8} {'':12} {t_lin * 1e3:10.2f}   ({t_lin / n * 1e8:.2f} ms per 10^5 nodes)")


if __name__ == "__main__":
    main()
