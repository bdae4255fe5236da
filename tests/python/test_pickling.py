"""Trees, partition trees and attribute tables survive pickle and deepcopy."""
import copy
import math
import pickle

import numpy as np
import pytest
import torch

import _vexa
import vexa

ROUND_TRIPS = {
    "pickle 2": lambda obj: pickle.loads(pickle.dumps(obj, protocol=2)),
    "pickle latest": lambda obj: pickle.loads(pickle.dumps(obj, protocol=pickle.HIGHEST_PROTOCOL)),
    "deepcopy": copy.deepcopy,
}
round_trips = pytest.mark.parametrize("round_trip", ROUND_TRIPS.values(), ids=ROUND_TRIPS.keys())


def component_tree_nodes(tree):
    return [(n.id, n.level, n.parent and n.parent.id, [c.id for c in n.children], n.cnps,
             (n.top, n.left, n.bottom, n.right)) for n in tree.nodes]


def bpt_nodes(tree):
    return [(n.id, None if math.isnan(n.metric) else n.metric, n.parent and n.parent.id,
             [c and c.id for c in n.children], n.ccps, [m.id for m in n.neighbors],
             (n.top, n.left, n.bottom, n.right)) for n in tree.nodes]


@round_trips
@pytest.mark.parametrize("cls", [_vexa.MaxTree, _vexa.MinTree])
@pytest.mark.parametrize("shape,radius", [((7, 9), 1.0), ((6, 5), 1.5), ((0, 4), 1.5), ((1, 1), 3.0)])
def test_component_trees_come_back_equal_with_rewritten_links_and_widened_boxes(
        rng, round_trip, cls, shape, radius):
    tree = cls(rng.integers(0, 6, shape, dtype=np.uint8), radius)
    if tree.nodes:
        _vexa.Attributes(tree)  # widens the boxes
    if len(tree.nodes) > 3:
        tree.nodes[3].parent = tree.nodes[1]
        tree.nodes[2].parent = None
    copied = round_trip(tree)
    assert type(copied) is cls and copied.adjacency_radius == tree.adjacency_radius
    assert component_tree_nodes(copied) == component_tree_nodes(tree)
    assert copied.parents.tolist() == tree.parents.tolist()
    if tree.nodes:
        assert _vexa.Attributes(copied).data.equal(_vexa.Attributes(tree).data)
        assert copied.jacobian("cpu", "csr").to_dense().equal(tree.jacobian("cpu", "csr").to_dense())
        root = round_trip(tree).root  # a node keeps its unpickled tree alive
        assert root.id == tree.root.id and len(root.children) == len(tree.root.children)


@round_trips
def test_partition_trees_and_attribute_tables_come_back_equal(rng, round_trip):
    labels = rng.integers(0, 12, (7, 8)).astype(np.int32) * 5
    tree = _vexa.BPT(rng.integers(0, 256, (7, 8), dtype=np.uint8), labels, _vexa.Mean)
    copied = round_trip(tree)
    assert bpt_nodes(copied) == bpt_nodes(tree)
    assert copied.merge_levels.tolist() == tree.merge_levels.tolist()
    assert copied.cut(4).tolist() == tree.cut(4).tolist()

    pack = _vexa.Attributes(_vexa.MaxTree(rng.integers(0, 256, (5, 6), dtype=np.uint8), 1.5))
    copied_pack = round_trip(pack)
    assert copied_pack.data.equal(pack.data) and copied_pack.AREA.equal(pack.AREA)

    fast = vexa.binary_partition_tree(rng.random((6, 7)), linkage="ward")
    copied_fast = round_trip(fast)
    for name in ("parents", "altitudes", "leaf_labels"):
        np.testing.assert_array_equal(getattr(copied_fast, name), getattr(fast, name))
    np.testing.assert_array_equal(copied_fast.cut(5), fast.cut(5))


@round_trips
@pytest.mark.parametrize("image", [np.arange(20, dtype=np.uint16).reshape(4, 5) % 7,
                                   torch.rand(3, 4, 5, dtype=torch.float64)], ids=["uint16 2-D", "float64 3-D tensor"])
def test_trees_of_any_image_come_back_equal(round_trip, image):
    for tree in (vexa.max_tree(image, 2), vexa.min_tree(image)):
        tree.area  # a filled attribute cache travels too
        copied = round_trip(tree)
        assert (copied.kind, copied.connectivity, type(copied.parents)) == (
            tree.kind, tree.connectivity, type(tree.parents))
        for name in ("parents", "levels", "pixel_to_node", "area", "volume", "height", "bbox"):
            np.testing.assert_array_equal(np.asarray(getattr(copied, name)), np.asarray(getattr(tree, name)))


def good_tree_state():
    return _vexa.MaxTree(np.array([[0, 1], [2, 3]], np.uint8), 1.0).__getstate__()


