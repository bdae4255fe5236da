"""vexa.max_tree / min_tree of every dtype, 2-D and 3-D, against scikit-image
and a flood-fill reference."""
import threading
import time

import numpy as np
import pytest
import torch
from hypothesis import given, settings, strategies as st
from scipy import ndimage
from skimage.morphology import max_tree as skimage_max_tree

import _vexa
import vexa
from vexa import images

DTYPES = [np.bool_, np.uint8, np.uint16, np.uint32, np.int8, np.int16, np.int32, np.int64, np.float32, np.float64]


def random_image(rng, shape, dtype, levels=6):
    values = rng.integers(0, levels, size=shape)
    if dtype == np.bool_:
        return values % 2 == 1
    if np.issubdtype(dtype, np.integer):  # from the type's minimum to its maximum
        info = np.iinfo(dtype)
        step = (int(info.max) - int(info.min)) // (levels - 1)
        return np.array([int(info.min) + v * step for v in range(levels)], dtype)[values]
    return np.linspace(-1e30, 3.5, levels).astype(dtype)[values]


def dense_ranks(image, kind):
    ranks = np.unique(image, return_inverse=True)[1].reshape(image.shape)
    return ranks if kind == "max" else ranks.max() - ranks


def reference_components(image, connectivity, kind):
    """{(level rank, pixel set)} of every node: a connected component of an
    upper level set that holds pixels of its own level."""
    ranks = dense_ranks(image, kind)
    structure = ndimage.generate_binary_structure(image.ndim, connectivity)
    result = set()
    for t in np.unique(ranks):
        labels, count = ndimage.label(ranks >= t, structure)
        for label in range(1, count + 1):
            region = labels == label
            if (ranks[region] == t).any():
                result.add((int(t), frozenset(np.flatnonzero(region))))
    return result


def tree_components(tree, image):
    ranks = dense_ranks(image, tree.kind).ravel()
    parents, pixel_to_node = np.asarray(tree.parents), np.asarray(tree.pixel_to_node).ravel()
    members = [set() for _ in range(len(parents))]
    for p, node in enumerate(pixel_to_node):
        while node >= 0:
            members[node].add(p)
            node = parents[node]
    node_rank = {}
    for p, node in enumerate(pixel_to_node):
        node_rank[node] = int(ranks[p])
    return {(node_rank[n], frozenset(m)) for n, m in enumerate(members)}


def assert_like_skimage(tree, image, connectivity):
    """Same components and parent links as scikit-image's max_tree (of the
    reversed order for a min-tree)."""
    ranks = dense_ranks(image, tree.kind)
    parent, _ = skimage_max_tree(ranks, connectivity)
    parent, flat = parent.ravel(), ranks.ravel()
    canonical = np.where((parent == np.arange(flat.size)) | (flat[parent] != flat), np.arange(flat.size), parent)
    ours = np.asarray(tree.pixel_to_node).ravel()
    # The pixel partitions agree: one of our nodes per canonical pixel.
    to_canonical = np.full(tree.num_nodes, -1)
    to_canonical[ours] = canonical
    assert (to_canonical >= 0).all() and np.array_equal(to_canonical[ours], canonical)
    assert len(np.unique(to_canonical)) == tree.num_nodes
    # Parent links agree.
    node_of = dict(zip(to_canonical.tolist(), range(tree.num_nodes)))
    parents = np.asarray(tree.parents)
    for node, c in enumerate(to_canonical):
        expected = -1 if parent[c] == c else node_of[canonical[parent[c]]]
        assert parents[node] == expected
    assert (parents[1:] < np.arange(1, tree.num_nodes)).all() and parents[0] == -1


@pytest.mark.parametrize("dtype", DTYPES)
@pytest.mark.parametrize("kind", ["max", "min"])
def test_small_images_match_the_flood_fill_reference(dtype, kind):
    rng = np.random.default_rng(7)
    build = vexa.max_tree if kind == "max" else vexa.min_tree
    for shape in [(1, 1), (1, 7), (2, 5), (6, 5), (2, 2, 3), (3, 4, 2), (1, 3, 3)]:
        image = random_image(rng, shape, dtype)
        for connectivity in range(1, len(shape) + 1):
            tree = build(image, connectivity)
            assert tree.levels.dtype == image.dtype
            assert np.array_equal(tree.levels[tree.pixel_to_node], image)
            assert tree_components(tree, image) == reference_components(image, connectivity, kind)


