"""The filter's native passes against the same filter in torch operators, and the
batch trees they read."""
import pickle

import pytest
import torch

import _vexa
import vexa
from vexa.forests import build_trees
from vexa.nn import _BatchFilter, _composed_filter

NAMES = ["area", "volume", "height", "box_height", "box_width", "extent", "diameter", "mean_level",
         "rectangularity"]


def native_matching_composed(stack, trees, generator, bias=0.2):
    """The native filter of stack, checked against the same filter in torch
    operators, output and gradients; with its random weight."""
    weight = torch.randn(len(NAMES) + 1, dtype=torch.float64, generator=generator).requires_grad_()
    bias = torch.tensor(bias, dtype=torch.float64, requires_grad=True)
    image = stack.clone().requires_grad_()
    native = _BatchFilter.apply(image, weight, bias, trees, NAMES)
    composed = _composed_filter(trees, image, weight, bias, NAMES)
    assert torch.allclose(native, composed, rtol=0, atol=1e-12)
    grad = torch.randn(native.shape, dtype=torch.float64, generator=generator)
    for ours, theirs in zip(torch.autograd.grad(native, (image, weight, bias), grad),
                            torch.autograd.grad(composed, (image, weight, bias), grad)):
        assert torch.allclose(ours, theirs, rtol=1e-10, atol=1e-10)
    return native.detach(), weight.detach(), bias.detach()


@pytest.mark.parametrize("kind", ["max", "min"])
@pytest.mark.parametrize("connectivity", [1, 2])
def test_native_passes_match_torch_operators_with_ties(kind, connectivity):
    generator = torch.Generator().manual_seed(connectivity)
    stack = torch.randint(0, 6, (3, 9, 11), generator=generator).double()  # many ties and plateaus
    native_matching_composed(stack, build_trees(stack, kind, connectivity), generator)


@pytest.mark.parametrize("shape", [(2, 1, 3000), (2, 40, 50)])
def test_native_passes_match_over_many_nodes_and_constant_columns(shape):
    # Thousands of nodes: the native passes gather the columns' statistics
    # in blocks. In a single row every box is one row high: a constant
    # column, whose feature must be exactly 0 whatever its weight.
    generator = torch.Generator().manual_seed(7)
    stack = torch.rand(shape, dtype=torch.float64, generator=generator)
    trees = build_trees(stack, "max", 2)
    native, weight, bias = native_matching_composed(stack, trees, generator, bias=0.5)
    if shape[1] == 1:
        weight[NAMES.index("box_height")] += 5
        assert torch.allclose(_BatchFilter.apply(stack, weight, bias, trees, NAMES), native, rtol=0, atol=1e-12)
        assert torch.allclose(_composed_filter(trees, stack, weight, bias, NAMES), native, rtol=0, atol=1e-12)


def test_gradients_of_any_layout_agree():
    stack = torch.rand(2, 6, 7, dtype=torch.float64, generator=torch.Generator().manual_seed(5))
    trees = build_trees(stack, "max", 1)
    weight, bias = torch.ones(len(NAMES) + 1, dtype=torch.float64), torch.tensor(0.0, dtype=torch.float64)
    image = stack.clone().requires_grad_()
    out = _BatchFilter.apply(image, weight, bias, trees, NAMES)
    dense = torch.autograd.grad(out, image, torch.full_like(out, 2.0), retain_graph=True)[0]
    expanded = torch.autograd.grad(out, image, torch.tensor(2.0, dtype=torch.float64).expand_as(out),
                                   retain_graph=True)[0]
    strided = torch.autograd.grad(out, image, torch.full((2, 7, 6), 2.0, dtype=torch.float64).transpose(1, 2))[0]
    assert torch.equal(dense, expanded) and torch.equal(dense, strided)


def batch_of(parents, pixel_to_node, names=("volume",)):
    return _vexa._LearnedFilterBatch([torch.tensor(parents)], [torch.tensor(pixel_to_node)], list(names), True)