BAD_STATES = {
    "tree, wrong version": (_vexa.MaxTree, lambda: (2,) + good_tree_state()[1:], ValueError, "tree state"),
    "tree, float image": (_vexa.MinTree, lambda: (1, np.zeros((2, 2)), 1.0, None, np.zeros((1, 4))),
                          RuntimeError, "uint8"),
    "tree, parent out of range": (_vexa.MaxTree,
                                  lambda: good_tree_state()[:3] + (np.array([-1, 0, 1, 9]), good_tree_state()[4]),
                                  ValueError, "outside -1..3"),
    "tree, parents too short": (_vexa.MaxTree,
                                lambda: good_tree_state()[:3] + (np.array([-1]), good_tree_state()[4]),
                                ValueError, "one id per node"),
    "tree, box outside": (_vexa.MaxTree, lambda: good_tree_state()[:4] + (np.full((4, 4), 5),), ValueError,
                          "not within the image"),
    "BPT, labels of another shape": (_vexa.BPT, lambda: (1, np.zeros((2, 2), np.uint8), np.zeros((3, 2), np.int32),
                                                         _vexa.Mean), RuntimeError, "same shape"),
    "pack, integer table": (_vexa.AttributesPack, lambda: torch_zeros((3, 5), "int64"), ValueError, "float64"),
    "pack, too few columns": (_vexa.AttributesPack, lambda: torch_zeros((3, 2), "float64"), ValueError,
                              r"shape \(N, 5\).*\[3, 2\]"),
    "pack, ten columns": (_vexa.AttributesPack, lambda: torch_zeros((3, 10), "float64"), ValueError, r"\[3, 10\]"),
    "pack, no row": (_vexa.AttributesPack, lambda: torch_zeros((0, 5), "float64"), ValueError, r"\[0, 5\]"),
    "BPT, measure as a string": (_vexa.BPT, lambda: (1, np.zeros((2, 2), np.uint8), np.zeros((2, 2), np.int32),
                                                     "Mean"), ValueError, "measure.*str"),
    "BPT, image as a list": (_vexa.BPT, lambda: (1, [[0]], np.zeros((1, 1), np.int32), _vexa.Mean), ValueError,
                             "image.*list"),
    "tree, radius as a string": (_vexa.MaxTree, lambda: good_tree_state()[:2] + ("1",) + good_tree_state()[3:],
                                 ValueError, "radius.*str"),
    "tree, boxes as a string": (_vexa.MinTree, lambda: good_tree_state()[:4] + ("b",), ValueError, "boxes.*str"),
}


def torch_zeros(shape, dtype):
    return torch.zeros(shape, dtype=getattr(torch, dtype))


@pytest.mark.parametrize("cls,state,error,match", BAD_STATES.values(), ids=BAD_STATES.keys())
def test_bad_states_are_refused_and_leave_the_object_uninitialised(cls, state, error, match):
    obj = cls.__new__(cls)
    with pytest.raises(error, match=match):
        obj.__setstate__(state())
    with pytest.raises(TypeError, match="without its constructor"):
        obj.__getstate__()


@pytest.mark.parametrize("cls", [_vexa.MaxTree, _vexa.MinTree, _vexa.BPT, _vexa.AttributesPack])
def test_objects_made_without_their_constructor_still_cannot_be_pickled(cls):
    with pytest.raises(TypeError, match="without its constructor"):
        pickle.dumps(cls.__new__(cls))


def python_states():
    """Good states of the learnable filter's objects, and what spoils each."""
    module = vexa.ConnectedFilter()
    batch = module.prepare(torch.rand(2, 1, 5, 6))
    image = module.prepare(np.arange(30, dtype=np.uint8).reshape(5, 6))
    forest = batch.trees[0]
    cyclic = forest.parents.clone()
    cyclic[2] = 3
    looped = image.arrays.parents.clone()
    looped[1], looped[2] = 2, 1
    params = dict(module.__dict__["_parameters"], weight=torch.nn.Parameter(torch.zeros(3)))
    arrays = vexa.filters.TreeArrays
    return [
        (forest, dict(parents=cyclic), ValueError, "Forest state: parents.*node 2"),
        (forest, dict(parents=forest.parents.int()), TypeError, "Forest state: parents.*int32"),
        (forest, dict(pixel_to_node=forest.pixel_to_node + forest.num_nodes), ValueError, "pixel_to_node"),
        (forest, dict(sizes=[1]), ValueError, "sizes"),
        (batch, dict(trees=batch.trees[:1]), ValueError, "PreparedBatch state: trees.*2"),
        (batch, dict(image=torch.rand(2, 1, 4, 6)), ValueError, r"PreparedBatch state.*\(4, 6\)"),
        (image, dict(arrays=arrays(looped, image.arrays.levels, image.arrays.pixel_to_node)), ValueError,
         "PreparedImage state: .*cycle"),
        (image, dict(features=image.features[:, :2]), ValueError, "PreparedImage state: features"),
        (image, dict(shape="5x6"), ValueError, "PreparedImage state: shape.*5x6"),
        (module, dict(adjacency_radius=3), ValueError, "ConnectedFilter state: adjacency_radius.*3"),
        (module, dict(_parameters=params), ValueError, r"ConnectedFilter state: weight.*\(3,\)"),
        (module, dict(attributes=("perimeter",)), ValueError, "ConnectedFilter state: attributes.*perimeter"),
    ]


@pytest.mark.parametrize("case", range(12))
def test_bad_python_states_are_refused_by_name(case):
    obj, changes, error, match = python_states()[case]
    state = obj.__getstate__() if not isinstance(obj, torch.nn.Module) else dict(obj.__dict__)
    fresh = type(obj).__new__(type(obj))
    with pytest.raises(error, match=match):
        fresh.__setstate__({**state, **changes})
    assert vars(fresh) == {}
    type(obj).__new__(type(obj)).__setstate__(state)  # the unspoilt state is taken
