"""The tree of shapes against a slow model of its definition and against Higra,
self-duality, every dtype and 3-D, the grain filter, bad input."""
import os
import pickle
import sys

import numpy as np
import pytest
import torch

import vexa
from shapes_reference import padding_value, shapes

PEERS = os.path.join(os.path.dirname(__file__), "..", "..", "..", "shared", "peers")
if os.path.isdir(PEERS) and PEERS not in sys.path:
    sys.path.append(PEERS)
try:
    import higra as hg
except ImportError:  # a clone elsewhere has no peers
    hg = None

DTYPES = (np.bool_, np.uint8, np.int8, np.uint16, np.int16, np.uint32, np.int32, np.int64, np.float32, np.float64)


def random_image(rng, shape, dtype, levels=5, negative=True):
    """Few levels, so that ties and plateaus abound; signed dtypes go negative."""
    values = rng.integers(0, 2 if dtype == np.bool_ else levels, shape)
    if negative and (np.issubdtype(dtype, np.signedinteger) or np.issubdtype(dtype, np.floating)):
        values = values - 2
    if np.issubdtype(dtype, np.floating):
        values = values * 1.5
    return values.astype(dtype)


def subtree_pixels(parents, pixel_to_node):
    """Per node, the frozenset of flat pixels of its subtree."""
    members = [set() for _ in parents]
    for pixel, node in enumerate(np.ravel(pixel_to_node)):
        node = int(node)
        while node >= 0:
            members[node].add(pixel)
            node = int(parents[node])
    return [frozenset(m) for m in members]


def signature(parents, altitudes, pixel_to_node):
    """The tree whatever its ids: each node as (pixels of its subtree, level,
    depth) with the same of its parent, and each pixel's smallest node."""
    parents, pixel_to_node = np.asarray(parents), np.asarray(pixel_to_node).ravel()
    pixels = subtree_pixels(parents, pixel_to_node)
    depth = [0] * len(parents)
    for i in range(len(parents)):
        up = parents[i]
        while up >= 0:
            depth[i], up = depth[i] + 1, parents[up]
    # Levels to 6 decimals: a mean padding of floats depends on the order of the sum.
    node = [(tuple(sorted(pixels[i])), round(float(altitudes[i]), 6), depth[i]) for i in range(len(parents))]
    nodes = sorted((node[i], node[parents[i]] if parents[i] >= 0 else ()) for i in range(len(parents)))
    return nodes, [node[n] for n in pixel_to_node]


def higra_signature(image, padding):
    """Higra's tree of shapes in the same form (its leaves are the pixels).
    Higra casts dtypes it has no code for to uint8, and sums the border of
    8- and 16-bit images in their own type: give it every integer image as
    int64."""
    if not np.issubdtype(image.dtype, np.floating):
        image = image.astype(np.int64)
    tree, altitudes = hg.component_tree_tree_of_shapes_image(image, padding=padding, original_size=True,
                                                             immersion=True)
    parents = tree.parents()
    n = image.size
    node_parents = parents[n:] - n
    node_parents[node_parents == np.arange(len(node_parents))] = -1
    return signature(node_parents, altitudes[n:], parents[:n] - n)


def check_against_model(image, tree):
    """Same shapes as the slow model; each pixel's smallest shape at its level."""
    pixels = subtree_pixels(np.asarray(tree.parents), tree.pixel_to_node)
    assert set(pixels) == shapes(image, tree.padding)
    pixel_to_node = np.asarray(tree.pixel_to_node)
    np.testing.assert_array_equal(np.asarray(tree.altitudes)[pixel_to_node], image)
    parents = np.asarray(tree.parents)
    assert parents[0] == -1 and (parents[1:] < np.arange(1, len(parents))).all()  # parents first


@pytest.mark.parametrize("padding", ["mean", "zero", "none"])
@pytest.mark.parametrize("shape", [(5, 6), (3, 4, 3), (1, 7), (2, 1, 5)])
def test_shapes_match_the_model_of_their_definition(rng, padding, shape):
    for _ in range(4):
        image = random_image(rng, shape, np.int16)
        check_against_model(image, vexa.tree_of_shapes(image, padding))


