"""Linear-time tree sums and the differentiable operators built on them."""
import numpy as np
import pytest
import torch

import _vexa
import vexa


ORDERS = ["parents_first", "children_first", "shuffled"]


def random_forest(rng, n, order="parents_first"):
    """A random forest over n nodes, its ids in the given order."""
    parents = np.full(n, -1, np.int64)
    for i in range(1, n):
        if rng.random() < 0.9:
            parents[i] = rng.integers(0, i)
    if order == "parents_first":
        return torch.from_numpy(parents)
    new_id = np.arange(n)[::-1] if order == "children_first" else rng.permutation(n)
    relabelled = np.full(n, -1, np.int64)
    relabelled[new_id] = np.where(parents >= 0, new_id[np.maximum(parents, 0)], -1)
    return torch.from_numpy(relabelled)


def dense_ancestor_matrix(parents):
    n = parents.shape[0]
    J = torch.zeros(n, n, dtype=torch.float64)
    for c in range(n):
        a = c
        while a >= 0:
            J[a, c] = 1
            a = int(parents[a])
    return J


@pytest.mark.parametrize("order", ORDERS)
def test_sums_equal_products_with_the_ancestor_matrix(rng, order):
    for n in [1, 2, 7, 40]:
        parents = random_forest(rng, n, order)
        J = dense_ancestor_matrix(parents)
        values = torch.from_numpy(rng.standard_normal((n, 3)))
        assert torch.allclose(_vexa._ancestor_sum(parents, values), J.t() @ values)
        assert torch.allclose(_vexa._subtree_sum(parents, values), J @ values)
        assert torch.allclose(_vexa._ancestor_sum(parents, values[:, 0]), J.t() @ values[:, 0])


def test_ids_in_no_particular_order_and_hand_checked_sums():
    parents = torch.tensor([2, 2, -1, 1])  # 2 is the root, 1 its child, 3 below 1
    values = torch.tensor([1.0, 10.0, 100.0, 1000.0])
    assert _vexa._ancestor_sum(parents, values).tolist() == [101, 110, 100, 1110]
    assert _vexa._subtree_sum(parents, values).tolist() == [1, 1010, 1111, 1000]


@pytest.mark.parametrize("dtype", [torch.float16, torch.bfloat16, torch.float32, torch.float64])
def test_floating_dtypes_are_kept(dtype):
    out = _vexa._subtree_sum(torch.tensor([-1, 0, 0]), torch.ones(3, dtype=dtype))
    assert out.dtype == dtype and out.tolist() == [3, 1, 1]


def test_inputs_are_not_modified_and_views_are_accepted():
    parents = torch.tensor([-1, 9, 0, 9, 1, 9])[::2]  # strided: the chain [-1, 0, 1]
    values = torch.arange(6, dtype=torch.float32).reshape(3, 2).t().contiguous().t()
    before = values.clone()
    out = _vexa._ancestor_sum(parents, values)
    assert torch.equal(values, before)
    assert out.tolist() == [[0, 1], [2, 4], [6, 9]]


@pytest.mark.parametrize("parents, values, message", [
    (torch.tensor([1, 0]), torch.ones(2), "no root.*cycle through node 0"),
    (torch.tensor([-1, 3, 1, 2]), torch.ones(4), "cycle through node 1"),
    (torch.tensor([-1, 0, 3, 2]), torch.ones(4), "cycle through node 2"),
    (torch.tensor([-1, 0, 2]), torch.ones(3), "cycle through node 2"),
    (torch.tensor([-1, 2]), torch.ones(2), r"parents\[1\] is 2, outside -1..1"),
    (torch.tensor([-2, 0]), torch.ones(2), r"parents\[0\] is -2"),
    (torch.tensor([-1, 0]), torch.ones(3), "shape"),
    (torch.tensor([-1, 0]), torch.ones(2, 2, 2), "shape"),
    (torch.tensor([-1, 0]), torch.ones(2, dtype=torch.int64), "floating"),
    (torch.tensor([-1, 0], dtype=torch.int32), torch.ones(2), "int64"),
    (torch.tensor([[-1, 0]]), torch.ones(2), "int64"),
    (torch.tensor([-1, 0]), torch.ones(2, device="meta"), "CPU tensor, got .* on meta"),
])
def test_bad_inputs_are_refused(parents, values, message):
    for op in (_vexa._ancestor_sum, _vexa._subtree_sum):
        with pytest.raises(ValueError, match=message):
            op(parents, values)
    with pytest.raises(TypeError):
        _vexa._ancestor_sum([0], torch.ones(1))


def test_empty_forest():
    empty = torch.zeros(0, dtype=torch.int64)
    assert _vexa._ancestor_sum(empty, torch.zeros(0)).shape == (0,)
    assert _vexa._subtree_sum(empty, torch.zeros(0, 4)).shape == (0, 4)


def test_kernels_record_no_history_and_the_operators_carry_the_true_gradient():
    parents = torch.tensor([-1, 0, 0, 1])
    x = torch.ones(4, requires_grad=True)
    assert not _vexa._ancestor_sum(parents, x).requires_grad
    assert not _vexa._subtree_sum(parents, x).requires_grad
    vexa.levels_from_residues(parents, x).sum().backward()
    assert x.grad.tolist() == [4, 2, 1, 1]  # subtree sizes
    x.grad = None
    vexa.subtree_sums(parents, x).sum().backward()
    assert x.grad.tolist() == [1, 2, 2, 3]  # depths + 1


@pytest.mark.parametrize("order", ORDERS)
def test_every_operator_passes_gradcheck_and_gradgradcheck(rng, order):
    parents = random_forest(rng, 12, order)
    values = torch.from_numpy(rng.standard_normal((12, 2))).requires_grad_()
    pixels = torch.from_numpy(rng.integers(0, 12, size=(3, 5)))
    for op in (lambda v: vexa.levels_from_residues(parents, v),
               lambda v: vexa.subtree_sums(parents, v),
               lambda v: vexa.residues_from_levels(parents, v),
               lambda v: vexa.reconstruct(v, pixels),
               lambda v: vexa.levels_from_residues(parents, v).square()):
        assert torch.autograd.gradcheck(op, (values,))
        assert torch.autograd.gradgradcheck(op, (values,))


@pytest.mark.parametrize("order", ORDERS)
def test_hessian_vector_product_of_squared_levels(rng, order):
    parents = random_forest(rng, 25, order)
    J = dense_ancestor_matrix(parents)
    r = torch.from_numpy(rng.standard_normal(25)).requires_grad_()
    v = torch.from_numpy(rng.standard_normal(25))
    (grad,) = torch.autograd.grad(vexa.levels_from_residues(parents, r).square().sum(), r, create_graph=True)
    (hvp,) = torch.autograd.grad(grad, r, v)
    assert torch.allclose(hvp, 2 * J @ (J.t() @ v))


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


def test_vexa_lists_its_exports_and_keeps_the_kernels_private():
    documented = {"Node", "MorphologicalTree", "MaxTree", "MinTree", "AttributesPack", "Attributes",
                  "DissimilarityType", "Mean", "BPT", "NodeBPT"}
    assert documented <= set(vexa.__all__)
    assert all(hasattr(vexa, name) for name in vexa.__all__)
    assert not hasattr(vexa, "ancestor_sum") and not hasattr(vexa, "subtree_sum")
    assert not hasattr(_vexa, "ancestor_sum") and not hasattr(_vexa, "subtree_sum")
