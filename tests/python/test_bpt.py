import gc
import math
import weakref

import numpy as np
import pytest

import _vexa
from _vexa import BPT, DissimilarityType, Mean, NodeBPT

import bpt_model


def bpt(image, labels):
    return BPT(np.asarray(image, np.uint8), np.asarray(labels, np.int32), Mean)


def kids(node):
    return tuple(None if c is None else c.id for c in node.children)


def by_id(tree):
    return {n.id: n for n in tree.nodes}


# ---- worked examples --------------------------------------------------------

def test_one_label_is_a_single_leaf():
    tree = bpt(np.full((3, 4), 9), np.full((3, 4), 7))
    root = tree.root
    assert [n.id for n in tree.nodes] == [7] and root.id == 7 and math.isnan(root.metric)
    assert root.children == (None, None) and root.parent is None and root.neighbors == []
    assert root.ccps == list(range(12)) and (root.top, root.left, root.bottom, root.right) == (0, 0, 2, 3)


@pytest.mark.parametrize("left,right", [(1, 2), (2, 1)])
def test_two_regions_side_by_side_merge_whatever_the_label_order(left, right):
    image = np.array([[10, 12, 40, 50], [14, 10, 30, 30]])
    labels = np.array([[left, left, right, right]] * 2)
    tree = bpt(image, labels)
    root = tree.root
    assert [n.id for n in tree.nodes] == [1, 2, 3] and root.id == 3 and kids(root) == (1, 2)
    one, two = root.children
    assert one.metric == image[labels == 1].mean() and two.metric == image[labels == 2].mean()
    assert root.metric == np.float32(24.5)
    assert one.ccps == np.flatnonzero(labels == 1).tolist() and root.ccps == one.ccps + two.ccps
    assert one.parent is root and two.parent is root


def test_labels_zero_and_five_merge_into_six():
    tree = bpt([[3, 5]], [[0, 5]])
    assert [n.id for n in tree.nodes] == [0, 5, 6] and kids(tree.root) == (0, 5)


def test_two_by_two_example():
    nodes = by_id(bpt([[10, 20], [40, 80]], [[1, 2], [3, 4]]))
    assert kids(nodes[5]) == (1, 2) and nodes[5].metric == 15.0
    assert kids(nodes[6]) == (5, 3) and nodes[6].metric == np.float32(70 / 3)
    assert kids(nodes[7]) == (6, 4) and nodes[7].metric == 37.5 and nodes[7].ccps == [0, 1, 2, 3]
    # The diagonal contact of 2 and 3 counts although 3 sits at the examined end.
    assert [n.id for n in nodes[2].neighbors] == [1, 4, 3]
    assert [n.id for n in nodes[4].neighbors] == [6] and nodes[7].neighbors == []


def test_equal_levels_merge_the_newer_node_first():
    nodes = by_id(bpt([[5, 5, 5]], [[1, 2, 3]]))
    assert kids(nodes[4]) == (1, 2) and kids(nodes[5]) == (4, 3)


def test_one_label_in_two_areas_is_one_leaf():
    seven = bpt([[1, 2, 3, 4, 5]], [[7, 8, 8, 8, 7]]).nodes[0]
    assert seven.ccps == [0, 4] and (seven.left, seven.right) == (0, 4) and seven.metric == 3.0


@pytest.mark.parametrize("labels", [[[1, 3], [3, 2]], [[3, 1], [2, 3]], [[3, 2], [1, 3]]])
def test_regions_touching_at_a_corner_are_adjacent(labels):
    labels = np.array(labels)
    nodes = by_id(bpt(np.where(labels == 3, 200, 10), labels))
    assert 2 in [n.id for n in nodes[1].neighbors] and kids(nodes[4]) == (1, 2)


def test_leaf_metric_is_a_sequential_float32_sum():
    rng = np.random.default_rng(3)
    image = rng.integers(200, 256, (300, 300)).astype(np.uint8)
    labels = np.zeros((300, 300), np.int32)
    labels[:, -1] = 1
    pixels = image[labels == 0].astype(np.float32)
    sequential = np.add.accumulate(pixels, dtype=np.float32)[-1] / np.float32(pixels.size)
    assert BPT(image, labels, Mean).nodes[0].metric == sequential
    # The sum passes 2^24, so the order of additions shows.
    assert sequential != np.float32(pixels.astype(np.float64).mean())


