import gc
import math
import weakref

import numpy as np
import pytest

import _vexa
from _vexa import BPT, DissimilarityType, Mean, NodeBPT

import bpt_model

PIXELS_DOC = "Retorna a lista de pixels do componente conexo do nó."


def bpt(image, labels):
    return BPT(np.asarray(image, np.uint8), np.asarray(labels, np.int32), Mean)


def children_ids(node):
    return tuple(None if c is None else c.id for c in node.children)


def same_float(a, b):
    return (math.isnan(a) and math.isnan(b)) or a == b


# ---- worked examples --------------------------------------------------------

def test_one_label_is_a_single_leaf():
    tree = bpt(np.full((3, 4), 9), np.full((3, 4), 7))
    root = tree.root
    assert [n.id for n in tree.nodes] == [7]
    assert root.id == 7 and math.isnan(root.metric)
    assert root.children == (None, None) and root.parent is None
    assert root.ccps == list(range(12)) and root.neighbors == []
    assert (root.top, root.left, root.bottom, root.right) == (0, 0, 2, 3)


@pytest.mark.parametrize("left,right", [(1, 2), (2, 1)])
def test_two_regions_side_by_side_merge_whatever_the_label_order(left, right):
    image = np.array([[10, 12, 40, 50], [14, 10, 30, 30]])
    labels = np.array([[left, left, right, right]] * 2)
    tree = bpt(image, labels)
    root = tree.root
    assert [n.id for n in tree.nodes] == [1, 2, 3]
    assert root.id == 3 and children_ids(root) == (1, 2)
    one, two = root.children
    assert one.metric == image[labels == 1].mean() and two.metric == image[labels == 2].mean()
    assert root.metric == np.float32((4 * 11.5 + 4 * 37.5) / 8)
    assert root.ccps == one.ccps + two.ccps
    assert one.ccps == sorted(np.flatnonzero(labels.ravel() == 1).tolist())
    assert one.parent is root and two.parent is root


def test_labels_zero_and_five_merge_into_six():
    tree = bpt([[3, 5]], [[0, 5]])
    assert [n.id for n in tree.nodes] == [0, 5, 6]
    assert children_ids(tree.root) == (0, 5) and tree.root.metric == 4.0


def test_two_by_two_example():
    tree = bpt([[10, 20], [40, 80]], [[1, 2], [3, 4]])
    by_id = {n.id: n for n in tree.nodes}
    assert sorted(by_id) == [1, 2, 3, 4, 5, 6, 7]
    assert children_ids(by_id[5]) == (1, 2) and by_id[5].metric == 15.0
    assert children_ids(by_id[6]) == (5, 3)
    assert by_id[6].metric == np.float32(70 / 3) == pytest.approx(23.333334)
    assert children_ids(by_id[7]) == (6, 4) and by_id[7].metric == 37.5
    assert tree.root is by_id[7] and tree.root.ccps == [0, 1, 2, 3]
    # The diagonal contact of 2 and 3 counts although 3 sits at the examined end.
    assert 3 in [n.id for n in by_id[2].neighbors]
    assert [n.id for n in by_id[1].neighbors] == [2, 3, 4]
    assert [n.id for n in by_id[4].neighbors] == [6]
    assert tree.root.neighbors == []


def test_equal_levels_merge_the_newer_node_first():
    tree = bpt([[5, 5, 5]], [[1, 2, 3]])
    by_id = {n.id: n for n in tree.nodes}
    assert children_ids(by_id[4]) == (1, 2)
    assert children_ids(by_id[5]) == (4, 3) and tree.root is by_id[5]


def test_one_label_in_two_areas_is_one_leaf():
    tree = bpt([[1, 2, 3, 4, 5]], [[7, 8, 8, 8, 7]])
    seven = tree.nodes[0]
    assert seven.id == 7 and seven.ccps == [0, 4]
    assert (seven.left, seven.right) == (0, 4) and seven.metric == 3.0


