"""A slow binary partition tree by region merging, the oracle of the tests.

At every step it recomputes, from the pixels, the dissimilarity of every
pair of adjacent regions and merges the least dissimilar pair, ties going to
the pair of smallest (smaller node, larger node), or for single linkage to
the border whose least pixel pair comes first in the scan. Quadratic or worse: for
small images only. Dissimilarities are computed with the same float64
expressions as the library, so integer-valued grey images give the same
numbers exactly.
"""
import itertools
import math

import numpy as np


def neighbour_pairs(shape, connectivity):
    """Every unordered pair of adjacent pixels (flat indices)."""
    pairs = []
    for p in itertools.product(*map(range, shape)):
        for step in itertools.product((-1, 0, 1), repeat=len(shape)):
            if not 1 <= sum(map(bool, step)) <= connectivity:
                continue
            q = tuple(a + b for a, b in zip(p, step))
            if all(0 <= c < n for c, n in zip(q, shape)):
                i, j = np.ravel_multi_index(p, shape), np.ravel_multi_index(q, shape)
                if i < j:
                    pairs.append((i, j))
    return pairs


def pair_weight(values, p, q):
    return (math.fabs(values[p][0] - values[q][0]) if values.shape[1] == 1
            else math.sqrt(sum((values[p] - values[q]) ** 2)))


def dissimilarity(linkage, values, members_a, members_b, border):
    """The weight of merging two regions, as a tuple whose first item is the
    weight and whose rest breaks ties: single linkage uses the least
    (weight, scan index) over the border's pixel pairs; the others fall back
    on the node pair (appended by the caller)."""
    if linkage in ("min", "max", "average"):
        weights = [(pair_weight(values, p, q), index) for index, p, q in border]
        if linkage == "min":
            return min(weights)
        return ({"max": max, "average": lambda w: sum(w) / len(w)}[linkage]([w for w, _ in weights]),)
    size_a, size_b = float(len(members_a)), float(len(members_b))
    mean_a = values[members_a].sum(axis=0) / size_a
    mean_b = values[members_b].sum(axis=0) / size_b
    squared = float(((mean_a - mean_b) ** 2).sum())
    if linkage == "ward":
        return (size_a * size_b / (size_a + size_b) * squared,)
    return (math.fabs(mean_a[0] - mean_b[0]) if values.shape[1] == 1 else math.sqrt(squared),)


def build(values, labels, linkage, connectivity):
    """values: (spatial..., channels) array; labels: None or an integer map.
    Returns (parents, altitudes, nearest_gap) where nearest_gap is the least
    relative gap seen between the best and second-best candidate."""
    shape = values.shape[:-1]
    flat = values.reshape(-1, values.shape[-1]).astype(np.float64)
    if labels is None:
        leaf_of = np.arange(flat.shape[0])
    else:
        leaf_of = np.unique(np.asarray(labels).ravel(), return_inverse=True)[1]
    num_leaves = int(leaf_of.max()) + 1
    region_of = list(leaf_of)  # by pixel: current node
    members = {k: [p for p in range(flat.shape[0]) if leaf_of[p] == k] for k in range(num_leaves)}
    pairs = neighbour_pairs(shape, connectivity)
    parents = [-1] * (2 * num_leaves - 1)
    altitudes = [0.0] * (2 * num_leaves - 1)
    nearest_gap = math.inf
    for node in range(num_leaves, 2 * num_leaves - 1):
        borders = {}
        for index, (p, q) in enumerate(pairs):
            a, b = region_of[p], region_of[q]
            if a != b:
                borders.setdefault((min(a, b), max(a, b)), []).append((index, p, q))
        scored = sorted(dissimilarity(linkage, flat, members[a], members[b], border) + (a, b)
                        for (a, b), border in borders.items())
        if len(scored) > 1:
            gap = (scored[1][0] - scored[0][0]) / max(abs(scored[0][0]), 1e-12)
            nearest_gap = min(nearest_gap, gap)
        weight, a, b = scored[0][0], scored[0][-2], scored[0][-1]
        parents[a] = parents[b] = node
        altitudes[node] = weight
        members[node] = members.pop(a) + members.pop(b)
        for p in members[node]:
            region_of[p] = node
    return np.array(parents), np.array(altitudes), nearest_gap


def cut(parents, leaf_labels, merges):
    """Label map after the first `merges` merges, numbered by first pixel."""
    num_leaves = (len(parents) + 1) // 2
    top = list(range(len(parents)))
    for leaf in range(num_leaves):
        node = leaf
        while parents[node] >= 0 and parents[node] < num_leaves + merges:
            node = parents[node]
        top[leaf] = node
    numbers = {}
    return np.array([numbers.setdefault(top[k], len(numbers)) for k in np.ravel(leaf_labels)],
                    np.int32).reshape(np.shape(leaf_labels))