# ---- agreement with the step-by-step model ----------------------------------

def random_case(kind, seed):
    rng = np.random.default_rng(seed)
    if kind == "ties":  # small maps, three grey levels: many equal edges
        rows, cols = rng.integers(1, 9, 2)
        image = rng.integers(0, 3, (rows, cols)) * 40
        labels = rng.integers(0, rng.integers(1, 12), (rows, cols)) * int(rng.integers(1, 1000))
    elif kind == "blocks":
        image = rng.integers(0, 256, (16, 20))
        labels = np.kron(rng.permutation(20).reshape(4, 5), np.ones((4, 4), int))
    elif kind == "scattered":  # every region touches dozens of others
        image = rng.integers(0, 6, (24, 30)) * 40
        labels = rng.integers(0, 45, (24, 30))
        labels[::5, :] = 99
    else:  # large labels, hashed rather than tabled
        image = rng.integers(0, 256, (6, 7))
        labels = np.array([5, 2**31 + 7, 4_000_000_000, 123_456_789])[rng.integers(0, 4, (6, 7))]
    return np.asarray(image, np.uint8), np.asarray(labels).astype(np.uint32).view(np.int32)


@pytest.mark.parametrize("kind,seed", [("ties", s) for s in range(12)] +
                         [(k, s) for k in ("blocks", "scattered", "sparse") for s in range(3)])
def test_matches_the_model(kind, seed):
    image, labels = random_case(kind, seed)
    tree = BPT(image, labels, Mean)
    expected, expected_root = bpt_model.build(image, labels)
    assert [n.id for n in tree.nodes] == [n.id for n in expected]
    assert tree.root.id == expected_root.id
    for got, want in zip(tree.nodes, expected):
        assert kids(got) == tuple(None if c is None else c.id for c in want.children)
        assert (got.parent and got.parent.id) == (want.parent and want.parent.id)
        assert got.metric == want.metric or math.isnan(got.metric) and np.isnan(want.metric)
        assert got.ccps == want.ccps
        assert (got.top, got.left, got.bottom, got.right) == (want.top, want.left, want.bottom, want.right)
        assert [n.id for n in got.neighbors] == list(want.neighbors)


@pytest.mark.parametrize("scattered", [False, True])
def test_invariants_on_random_maps(scattered):
    rng = np.random.default_rng(int(scattered))
    rows, cols = 37, 53
    image = rng.integers(0, 256, (rows, cols)).astype(np.uint8)
    if scattered:
        labels = rng.integers(0, 40, (rows, cols)).astype(np.int32)
    else:  # Voronoi cells of 60 seeds
        seeds = rng.integers(0, [[rows], [cols]], (2, 60))
        yy, xx = np.mgrid[0:rows, 0:cols]
        dist = (yy[..., None] - seeds[0]) ** 2 + (xx[..., None] - seeds[1]) ** 2
        labels = (np.argmin(dist, axis=2) * 3 + 1).astype(np.int32)
    tree = BPT(image, labels, Mean)
    nodes = tree.nodes
    assert len(nodes) == 2 * len(np.unique(labels)) - 1 and tree.root is nodes[-1]
    assert sorted(tree.root.ccps) == list(range(rows * cols))
    for node in nodes:
        pixels = node.ccps
        if node.children == (None, None):
            assert pixels == np.flatnonzero(labels == node.id).tolist()
        else:
            first, second = node.children
            assert pixels == first.ccps + second.ccps
            assert first.parent is node and second.parent is node
        rr, cc = np.divmod(np.array(pixels), cols)
        assert (node.top, node.left, node.bottom, node.right) == (rr.min(), cc.min(), rr.max(), cc.max())
        assert node.metric == pytest.approx(image.ravel()[pixels].mean(), rel=1e-5)


# ---- the Python face --------------------------------------------------------