@pytest.mark.parametrize("labels", [[[1, 3], [3, 2]], [[3, 1], [2, 3]], [[3, 2], [1, 3]]])
def test_regions_touching_at_a_corner_are_adjacent(labels):
    labels = np.array(labels)
    image = np.where(labels == 3, 200, 10)
    tree = bpt(image, labels)
    by_id = {n.id: n for n in tree.nodes}
    assert 2 in [n.id for n in by_id[1].neighbors]
    # 1 and 2 (both level 10) merge first.
    assert children_ids(by_id[4]) == (1, 2)


def test_box_is_tight_and_rows_grow_downwards():
    labels = np.zeros((5, 6), np.int32)
    labels[1:4, 2:5] = 1
    tree = bpt(np.zeros((5, 6)), labels)
    one = tree.nodes[1]
    assert (one.top, one.left, one.bottom, one.right) == (1, 2, 3, 4)


# ---- float32 metrics --------------------------------------------------------

def test_leaf_metric_is_a_sequential_float32_sum():
    rng = np.random.default_rng(3)
    image = rng.integers(200, 256, (300, 300)).astype(np.uint8)
    labels = np.zeros((300, 300), np.int32)
    labels[:, -1] = 1
    tree = BPT(image, labels, Mean)
    pixels = image.ravel()[labels.ravel() == 0].astype(np.float32)
    sequential = np.add.accumulate(pixels, dtype=np.float32)[-1] / np.float32(pixels.size)
    assert tree.nodes[0].metric == sequential
    # The sum passes 2^24, so the order of additions shows.
    assert sequential != np.float32(pixels.astype(np.float64).mean())


