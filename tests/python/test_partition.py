import heapq
import math

import numpy as np
import pytest
import torch
from hypothesis import given, settings, strategies as st
from hypothesis.extra import numpy as hnp

import _vexa
import vexa
from vexa import binary_partition_tree

import partition_reference as reference

LINKAGES = ["mean", "min", "max", "average", "ward"]


def assert_matches_reference(tree, values, labels, linkage, connectivity):
    parents, altitudes, _ = reference.build(values, labels, linkage, connectivity)
    np.testing.assert_array_equal(tree.parents, parents)
    np.testing.assert_allclose(tree.altitudes, altitudes, rtol=1e-12)


# ---- worked example ---------------------------------------------------------

def test_pixels_merge_least_dissimilar_first_and_cut_by_count_or_altitude():
    tree = binary_partition_tree(np.array([[0, 0, 5, 5], [0, 1, 5, 9]], np.uint8))
    # Ties at 0 go to the smallest node pair: (0, 1), then (2, 3), then the
    # merged nodes take the pixels below them.
    assert tree.parents.tolist() == [8, 8, 9, 9, 10, 12, 11, 13, 10, 11, 12, 13, 14, 14, -1]
    assert tree.altitudes[8:].tolist() == [0, 0, 0, 0, 1, 4, 5.75]
    assert tree.cut(2).tolist() == [[0, 0, 1, 1], [0, 0, 1, 1]]
    assert tree.cut_at(1.0).tolist() == [[0, 0, 1, 1], [0, 0, 1, 2]]
    assert tree.cut(8).tolist() == [[0, 1, 2, 3], [4, 5, 6, 7]] and tree.cut(1).dtype == np.int32


# ---- against the slow reference --------------------------------------------

@pytest.mark.parametrize("linkage", LINKAGES)
@pytest.mark.parametrize("case", ["grey pixels 4", "grey pixels 8", "grey regions 8", "rgb pixels", "volume"])
def test_every_linkage_matches_the_slow_reference(linkage, case, rng):
    for _ in range(3):
        if case == "rgb pixels":
            image, labels, connectivity = rng.integers(0, 4, (4, 5, 3)), None, 1
            tree = binary_partition_tree(image, linkage=linkage, channel_axis=-1)
        elif case == "volume":
            image, labels, connectivity = rng.integers(0, 6, (2, 3, 4, 1)), None, 2
            tree = binary_partition_tree(image[..., 0], linkage=linkage, connectivity=2)
        else:
            connectivity = 1 if case.endswith("4") else 2
            image = rng.integers(0, 9, (6, 7, 1))
            labels = rng.integers(0, 12, (6, 7)) * 3 if "regions" in case else None
            tree = binary_partition_tree(image[..., 0], labels, linkage, connectivity)
        assert_matches_reference(tree, image, labels, linkage, connectivity)


def test_mean_linkage_merges_as_the_exact_partition_tree_when_there_are_no_ties(rng):
    compared = 0
    while compared < 5:
        labels = rng.permutation(40)[rng.integers(0, 9, (12, 14))].astype(np.int32)
        image = rng.integers(0, 256, labels.shape, dtype=np.uint8)
        *_, gap = reference.build(image[..., None], labels, "mean", 2)
        if gap < 1e-4:
            continue  # a near tie: the two trees may settle it differently
        exact = _vexa.BPT(image, labels, _vexa.Mean)
        tree = binary_partition_tree(image, labels, "mean", connectivity=2)
        np.testing.assert_array_equal(tree.parents, exact.parents.numpy())
        merges = exact.nodes[tree.num_leaves:]
        np.testing.assert_allclose(tree.altitudes[tree.num_leaves:],
                                   [abs(n.children[0].metric - n.children[1].metric) for n in merges], rtol=1e-4)
        compared += 1


def test_colour_channels_may_lie_on_any_axis_or_follow_from_the_label_map(rng):
    image = rng.integers(0, 256, (5, 6, 3), dtype=np.uint8)
    labels = rng.integers(0, 7, (5, 6))
    last = binary_partition_tree(image, labels, "ward")
    first = binary_partition_tree(np.moveaxis(image, -1, 0), labels, "ward", channel_axis=0)
    np.testing.assert_array_equal(last.parents, first.parents)
    assert_matches_reference(last, image, labels, "ward", 1)


# ---- mean linkage on larger images ------------------------------------------

