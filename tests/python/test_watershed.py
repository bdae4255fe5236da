"""Watershed hierarchies and saliency maps: against a slow model of the same
steps, against Higra when it imports, invariants and bad input."""
import os
import pickle
import sys

import numpy as np
import pytest
import torch

import vexa

PEERS = os.path.join(os.path.dirname(__file__), "..", "..", "..", "shared", "peers")
if os.path.isdir(PEERS) and PEERS not in sys.path:
    sys.path.append(PEERS)
try:
    import higra as hg
except ImportError:
    hg = None

ATTRIBUTES = ("area", "volume", "dynamics")
WEIGHTS = {"mean": lambda a, b: (a + b) / 2, "max": max, "min": min, "l1": lambda a, b: abs(a - b)}


# ---- a slow model: the same steps on dicts and lists -----------------------

def grid_edges(shape, connectivity):
    """Pixel pairs in scan order: pixel, then forward step in lexicographic order."""
    steps = [s for s in np.ndindex(*(3,) * len(shape))]
    steps = [tuple(d - 1 for d in s) for s in steps]
    steps = [s for s in steps if 0 < sum(map(abs, s)) <= connectivity and s > (0,) * len(shape)]
    edges = []
    for p in np.ndindex(*shape):
        for s in steps:
            q = tuple(a + b for a, b in zip(p, s))
            if all(0 <= c < n for c, n in zip(q, shape)):
                edges.append((np.ravel_multi_index(p, shape), np.ravel_multi_index(q, shape)))
    return edges


def kruskal(num_leaves, edges, weights):
    """Parents (children first) and altitudes of the merges along the edges
    in stable ascending weight, with the edge of each merge."""
    root = list(range(num_leaves))
    node = list(range(num_leaves))
    parents, altitudes, made_by = [None] * num_leaves, [0.0] * num_leaves, []

    def find(x):
        while root[x] != x:
            x = root[x]
        return x
    for e in sorted(range(len(edges)), key=lambda e: weights[e]):
        a, b = find(edges[e][0]), find(edges[e][1])
        if a != b:
            new = len(parents)
            parents[node[a]] = parents[node[b]] = new
            parents.append(None)
            altitudes.append(weights[e])
            made_by.append(edges[e])
            root[b] = a
            node[a] = new
    return parents, altitudes, made_by


def slow_attribute(parents, altitudes, num_leaves, name):
    n = len(parents)
    kids = [[c for c in range(n) if parents[c] == i] for i in range(n)]

    def subtree(i):
        return [i] + [d for c in kids[i] for d in subtree(c)]
    below = [subtree(i) for i in range(n)]
    area = [sum(d < num_leaves for d in below[i]) for i in range(n)]
    if name == "area":
        return area
    parent_alt = [altitudes[parents[i]] if parents[i] is not None else altitudes[i] for i in range(n)]
    if name == "volume":
        return [sum(abs(altitudes[d] - parent_alt[d]) * area[d] for d in below[i] if d >= num_leaves)
                if i >= num_leaves else 0 for i in range(n)]
    deepest = [min(altitudes[d] for d in below[i] if d >= num_leaves) if i >= num_leaves else 0 for i in range(n)]
    dynamics = []
    for i in range(n):
        cur = i
        while parents[cur] is not None and deepest[parents[cur]] == deepest[i]:
            cur = parents[cur]
        top = altitudes[parents[cur]] if parents[cur] is not None else altitudes[cur]
        dynamics.append(top - deepest[i] if i >= num_leaves else 0)
    return dynamics


def slow_watershed(image, attribute, connectivity, edge_weight):
    edges = grid_edges(image.shape, connectivity)
    flat = image.ravel().astype(np.float64)
    weights = [WEIGHTS[edge_weight](flat[a], flat[b]) for a, b in edges]
    parents, altitudes, made_by = kruskal(flat.size, edges, weights)
    value = slow_attribute(parents, altitudes, flat.size, attribute)
    n, leaves = len(parents), flat.size
    corrected = [0.0] * n
    for i in range(leaves, n):
        kids = [c for c in range(n) if parents[c] == i]
        if parents[i] is None or altitudes[i] != altitudes[parents[i]]:
            corrected[i] = value[i]
        else:
            corrected[i] = max(corrected[c] for c in kids)
    extinction = [min(corrected[c] for c in range(n) if parents[c] == i) for i in range(leaves, n)]
    parents, altitudes, _ = kruskal(leaves, made_by, extinction)
    return np.array([-1 if p is None else p for p in parents]), np.array(altitudes)


def slow_edge_saliency(parents, altitudes, pixel_to_node):
    def ancestors(i):
        chain = [i]
        while parents[chain[-1]] >= 0:
            chain.append(parents[chain[-1]])
        return chain
    out = []
    for axis in range(pixel_to_node.ndim):
        shape = list(pixel_to_node.shape)
        shape[axis] -= 1
        values = np.zeros(shape)
        for p in np.ndindex(*shape):
            q = list(p)
            q[axis] += 1
            up = set(ancestors(pixel_to_node[tuple(q)]))
            values[p] = altitudes[next(a for a in ancestors(pixel_to_node[p]) if a in up)]
        out.append(values)
    return out


