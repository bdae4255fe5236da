"""Linear-time tree sums and the differentiable operators built on them."""
import numpy as np
import pytest
import torch

import _vexa
import vexa


def random_forest(rng, n, parents_first=True):
    """A random forest over n nodes; ids put parents before (or after) children."""
    parents = np.full(n, -1, np.int64)
    for i in range(1, n):
        if rng.random() < 0.9:
            parents[i] = rng.integers(0, i)
    if not parents_first:
        parents = np.where(parents >= 0, n - 1 - parents, -1)[::-1].copy()
    return torch.from_numpy(parents)


def dense_ancestor_matrix(parents):
    n = parents.shape[0]
    J = torch.zeros(n, n, dtype=torch.float64)
    for c in range(n):
        a = c
        while a >= 0:
            J[a, c] = 1
            a = int(parents[a])
    return J


@pytest.mark.parametrize("parents_first", [True, False])
def test_sums_equal_products_with_the_ancestor_matrix(rng, parents_first):
    for n in [1, 2, 7, 40]:
        parents = random_forest(rng, n, parents_first)
        J = dense_ancestor_matrix(parents)
        values = torch.from_numpy(rng.standard_normal((n, 3)))
        assert torch.allclose(_vexa.ancestor_sum(parents, values), J.t() @ values)
        assert torch.allclose(_vexa.subtree_sum(parents, values), J @ values)
        assert torch.allclose(_vexa.ancestor_sum(parents, values[:, 0]), J.t() @ values[:, 0])


def test_ids_in_no_particular_order_and_hand_checked_sums():
    parents = torch.tensor([2, 2, -1, 1])  # 2 is the root, 1 its child, 3 below 1
    values = torch.tensor([1.0, 10.0, 100.0, 1000.0])
    assert _vexa.ancestor_sum(parents, values).tolist() == [101, 110, 100, 1110]
    assert _vexa.subtree_sum(parents, values).tolist() == [1, 1010, 1111, 1000]


@pytest.mark.parametrize("dtype", [torch.float16, torch.bfloat16, torch.float32, torch.float64])
def test_floating_dtypes_are_kept(dtype):
    out = _vexa.subtree_sum(torch.tensor([-1, 0, 0]), torch.ones(3, dtype=dtype))
    assert out.dtype == dtype and out.tolist() == [3, 1, 1]


def test_inputs_are_not_modified_and_views_are_accepted():
    parents = torch.tensor([-1, 9, 0, 9, 1, 9])[::2]  # strided: the chain [-1, 0, 1]
    values = torch.arange(6, dtype=torch.float32).reshape(3, 2).t().contiguous().t()
    before = values.clone()
    out = _vexa.ancestor_sum(parents, values)
    assert torch.equal(values, before)
    assert out.tolist() == [[0, 1], [2, 4], [6, 9]]


@pytest.mark.parametrize("parents, values, message", [
    (torch.tensor([1, 0]), torch.ones(2), "cycle"),
    (torch.tensor([-1, 0, 3, 2]), torch.ones(4), "cycle"),
    (torch.tensor([0]), torch.ones(1), "cycle"),
    (torch.tensor([-1, 2]), torch.ones(2), "outside"),
    (torch.tensor([-2, 0]), torch.ones(2), "outside"),
    (torch.tensor([-1, 0]), torch.ones(3), "shape"),
    (torch.tensor([-1, 0]), torch.ones(2, 2, 2), "shape"),
    (torch.tensor([-1, 0]), torch.ones(2, dtype=torch.int64), "floating"),
    (torch.tensor([-1, 0], dtype=torch.int32), torch.ones(2), "int64"),
    (torch.tensor([[-1, 0]]), torch.ones(2), "int64"),
])
def test_bad_inputs_are_refused(parents, values, message):
    for op in (_vexa.ancestor_sum, _vexa.subtree_sum):
        with pytest.raises(RuntimeError, match=message):
            op(parents, values)
    with pytest.raises(TypeError):
        _vexa.ancestor_sum([0], torch.ones(1))


def test_empty_forest():
    empty = torch.zeros(0, dtype=torch.int64)
    assert _vexa.ancestor_sum(empty, torch.zeros(0)).shape == (0,)
    assert _vexa.subtree_sum(empty, torch.zeros(0, 4)).shape == (0, 4)


@pytest.mark.parametrize("parents_first", [True, False])
def test_gradients_pass_gradcheck(rng, parents_first):
    parents = random_forest(rng, 12, parents_first)
    values = torch.from_numpy(rng.standard_normal((12, 2))).requires_grad_()
    assert torch.autograd.gradcheck(lambda v: vexa.levels_from_residues(parents, v), (values,))
    assert torch.autograd.gradcheck(lambda v: vexa.subtree_sums(parents, v), (values,))
    assert torch.autograd.gradcheck(lambda v: vexa.residues_from_levels(parents, v), (values,))
    pixels = torch.from_numpy(rng.integers(0, 12, size=(3, 5)))
    assert torch.autograd.gradcheck(lambda v: vexa.reconstruct(v, pixels), (values,))


def test_residues_and_levels_are_inverse(rng):
    parents = random_forest(rng, 30)
    levels = torch.from_numpy(rng.standard_normal(30))
    back = vexa.levels_from_residues(parents, vexa.residues_from_levels(parents, levels))
    assert torch.allclose(back, levels)


def test_tree_arrays_describe_the_tree(rng):
    image = rng.integers(0, 256, size=(9, 11), dtype=np.uint8)
    for kind in (_vexa.MaxTree, _vexa.MinTree):
        tree = kind(image, 1)
        nodes = tree.nodes
        assert tree.parents.tolist() == [n.parent.id if n.parent else -1 for n in nodes]
        pixel_map = tree.small_components if kind is _vexa.MaxTree else tree.small_component
        assert tree.pixel_to_node.shape == image.shape
        assert tree.pixel_to_node.flatten().tolist() == pixel_map
        nodes[3].parent = None
        assert tree.parents[3] == -1


def test_reconstruct_refuses_foreign_ids():
    with pytest.raises(IndexError):
        vexa.reconstruct(torch.ones(3), torch.tensor([[0, 3]]))
    with pytest.raises(TypeError):
        vexa.reconstruct(torch.ones(3), torch.tensor([[0.0, 1.0]]))


def test_partition_tree_arrays_give_region_areas(rng):
    image = rng.integers(0, 256, size=(10, 12), dtype=np.uint8)
    labels = rng.integers(0, 15, size=(10, 12)).astype(np.int32)
    bpt = _vexa.BPT(image, labels, _vexa.Mean)
    nodes = bpt.nodes
    parents = bpt.parents
    assert parents.tolist() == [nodes.index(n.parent) if n.parent else -1 for n in nodes]
    assert all(p > k or p == -1 for k, p in enumerate(parents.tolist()))  # children first
    pixel_to_node = bpt.pixel_to_node
    assert pixel_to_node.shape == image.shape
    for k, node in enumerate(nodes):
        if node.children == (None, None):
            assert sorted(np.flatnonzero(pixel_to_node.numpy() == k)) == node.ccps
    leaf_areas = torch.bincount(pixel_to_node.flatten(), minlength=len(nodes)).double()
    areas = vexa.subtree_sums(parents, leaf_areas)
    assert areas.tolist() == [len(n.ccps) for n in nodes]
