"""What pickling costs: a tree is stored as what rebuilds it, so loading one
costs about a build, and its pickle is about the size of the image.

Usage: bench_pickling.py [--size 1024] [--runs 3]

For a MaxTree (8-adjacency) of vexa.images.photo_like at --size², a BPT of
10^4 superpixels of the same image, and the attribute table of the max-tree:
build time, dumps and loads times as ratios of the build time, and the pickle
size as a ratio of the image's bytes. Also BPT.cut(k) for k = 100 beside
PartitionTree.cut on the same parent array (both go through one cut).
Times are medians (wall, seconds).
"""
import argparse
import pickle

import numpy as np

import _vexa
from vexa import images
from vexa.partition import PartitionTree

from bench_bpt import superpixels
from measure import median_time


def report(name, build, obj, image_bytes, runs):
    data = pickle.dumps(obj, protocol=pickle.HIGHEST_PROTOCOL)
    dumps = median_time(lambda: pickle.dumps(obj, protocol=pickle.HIGHEST_PROTOCOL), runs)
    loads = median_time(lambda: pickle.loads(data), runs)
    print(f"{name:<22} build {build:8.4f}s  dumps/build {dumps / build:6.3f}  loads/build {loads / build:6.3f}"
          f"  pickle/image bytes {len(data) / image_bytes:6.2f}")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--size", type=int, default=1024)
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    image = images.photo_like(args.size, args.size)
    nbytes = image.size

    build = median_time(lambda: _vexa.MaxTree(image, 1.5), args.runs)
    tree = _vexa.MaxTree(image, 1.5)
    report("MaxTree", build, tree, nbytes, args.runs)
    report("AttributesPack", median_time(lambda: _vexa.Attributes(tree), args.runs), _vexa.Attributes(tree),
           nbytes, args.runs)

    labels = superpixels(image, 10_000).astype(np.int32)
    build = median_time(lambda: _vexa.BPT(image, labels, _vexa.Mean), args.runs)
    bpt = _vexa.BPT(image, labels, _vexa.Mean)
    report("BPT, 10^4 regions", build, bpt, nbytes, args.runs)

    fast = PartitionTree(bpt.parents.numpy(), np.zeros(len(bpt.nodes)), bpt.pixel_to_node.numpy())
    ours = median_time(lambda: bpt.cut(100), args.runs)
    arrays = median_time(lambda: fast.cut(100), args.runs)
    print(f"BPT.cut(100) {ours:.4f}s, PartitionTree.cut(100) on its arrays {arrays:.4f}s, ratio {ours / arrays:.2f}")


if __name__ == "__main__":
    main()