def mean_linkage_model(values, labels, connectivity):
    """Mean linkage by re-weighing every adjacency of each new node: nodes are
    fixed regions, so a queued weight between two live nodes never goes
    stale. Same float64 expressions as the library."""
    flat = values.reshape(-1, values.shape[-1]).astype(np.float64).tolist()
    leaf_of = (range(len(flat)) if labels is None
               else np.unique(labels.ravel(), return_inverse=True)[1].tolist())
    num_leaves = max(leaf_of) + 1
    size, sums = [0.0] * num_leaves, [[0.0] * len(flat[0]) for _ in range(num_leaves)]
    for p, leaf in enumerate(leaf_of):
        size[leaf] += 1.0
        sums[leaf] = [s + v for s, v in zip(sums[leaf], flat[p])]
    neighbours = [set() for _ in range(num_leaves)]
    for p, q in reference.neighbour_pairs(values.shape[:-1], connectivity):
        if leaf_of[p] != leaf_of[q]:
            neighbours[leaf_of[p]].add(leaf_of[q])
            neighbours[leaf_of[q]].add(leaf_of[p])

    def weight(a, b):
        if len(sums[a]) == 1:
            w = math.fabs(sums[a][0] / size[a] - sums[b][0] / size[b])
        else:
            w = math.sqrt(sum((x / size[a] - y / size[b]) ** 2 for x, y in zip(sums[a], sums[b])))
        return math.inf if math.isnan(w) else w

    queue = [(weight(a, b), a, b) for a in range(num_leaves) for b in neighbours[a] if a < b]
    heapq.heapify(queue)
    parents, altitudes = [-1] * (2 * num_leaves - 1), [0.0] * (2 * num_leaves - 1)
    for node in range(num_leaves, 2 * num_leaves - 1):
        while True:
            w, a, b = heapq.heappop(queue)
            if parents[a] < 0 and parents[b] < 0:
                break
        parents[a] = parents[b] = node
        altitudes[node] = w
        size.append(size[a] + size[b])
        sums.append([x + y for x, y in zip(sums[a], sums[b])])
        neighbours.append((neighbours[a] | neighbours[b]) - {a, b})
        for c in neighbours[node]:
            neighbours[c] -= {a, b}
            neighbours[c].add(node)
            heapq.heappush(queue, (weight(c, node), c, node))
    return np.array(parents), np.array(altitudes)


