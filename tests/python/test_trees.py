import numpy as np
import pytest

import _vexa
from tree_reference import cc_order, components

TREES = [_vexa.MaxTree, _vexa.MinTree]


def pixel_map(tree):
    return tree.small_components if isinstance(tree, _vexa.MaxTree) else tree.small_component


def test_max_tree_of_one_by_three():
    tree = _vexa.MaxTree(np.array([[1, 5, 3]], np.uint8), 1)
    nodes = tree.nodes
    assert [n.id for n in nodes] == [0, 1, 2]
    assert [n.level for n in nodes] == [1, 3, 5]
    assert [n.cnps for n in nodes] == [[0], [2], [1]]
    assert nodes[1].pixelsOfCC == [2, 1]
    assert nodes[0].pixelsOfCC == [0, 2, 1]
    assert nodes[2].parent is nodes[1] and nodes[1].parent is nodes[0] and nodes[0].parent is None
    assert [n.residue for n in nodes] == [1, 2, 2]
    assert tree.small_components == [0, 2, 1]
    assert (nodes[0].top, nodes[0].left, nodes[0].bottom, nodes[0].right) == (0, 0, 0, 0)
    assert [n.id for n in tree.getNodesById([2, 0, 2])] == [2, 0, 2]
    assert tree.getNodesById([]) == []


def test_min_tree_of_one_by_three():
    tree = _vexa.MinTree(np.array([[1, 5, 3]], np.uint8), 1)
    root = tree.root
    assert root.id == 0 and root.level == 5 and root.cnps == [1] and root.pixelsOfCC == [1, 2, 0]
    assert [c.id for c in root.children] == [1, 2]
    assert [n.level for n in tree.nodes] == [5, 3, 1]
    assert [n.residue for n in tree.nodes] == [5, -2, -4]
    assert tree.small_component == [2, 0, 1]


def test_per_pixel_property_name_depends_on_the_kind():
    assert hasattr(_vexa.MaxTree, "small_components") and not hasattr(_vexa.MaxTree, "small_component")
    assert hasattr(_vexa.MinTree, "small_component") and not hasattr(_vexa.MinTree, "small_components")


@pytest.mark.parametrize("kind", TREES)
def test_single_pixel_constant_and_empty_images(kind):
    one = kind(np.array([[77]], np.uint8), 1.5)
    assert len(one.nodes) == 1 and one.root.cnps == [0] and one.root.residue == 77
    assert (one.root.top, one.root.left, one.root.bottom, one.root.right) == (0, 0, 0, 0)

    const = kind(np.full((2, 3), 9, np.uint8), 1)
    assert len(const.nodes) == 1
    assert const.root.cnps == [5, 4, 3, 2, 1, 0] == const.root.pixelsOfCC
    assert const.root.representant == 5

    for shape in [(0, 0), (0, 5), (4, 0)]:
        empty = kind(np.zeros(shape, np.uint8), 1)
        assert empty.root is None and empty.nodes == [] and pixel_map(empty) == []


@pytest.mark.parametrize("radius", [0.5, 0.0, -3.0, float("nan"), float("-inf")])
def test_empty_adjacency_gives_a_forest_of_pixels(radius):
    image = np.array([[4, 9], [4, 1]], np.uint8)
    tree = _vexa.MaxTree(image, radius)
    nodes = tree.nodes
    assert len(nodes) == 4
    assert all(n.parent is None and n.residue == n.level and len(n.cnps) == 1 for n in nodes)
    # The root is the node of the first processed pixel, created last.
    assert tree.root is nodes[3] and tree.root.cnps == [1]


def test_checkerboard_depends_on_the_radius():
    board = np.indices((4, 4)).sum(axis=0) % 2 * 190 + 10
    board = board.astype(np.uint8)
    assert len(_vexa.MaxTree(board, 1).nodes) == 9
    assert len(_vexa.MaxTree(board, 1.5).nodes) == 2