@pytest.mark.parametrize("parents, pixel_to_node, message", [
    ([-1, 2, 0], [[0, 1, 2]], "node 1 has parent 2"),
    ([0, 0], [[0, 1]], "node 0 has parent 0"),
    ([-1, 0], [[0, 2]], "holds 2, outside 0..1"),
    ([-1, 0, 0], [[0, 1, 1]], "node 2 is the smallest component of no pixel")])
def test_bad_trees_are_refused_by_name(parents, pixel_to_node, message):
    batch = batch_of(parents, pixel_to_node)
    with pytest.raises(ValueError, match=message):
        batch.forward(torch.zeros(1, len(pixel_to_node[0])), torch.zeros(1), torch.zeros(()))


def test_misuse_is_refused():
    with pytest.raises(ValueError, match="unknown attribute 'size'"):
        batch_of([-1], [[0]], ["size"])
    with pytest.raises(ValueError, match="pixel_to_node must be"):
        _vexa._LearnedFilterBatch([torch.tensor([-1])], [torch.tensor([0])], ["area"], True)
    with pytest.raises(TypeError, match="must be a torch tensor, got list"):
        _vexa._LearnedFilterBatch([[-1]], [torch.tensor([[0]])], ["area"], True)
    batch = batch_of([-1, 0], [[0, 1, 1]])
    with pytest.raises(RuntimeError, match="completed forward"):
        batch.backward(torch.zeros(1, 3))
    with pytest.raises(ValueError, match="has 2 pixels per row, but trees\\[0\\] has 3"):
        batch.forward(torch.zeros(1, 2), torch.zeros(1), torch.zeros(()))
    with pytest.raises(ValueError, match="weight must be"):
        batch.forward(torch.zeros(1, 3), torch.zeros(2), torch.zeros(()))
    batch.forward(torch.zeros(1, 3), torch.zeros(1), torch.zeros(()))
    with pytest.raises(RuntimeError, match="once per batch"):
        batch.forward(torch.zeros(1, 3), torch.zeros(1), torch.zeros(()))
    with pytest.raises(TypeError, match="without its constructor"):
        _vexa._LearnedFilterBatch.__new__(_vexa._LearnedFilterBatch).forward(
            torch.zeros(1, 3), torch.zeros(1), torch.zeros(()))


@pytest.mark.parametrize("kind", ["max", "min"])
def test_batch_trees_are_the_trees_of_each_image_with_their_attributes(kind):
    stack = torch.randint(0, 9, (3, 13, 10), generator=torch.Generator().manual_seed(7)).to(torch.int16)
    forests = build_trees(stack, kind, 2)
    pickled = pickle.loads(pickle.dumps(forests[0]))
    assert not pickled._derived and torch.equal(pickled.parents, forests[0].parents)
    for forest, image in zip(forests, stack.numpy()):
        tree = (vexa.max_tree if kind == "max" else vexa.min_tree)(image, connectivity=2)
        assert torch.equal(forest.parents, torch.from_numpy(tree.parents))
        assert torch.equal(forest.pixel_to_node, torch.from_numpy(tree.pixel_to_node))
        assert forest.area.tolist() == tree.area.tolist()
        assert forest.extent.tolist() == tree.extent.tolist()
        assert forest.compact.sum().item() == image.size


def test_single_precision_follows_double_precision():
    stack = torch.rand(2, 16, 16, generator=torch.Generator().manual_seed(8))
    trees = build_trees(stack, "min", 1)
    weight = torch.linspace(-1, 1, len(NAMES) + 1)
    single = _BatchFilter.apply(stack, weight, torch.tensor(0.5), trees, NAMES)
    double = _composed_filter(trees, stack.double(), weight.double(), torch.tensor(0.5, dtype=torch.float64), NAMES)
    assert single.dtype == torch.float32 and torch.allclose(single.double(), double, atol=1e-5)
