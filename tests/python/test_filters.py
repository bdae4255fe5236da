"""Connected filters and the learnable filter module."""
import numpy as np
import pytest
import torch

import _vexa
import vexa


@pytest.fixture
def small_tree():
    # root 0 (level 10) with children 1 (20) and 2 (15); node 3 (30) below 1.
    return vexa.TreeArrays(parents=torch.tensor([-1, 0, 0, 1]),
                           levels=torch.tensor([10.0, 20.0, 15.0, 30.0]),
                           pixel_to_node=torch.tensor([[0, 1, 3], [2, 2, 0]]))


def test_the_four_rules_on_a_hand_checked_tree(small_tree):
    keep = [True, False, True, True]
    assert vexa.subtractive(small_tree, keep).tolist() == [[10, 10, 20], [15, 15, 10]]
    assert vexa.direct(small_tree, keep).tolist() == [[10, 10, 30], [15, 15, 10]]
    assert vexa.minimum(small_tree, keep).tolist() == [[10, 10, 10], [15, 15, 10]]
    assert vexa.maximum(small_tree, [True, False, False, True]).tolist() == [[10, 20, 30], [10, 10, 10]]


def test_keeping_everything_or_nothing(small_tree):
    image = [[10, 20, 30], [15, 15, 10]]
    for rule in (vexa.subtractive, vexa.direct, vexa.minimum, vexa.maximum):
        assert rule(small_tree, torch.ones(4, dtype=torch.bool)).tolist() == image
        # The root carries the base level and is always kept.
        assert rule(small_tree, [False] * 4).tolist() == [[10] * 3] * 2


def test_subtractive_is_differentiable_in_scores_and_residues(small_tree):
    score = torch.tensor([0.3, 0.6, 0.2, 0.9], dtype=torch.float64, requires_grad=True)
    residues = small_tree.residues.double().requires_grad_()
    squared = lambda s, r: vexa.subtractive(small_tree, s, r).square()  # noqa: E731
    assert torch.autograd.gradcheck(squared, (score, residues))
    assert torch.autograd.gradgradcheck(squared, (score, residues))


@pytest.mark.parametrize("rule", [vexa.direct, vexa.minimum, vexa.maximum])
def test_hard_rules_are_differentiable_in_the_levels(small_tree, rule):
    def filtered(levels):
        arrays = vexa.TreeArrays(small_tree.parents, levels, small_tree.pixel_to_node)
        return rule(arrays, [True, False, True, False]).square()
    levels = small_tree.levels.double().requires_grad_()
    assert torch.autograd.gradcheck(filtered, (levels,))
    assert torch.autograd.gradgradcheck(filtered, (levels,))


def test_a_chain_of_removed_nodes():
    # chain 0 - 1 - 2 - 3 - 4, one pixel per node, levels 10, 20, ..., 50
    chain = vexa.TreeArrays(parents=torch.tensor([-1, 0, 1, 2, 3]),
                            levels=torch.tensor([10.0, 20.0, 30.0, 40.0, 50.0]),
                            pixel_to_node=torch.tensor([[0, 1, 2, 3, 4]]))
    keep = [1, 0, 0, 0, 1]
    assert vexa.direct(chain, keep).tolist() == [[10, 10, 10, 10, 50]]
    assert vexa.minimum(chain, keep).tolist() == [[10, 10, 10, 10, 10]]
    assert vexa.maximum(chain, keep).tolist() == [[10, 20, 30, 40, 50]]
    assert vexa.subtractive(chain, keep).tolist() == [[10, 10, 10, 10, 20]]


@pytest.mark.parametrize("rule", [vexa.subtractive, vexa.direct, vexa.minimum, vexa.maximum])
@pytest.mark.parametrize("parents, message", [
    ([-1, 3, 1, 2], "cycle through node 1"),
    ([1, 0, 0, 1], "no root"),
    ([-1, 0, 7, 1], "outside"),
])
def test_broken_parent_arrays_are_refused(rule, parents, message):
    broken = vexa.TreeArrays(parents=torch.tensor(parents), levels=torch.arange(4.0),
                             pixel_to_node=torch.tensor([[0, 1, 2, 3]]))
    with pytest.raises(ValueError, match=message):
        rule(broken, [True] * 4)


@pytest.mark.parametrize("rule", [vexa.direct, vexa.minimum, vexa.maximum])
def test_hard_rules_refuse_soft_scores(small_tree, rule):
    for scores in ([1.0, 0.5, 1.0, 0.0], [1.0, float("nan"), 1.0, 1.0]):
        with pytest.raises(ValueError, match="node 1 .*vexa.subtractive"):
            rule(small_tree, scores)
    assert torch.equal(rule(small_tree, [1.0, 0.0, 1.0, 1.0]), rule(small_tree, [True, False, True, True]))


