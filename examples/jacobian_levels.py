"""Fitting node residues by gradient descent through the tree's Jacobian.

The levels of a max-tree's nodes are J.t() @ residues, and every pixel takes
the level of its node, so an image can be rebuilt from the residues alone.
Here the residues are learned so that the rebuilt image approaches a blurred
copy of the original: a loss on the pixels flows back through the Jacobian to
the residues, with backward() doing the work.

Usage: jacobian_levels.py [image file]   (default: the bundled landscape image)
"""
import sys

import numpy as np
import torch
import torch.nn.functional as F

import vexa
from vexa import images


def main():
    image = images.read_image(sys.argv[1], as_gray=True) if len(sys.argv) > 1 else images.default_image()
    tree = vexa.MaxTree(image, 1.5)
    node_of_pixel = torch.as_tensor(np.asarray(tree.small_components, dtype=np.int64))

    J = tree.jacobian_coo()                           # N x N, sparse, rows = ancestors
    residues = tree.residues().requires_grad_()       # (N, 1), the parameters
    levels = torch.sparse.mm(J.t(), residues)         # (N, 1): each level as a sum of residues
    assert torch.equal(levels.detach(), tree.levels.float().unsqueeze(1))

    original = torch.as_tensor(image, dtype=torch.float32)[None, None]
    target = F.avg_pool2d(original, 9, stride=1, padding=4, count_include_pad=False)[0, 0]

    optimiser = torch.optim.Adam([residues], lr=0.05)
    for step in range(101):
        optimiser.zero_grad()
        levels = torch.sparse.mm(J.t(), residues)
        rebuilt = levels[node_of_pixel, 0].reshape(image.shape)
        loss = F.mse_loss(rebuilt, target)
        loss.backward()                               # gradient on the residues: J @ dloss/dlevels
        optimiser.step()
        if step % 25 == 0:
            print(f"step {step:3d}  loss {loss.item():8.3f}  |grad| {residues.grad.norm().item():.4f}")

    # The gradient of a residue gathers its whole subtree: it is J @ (gradient on the levels).
    residues.grad = None
    levels = torch.sparse.mm(J.t(), residues)
    levels.retain_grad()
    F.mse_loss(levels[node_of_pixel, 0].reshape(image.shape), target).backward()
    assert torch.allclose(residues.grad, torch.sparse.mm(J, levels.grad), atol=1e-6)
    print(f"{len(tree.nodes)} nodes, {J._nnz()} Jacobian entries; residue gradients = J @ level gradients")


if __name__ == "__main__":
    main()
