"""Builds the max-tree and the min-tree of an image and summarises them.

Usage: demo.py [image file]   (default: the bundled landscape image)
"""
import sys
import time

import torch

import vexa
from vexa import images


def summarise(name, tree):
    parents = tree.parents
    depth = vexa.levels_from_residues(parents, torch.ones(len(parents), dtype=torch.float64)) - 1
    pack = vexa.Attributes(tree)
    children = torch.bincount(parents[parents >= 0], minlength=len(parents))
    leaves = torch.nonzero(children == 0).flatten()
    print(f"{name}: {len(parents)} nodes, {len(leaves)} leaves, depth {int(depth.max())} "
          f"(mean {depth.mean().item():.1f}), root level {tree.root.level}")
    extremum = "maxima" if isinstance(tree, vexa.MaxTree) else "minima"
    print(f"  largest regional {extremum} (leaf components):")
    order = leaves[torch.argsort(-pack.AREA[leaves], stable=True)][:5]
    for node_id in order.tolist():
        node = tree.getNodesById([node_id])[0]
        print(f"    node {node_id:6d}: level {node.level:3d}, area {int(pack.AREA[node_id]):6d} px, "
              f"box {int(pack.HEIGHT[node_id])} x {int(pack.WIDTH[node_id])}, "
              f"rectangularity {pack.RECTANGULARITY[node_id]:.2f}")
    big = torch.nonzero((pack.AREA >= 1000) & (children > 1)).flatten()
    print(f"  {len(big)} branching components of at least 1000 pixels")


def main():
    path = sys.argv[1] if len(sys.argv) > 1 else images.DEFAULT_IMAGE
    image = images.read_image(path, as_gray=True)
    print(f"image {path}: {image.shape[0]} x {image.shape[1]}, "
          f"grey levels {image.min()}..{image.max()}")
    for name, kind in (("MaxTree", vexa.MaxTree), ("MinTree", vexa.MinTree)):
        start = time.perf_counter()
        tree = kind(image, 1.5)
        elapsed = time.perf_counter() - start
        print(f"{name} built in {elapsed * 1000:.1f} ms with 8-adjacency")
        summarise(name, tree)


if __name__ == "__main__":
    main()