def test_radius_reads_back_in_single_precision():
    tree = _vexa.MaxTree(np.zeros((2, 2), np.uint8), 0.1)
    assert tree.adjacency_radius == 0.10000000149011612
    assert _vexa.MinTree(np.zeros((2, 2), np.uint8), 2).adjacency_radius == 2.0


@pytest.mark.parametrize("kind", TREES)
@pytest.mark.parametrize("radius", [1, 1.5, 2])
def test_random_trees_match_the_reference(kind, radius, rng):
    is_max = kind is _vexa.MaxTree
    for _ in range(12):
        h, w = rng.integers(1, 9, size=2)
        image = (rng.integers(0, 5, size=(h, w)) * 50).astype(np.uint8)
        tree = kind(image, radius)
        expected = components(image, radius, is_max)
        nodes = tree.nodes
        assert len(nodes) == len(expected)
        assert tree.root is nodes[0]
        owner = pixel_map(tree)
        seen = []
        for node in nodes:
            cc = node.pixelsOfCC
            assert expected[frozenset(cc)] == node.level
            assert cc == cc_order(image, cc, is_max)
            assert node.cnps == sorted(node.cnps, reverse=True)
            assert node.representant == node.cnps[0] == cc[0]
            assert all(owner[p] == node.id for p in node.cnps)
            rows, cols = np.divmod(node.cnps, w)
            assert (node.top, node.left, node.bottom, node.right) == (
                rows.min(), cols.min(), rows.max(), cols.max())
            if node.parent is not None:
                assert node.parent.id < node.id
                assert set(cc) < set(node.parent.pixelsOfCC)
                assert node.residue == node.level - node.parent.level
                assert (node.residue > 0) == is_max
            assert [c.id for c in node.children] == sorted(c.id for c in node.children)
            seen += node.cnps
        assert sorted(seen) == list(range(image.size))
        # Ids: by reverse processing order of each node's last processed pixel.
        keys = [(n.level if is_max else -n.level, -n.representant) for n in nodes]
        assert keys == sorted(keys)


@pytest.mark.parametrize("kind", TREES)
def test_building_twice_gives_identical_trees(kind, rng):
    image = rng.integers(0, 256, size=(30, 40), dtype=np.uint8)
    a, b = kind(image, 1.5), kind(image, 1.5)
    assert pixel_map(a) == pixel_map(b)
    assert [(n.cnps, n.parent and n.parent.id) for n in a.nodes] == \
           [(n.cnps, n.parent and n.parent.id) for n in b.nodes]


def test_strided_views_equal_their_dense_copies(rng):
    base = rng.integers(0, 256, size=(12, 17), dtype=np.uint8)
    views = [base.T, base[::2, 1::3], base[::-1, ::-1], base[:, 3:9], np.asfortranarray(base)]
    for view in views:
        for kind in TREES:
            got, want = kind(view, 1), kind(np.ascontiguousarray(view), 1)
            assert pixel_map(got) == pixel_map(want)
            assert [n.cnps for n in got.nodes] == [n.cnps for n in want.nodes]


def test_huge_radius_equals_the_full_adjacency(rng):
    image = rng.integers(0, 6, size=(7, 5), dtype=np.uint8)
    full = _vexa.MaxTree(image, 10)
    for radius in [1e30, float("inf"), 3e38]:
        tree = _vexa.MaxTree(image, radius)
        assert tree.small_components == full.small_components
        assert len(tree.nodes) == len(np.unique(image))


def test_read_only_and_big_endian_friendly_inputs(rng):
    image = rng.integers(0, 256, size=(5, 6), dtype=np.uint8)
    image.setflags(write=False)
    assert len(_vexa.MaxTree(image, 1).nodes) == len(_vexa.MaxTree(image.copy(), 1).nodes)


def test_large_image_builds(rng):
    image = rng.integers(0, 256, size=(300, 400), dtype=np.uint8)
    tree = _vexa.MinTree(image, 1.5)
    owner = np.asarray(tree.small_component)
    levels = np.array([n.level for n in tree.nodes])
    assert (levels[owner] == image.ravel()).all()