def test_uniform_region_metric_is_exact():
    tree = bpt(np.full((50, 60), 77), np.arange(3000).reshape(50, 60) // 1000)
    assert [n.metric for n in tree.nodes] == [77.0] * 5


# ---- agreement with the step-by-step model ----------------------------------

def assert_same_tree(tree, image, labels):
    expected, expected_root = bpt_model.build(image, labels)
    nodes = tree.nodes
    assert [n.id for n in nodes] == [n.id for n in expected]
    assert tree.root.id == expected_root.id
    for got, want in zip(nodes, expected):
        assert children_ids(got) == tuple(None if c is None else c.id for c in want.children)
        assert (got.parent.id if got.parent else None) == (want.parent.id if want.parent else None)
        assert same_float(got.metric, float(want.metric)), got.id
        assert got.ccps == want.ccps
        assert (got.top, got.left, got.bottom, got.right) == (want.top, want.left, want.bottom,
                                                              want.right)
        assert [n.id for n in got.neighbors] == list(want.neighbors)


@pytest.mark.parametrize("seed", range(12))
def test_matches_model_on_random_maps_with_many_ties(seed):
    rng = np.random.default_rng(seed)
    rows, cols = rng.integers(1, 9, 2)
    levels = rng.integers(0, 3, (rows, cols)) * 40
    labels = rng.integers(0, rng.integers(1, 12), (rows, cols)) * int(rng.integers(1, 1000))
    tree = bpt(levels, labels)
    assert_same_tree(tree, np.asarray(levels, np.uint8), np.asarray(labels, np.int32))


@pytest.mark.parametrize("seed", range(4))
def test_matches_model_on_blocky_maps(seed):
    rng = np.random.default_rng(100 + seed)
    image = rng.integers(0, 256, (16, 20)).astype(np.uint8)
    labels = np.kron(rng.permutation(20).reshape(4, 5), np.ones((4, 4), int)).astype(np.int32)
    assert_same_tree(BPT(image, labels, Mean), image, labels)


@pytest.mark.parametrize("seed", range(3))
def test_matches_model_when_regions_have_many_neighbours(seed):
    # Scattered labels: every region touches dozens of others.
    rng = np.random.default_rng(200 + seed)
    image = (rng.integers(0, 6, (24, 30)) * 40).astype(np.uint8)
    labels = rng.integers(0, 45, (24, 30)).astype(np.int32)
    labels[::5, :] = 99  # one region touching all the others
    assert_same_tree(BPT(image, labels, Mean), image, labels)


def test_large_and_sparse_labels_match_model():
    rng = np.random.default_rng(8)
    image = rng.integers(0, 256, (6, 7)).astype(np.uint8)
    values = np.array([5, 2**31 + 7, 4_000_000_000, 123_456_789], np.uint32)
    labels = values[rng.integers(0, 4, (6, 7))]
    tree = BPT(image, labels, Mean)
    assert tree.root.id == 4_000_000_000 + 3
    assert_same_tree(tree, image, labels)


# ---- invariants on random label maps ----------------------------------------

def voronoi_labels(rng, rows, cols, seeds):
    ys, xs = rng.integers(0, rows, seeds), rng.integers(0, cols, seeds)
    yy, xx = np.mgrid[0:rows, 0:cols]
    dist = (yy[..., None] - ys) ** 2 + (xx[..., None] - xs) ** 2
    return (np.argmin(dist, axis=2) * 3 + 1).astype(np.int32)


@pytest.mark.parametrize("seed", range(3))
def test_invariants_on_random_maps(seed):
    rng = np.random.default_rng(seed)
    rows, cols = 37, 53
    image = rng.integers(0, 256, (rows, cols)).astype(np.uint8)
    labels = voronoi_labels(rng, rows, cols, 60)
    if seed == 2:  # scattered labels: regions in many pieces
        labels = rng.integers(0, 40, (rows, cols)).astype(np.int32)
    tree = BPT(image, labels, Mean)
    nodes = tree.nodes
    num_leaves = len(np.unique(labels))
    assert len(nodes) == 2 * num_leaves - 1
    assert sorted(tree.root.ccps) == list(range(rows * cols))
    flat = image.ravel().astype(np.float64)
    for node in nodes:
        pixels = node.ccps
        if node.children == (None, None):
            assert pixels == sorted(np.flatnonzero(labels.ravel() == node.id).tolist())
        else:
            first, second = node.children
            assert pixels == first.ccps + second.ccps
            assert first.parent is node and second.parent is node
            assert node.id > max(first.id, second.id)
            assert node.top == min(first.top, second.top)
            assert node.left == min(first.left, second.left)
            assert node.bottom == max(first.bottom, second.bottom)
            assert node.right == max(first.right, second.right)
        rr, cc = np.divmod(np.array(pixels), cols)
        assert (node.top, node.left, node.bottom, node.right) == (rr.min(), cc.min(), rr.max(),
                                                                  cc.max())
        assert node.metric == pytest.approx(flat[pixels].mean(), rel=1e-5)
    assert tree.root.parent is None and tree.root is nodes[-1]


# ---- the Python face --------------------------------------------------------

def test_enumeration_is_exported():
    assert _vexa.Mean is DissimilarityType.Mean and int(Mean) == 0
    assert DissimilarityType.__members__ == {"Mean": Mean}


def test_docstrings():
    assert BPT.root.__doc__ == "Lista de ponteiros para os nós da árvore."
    assert BPT.nodes.__doc__ == "Lista de ponteiros para os nós da árvore."
    assert NodeBPT.neighbors.__doc__ == "Retorna a lista de ponteiros para nós de regiões vizinhas."
    for name in ("ccps", "metric", "parent", "children"):
        assert getattr(NodeBPT, name).__doc__ == PIXELS_DOC
    assert NodeBPT.top.__doc__ == "Retorna a coordenada vertical máxima."
    assert NodeBPT.left.__doc__ == "Retorna a coordenada horizontal mínima."
    assert NodeBPT.bottom.__doc__ == "Retorna a coordenada vertical mínima."
    assert NodeBPT.right.__doc__ == "Retorna a coordenada horizontal máxima."


def test_registration_order():
    names = [n for n in vars(_vexa) if n in ("DissimilarityType", "BPT", "NodeBPT", "Mean")]
    assert names == ["DissimilarityType", "Mean", "BPT", "NodeBPT"]


def test_nodes_keep_identity():
    tree = bpt([[1, 2, 3]], [[1, 2, 3]])
    assert tree.root is tree.root and tree.nodes[-1] is tree.root
    leaf = tree.nodes[0]
    assert leaf.parent.parent is tree.root
    assert tree.root.children[0] is leaf.parent


def test_node_references_keep_the_tree_alive():
    image = np.arange(12, dtype=np.uint8).reshape(3, 4)
    labels = np.arange(12, dtype=np.int32).reshape(3, 4) // 3
    leaf = BPT(image, labels, Mean).nodes[0]
    gc.collect()
    assert leaf.ccps == [0, 1, 2] and leaf.parent.parent is not None
    root = BPT(image, labels, Mean).root
    gc.collect()
    assert sorted(root.ccps) == list(range(12))
    child = bpt([[1, 2]], [[1, 2]]).root.children[1]
    gc.collect()
    assert child.parent.ccps == [0, 1]
    neighbor = bpt([[1, 2]], [[1, 2]]).nodes[0].neighbors[0]
    gc.collect()
    assert neighbor.id == 2 and neighbor.parent.id == 3


def test_tree_is_released_with_its_last_reference():
    tree = bpt([[1, 2, 3]], [[1, 2, 3]])
    ref = weakref.ref(tree)
    root = tree.root
    del tree
    gc.collect()
    assert ref() is not None
    del root
    gc.collect()
    assert ref() is None


def test_non_contiguous_and_byte_swapped_inputs():
    rng = np.random.default_rng(5)
    image = rng.integers(0, 256, (12, 10)).astype(np.uint8)
    labels = rng.integers(0, 6, (12, 10)).astype(np.int32)
    expected = BPT(np.ascontiguousarray(image.T), np.ascontiguousarray(labels.T), Mean)
    got = BPT(image.T, labels.T, Mean)
    assert [children_ids(n) for n in got.nodes] == [children_ids(n) for n in expected.nodes]
    assert got.root.ccps == expected.root.ccps
    swapped = BPT(image, labels.astype(">i4"), Mean)
    native = BPT(image, labels, Mean)
    assert [children_ids(n) for n in swapped.nodes] == [children_ids(n) for n in native.nodes]
    sliced = BPT(image[::2, ::-3], labels[::2, ::-3].astype(np.uint32), Mean)
    plain = BPT(image[::2, ::-3].copy(), labels[::2, ::-3].copy(), Mean)
    assert [n.metric for n in sliced.nodes] == [n.metric for n in plain.nodes]


# ---- NodeBPT made from Python -----------------------------------------------

def two_leaves():
    tree = bpt([[10, 10, 30, 30]], [[4, 4, 9, 9]])
    return tree, tree.nodes[0], tree.nodes[1]


def test_merged_constructor():
    tree, a, b = two_leaves()
    node = NodeBPT(-1, b, a, 200, 0.1)
    assert node.id == 4294967295
    assert node.metric == 0.10000000149011612
    assert node.ccps == [2, 3, 0, 1]
    assert (node.top, node.left, node.bottom, node.right) == (0, 0, 0, 3)
    assert node.children[0] is b and node.children[1] is a
    assert node.parent is None and node.neighbors == []
    # The children keep their own links.
    assert a.parent is tree.root and b.parent is tree.root


def test_merged_constructor_ignores_its_fourth_argument():
    _, a, b = two_leaves()
    zero, top = NodeBPT(5, a, b, 0, 2.5), NodeBPT(5, a, b, 255, 2.5)
    for name in ("id", "ccps", "metric", "top", "left", "bottom", "right", "neighbors"):
        assert getattr(zero, name) == getattr(top, name)
    assert zero.children == top.children


@pytest.mark.parametrize("args", [(256, 0.0), (-1, 0.0), (0, "x")])
def test_merged_constructor_refuses_out_of_range_arguments(args):
    _, a, b = two_leaves()
    with pytest.raises(TypeError):
        NodeBPT(1, a, b, *args)


def test_merged_constructor_refuses_ids_beyond_int32():
    _, a, b = two_leaves()
    with pytest.raises(TypeError):
        NodeBPT(2**31, a, b, 0, 0.0)


def test_merged_constructor_refuses_missing_children():
    _, a, _ = two_leaves()
    with pytest.raises(RuntimeError, match="None"):
        NodeBPT(1, a, None, 0, 0.0)


def test_leaf_constructor_cannot_be_satisfied_from_python():
    with pytest.raises(TypeError):
        NodeBPT(1, (0, 0))


def test_merged_node_keeps_its_children_alive():
    _, a, b = two_leaves()
    node = NodeBPT(1, a, b, 0, 1.0)
    nested = NodeBPT(2, node, NodeBPT(3, b, b, 0, 2.0), 0, 3.0)
    del a, b, node, _
    gc.collect()
    assert nested.ccps == [0, 1, 2, 3, 2, 3, 2, 3]
    assert nested.children[0].children[0].parent.id == 10


# ---- bad input: clear errors, in order --------------------------------------

GOOD_IMAGE = np.zeros((2, 3), np.uint8)
GOOD_LABELS = np.zeros((2, 3), np.int32)


def raises(message, image, labels, measure=Mean, error=RuntimeError):
    with pytest.raises(error) as info:
        BPT(image, labels, measure)
    assert str(info.value) == message


def test_unknown_measure_comes_first():
    raises("Tipo de dissimilaridade desconhecida.", GOOD_IMAGE, GOOD_LABELS, DissimilarityType(1))
    raises("Tipo de dissimilaridade desconhecida.", np.zeros((2, 3, 4), np.float64),
           np.zeros(3, np.float32), DissimilarityType(7))


@pytest.mark.parametrize("dtype", [np.int8, np.uint16, np.float32, np.float64, np.int32])
def test_image_type(dtype):
    raises("Images must be of type uint8_t.", GOOD_IMAGE.astype(dtype), GOOD_LABELS)
    # The image's type is checked before anything else about the arrays.
    raises("Images must be of type uint8_t.", np.zeros((2, 3, 4), dtype), np.zeros(5, np.float64))


def test_image_must_be_2d():
    raises("Image must be 2D (height x width).", np.zeros((2, 3, 1), np.uint8), GOOD_LABELS)
    raises("Image must be 2D (height x width).", np.zeros(6, np.uint8), np.zeros(6, np.float32))


def test_label_map_must_be_2d():
    raises("Label map must be 2D (height x width).", GOOD_IMAGE, np.zeros(6, np.int32))
    raises("Label map must be 2D (height x width).", GOOD_IMAGE, np.zeros((2, 3, 1), np.float32))


@pytest.mark.parametrize("dtype", [np.int64, np.uint64, np.int16, np.uint8, np.float32, bool])
def test_label_map_type(dtype):
    raises("Label map must be of type int32 or uint32.", GOOD_IMAGE, GOOD_LABELS.astype(dtype))


def test_shapes_must_agree():
    raises("Image and label map must have the same shape.", GOOD_IMAGE, GOOD_LABELS.T)
    raises("Image and label map must have the same shape.", np.zeros((0, 3), np.uint8),
           GOOD_LABELS)


@pytest.mark.parametrize("shape", [(0, 0), (0, 4), (5, 0)])
def test_empty_image(shape):
    raises("Image must have at least one pixel.", np.zeros(shape, np.uint8),
           np.zeros(shape, np.int32))


@pytest.mark.parametrize("labels", [[[-1, 0]], [[0, 4294967295]], [[4294967294, 5, 6]]])
def test_labels_whose_merged_ids_would_wrap(labels):
    labels = np.array(labels, np.int64).astype(np.uint32)
    with pytest.raises(RuntimeError, match="Labels too large"):
        BPT(np.zeros(labels.shape, np.uint8), labels, Mean)


def test_largest_labels_that_still_fit():
    assert bpt([[0, 0]], [[-1, -1]]).root.id == 4294967295
    tree = BPT(np.zeros((1, 2), np.uint8), np.array([[4294967293, 4294967294]], np.uint32), Mean)
    assert tree.root.id == 4294967295


def test_arguments_that_are_not_arrays():
    with pytest.raises(TypeError):
        BPT([[1]], GOOD_LABELS, Mean)
    with pytest.raises(TypeError):
        BPT(GOOD_IMAGE, GOOD_LABELS, 0)


def test_buffer_errors_propagate():
    with pytest.raises(ValueError):
        BPT(np.zeros((2, 3), "datetime64[s]"), GOOD_LABELS, Mean)
    with pytest.raises(ValueError):
        BPT(GOOD_IMAGE, np.zeros((2, 3), "datetime64[s]"), Mean)


def test_object_arrays_are_refused():
    with pytest.raises(RuntimeError, match="Images must be"):
        BPT(np.zeros((2, 3), object), GOOD_LABELS, Mean)
