"""ConnectedFilter on tensors: shapes, batches, gradients to the pixels."""
import numpy as np
import pytest
import torch

import _vexa
import vexa

ALL_ATTRIBUTES = ["area", "volume", "height", "extent", "diameter", "mean_level", "rectangularity"]


def trained_like(module, seed=0):
    """Non-trivial parameters, so every feature matters."""
    generator = torch.Generator().manual_seed(seed)
    with torch.no_grad():
        module.weight.copy_(torch.randn(module.weight.shape, generator=generator))
        module.bias.fill_(0.5)
    return module


@pytest.mark.parametrize("shape", [(9, 7), (2, 9, 7), (3, 2, 9, 7)])
@pytest.mark.parametrize("dtype", [torch.float32, torch.float64, torch.uint8, torch.int16])
def test_batches_are_filtered_image_by_image(shape, dtype):
    image = (torch.rand(shape, generator=torch.Generator().manual_seed(1)) * 100).to(dtype)
    module = trained_like(vexa.ConnectedFilter(tree_type="min"))
    out = module(image)
    assert out.shape == image.shape and out.dtype == torch.float32
    flat_in, flat_out = image.reshape(-1, *shape[-2:]), out.reshape(-1, *shape[-2:])
    for one, filtered in zip(flat_in, flat_out):
        assert torch.allclose(module(one), filtered, atol=1e-5)


@pytest.mark.parametrize("shape", [(20, 24), (1, 3000)])  # one row: constant box heights
def test_tensor_path_matches_the_component_tree_path(shape):
    image = np.random.default_rng(2).integers(0, 40, shape).astype(np.uint8)
    module = trained_like(vexa.ConnectedFilter())
    expected = module(vexa.max_tree(image, 2))  # numpy attributes of ComponentTree
    assert torch.allclose(module(torch.from_numpy(image)), expected, atol=1e-4)


@pytest.mark.parametrize("tree_type", ["max", "min"])
def test_gradients_in_pixels_and_parameters(tree_type):
    module = trained_like(vexa.ConnectedFilter(tree_type, attributes=ALL_ATTRIBUTES), seed=3).double()
    image = torch.rand(2, 1, 5, 6, dtype=torch.float64, generator=torch.Generator().manual_seed(4))
    image.requires_grad_(True)  # distinct values: the tree is locally constant
    assert torch.autograd.gradcheck(module, (image,))
    assert torch.autograd.gradgradcheck(module, (image,))
    prepared = module.prepare(image.detach())

    def of_parameters(weight, bias):
        return torch.nn.utils.stateless.functional_call(module, {"weight": weight, "bias": bias}, (prepared,))
    assert torch.autograd.gradcheck(of_parameters, (module.weight.detach().clone().requires_grad_(),
                                                    module.bias.detach().clone().requires_grad_()))


@pytest.mark.parametrize("image, error", [
    (torch.zeros(2, 2, 2, 3, 3), ValueError), (torch.zeros(0, 4), ValueError),
    (torch.tensor([[0.0, float("nan")]]), ValueError), (torch.tensor([[0.0, float("-inf")]]), ValueError),
    (torch.zeros(3, 3, dtype=torch.complex64), TypeError)])
def test_bad_tensors(image, error):
    with pytest.raises(error):
        vexa.ConnectedFilter()(image)


def test_stacked_stages_train_end_to_end():
    generator = torch.Generator().manual_seed(5)
    clean = torch.zeros(4, 1, 16, 16)
    clean[:, :, 4:12, 4:12] = 0.5
    noisy = clean + (torch.rand(clean.shape, generator=generator) - 0.5) * 0.4
    model = vexa.stacked("max", "min", attributes=["area", "height"])
    optimiser = torch.optim.Adam(model.parameters(), lr=0.1)
    losses = []
    for _ in range(15):
        optimiser.zero_grad()
        loss = torch.mean((model(noisy) - clean) ** 2)
        loss.backward()
        assert all(stage.weight.grad.abs().sum() > 0 for stage in model)  # the first stage learns too
        optimiser.step()
        losses.append(loss.item())
    assert losses[-1] < 0.7 * losses[0]


