"""Learns a connected filter that removes bright speckle noise.

A max-tree filter keeps or removes every bright component of the noisy image
with a score sigmoid(features @ weight + bias), features being the node's
normalised attributes. Gradient descent on the squared error against the
clean image teaches it which components are noise.

Usage: learn_filter.py [--output DIR]

Writes learn_filter.png into DIR (default: the current directory).
"""
import argparse
import os

import numpy as np
import torch

import vexa
from vexa import images


def speckled(clean, rng, count=400):
    noisy = clean.copy()
    h, w = clean.shape
    for y, x in zip(rng.integers(0, h - 2, count), rng.integers(0, w - 2, count)):
        size = rng.integers(1, 3)
        noisy[y:y + size, x:x + size] = np.maximum(noisy[y:y + size, x:x + size], rng.integers(180, 256))
    return noisy


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--output", default=".", help="folder to write learn_filter.png into (default: .)")
    out_path = os.path.join(parser.parse_args().output, "learn_filter.png")
    torch.manual_seed(0)
    rng = np.random.default_rng(0)
    clean = images.default_image()[:256, :256]
    noisy = speckled(clean, rng)
    target = torch.from_numpy(clean.astype(np.float32))

    model = vexa.ConnectedFilter(tree_type="max", adjacency_radius=1.5)
    prepared = model.prepare(noisy)
    optimiser = torch.optim.Adam(model.parameters(), lr=0.1)
    start = torch.mean((torch.from_numpy(noisy.astype(np.float32)) - target) ** 2).item()
    print(f"squared error of the noisy image: {start:.2f}")
    for step in range(151):
        optimiser.zero_grad()
        loss = torch.mean((model(prepared) - target) ** 2)
        loss.backward()
        optimiser.step()
        if step % 15 == 0:
            print(f"step {step:3d}  loss {loss.item():8.2f}")

    with torch.no_grad():
        filtered = model(prepared).clamp(0, 255).round().to(torch.uint8).numpy()
    print(f"learned weights {model.weight.detach().numpy().round(2)}, bias {model.bias.item():.2f}")
    images.write_png(out_path, np.hstack([noisy, filtered, clean]))
    print(f"wrote {out_path}: noisy | filtered | clean")


if __name__ == "__main__":
    main()
