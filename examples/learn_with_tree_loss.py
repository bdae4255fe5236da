"""Counts the coins of scikit-image's ``coins`` picture by gradient descent
on its pixels with :func:`vexa.component_tree_loss`.

The smoothed picture has hundreds of regional maxima: texture on the coins
and in the background. The loss keeps the 24 maxima of largest volume
extinction (one per coin) and drives the dynamics of every other maximum to
zero; descent on the pixels flattens them, leaving 24 maxima, about one per coin.

Usage: learn_with_tree_loss.py [--output DIR]

Writes tree_loss.png into DIR (default: the current directory). The
picture of the README is re-created by passing the docs' folder, from the
repository root: ``learn_with_tree_loss.py --output docs/images``.
"""
import argparse
import os

import matplotlib
import numpy as np
import torch
from skimage import data, filters, transform
from skimage.morphology import h_maxima
from skimage.measure import label, regionprops

import vexa

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

COINS = 24


def maxima_centres(image, contrast=1e-3):
    """Centres of the regional maxima whose dynamics exceeds ``contrast``."""
    return np.array([r.centroid for r in regionprops(label(h_maxima(image, contrast)))])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--output", default=".", help="folder to write tree_loss.png into (default: .)")
    out_path = os.path.join(parser.parse_args().output, "tree_loss.png")
    picture = transform.rescale(data.coins() / 255.0, 0.5, anti_aliasing=True)
    start = filters.gaussian(picture, 1.0)
    image = torch.tensor(start, requires_grad=True)
    optimiser = torch.optim.SGD([image], lr=0.5)
    losses = []
    for _ in range(300):
        optimiser.zero_grad()
        loss = vexa.component_tree_loss(image, COINS, extinction="volume")
        losses.append(loss.item())
        if loss.item() < 1e-12:
            break
        loss.backward()
        optimiser.step()
    result = image.detach().numpy()
    before, after = maxima_centres(start), maxima_centres(result)
    print(f"maxima before: {len(before)}, after: {len(after)}, steps: {len(losses)}, "
          f"largest pixel change: {np.abs(result - start).max():.3f}")

    figure, axes = plt.subplots(1, 3, figsize=(15, 4.5))
    for axis, picture_, centres, title in [(axes[0], start, before, f"before: {len(before)} maxima"),
                                           (axes[1], result, after, f"after: {len(after)} maxima")]:
        axis.imshow(picture_, cmap="gray")
        axis.plot(centres[:, 1], centres[:, 0], "r+", markersize=8)
        axis.set_title(title)
        axis.axis("off")
    axes[2].semilogy(np.maximum(losses, 1e-12))
    axes[2].set_title(f"component_tree_loss (keep {COINS}, volume extinction)")
    axes[2].set_xlabel("gradient step")
    figure.tight_layout()
    figure.savefig(out_path, dpi=80)
    print(f"wrote {out_path}")


if __name__ == "__main__":
    main()
