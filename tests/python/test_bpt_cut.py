"""BPT.cut(k) and BPT.merge_levels, checked against the merges the nodes record."""
import numpy as np
import pytest

from _vexa import BPT, Mean


def bpt(image, labels):
    return BPT(np.asarray(image, np.uint8), np.asarray(labels, np.int32), Mean)


def numbered_by_first_pixel(groups):
    _, first, inverse = np.unique(groups.ravel(), return_index=True, return_inverse=True)
    rank = np.argsort(np.argsort(first))
    return rank[inverse].reshape(groups.shape).astype(np.int32)


def partitions_along_the_merges(tree, shape):
    """Label map after each merge j (j = 0: the leaves), from the merged
    nodes' own pixel lists rather than from the parent links."""
    leaves = [n for n in tree.nodes if n.children == (None, None)]
    groups = np.empty(shape[0] * shape[1], np.int64)
    for k, leaf in enumerate(leaves):
        groups[leaf.ccps] = k
    yield numbered_by_first_pixel(groups.reshape(shape))
    for j, node in enumerate(tree.nodes[len(leaves):]):
        groups[node.ccps] = len(leaves) + j
        yield numbered_by_first_pixel(groups.reshape(shape))


def test_worked_example_cuts_and_levels():
    tree = bpt([[10, 20], [40, 80]], [[1, 2], [3, 4]])
    # Nodes 5 = (1, 2) at |10 - 20|, 6 = (5, 3) at |15 - 40|, 7 = (6, 4) at |70/3 - 80| in float32.
    assert tree.merge_levels.dtype == np.float32
    assert tree.merge_levels.tolist() == [10, 25, np.float32(80) - np.float32(70 / 3)]
    assert [tree.cut(k).tolist() for k in (4, 3, 2, 1)] == [
        [[0, 1], [2, 3]], [[0, 0], [1, 2]], [[0, 0], [0, 1]], [[0, 0], [0, 0]]]


@pytest.mark.parametrize("shape,num_labels", [((1, 1), 1), ((5, 7), 4), ((8, 6), 12), ((6, 9), 30)])
def test_every_cut_is_the_union_of_the_first_merges(rng, shape, num_labels):
    for _ in range(3):
        image = rng.integers(0, 256, shape)
        labels = rng.permutation(num_labels)[rng.integers(0, num_labels, shape)] * 3
        tree = bpt(image, labels)
        num_leaves = len(np.unique(labels))
        expected = list(partitions_along_the_merges(tree, shape))
        for j, partition in enumerate(expected):
            cut = tree.cut(num_leaves - j)
            assert cut.dtype == np.int32 and cut.shape == shape
            np.testing.assert_array_equal(cut, partition)
        merged = tree.nodes[num_leaves:]
        levels = [abs(np.float32(n.children[0].metric) - np.float32(n.children[1].metric)) for n in merged]
        np.testing.assert_array_equal(tree.merge_levels, np.array(levels, np.float32))


@pytest.mark.parametrize("k,error,match", [(0, ValueError, "partitions of 1 to 4 regions, not 0"),
                                           (5, ValueError, "not 5"), (-1, ValueError, "not -1"),
                                           ("2", TypeError, "incompatible"), (2.0, TypeError, "incompatible")])
def test_cut_refuses_counts_the_tree_does_not_hold(k, error, match):
    tree = bpt([[10, 20], [40, 80]], [[1, 2], [3, 4]])
    with pytest.raises(error, match=match):
        tree.cut(k)