@pytest.mark.skipif(hg is None, reason="higra is not importable")
@pytest.mark.parametrize("padding", ["mean", "zero", "none"])
@pytest.mark.parametrize("dtype", DTYPES)
def test_equal_to_higra_for_every_dtype_and_padding(rng, padding, dtype):
    for shape in ((6, 7), (12, 9), (4, 5, 3)):
        # Higra's mean of a border with negative integers overflows.
        image = random_image(rng, shape, dtype, negative=padding != "mean")
        tree = vexa.tree_of_shapes(image, padding)
        ours = signature(tree.parents, tree.altitudes, tree.pixel_to_node)
        assert ours == higra_signature(image, padding), (shape, image)
    # Distinct levels, and a smooth image with long level lines.
    smooth = np.add.outer(np.sin(np.arange(20) / 3), np.cos(np.arange(17) / 4)) * 40
    for image in (rng.permutation(96).reshape(8, 12), smooth):
        image = image.astype(dtype) if dtype != np.bool_ else image > 40
        tree = vexa.tree_of_shapes(image, padding)
        assert signature(tree.parents, tree.altitudes, tree.pixel_to_node) == higra_signature(image, padding)


def test_worked_example():
    # A bright ring around a dark hole, on a middle background: the ring's
    # shape holds the hole, the hole its bright dot.
    image = np.full((7, 7), 5, np.uint8)
    image[1:6, 1:6] = 9
    image[2:5, 2:5] = 0
    image[3, 3] = 7
    tree = vexa.tree_of_shapes(image, "zero")
    # root (padding 0) > background 5 > ring 9 > hole 0 > dot 7
    np.testing.assert_array_equal(tree.parents, [-1, 0, 1, 2, 3])
    np.testing.assert_array_equal(tree.altitudes, [0, 5, 9, 0, 7])
    np.testing.assert_array_equal(tree.area, [49, 49, 25, 9, 1])
    assert tree.pixel_to_node[3, 3] == 4 and tree.pixel_to_node[0, 0] == 1
    # mean padding: the border's level 5 is the root, holding the background.
    tree = vexa.tree_of_shapes(image)
    np.testing.assert_array_equal(tree.altitudes, [5, 9, 0, 7])

    # A ring split by a brighter bar: its two halves meet only through the
    # bar, reached after them, and still make one shape holding two holes.
    image = np.zeros((5, 7), np.uint8)
    image[1:4, 1:6] = 3
    image[1:4, 3] = 5
    image[2, [2, 4]] = 1
    for padding in ("zero", "none"):
        tree = vexa.tree_of_shapes(image, padding)
        np.testing.assert_array_equal(tree.parents, [-1, 0, 1, 1, 1])
        np.testing.assert_array_equal(tree.altitudes, [0, 3, 1, 1, 5])
        assert tree.pixel_to_node[1, 1] == tree.pixel_to_node[3, 5] == 1 and tree.pixel_to_node[2, 3] == 4


@pytest.mark.skipif(hg is None, reason="higra is not importable")
def test_equal_to_higra_on_larger_images(rng):
    """Many shapes of one level, met by the propagation at different times."""
    for shape in ((40, 50), (9, 10, 11)):
        for levels in (3, 8):
            image = random_image(rng, shape, np.uint8, levels)
            tree = vexa.tree_of_shapes(image, "mean")
            assert signature(tree.parents, tree.altitudes, tree.pixel_to_node) == higra_signature(image, "mean")


@pytest.mark.parametrize("shape", [(6, 7), (3, 4, 5)])
def test_self_dual_without_padding(rng, shape):
    for dtype in (np.uint8, np.int32, np.float64):
        image = random_image(rng, shape, dtype)
        negated = (np.iinfo(dtype).max - image) if dtype == np.uint8 else -image
        tree, dual = vexa.tree_of_shapes(image, "none"), vexa.tree_of_shapes(negated, "none")
        ours, theirs = (subtree_pixels(t.parents, t.pixel_to_node) for t in (tree, dual))
        assert set(ours) == set(theirs)
        assert [ours[n] for n in tree.pixel_to_node.ravel()] == [theirs[n] for n in dual.pixel_to_node.ravel()]