@pytest.mark.parametrize("case", ["noise", "few levels", "volume", "rgb", "big regions", "overflowing sums"])
def test_mean_linkage_on_noise_merges_as_re_weighing_everything(case, rng):
    # Large enough for regions of hundreds of pixels, whose adjacencies are
    # weighed again lazily.
    labels, connectivity, axis = None, 1, None
    if case == "noise":
        image = rng.random((48, 48))
    elif case == "few levels":
        image, connectivity = rng.integers(0, 4, (48, 48)).astype(np.uint8), 2
    elif case == "volume":
        image, connectivity = rng.random((12, 12, 12)), 3
    elif case == "rgb":
        image, axis = rng.integers(0, 256, (32, 32, 3)).astype(np.uint8), -1
    elif case == "big regions":
        image = rng.random((80, 80))  # 400 leaves of 16 pixels
        labels = rng.permutation(400)[np.arange(80)[:, None] // 4 * 20 + np.arange(80) // 4]
    else:
        image = rng.uniform(-1, 1, (40, 40)) * 1e307
    tree = binary_partition_tree(image, labels, "mean", connectivity, channel_axis=axis)
    values = image[..., None] if axis is None else image
    parents, altitudes = mean_linkage_model(values, labels, connectivity)
    np.testing.assert_array_equal(tree.parents, parents)
    np.testing.assert_array_equal(tree.altitudes, altitudes)


# ---- cuts -----------------------------------------------------------------

@pytest.mark.parametrize("linkage", LINKAGES)
def test_cut_k_leaves_k_regions_numbered_by_first_pixel(linkage, rng):
    labels = rng.integers(0, 30, (9, 10))
    tree = binary_partition_tree(rng.random((9, 10)), labels, linkage)
    for k in range(1, tree.num_leaves + 1):
        cut = tree.cut(k)
        merges = tree.num_leaves - k
        np.testing.assert_array_equal(cut, reference.cut(tree.parents, tree.leaf_labels, merges))
        assert cut.max() == k - 1
    # cut_at: a region never splits as the threshold grows.
    previous = tree.cut_at(-1.0)
    np.testing.assert_array_equal(previous, tree.cut(tree.num_leaves))
    for altitude in np.sort(tree.altitudes[tree.num_leaves:]):
        now = tree.cut_at(altitude)
        assert all(len(np.unique(now[previous == r])) == 1 for r in range(previous.max() + 1))
        previous = now
    assert previous.max() == 0


def test_cut_serves_the_exact_partition_tree_and_refuses_bad_parent_arrays(rng):
    labels = rng.integers(0, 20, (8, 9)).astype(np.int32)
    exact = _vexa.BPT(rng.integers(0, 256, (8, 9), dtype=np.uint8), labels, _vexa.Mean)
    cut = _vexa._partition_cut(exact.parents, exact.pixel_to_node, 5)
    merges = len(np.unique(labels)) - 5
    np.testing.assert_array_equal(cut, reference.cut(exact.parents.numpy(), exact.pixel_to_node.numpy(), merges))
    for parents, message in [([1, 0, -1], "after its node"), ([3, 3, -1], "after its node"),
                             ([2, 2, 2], "after its node"), ([3, 3, 3, -1], "more than two")]:
        with pytest.raises(ValueError, match=message):
            _vexa._partition_cut(np.array(parents), np.zeros((1, 2), np.int64), 1)
    with pytest.raises(ValueError, match="outside"):
        _vexa._partition_cut(np.array([2, 2, -1]), np.array([[0, 5]]), 2)
    with pytest.raises(ValueError, match="partitions of 1 to 2"):
        _vexa._partition_cut(np.array([2, 2, -1]), np.array([[0, 1]]), 3)


def test_tree_arrays_feed_the_tree_sums(rng):
    tree = binary_partition_tree(rng.random((6, 5)), rng.integers(0, 9, (6, 5)))
    arrays = tree.tree_arrays()
    leaf_areas = torch.bincount(arrays.pixel_to_node.flatten(), minlength=tree.num_nodes).double()
    areas = vexa.subtree_sums(arrays.parents, leaf_areas)
    assert areas[-1] == 30 and areas[tree.num_leaves:].tolist() == [
        (np.isin(tree.leaf_labels, np.flatnonzero(reference_subtree(tree.parents, n)))).sum()
        for n in range(tree.num_leaves, tree.num_nodes)]


def reference_subtree(parents, node):
    inside = np.zeros(len(parents), bool)
    inside[node] = True
    for i in range(node, -1, -1):
        inside[i] |= parents[i] >= 0 and inside[parents[i]]
    return inside


def test_labels_of_any_integer_type_keep_their_order():
    image = np.array([[1.0, 2.0, 9.0]])
    a = binary_partition_tree(image, np.array([[-5, 7, 2**40]]))
    b = binary_partition_tree(image, np.array([[0, 1, 2]], np.uint8))
    np.testing.assert_array_equal(a.parents, b.parents)
    np.testing.assert_array_equal(a.leaf_labels, [[0, 1, 2]])


# ---- bad input --------------------------------------------------------------

@pytest.mark.parametrize("call, error", [
    (lambda: binary_partition_tree(np.zeros((3, 3)), linkage="median"), ValueError),
    (lambda: binary_partition_tree(np.zeros((3, 3)), connectivity=3), ValueError),
    (lambda: binary_partition_tree(np.zeros((3, 3)), connectivity=1.5), TypeError),
    (lambda: binary_partition_tree(np.array([[0.0, np.nan]])), ValueError),
    (lambda: binary_partition_tree(np.zeros((0, 3))), ValueError),
    (lambda: binary_partition_tree(np.zeros(5)), ValueError),
    (lambda: binary_partition_tree(np.array([["a"]])), TypeError),
    (lambda: binary_partition_tree(np.zeros((3, 3)), np.zeros((3, 4), int)), ValueError),
    (lambda: binary_partition_tree(np.zeros((3, 3)), np.zeros((3, 3))), TypeError),
    (lambda: binary_partition_tree(np.zeros((2, 2))).cut(5), ValueError),
    (lambda: binary_partition_tree(np.zeros((2, 2))).cut_at(np.nan), ValueError),
    (lambda: _vexa._binary_partition_tree(np.zeros((2, 2, 1)), None, "mean", 0), ValueError),
    (lambda: _vexa._binary_partition_tree(np.full((2, 2, 1), np.inf), None, "mean", 1), ValueError),
])
def test_bad_input_is_refused_with_a_clear_error(call, error):
    with pytest.raises(error):
        call()


@settings(max_examples=60, deadline=None)
@given(image=hnp.arrays(st.sampled_from([np.uint8, np.int16, np.float32, np.float64, np.complex64, bool]),
                        hnp.array_shapes(min_dims=0, max_dims=4, min_side=0, max_side=4)),
       labels=st.one_of(st.none(), hnp.arrays(st.sampled_from([np.int32, np.int64, np.float64]),
                                              hnp.array_shapes(min_dims=1, max_dims=3, max_side=4))),
       linkage=st.sampled_from(LINKAGES + ["Mean", ""]), connectivity=st.integers(-1, 4))
def test_fuzzed_input_builds_a_tree_or_raises_a_clear_error(image, labels, linkage, connectivity):
    try:
        tree = binary_partition_tree(image, labels, linkage, connectivity)
    except (ValueError, TypeError):
        return
    assert tree.parents[-1] == -1 and tree.leaf_labels.shape == tree.cut(1).shape


def test_ctrl_c_stops_a_long_build():
    import os
    import signal
    import threading
    image = np.random.default_rng(0).integers(0, 256, (1024, 1024), dtype=np.uint8)
    timer = threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT))
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        binary_partition_tree(image, linkage="mean")
    timer.join()