def test_enumeration_docstrings_and_registration_order():
    assert _vexa.Mean is DissimilarityType.Mean and int(Mean) == 0
    assert DissimilarityType.__members__ == {"Mean": Mean}
    names = [n for n in vars(_vexa) if n in ("DissimilarityType", "BPT", "NodeBPT", "Mean")]
    assert names == ["DissimilarityType", "Mean", "BPT", "NodeBPT"]
    assert BPT.root.__doc__ == BPT.nodes.__doc__ == "Lista de ponteiros para os nós da árvore."
    assert NodeBPT.neighbors.__doc__ == "Retorna a lista de ponteiros para nós de regiões vizinhas."
    for name in ("ccps", "metric", "parent", "children"):
        assert getattr(NodeBPT, name).__doc__ == "Retorna a lista de pixels do componente conexo do nó."
    assert NodeBPT.top.__doc__ == "Retorna a coordenada vertical máxima."
    assert NodeBPT.left.__doc__ == "Retorna a coordenada horizontal mínima."
    assert NodeBPT.bottom.__doc__ == "Retorna a coordenada vertical mínima."
    assert NodeBPT.right.__doc__ == "Retorna a coordenada horizontal máxima."


def test_nodes_keep_identity():
    tree = bpt([[1, 2, 3]], [[1, 2, 3]])
    leaf = tree.nodes[0]
    assert tree.root is tree.root and tree.nodes[-1] is tree.root
    assert leaf.parent.parent is tree.root and tree.root.children[0] is leaf.parent
    assert leaf.neighbors[0] is tree.nodes[1]


def test_node_references_keep_their_tree_alive():
    image, labels = np.arange(12, dtype=np.uint8).reshape(3, 4), np.arange(12).reshape(3, 4) // 3
    refs = [bpt(image, labels).nodes[0], bpt(image, labels).root,
            bpt(image, labels).root.children[1], bpt(image, labels).nodes[0].neighbors[0]]
    gc.collect()
    assert refs[0].id == 0 and refs[0].ccps == [0, 1, 2]
    assert refs[1].id == 6 and sorted(refs[1].ccps) == list(range(12))
    assert refs[2].parent.id == 6 and refs[3].id == 1 and refs[3].parent.parent.id == 6

    tree = bpt([[1, 2, 3]], [[1, 2, 3]])
    ref, root = weakref.ref(tree), tree.root
    del tree
    gc.collect()
    assert ref() is not None
    del root
    gc.collect()
    assert ref() is None


def test_strided_and_byte_swapped_arrays_read_as_their_values():
    rng = np.random.default_rng(5)
    image = rng.integers(0, 256, (12, 10)).astype(np.uint8)
    labels = rng.integers(0, 6, (12, 10)).astype(np.int32)

    def shape(tree):
        return [(kids(n), n.metric, n.ccps) for n in tree.nodes]

    assert shape(BPT(image.T, labels.T, Mean)) == shape(BPT(image.T.copy(), labels.T.copy(), Mean))
    assert shape(BPT(image, labels.astype(">i4"), Mean)) == shape(BPT(image, labels, Mean))
    view = (slice(None, None, 2), slice(None, None, -3))
    assert shape(BPT(image[view], labels[view].astype(np.uint32), Mean)) == \
        shape(BPT(image[view].copy(), labels[view].copy(), Mean))


# ---- NodeBPT made from Python -----------------------------------------------

def two_leaves():
    tree = bpt([[10, 10, 30, 30]], [[4, 4, 9, 9]])
    return tree, tree.nodes[0], tree.nodes[1]


def test_merged_constructor():
    tree, a, b = two_leaves()
    node = NodeBPT(-1, b, a, 200, 0.1)
    assert node.id == 4294967295 and node.metric == 0.10000000149011612
    assert node.ccps == [2, 3, 0, 1] and (node.top, node.left, node.bottom, node.right) == (0, 0, 0, 3)
    assert node.children[0] is b and node.children[1] is a
    assert node.parent is None and node.neighbors == []
    assert a.parent is tree.root and b.parent is tree.root  # the children keep their links
    # The fourth argument is accepted and has no effect.
    zero, full = NodeBPT(5, a, b, 0, 2.5), NodeBPT(5, a, b, 255, 2.5)
    for name in ("id", "ccps", "metric", "top", "left", "bottom", "right", "neighbors", "children"):
        assert getattr(zero, name) == getattr(full, name)


@pytest.mark.parametrize("args", [(1, "a", "b", 256, 0.0), (1, "a", "b", -1, 0.0),
                                  (1, "a", "b", 0, "x"), (2**31, "a", "b", 0, 0.0), (1, (0, 0))])
