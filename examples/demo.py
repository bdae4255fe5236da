"""Builds the max-tree and the min-tree of an image and summarises them.

Usage: demo.py [image.pgm]   (default: the bundled landscape image)
"""
import sys
import time

import numpy as np

import vexa
from vexa import images


def depth_of_nodes(parents):
    """Depth of every node; parents come before children in id order."""
    depth = np.zeros(len(parents), dtype=np.int64)
    for node, parent in enumerate(parents):
        if parent >= 0:
            depth[node] = depth[parent] + 1
    return depth


def summarise(name, tree, image):
    nodes = tree.nodes
    parents = [n.parent.id if n.parent is not None else -1 for n in nodes]
    depth = depth_of_nodes(parents)
    sizes = np.bincount(np.asarray(tree.small_components if isinstance(tree, vexa.MaxTree)
                                   else tree.small_component), minlength=len(nodes))
    # Component areas: each node's compact pixels plus those of its subtree.
    area = sizes.astype(np.int64)
    for node in range(len(nodes) - 1, 0, -1):
        area[parents[node]] += area[node]
    leaves = sum(1 for n in nodes if not n.children)
    print(f"{name}: {len(nodes)} nodes, {leaves} leaves, depth {depth.max()} "
          f"(mean {depth.mean():.1f}), root level {tree.root.level}")
    leaf_ids = np.array([n.id for n in nodes if not n.children], dtype=np.int64)
    order = leaf_ids[np.argsort(-area[leaf_ids], kind="stable")[:5]]
    extremum = "maxima" if isinstance(tree, vexa.MaxTree) else "minima"
    print(f"  largest regional {extremum} (leaf components):")
    for node_id in order:
        node = nodes[node_id]
        print(f"    node {node_id:6d}: level {node.level:3d}, area {area[node_id]:7d} px, "
              f"parent {parents[node_id]}, {len(node.children)} children")


def main():
    path = sys.argv[1] if len(sys.argv) > 1 else images.DEFAULT_IMAGE
    image = images.read_pgm(path)
    print(f"image {path}: {image.shape[0]} x {image.shape[1]}, "
          f"grey levels {image.min()}..{image.max()}")
    for name, kind in (("MaxTree", vexa.MaxTree), ("MinTree", vexa.MinTree)):
        start = time.perf_counter()
        tree = kind(image, 1.5)
        elapsed = time.perf_counter() - start
        print(f"{name} built in {elapsed * 1000:.1f} ms with 8-adjacency")
        summarise(name, tree, image)


if __name__ == "__main__":
    main()