def test_dtype_and_device_follow_the_module():
    module = vexa.ConnectedFilter().double()
    assert module(torch.rand(1, 1, 4, 4)).dtype == torch.float64
    with pytest.raises(ValueError, match="CPU only.*meta"):
        module.to("meta")(torch.rand(4, 4))


class PreparedNoise(torch.utils.data.Dataset):
    """Trees built in the loader's worker processes."""

    def __len__(self):
        return 4

    def __getitem__(self, index):
        image = torch.rand(2, 8, 8, generator=torch.Generator().manual_seed(index))
        return vexa.ConnectedFilter("min").prepare(image)


def test_modules_and_prepared_images_pickle(tmp_path):
    module = trained_like(vexa.ConnectedFilter("min", attributes=["area", "volume"]))
    torch.save(module, tmp_path / "module.pt")
    loaded = torch.load(tmp_path / "module.pt")
    loader = torch.utils.data.DataLoader(PreparedNoise(), batch_size=2, num_workers=2, collate_fn=list)
    prepared = [p for batch in loader for p in batch]
    assert len(prepared) == 4
    for p in prepared:
        assert torch.equal(loaded(p), module(p.image))
    uint8 = vexa.PreparedImage(np.arange(30, dtype=np.uint8).reshape(5, 6))
    torch.save(uint8, tmp_path / "prepared.pt")
    again = torch.load(tmp_path / "prepared.pt")
    assert torch.equal(vexa.ConnectedFilter()(again), vexa.ConnectedFilter()(uint8))


@pytest.mark.parametrize("images, error", [
    ([np.zeros((3, 3)), np.zeros((3, 4))], ValueError), ([np.zeros((3, 3)), [[0.0]]], TypeError),
    ([np.zeros((3, 3), np.complex64)], TypeError), ([], ValueError)])
def test_batch_builder_refuses_bad_lists(images, error):
    with pytest.raises(error):
        _vexa._component_trees(images, 1, True)


def test_empty_batches_give_empty_results():
    for module in (vexa.ConnectedFilter().double(), vexa.stacked("max", "min")):
        for batch in (torch.zeros(0, 1, 8, 8), torch.zeros(0, 8, 8, dtype=torch.uint8)):
            out = module(batch)
            assert out.shape == batch.shape and out.dtype == next(module.parameters()).dtype
    for image in (np.zeros((0, 5), np.uint8), torch.zeros(2, 1, 0, 8)):
        with pytest.raises(ValueError, match=r"empty.*0, "):
            vexa.ConnectedFilter()(image)
    with pytest.raises(TypeError, match=r"float64 of shape \(8, 8\).*tensor of any real dtype"):
        vexa.ConnectedFilter().prepare(np.random.rand(8, 8))


def test_adjacency_radius_has_one_meaning():
    image = (np.random.default_rng(3).random((9, 8)) * 4).astype(np.uint8)  # many ties: adjacency matters
    for radius, connectivity in ((1, 1), (1.2, 1), (2 ** 0.5, 2), (1.5, 2), (1.99, 2)):
        module = trained_like(vexa.ConnectedFilter(adjacency_radius=radius))
        assert module.connectivity == connectivity
        reference = _vexa.MaxTree(image, radius)  # the numpy path's tree has the tensor path's nodes
        assert module.prepare(torch.from_numpy(image)).trees[0].num_nodes == len(reference.nodes)
    for radius, error in ((0.5, ValueError), (0.999, ValueError), (2, ValueError), (float("nan"), ValueError),
                          ("1", TypeError), (True, TypeError), (None, TypeError)):
        with pytest.raises(error, match="adjacency_radius.*" + repr(radius)[:3]):
            vexa.ConnectedFilter(adjacency_radius=radius)