def test_constructor_arguments_out_of_range(args):
    _, a, b = two_leaves()
    args = [{"a": a, "b": b}.get(x, x) if isinstance(x, str) else x for x in args]
    with pytest.raises(TypeError):
        NodeBPT(*args)


def test_merged_constructor_refuses_a_missing_child():
    _, a, _ = two_leaves()
    with pytest.raises(RuntimeError, match="None"):
        NodeBPT(1, a, None, 0, 0.0)


def test_merged_node_keeps_its_children_alive():
    _, a, b = two_leaves()
    nested = NodeBPT(2, NodeBPT(1, a, b, 0, 1.0), NodeBPT(3, b, b, 0, 2.0), 0, 3.0)
    del a, b, _
    gc.collect()
    assert nested.ccps == [0, 1, 2, 3, 2, 3, 2, 3]
    assert nested.children[0].children[0].parent.id == 10


# ---- bad input: a clear error, checks in order ------------------------------

U8, I32 = np.zeros((2, 3), np.uint8), np.zeros((2, 3), np.int32)
UNKNOWN = "Tipo de dissimilaridade desconhecida."
IMAGE_TYPE = "Images must be of type uint8_t."
IMAGE_2D = "Image must be 2D (height x width)."
LABELS_2D = "Label map must be 2D (height x width)."
LABELS_TYPE = "Label map must be of type int32 or uint32."
SHAPES = "Image and label map must have the same shape."
EMPTY = "Image must have at least one pixel."


@pytest.mark.parametrize("image,labels,measure,message", [
    (U8, I32, DissimilarityType(1), UNKNOWN),
    (np.zeros((2, 3, 4)), np.zeros(3, np.float32), DissimilarityType(7), UNKNOWN),
    *[(U8.astype(t), I32, Mean, IMAGE_TYPE) for t in (np.int8, np.uint16, np.float32, np.int32, object)],
    (np.zeros((2, 3, 4)), np.zeros(5), Mean, IMAGE_TYPE),  # the type before anything else
    (np.zeros((2, 3, 1), np.uint8), I32, Mean, IMAGE_2D),
    (np.zeros(6, np.uint8), np.zeros(6, np.float32), Mean, IMAGE_2D),
    (U8, np.zeros(6, np.int32), Mean, LABELS_2D),
    (U8, np.zeros((2, 3, 1), np.float32), Mean, LABELS_2D),
    *[(U8, I32.astype(t), Mean, LABELS_TYPE) for t in (np.int64, np.uint64, np.int16, np.uint8,
                                                       np.float32, bool)],
    (U8, I32.T, Mean, SHAPES),
    (np.zeros((0, 3), np.uint8), I32, Mean, SHAPES),
    *[(np.zeros(s, np.uint8), np.zeros(s, np.int32), Mean, EMPTY) for s in ((0, 0), (0, 4), (5, 0))],
])
def test_bad_input(image, labels, measure, message):
    with pytest.raises(RuntimeError) as info:
        BPT(image, labels, measure)
    assert str(info.value) == message


@pytest.mark.parametrize("labels", [[[-1, 0]], [[0, 4294967295]], [[4294967294, 5, 6]]])
def test_labels_whose_merged_ids_would_collide(labels):
    labels = np.array(labels, np.int64).astype(np.uint32)
    with pytest.raises(RuntimeError, match="Labels too large"):
        BPT(np.zeros(labels.shape, np.uint8), labels, Mean)


def test_largest_labels_that_still_fit():
    assert bpt([[0, 0]], [[-1, -1]]).root.id == 4294967295
    labels = np.array([[4294967293, 4294967294]], np.uint32)
    assert BPT(np.zeros((1, 2), np.uint8), labels, Mean).root.id == 4294967295


def test_arguments_of_the_wrong_kind():
    for args in (([[1]], I32, Mean), (U8, I32, 0)):
        with pytest.raises(TypeError):
            BPT(*args)
    # A buffer request that fails reports its own error, labels first.
    with pytest.raises(ValueError):
        BPT(U8, np.zeros((2, 3), "datetime64[s]"), Mean)
    with pytest.raises(ValueError):
        BPT(np.zeros((2, 3), "datetime64[s]"), I32, Mean)