@pytest.mark.parametrize("dtype", DTYPES)
def test_random_images_match_scikit_image(dtype):
    rng = np.random.default_rng(3)
    for shape in [(40, 33), (9, 11, 10)]:
        image = random_image(rng, shape, dtype, levels=int(rng.integers(2, 40)))
        for connectivity in range(1, len(shape) + 1):
            for kind, build in (("max", vexa.max_tree), ("min", vexa.min_tree)):
                assert_like_skimage(build(image, connectivity), image, connectivity)


def test_real_image_matches_scikit_image_and_the_8_bit_tree():
    image = images.default_image()[:200, :300]
    for connectivity, radius in ((1, 1.0), (2, 1.5)):
        for build, native in ((vexa.max_tree, _vexa.MaxTree), (vexa.min_tree, _vexa.MinTree)):
            tree = build(image, connectivity)
            assert_like_skimage(tree, image, connectivity)
            reference = native(image, radius)
            assert np.array_equal(tree.parents, reference.parents.numpy())
            assert np.array_equal(tree.pixel_to_node, reference.pixel_to_node.numpy().reshape(image.shape))
    wide = (image.astype(np.float64) * 257.0 + np.random.default_rng(0).random(image.shape)).astype(np.float32)
    assert_like_skimage(vexa.max_tree(wide, 2), wide, 2)


def test_signed_zeros_are_one_level():
    image = np.array([[0.0, -0.0, 1.0], [-0.0, 0.0, 2.0]])
    assert vexa.max_tree(image).num_nodes == 3


@pytest.mark.parametrize("dtype", [np.uint8, np.uint16, np.int16, np.uint32, np.float32, np.float64, np.int64])
def test_band_counts_give_one_tree(dtype):
    rng = np.random.default_rng(5)
    # Few levels, and noise of as many levels as the type holds (nearly one per pixel), in 2-D and 3-D.
    noise = np.iinfo(dtype).max if np.issubdtype(dtype, np.integer) else 1e6
    cases = [images.default_image()[:96, :80], rng.integers(0, 9, (37, 23)), rng.integers(0, 5, (20, 9, 7)),
             rng.integers(0, noise, (33, 19)), rng.integers(0, noise, (19, 8, 11))]
    for image in cases:
        image = image.astype(dtype)
        for connectivity in (1, image.ndim):
            one = _vexa._component_tree(image, connectivity, True, 1)
            for bands in range(2, 17):
                other = _vexa._component_tree(image, connectivity, True, bands)
                assert all(np.array_equal(a, b) for a, b in zip(one, other)), bands


@pytest.mark.parametrize("dtype", DTYPES)
def test_ids_follow_levels_then_last_pixels(dtype):
    # Node 0 holds the level processed last; within a level, ids follow the
    # largest pixel index downwards: the same ids however the build splits.
    rng = np.random.default_rng(8)
    for image in (random_image(rng, (41, 37), dtype, levels=40), random_image(rng, (9, 8, 7), dtype)):
        for kind, bands in (("max", 1), ("min", 1), ("max", 3), ("min", 5)):
            parents, pixel_to_node, levels = _vexa._component_tree(image, 1, kind == "max", bands)
            ranks = dense_ranks(levels, kind)
            last = np.full(len(parents), -1)
            np.maximum.at(last, pixel_to_node.ravel(), np.arange(image.size))
            assert np.array_equal(np.lexsort((-last, ranks)), np.arange(len(parents))), (kind, bands)


def test_memory_kept_for_reuse_is_given_back_on_request():
    tree = vexa.max_tree(np.random.default_rng(7).random((700, 600)).astype(np.float32))
    assert vexa.kept_memory() > 0  # the build's temporary arrays
    vexa.release_memory()
    assert vexa.kept_memory() == 0
    assert tree.levels.max() < 1  # the tree's own arrays stay intact


def test_thread_counts_give_one_tree():
    # Large enough for the sort, the seams and the numbering to split their work.
    image = np.random.default_rng(6).random((700, 600)).astype(np.float32)
    trees = []
    for threads in (1, 2):
        vexa.set_num_threads(threads)
        try:
            trees.append(vexa.max_tree(image))
        finally:
            vexa.set_num_threads(None)
    assert all(np.array_equal(getattr(trees[0], a), getattr(trees[1], a))
               for a in ("parents", "levels", "pixel_to_node"))


