"""component_tree_loss: worked examples, gradient descent to num_maxima maxima."""
import numpy as np
import pytest
import torch
from skimage.measure import label
from skimage.morphology import h_maxima

import vexa

# Maxima 5, 3 and 9; dynamics 5, 2 and (the highest) unbounded. By area, the
# branch of 5 (3 pixels) beats the branch of 9 (2 pixels) at the root.
ROW = torch.tensor([[0.0, 5, 1, 3, 0, 9, 2]], dtype=torch.float64)


@pytest.mark.parametrize("extinction, num_maxima, expected", [
    ("dynamics", 1, 5 ** 2 + 2 ** 2), ("dynamics", 2, 2 ** 2), ("dynamics", 3, 0),
    ("area", 1, 9 ** 2 + 2 ** 2), ("area", 2, 2 ** 2), ("volume", 1, 5 ** 2 + 2 ** 2)])
def test_worked_example(extinction, num_maxima, expected):
    loss = vexa.component_tree_loss(ROW, num_maxima, extinction)
    assert loss.item() == expected


def test_gradient_reaches_only_the_defining_pixels():
    image = ROW.clone().requires_grad_()
    vexa.component_tree_loss(image, 2).backward()
    # The maximum 3 (pixel 3) merges into 5 at level 1 (pixel 2).
    assert image.grad.tolist() == [[0, 0, -4, 4, 0, 0, 0]]
    near_row = (ROW + 1e-3 * torch.rand(1, 7)).requires_grad_()
    assert torch.autograd.gradcheck(lambda x: vexa.component_tree_loss(x, 1), (near_row,))


def count_maxima(image, contrast):
    return label(h_maxima(image.astype(np.float64), contrast)).max()


@pytest.mark.parametrize("extinction", ["dynamics", "area", "volume"])
def test_descent_on_the_pixels_leaves_num_maxima(extinction):
    rng = np.random.default_rng(0)
    y, x = np.mgrid[:32, :32]
    clean = sum(np.exp(-((y - cy) ** 2 + (x - cx) ** 2) / 20.0) for cy, cx in [(8, 8), (24, 10), (16, 26)])
    noisy = clean + 0.15 * rng.random(clean.shape)
    assert count_maxima(noisy, 0.01) > 10
    image = torch.tensor(noisy, requires_grad=True)
    optimiser = torch.optim.SGD([image], lr=0.2)
    for _ in range(300):
        optimiser.zero_grad()
        loss = vexa.component_tree_loss(image, 3, extinction)
        if loss.item() < 1e-10:
            break
        loss.backward()
        optimiser.step()
    assert count_maxima(image.detach().numpy(), 0.01) == 3


@pytest.mark.parametrize("arguments, error", [
    ((torch.zeros(3, 3, dtype=torch.uint8), 1), TypeError), ((torch.zeros(3, 3), 0), ValueError),
    ((torch.zeros(3, 3), 1, "height"), ValueError), ((np.zeros((3, 3)), 1), TypeError)])
def test_bad_arguments(arguments, error):
    with pytest.raises(error):
        vexa.component_tree_loss(*arguments)


def test_a_batch_sums_its_images():
    batch = torch.stack([ROW, ROW.flip(1) * 2]).unsqueeze(1)  # (2, 1, 1, 7)
    expected = vexa.component_tree_loss(ROW, 1) + vexa.component_tree_loss(ROW.flip(1) * 2, 1)
    assert vexa.component_tree_loss(batch, 1).item() == expected.item()