def test_every_dtype_torch_and_pickling(rng):
    for dtype in DTYPES:
        image = random_image(rng, (5, 6), dtype)
        tree = vexa.tree_of_shapes(image)
        assert tree.altitudes.dtype == image.dtype and tree.kind == "shapes"
        check_against_model(image, tree)
        if dtype in (np.uint16, np.uint32):
            continue  # no such torch dtype
        on_torch = vexa.tree_of_shapes(torch.from_numpy(image))
        assert isinstance(on_torch.parents, torch.Tensor)
        np.testing.assert_array_equal(on_torch.parents.numpy(), tree.parents)
        np.testing.assert_array_equal(on_torch.altitudes.numpy(), tree.altitudes)
        back = pickle.loads(pickle.dumps(on_torch))
        assert back.padding == "mean" and torch.equal(back.pixel_to_node, on_torch.pixel_to_node)
    assert padding_value(np.array([[1, 2], [4, 4]], np.uint8), "mean") == 2  # 11 / 4, truncated
    strided = random_image(rng, (9, 8), np.float32)[::2, ::-2]
    assert vexa.tree_of_shapes(strided).num_nodes == vexa.tree_of_shapes(strided.copy()).num_nodes


def test_bad_input():
    image = np.zeros((4, 4), np.float32)
    with pytest.raises(ValueError, match="padding must be 'mean', 'zero' or 'none', got 'edge'"):
        vexa.tree_of_shapes(image, "edge")
    with pytest.raises(ValueError, match="image must be 2-D or 3-D, got shape \\(4,\\)"):
        vexa.tree_of_shapes(np.zeros(4))
    with pytest.raises(ValueError, match="2-D or 3-D"):
        vexa.tree_of_shapes(np.zeros((2, 2, 2, 2)))
    with pytest.raises(ValueError, match="empty"):
        vexa.tree_of_shapes(np.zeros((0, 3)))
    image[1, 2] = np.nan
    with pytest.raises(ValueError, match="NaN \\(at flat index 6\\)"):
        vexa.tree_of_shapes(image)
    with pytest.raises(ValueError, match="mean of the border pixels is NaN"):
        vexa.tree_of_shapes(np.array([[np.inf, 1.0], [-np.inf, 2.0]]))
    assert vexa.tree_of_shapes(np.full((2, 2), np.iinfo(np.int64).max)).altitudes.tolist() == [np.iinfo(np.int64).max]
    with pytest.raises(TypeError, match="complex128"):
        vexa.tree_of_shapes(np.zeros((2, 2), complex))
    with pytest.raises(TypeError, match="list"):
        vexa.tree_of_shapes([[1, 2]])


def test_grain_filter_removes_bright_and_dark_grains_alike(rng):
    image = np.full((9, 9), 100, np.uint8)
    image[2, 2] = 200          # a bright grain
    image[6, 6] = 0            # a dark one
    image[1:4, 5:8] = 10       # a dark square of 9 pixels, holding a bright dot
    image[2, 6] = 250
    out = vexa.grain_filter(image, 2)
    expected = image.copy()
    expected[2, 2] = expected[6, 6] = 100
    expected[2, 6] = 10
    np.testing.assert_array_equal(out, expected)
    np.testing.assert_array_equal(vexa.grain_filter(image, 10), np.full((9, 9), 100, np.uint8))
    # Against the tree: each pixel takes the level of its nearest shape of area >= threshold.
    for dtype, padding in ((np.float32, "mean"), (np.int16, "none"), (np.uint8, "zero")):
        image = random_image(rng, (7, 8), dtype)
        tree = vexa.tree_of_shapes(image, padding)
        kept = tree.nearest_kept(tree.area >= 5)
        out = vexa.grain_filter(image, 5, padding=padding)
        assert out.dtype == image.dtype
        np.testing.assert_array_equal(out, tree.altitudes[kept][tree.pixel_to_node])
        if padding == "none":  # self-dual
            np.testing.assert_array_equal(vexa.grain_filter(-image, 5, padding="none"), -out)
    tensor = torch.from_numpy(image)
    assert torch.equal(vexa.grain_filter(tensor, 5, padding="zero"), torch.from_numpy(out))
    with pytest.raises(ValueError, match="padding must be"):
        vexa.grain_filter(image, 5, padding="reflect")