def test_torch_in_torch_out_and_strided_input():
    image = torch.from_numpy(np.random.default_rng(1).random((30, 20)).astype(np.float32))
    tree = vexa.min_tree(image.t())  # strided view
    assert isinstance(tree.parents, torch.Tensor) and tree.levels.dtype == torch.float32
    assert tree.pixel_to_node.shape == (20, 30)
    expected = vexa.min_tree(np.ascontiguousarray(image.numpy().T))
    assert np.array_equal(tree.parents.numpy(), expected.parents)


def test_attributes_of_a_worked_example():
    image = np.array([[1, 2, 1], [3, 1, 5]], np.uint16)
    tree = vexa.max_tree(image)
    # Nodes: root (1) with children 2, 3, 5, one pixel each.
    assert tree.parents.tolist() == [-1, 0, 0, 0] and tree.levels.tolist() == [1, 2, 3, 5]
    assert tree.area.tolist() == [6, 1, 1, 1]
    assert tree.volume.tolist() == [7, 1, 2, 4]
    assert tree.height.tolist() == [4, 1, 2, 4]
    assert tree.extent.tolist() == [[2, 3], [1, 1], [1, 1], [1, 1]]
    assert tree.diameter.tolist() == [3, 1, 1, 1]
    assert np.allclose(tree.mean_level, [13 / 6, 2, 3, 5])


def test_filters_and_ops_take_the_tree():
    image = np.random.default_rng(2).integers(0, 1000, (24, 24)).astype(np.uint16)
    tree = vexa.max_tree(torch.from_numpy(image.astype(np.int32)), 2)
    keep = torch.ones(tree.num_nodes)
    original = torch.from_numpy(image.astype(np.float32))
    assert torch.equal(vexa.filters.subtractive(tree, keep), original)
    opened = vexa.filters.direct(tree, torch.from_numpy(tree.area >= 5))
    assert (opened <= original).all() and not torch.equal(opened, original)


def test_the_build_lets_python_threads_run():
    image = images.noise(2048, 2048).astype(np.float32)
    ticks = []
    done = threading.Event()

    def count():
        while not done.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0)

    thread = threading.Thread(target=count)
    thread.start()
    time.sleep(0.01)
    start = len(ticks)
    vexa.max_tree(image)
    during = len(ticks) - start
    done.set()
    thread.join()
    assert during > 100


@pytest.mark.parametrize("image, error, match", [
    (np.zeros((3, 4), np.complex64), TypeError, "complex64"),
    (np.zeros((3, 4), object), TypeError, "object"),
    (np.zeros((3, 4), np.float16), TypeError, "float16"),
    (np.zeros((2, 3, 4, 5)), ValueError, "2-D or 3-D"),
    (np.zeros(5), ValueError, "2-D or 3-D"),
    (np.zeros((0, 4)), ValueError, "empty"),
    (np.array([[1.0, np.nan]]), ValueError, "NaN"),
    ([[1, 2]], TypeError, "list"),
])
def test_bad_images_are_refused(image, error, match):
    with pytest.raises(error, match=match):
        vexa.max_tree(image)


@pytest.mark.parametrize("connectivity, error", [(0, ValueError), (3, ValueError), (1.0, TypeError)])
def test_bad_connectivity_is_refused(connectivity, error):
    with pytest.raises(error, match="connectivity"):
        vexa.min_tree(np.zeros((3, 3)), connectivity)


@settings(max_examples=60, deadline=None)
@given(shape=st.lists(st.integers(0, 4), min_size=0, max_size=4),
       dtype=st.sampled_from(DTYPES + [np.float16, np.complex128, np.uint64]),
       nan=st.booleans(), connectivity=st.integers(-1, 4))
def test_fuzzed_inputs_build_or_raise_clearly(shape, dtype, nan, connectivity):
    image = np.ones(shape, dtype)
    if nan and image.size and np.issubdtype(dtype, np.floating):
        image.flat[0] = np.nan
    try:
        tree = vexa.max_tree(image, connectivity)
    except (TypeError, ValueError) as e:
        assert str(e)
    else:
        assert tree.num_nodes == 1 and tree.parents.tolist() == [-1]


def test_the_learnable_filter_takes_the_tree():
    image = np.random.default_rng(4).random((3, 16, 16))
    module = vexa.nn.ConnectedFilter()
    out = module(vexa.min_tree(image, 3))
    assert out.shape == image.shape
    out.sum().backward()
    assert module.weight.grad is not None and torch.isfinite(module.weight.grad).all()