@pytest.mark.parametrize("shape,connectivity", [((6, 7), 1), ((7, 7), 2), ((3, 4, 4), 1), ((4, 4, 4), 3)])
def test_equals_the_slow_model_for_every_attribute_and_edge_weight(shape, connectivity):
    rng = np.random.default_rng(sum(shape) + connectivity)
    image = rng.random(shape)
    for attribute in ATTRIBUTES:
        for edge_weight in WEIGHTS:
            tree = vexa.watershed_hierarchy(image, attribute, connectivity, edge_weight)
            parents, altitudes = slow_watershed(image, attribute, connectivity, edge_weight)
            assert tree.kind == "watershed" and isinstance(tree, vexa.PartitionTree)
            np.testing.assert_array_equal(tree.parents, parents, err_msg=f"{attribute} {edge_weight}")
            np.testing.assert_allclose(tree.altitudes, altitudes, rtol=1e-12, atol=1e-12)
            expected = slow_edge_saliency(parents, altitudes, tree.pixel_to_node)
            for ours, theirs in zip(vexa.edge_saliency(tree), expected):
                np.testing.assert_allclose(ours, theirs, rtol=1e-12, atol=1e-12)


def test_saliency_of_other_trees_on_pixels_equals_the_slow_model():
    rng = np.random.default_rng(5)
    image = rng.random((5, 6))
    labels = rng.integers(0, 4, (5, 6))
    trees = [vexa.binary_partition_tree(image, linkage="ward"), vexa.binary_partition_tree(image, labels),
             vexa.max_tree((image * 5).astype(np.uint8)), vexa.min_tree(rng.random((3, 3, 4)))]
    for tree in trees:
        expected = slow_edge_saliency(tree.parents, tree.altitudes, tree.pixel_to_node)
        for ours, theirs in zip(vexa.edge_saliency(tree), expected):
            assert ours.dtype == tree.altitudes.dtype
            np.testing.assert_array_equal(ours, theirs.astype(ours.dtype))
    # Region borders only: pixels of one label never part.
    right = vexa.edge_saliency(trees[1])[1]
    assert ((right == 0) | (labels[:, 1:] != labels[:, :-1])).all()
    assert (right[labels[:, 1:] != labels[:, :-1]] > 0).all()


def test_the_khalimsky_map_holds_the_edges_and_their_largest_around_each_corner():
    image = np.array([[0, 5, 1], [4, 3, 0]], dtype=np.uint8)
    tree = vexa.watershed_hierarchy(image, "dynamics")
    down, right = vexa.edge_saliency(tree)
    k = vexa.saliency(tree)
    assert k.shape == (3, 5) and k.dtype == np.float64
    np.testing.assert_array_equal(k[0::2, 1::2], right)
    np.testing.assert_array_equal(k[1::2, 0::2], down)
    np.testing.assert_array_equal(k[0::2, 0::2], 0)
    np.testing.assert_array_equal(k[1, 1::2], np.maximum.reduce([right[0], right[1], down[0, :-1], down[0, 1:]]))
    # Two minima, 0 on the left and 0 on the right: the shallower one's
    # dynamics is the whole map's highest contour.
    assert k.max() == tree.altitudes.max() > 0


def test_dtypes_containers_callables_cuts_and_pickling():
    rng = np.random.default_rng(2)
    image = rng.integers(0, 50, (9, 11)).astype(np.uint16)
    reference = vexa.watershed_hierarchy(image.astype(np.float64), "volume", 2, "l1")
    for dtype in (np.uint16, np.int32, np.int64, np.float32):
        tree = vexa.watershed_hierarchy(image.astype(dtype), "volume", 2, "l1")
        np.testing.assert_array_equal(tree.parents, reference.parents)
    as_torch = vexa.watershed_hierarchy(torch.from_numpy(image.astype(np.float32)), "volume", 2, "l1")
    assert isinstance(as_torch.parents, torch.Tensor) and isinstance(vexa.saliency(as_torch), torch.Tensor)
    np.testing.assert_array_equal(as_torch.parents.numpy(), reference.parents)
    by_area = vexa.watershed_hierarchy(image, "area")
    seen = []
    by_callable = vexa.watershed_hierarchy(image, lambda tree, altitudes: seen.append(altitudes) or tree.area)
    np.testing.assert_array_equal(by_callable.parents, by_area.parents)
    assert seen[0].shape == (2 * image.size - 1,)
    regions = by_area.cut(10)
    assert regions.shape == image.shape and len(np.unique(regions)) == 10
    # A cut at an altitude keeps exactly the edges of higher saliency as borders.
    level = np.median(by_area.altitudes[by_area.altitudes > 0])
    cut = by_area.cut_at(level)
    for axis, values in enumerate(vexa.edge_saliency(by_area)):
        apart = np.diff(cut, axis=axis) != 0
        np.testing.assert_array_equal(apart, values > level)
    copy = pickle.loads(pickle.dumps(by_area))
    assert copy.kind == "watershed"
    np.testing.assert_array_equal(vexa.saliency(copy), vexa.saliency(by_area))
    single = vexa.watershed_hierarchy(np.zeros((1, 1)))
    assert single.num_nodes == 1 and single.parents.tolist() == [-1]