@pytest.mark.parametrize("rule", ["direct", "min", "max", "subtractive"])
def test_attribute_filter_on_the_tree_of_shapes(rng, rule):
    image = random_image(rng, (4, 6, 5), np.float64)
    tree = vexa.tree_of_shapes(image)
    for attribute in vexa.morphology.ATTRIBUTES:
        out = vexa.attribute_filter(image, attribute, 3, tree="shapes", rule=rule)
        assert out.shape == image.shape and out.dtype == image.dtype
        if attribute == "area" and rule != "subtractive":  # increasing: every rule is the grain filter
            np.testing.assert_array_equal(out, vexa.grain_filter(image, 3))
    if rule == "direct":  # removed shapes' pixels take their nearest kept ancestor's level
        kept = tree.nearest_kept(tree.attribute("height") >= 3)
        np.testing.assert_array_equal(vexa.attribute_filter(image, "height", 3, tree="shapes"),
                                      tree.altitudes[kept][tree.pixel_to_node])
    with pytest.raises(ValueError, match="'max', 'min' or 'shapes', got 'both'"):
        vexa.attribute_filter(image, "area", 3, tree="both")


def test_connected_filter_on_shapes_has_gradients_in_pixels_and_parameters():
    names = ["area", "volume", "height", "extent", "diameter", "mean_level", "rectangularity"]
    module = vexa.ConnectedFilter("shapes", attributes=names).double()
    with torch.no_grad():
        module.weight.copy_(torch.randn(module.weight.shape, generator=torch.Generator().manual_seed(3)))
        module.bias.fill_(0.5)
    image = torch.rand(2, 1, 5, 6, dtype=torch.float64, generator=torch.Generator().manual_seed(4))
    image.requires_grad_(True)  # distinct values: the tree is locally constant
    assert torch.autograd.gradcheck(module, (image,))
    assert torch.autograd.gradgradcheck(module, (image,))
    prepared = module.prepare(image.detach())

    def of_parameters(weight, bias):
        return torch.nn.utils.stateless.functional_call(module, {"weight": weight, "bias": bias}, (prepared,))
    assert torch.autograd.gradcheck(of_parameters, (module.weight.detach().clone().requires_grad_(),
                                                    module.bias.detach().clone().requires_grad_()))
    # The features follow the tree's own attributes (a node's level: its pixels' value).
    forest = prepared.trees[0]
    tree = vexa.tree_of_shapes(image[0, 0].detach().numpy(), "none")
    for name in ("volume", "height", "area", "mean_level"):
        np.testing.assert_allclose(forest.attribute(name, image[0, 0].detach()).numpy(), tree.attribute(name))
    # A huge bias keeps every node: the identity; stages chain.
    model = vexa.stacked("shapes", "max", initial_bias=50.0).double()
    torch.testing.assert_close(model(image.detach()), image.detach())
    with pytest.raises(ValueError, match="'max', 'min' or 'shapes', got 'both'"):
        vexa.ConnectedFilter("both")


@pytest.mark.parametrize("tree_type", ["max", "min", "shapes"])
def test_volumes_in_networks_need_spatial_dims_3(tree_type):
    module = vexa.ConnectedFilter(tree_type, attributes=["area", "volume", "height", "extent", "diameter"],
                                  spatial_dims=3).double()
    with torch.no_grad():
        module.weight.copy_(torch.randn(module.weight.shape, generator=torch.Generator().manual_seed(6)))
    volumes = torch.rand(2, 1, 3, 4, 3, dtype=torch.float64, generator=torch.Generator().manual_seed(7))
    out = module(volumes)
    assert out.shape == volumes.shape
    for one, filtered in zip(volumes.reshape(-1, 3, 4, 3), out.reshape(-1, 3, 4, 3)):  # volume by volume
        torch.testing.assert_close(module(one), filtered)
    prepared = pickle.loads(pickle.dumps(module.prepare(volumes)))  # a DataLoader's workers send them
    torch.testing.assert_close(module(prepared), out)
    volumes.requires_grad_(True)
    assert torch.autograd.gradcheck(module, (volumes,))
    assert torch.autograd.gradgradcheck(module, (volumes[:1],))
    # Without spatial_dims=3 a 5-D input is refused by name; a 3-D one stays (C, H, W).
    with pytest.raises(ValueError, match="5-D image \\(B, C, D, H, W\\) needs spatial_dims=3"):
        vexa.ConnectedFilter(tree_type)(volumes.detach())
    flat = vexa.ConnectedFilter(tree_type).double()
    channels = volumes.detach()[0, 0]
    torch.testing.assert_close(flat(channels), torch.stack([flat(c) for c in channels]))
    with pytest.raises(ValueError, match="spatial_dims must be 2 or 3, got 4"):
        vexa.ConnectedFilter(tree_type, spatial_dims=4)
