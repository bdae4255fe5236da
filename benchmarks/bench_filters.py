"""Forward plus backward of levels-from-residues and of the subtractive filter:
the linear-time route (vexa.ops) against the explicit sparse Jacobian route
(jacobian_coo with torch.sparse.mm), which only fits on small images.

Usage: bench_filters.py [--small 512] [--large 4096] [--runs 5]
"""
import argparse

import torch

import _vexa
import vexa
from vexa import images

from measure import median_time


def linear_route(arrays, residues, score):
    def run():
        r = residues.detach().requires_grad_()
        s = score.detach().requires_grad_()
        levels = vexa.levels_from_residues(arrays.parents, r)
        levels.sum().backward()
        image = vexa.subtractive(arrays, s, r)
        image.square().mean().backward()
    return run


def jacobian_route(tree, arrays, residues, score):
    J = tree.jacobian_coo(dtype=torch.float64)
    Jt = J.t().coalesce()
    root = arrays.parents < 0

    def run():
        r = residues.detach().requires_grad_()
        s = score.detach().requires_grad_()
        levels = torch.sparse.mm(Jt, r.unsqueeze(1)).squeeze(1)
        levels.sum().backward()
        kept = torch.where(root, torch.ones_like(s), s) * r
        filtered = torch.sparse.mm(Jt, kept.unsqueeze(1)).squeeze(1)
        image = filtered.index_select(0, arrays.pixel_to_node.reshape(-1))
        image.square().mean().backward()
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
    n_small = residues.shape[0]
    t_jac = median_time(jacobian_route(tree, arrays, residues, score), args.runs)
    t_lin_small = median_time(linear_route(arrays, residues, score), args.runs)
    print(f"{args.small}^2 image, {n_small} nodes:")
    print(f"  Jacobian route (jacobian_coo + sparse.mm): {t_jac * 1e3:9.2f} ms")
    print(f"  linear route (vexa.ops):                   {t_lin_small * 1e3:9.2f} ms")
    print(f"  ratio Jacobian / linear:                   {t_jac / t_lin_small:9.1f} x")

    del tree
    tree, arrays, residues, score = setup(args.large)
    t_lin_large = median_time(linear_route(arrays, residues, score), max(3, args.runs // 2))
    n_large = residues.shape[0]
    print(f"{args.large}^2 image, {n_large} nodes:")
    print(f"  linear route (vexa.ops):                   {t_lin_large * 1e3:9.2f} ms")
    print(f"  per 10^5 nodes: linear {t_lin_large / n_large * 1e5 * 1e3:.3f} ms, "
          f"Jacobian at {args.small}^2 {t_jac / n_small * 1e5 * 1e3:.3f} ms")


if __name__ == "__main__":
    main()