def test_hard_rules_agree_with_a_slow_model_on_shuffled_forests(rng):
    n = 30
    for _ in range(10):
        order = rng.permutation(n)  # order[k]: the id of the k-th node created
        parents = np.full(n, -1)
        for k in range(1, n):
            if rng.random() < 0.9:
                parents[order[k]] = order[rng.integers(0, k)]
        arrays = vexa.TreeArrays(torch.from_numpy(parents), torch.from_numpy(rng.standard_normal(n)),
                                 torch.from_numpy(rng.integers(0, n, size=(4, 9))))
        keep = rng.random(n) < 0.4

        def kept_above(i, wanted):
            while not wanted(i):
                i = parents[i]
            return i

        def chain(i):  # i and its ancestors
            return [i] + chain(parents[i]) if i >= 0 else []

        mask = keep | (parents < 0)
        in_min = [all(mask[a] for a in chain(i)) for i in range(n)]
        below = [[j for j in range(n) if i in chain(j)] for i in range(n)]
        in_max = [any(mask[j] for j in below[i]) for i in range(n)]
        for rule, wanted in ((vexa.direct, lambda i: mask[i]), (vexa.minimum, lambda i: in_min[i]),
                             (vexa.maximum, lambda i: in_max[i])):
            target = torch.tensor([kept_above(i, wanted) for i in range(n)])
            assert torch.equal(rule(arrays, keep), arrays.levels[target][arrays.pixel_to_node])


def test_filters_on_real_trees_agree_with_the_ancestor_matrix(rng):
    image = rng.integers(0, 256, size=(12, 10), dtype=np.uint8)
    for kind in (_vexa.MaxTree, _vexa.MinTree):
        tree = kind(image, 1.5)
        arrays = vexa.TreeArrays.of(tree, torch.float64)
        assert torch.equal(vexa.reconstruct(arrays.levels, arrays.pixel_to_node),
                           torch.from_numpy(image).double())
        score = torch.rand(arrays.parents.shape[0], dtype=torch.float64)
        score[arrays.parents < 0] = 1
        J = tree.jacobian_coo(dtype=torch.float64).to_dense()
        want = (J.t() @ (score * tree.residues(dtype=torch.float64)[:, 0]))[arrays.pixel_to_node]
        assert torch.allclose(vexa.subtractive(tree, score), want.float())


def test_max_tree_opening_by_keep_mask_removes_small_bright_spots():
    image = np.full((6, 6), 50, np.uint8)
    image[1, 1] = 200            # a one-pixel bright spot
    image[3:6, 3:6] = 120        # a larger bright square
    tree = _vexa.MaxTree(image, 1)
    areas = _vexa.Attributes(tree).AREA
    out = vexa.direct(tree, areas >= 4)
    expected = image.astype(np.float32)
    expected[1, 1] = 50
    assert torch.equal(out, torch.from_numpy(expected))


def test_bad_inputs(small_tree):
    with pytest.raises(ValueError):
        vexa.subtractive(small_tree, [1.0, 0.0])
    with pytest.raises(ValueError):
        vexa.direct(small_tree, torch.ones(4, 2, dtype=torch.bool))
    with pytest.raises(TypeError):
        vexa.TreeArrays.of(np.zeros((2, 2), np.uint8))
    with pytest.raises(TypeError):
        vexa.PreparedImage(np.zeros((3, 3), np.float32))
    with pytest.raises(TypeError):
        vexa.PreparedImage(np.zeros((3, 3, 3), np.uint8))
    with pytest.raises(ValueError):
        vexa.PreparedImage(np.zeros((3, 3), np.uint8), tree_type="median")


def test_learnable_filter_trains(rng):
    clean = np.full((24, 24), 40, np.uint8)
    clean[4:16, 6:20] = 140
    noisy = clean.copy()
    spots = rng.integers(0, 24, size=(25, 2))
    noisy[spots[:, 0], spots[:, 1]] = 230
    model = vexa.ConnectedFilter("max", 1.5)
    prepared = model.prepare(noisy)
    target = torch.from_numpy(clean).float()
    optimiser = torch.optim.Adam(model.parameters(), lr=0.2)
    losses = []
    for _ in range(40):
        optimiser.zero_grad()
        loss = torch.mean((model(prepared) - target) ** 2)
        loss.backward()
        assert model.weight.grad is not None and torch.isfinite(model.weight.grad).all()
        optimiser.step()
        losses.append(loss.item())
    assert losses[-1] < 0.5 * losses[0]
    # Called on a raw image it builds the tree itself.
    assert model(torch.from_numpy(noisy)).shape == (24, 24)


def test_tree_arrays_check_the_pixel_map_once_at_construction():
    with pytest.raises(IndexError, match="outside"):
        vexa.TreeArrays(torch.tensor([-1, 0]), torch.zeros(2), torch.tensor([[0, 2]]))