@pytest.mark.skipif(hg is None, reason="higra is not importable")
@pytest.mark.parametrize("shape,connectivity", [((23, 31), 1), ((17, 19), 2), ((7, 8, 9), 1)])
def test_equals_higra(shape, connectivity):
    rng = np.random.default_rng(len(shape) + connectivity)
    if len(shape) == 3:
        graph = hg.get_6_adjacency_graph(shape)
    else:
        graph = hg.get_4_adjacency_graph(shape) if connectivity == 1 else hg.get_8_adjacency_graph(shape)
    functions = {"area": hg.watershed_hierarchy_by_area, "volume": hg.watershed_hierarchy_by_volume,
                 "dynamics": hg.watershed_hierarchy_by_dynamics}
    weight_functions = {"mean": hg.WeightFunction.mean, "max": hg.WeightFunction.max,
                        "min": hg.WeightFunction.min, "l1": hg.WeightFunction.L1}
    sources, targets = graph.edge_list()
    axes = np.argmax(np.abs(np.array(np.unravel_index(targets, shape)) - np.unravel_index(sources, shape)), axis=0)
    floats, integers = rng.random(shape), rng.integers(0, 6, shape).astype(np.float64)
    # Integers tie often, and so do max and min of floats (at a local
    # extremum): in 2-D the pixel pairs come in Higra's order, so ties go
    # the same way; Higra's 6-adjacency lists the plane step first.
    tied = len(shape) == 2
    for image in (floats, integers) if tied else (floats,):
        for edge_weight in weight_functions if tied else ("mean", "l1"):
            weights = hg.weight_graph(graph, image, weight_functions[edge_weight])
            for attribute, function in functions.items():
                theirs, altitudes = function(graph, weights, canonize_tree=False)
                ours = vexa.watershed_hierarchy(image, attribute, connectivity, edge_weight)
                parents = theirs.parents().copy()
                parents[-1] = -1
                np.testing.assert_array_equal(ours.parents, parents, err_msg=f"{attribute} {edge_weight}")
                np.testing.assert_allclose(ours.altitudes, altitudes, rtol=1e-12)
                if connectivity == 1:
                    canonical = function(graph, weights)
                    expected = hg.saliency(*canonical)
                    per_axis = vexa.edge_saliency(ours)
                    got = np.array([per_axis[a][np.unravel_index(s, shape)] for a, s in zip(axes, sources)])
                    np.testing.assert_allclose(got, expected, rtol=1e-12)
                    if len(shape) == 2:
                        np.testing.assert_allclose(vexa.saliency(ours),
                                                   hg.graph_4_adjacency_2_khalimsky(graph, expected), rtol=1e-12)


@pytest.mark.parametrize("call,error", [
    (lambda: vexa.watershed_hierarchy(np.zeros((3, 3)), "height"), ValueError),
    (lambda: vexa.watershed_hierarchy(np.zeros((3, 3)), edge_weight="sum"), ValueError),
    (lambda: vexa.watershed_hierarchy(np.zeros((3, 3)), connectivity=3), ValueError),
    (lambda: vexa.watershed_hierarchy(np.zeros((3, 3)), connectivity=1.0), TypeError),
    (lambda: vexa.watershed_hierarchy(np.array([[0.0, np.nan]])), ValueError),
    (lambda: vexa.watershed_hierarchy(np.array([[0.0, np.inf]])), ValueError),
    (lambda: vexa.watershed_hierarchy(np.zeros(4)), ValueError),
    (lambda: vexa.watershed_hierarchy(np.zeros((0, 3))), ValueError),
    (lambda: vexa.watershed_hierarchy(np.zeros((2, 2), np.complex64)), TypeError),
    (lambda: vexa.watershed_hierarchy([[1, 2]]), TypeError),
    (lambda: vexa.watershed_hierarchy(np.zeros((2, 2)), lambda t, a: np.zeros(3)), ValueError),
    (lambda: vexa.watershed_hierarchy(np.zeros((2, 2)), lambda t, a: np.full(7, np.nan)), ValueError),
    (lambda: vexa.saliency(np.zeros((2, 2))), TypeError),
    (lambda: vexa.saliency(vexa.max_tree(np.zeros((2, 2, 2), np.uint8))), ValueError),
])
def test_bad_input_is_refused_by_name(call, error):
    with pytest.raises(error):
        call()
