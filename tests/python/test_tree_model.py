"""One tree model: every member on every kind of tree, against slow references."""
import pickle
import threading

import matplotlib
import numpy as np
import pytest
import torch

import vexa
from tree_model_reference import ancestors, children, nearest_kept, random_parents, reduce, simplify

matplotlib.use("Agg")


def small_image(rng, shape=(5, 6), levels=4):
    return rng.integers(0, levels, shape).astype(np.uint8)


def every_kind_of_tree(rng):
    """(name, tree) for each builder, numpy and torch, 2-D and 3-D."""
    image = small_image(rng)
    volume = small_image(rng, (3, 4, 3))
    yield "max", vexa.max_tree(image)
    yield "min 3-D", vexa.min_tree(volume, 2)
    yield "max torch float", vexa.max_tree(torch.from_numpy(image.astype(np.float32)), 2)
    yield "partition", vexa.binary_partition_tree(image.astype(float) + rng.random(image.shape))
    yield "partition of regions", vexa.binary_partition_tree(image, labels=rng.integers(0, 5, image.shape))
    yield "shapes", vexa.tree_of_shapes(image)
    yield "shapes 3-D torch", vexa.tree_of_shapes(torch.from_numpy(volume.astype(np.int16)), "none")
    yield "watershed by volume", vexa.watershed_hierarchy(image.astype(float) + rng.random(image.shape), "volume")


def components(tree):
    """The pixel indices of each node's component, by walking up from each pixel."""
    parents = np.asarray(tree.parents)
    members = [[] for _ in parents]
    for pixel, node in enumerate(np.asarray(tree.pixel_to_node).ravel()):
        for a in ancestors(parents, int(node)):
            members[a].append(pixel)
    return members


def reference_attribute(tree, name):
    parents, levels = np.asarray(tree.parents), np.asarray(tree.altitudes).astype(np.float64)
    pixel_levels = levels[np.asarray(tree.pixel_to_node).ravel()]
    coords = np.indices(tree.pixel_to_node.shape).reshape(len(tree.pixel_to_node.shape), -1)
    out = []
    for node, pixels in enumerate(components(tree)):
        base = levels[parents[node]] if parents[node] >= 0 else levels[node]
        distance = np.abs(pixel_levels[pixels] - base)
        extent = np.ptp(coords[:, pixels], axis=1) + 1
        value = {"area": len(pixels), "volume": distance.sum(), "height": distance.max(),
                 "mean_level": pixel_levels[pixels].mean(), "box_height": extent[-2], "box_width": extent[-1],
                 "box_depth": extent[-3] if len(extent) == 3 else 1, "diameter": extent.max(),
                 "rectangularity": len(pixels) / extent.prod()}[name]
        out.append(value)
    return np.array(out, dtype=np.float64)


def test_every_member_on_every_kind_of_tree_against_slow_references(rng):
    for label, tree in every_kind_of_tree(rng):
        parents = np.asarray(tree.parents)
        n = tree.num_nodes
        container = type(tree.parents)
        assert (tree.root, tree.num_nodes) == (int(np.flatnonzero(parents < 0)[0]), len(parents)), label
        assert type(tree.pixel_to_node) is container and type(tree.depth) is container
        offsets, ids = (np.asarray(a) for a in tree.children_csr())
        for node in range(n):
            assert np.asarray(tree.children(node)).tolist() == children(parents, node)
            assert ids[offsets[node]:offsets[node + 1]].tolist() == children(parents, node)
        leaves = [m for m in range(n) if not children(parents, m)]
        assert np.asarray(tree.leaves).tolist() == leaves and tree.num_leaves == len(leaves)
        assert np.asarray(tree.depth).tolist() == [len(ancestors(parents, m)) - 1 for m in range(n)]
        for name in tree.attribute_names:
            value = tree.attribute(name)
            assert type(value) is container and value.dtype in (np.float64, torch.float64), (label, name)
            np.testing.assert_allclose(np.asarray(value), reference_attribute(tree, name), rtol=1e-12,
                                       err_msg=f"{label}: {name}")
        keep = rng.random(n) < 0.4
        near = nearest_kept(parents, keep)
        assert np.asarray(tree.nearest_kept(keep)).tolist() == near.tolist()
        assert np.array_equal(np.asarray(tree.labels(keep)), near[np.asarray(tree.pixel_to_node)])
        values = rng.random(n)
        np.testing.assert_array_equal(tree.reconstruct(values), values[np.asarray(tree.pixel_to_node)])

        simpler, node_map = tree.simplify(keep)
        new_parents, new_map = simplify(parents, keep)
        assert np.asarray(simpler.parents).tolist() == new_parents.tolist()
        assert np.asarray(node_map).tolist() == new_map.tolist()
        assert type(simpler) is type(tree) and simpler.kind == tree.kind and type(simpler.parents) is container
        assert np.array_equal(np.asarray(simpler.pixel_to_node), new_map[np.asarray(tree.pixel_to_node)])
        assert np.array_equal(np.asarray(simpler.altitudes), np.asarray(tree.altitudes)[keep | (parents < 0)])
        assert simpler.attribute("area")[simpler.root] == tree.attribute("area")[tree.root]


@pytest.mark.parametrize("children_first", [False, True], ids=["parents first", "children first"])
def test_reduce_every_op_over_and_dtype_against_the_slow_model(rng, children_first):
    parents = random_parents(rng, 40, children_first)
    tree = vexa.Tree(parents, np.zeros(40), np.arange(40).reshape(5, 8), "custom")
    for dtype in (np.float64, np.float32, np.int64):
        values = rng.integers(-50, 50, (40, 2)).astype(dtype)
        for op in vexa.tree.OPS:
            for over in vexa.tree.OVER:
                got = tree.reduce(values, op, over, fill=-7)
                expected = reduce(parents, values, op, over, fill=-7)
                assert got.dtype == (np.float64 if op == "mean" and dtype == np.int64 else dtype), (dtype, op)
                np.testing.assert_allclose(got, expected, rtol=1e-6, err_msg=f"{dtype} {op} {over}")
    got = tree.reduce(torch.from_numpy(values[:, 0]), "max", "children")
    assert isinstance(got, torch.Tensor) and got.shape == (40,)


def test_sums_and_means_are_differentiable_min_and_max_refuse_gradients(rng):
    parents = random_parents(rng, 12)
    tree = vexa.Tree(parents, np.zeros(12), np.arange(12).reshape(3, 4), "custom")
    values = torch.rand(12, 2, dtype=torch.float64, requires_grad=True)
    for op in ("sum", "mean"):
        for over in vexa.tree.OVER:
            def f(v, op=op, over=over):
                return tree.reduce(v, op, over, fill=0.5)
            np.testing.assert_allclose(f(values).detach(), reduce(parents, values.detach().numpy(), op, over, 0.5))
            assert torch.autograd.gradcheck(f, (values,)) and torch.autograd.gradgradcheck(f, (values,))
    with pytest.raises(ValueError, match="has no gradient"):
        tree.reduce(values, "max")


def test_one_vocabulary_in_trees_filters_and_networks(rng):
    image = rng.integers(0, 6, (9, 11)).astype(np.float64)
    tree = vexa.max_tree(image, 2)
    # "height" is the level range everywhere: the filter's attribute, contrast_opening and the network feature.
    assert np.array_equal(vexa.attribute_filter(image, "height", 2.0, connectivity=2),
                          vexa.contrast_opening(image, 2.0, connectivity=2))
    forest = vexa.forests.build_trees(torch.from_numpy(image)[None], "max", 2)[0]
    stack = torch.from_numpy(image)[None]
    for name in ("area", "volume", "height", "box_height", "box_width", "mean_level", "diameter"):
        np.testing.assert_allclose(forest.attribute(name, stack[0]).numpy(), tree.attribute(name), err_msg=name)
    # The bounding box's extents have their own names.
    thin = np.zeros((7, 7), np.uint8)
    thin[1:6, 3] = 9  # a bright vertical bar: 5 rows tall, 1 column wide
    assert vexa.attribute_filter(thin, "box_height", 5).max() == 9
    assert vexa.attribute_filter(thin, "box_width", 2).max() == 0
    with pytest.raises(ValueError, match="box_width"):
        vexa.attribute_filter(thin, "width", 2)


def test_trees_keep_no_reference_to_the_callers_buffer():
    for make in (np.array, torch.tensor):
        image = make([[0, 5, 0], [0, 9, 0]], dtype=np.float32 if make is np.array else torch.float32)
        expected = vexa.max_tree(image.clone() if make is torch.tensor else image.copy())
        tree = vexa.max_tree(image)
        image[:] = 100  # the caller reuses its buffer
        for name in ("volume", "mean_level", "height"):
            np.testing.assert_array_equal(getattr(tree, name), getattr(expected, name))
        assert torch.equal(vexa.ConnectedFilter()(tree), vexa.ConnectedFilter()(expected))


def test_a_tree_is_built_from_one_reading_of_an_image_another_thread_rewrites():
    rng = np.random.default_rng(7)
    image = rng.random((192, 192)).astype(np.float32)
    variants = [rng.random(image.shape).astype(np.float32) for _ in range(4)]
    stop = threading.Event()

    def rewrite():
        while not stop.is_set():
            for variant in variants:
                image[...] = variant

    writer = threading.Thread(target=rewrite)
    writer.start()
    try:
        for _ in range(8):
            tree = vexa.max_tree(image)
            parents, levels = tree.parents, tree.levels
            assert (levels[1:] > levels[parents[1:]]).all()  # levels rise along every parent link
    finally:
        stop.set()
        writer.join()


def test_pickles_come_back_equal_and_bad_states_are_refused(rng):
    for label, tree in every_kind_of_tree(rng):
        copied = pickle.loads(pickle.dumps(tree))
        assert type(copied) is type(tree) and copied.kind == tree.kind
        for name in ("parents", "altitudes", "pixel_to_node", "depth"):
            assert np.array_equal(np.asarray(getattr(copied, name)), np.asarray(getattr(tree, name))), label
    good = vexa.max_tree(small_image(rng)).__getstate__()
    cycle = np.array([-1, 2, 1] + [0] * (len(good["parents"]) - 3))
    bad = {"a tuple": (1, 2), "cyclic parents": {**good, "parents": cycle},
           "short altitudes": {**good, "altitudes": good["altitudes"][:1]},
           "pixel out of range": {**good, "pixel_to_node": good["pixel_to_node"] + 100},
           "wrong kind": {**good, "kind": "shapes"},
           "no connectivity": {**good, "extras": {}}}
    for label, state in bad.items():
        tree = vexa.ComponentTree.__new__(vexa.ComponentTree)
        with pytest.raises((ValueError, TypeError)):
            tree.__setstate__(state)
        assert not hasattr(tree, "parents"), label  # nothing half-changed


def test_networkx_and_plot(rng):
    tree = vexa.max_tree(small_image(rng))
    graph = tree.to_networkx()
    assert graph.number_of_nodes() == tree.num_nodes and graph.number_of_edges() == tree.num_nodes - 1
    assert all(graph.nodes[n]["altitude"] == tree.altitudes[n] for n in graph)
    ax = tree.plot()
    assert len(ax.lines) == tree.num_nodes - 1
    with pytest.raises(ValueError, match="simplify"):
        tree.plot(max_nodes=2)


def test_bad_arguments_are_named(rng):
    tree = vexa.max_tree(small_image(rng))
    n = tree.num_nodes
    cases = [(lambda: tree.reduce(np.zeros(n), "avg"), ValueError, "op must be"),
             (lambda: tree.reduce(np.zeros(n), over="parents"), ValueError, "over must be"),
             (lambda: tree.reduce([1.0] * n), TypeError, "list"),
             (lambda: tree.reduce(np.zeros(n + 1)), ValueError, str(n + 1)),
             (lambda: tree.nearest_kept(np.zeros(n)), TypeError, "boolean"),
             (lambda: tree.simplify(np.zeros(n - 1, bool)), ValueError, "one entry per node"),
             (lambda: tree.children(n), IndexError, str(n)),
             (lambda: tree.attribute("perimeter"), ValueError, "perimeter"),
             (lambda: vexa.Tree(np.array([-1, -1]), np.zeros(2), np.zeros((1, 2), np.int64), "x"), ValueError, "root"),
             (lambda: vexa.Tree(np.array([1, 0]), np.zeros(2), np.zeros((1, 2), np.int64), "x"), ValueError, ""),
             (lambda: vexa.Tree(np.array([-1, 0]), np.zeros(3), np.zeros((1, 2), np.int64), "x"), ValueError,
              "altitudes")]
    for call, error, match in cases:
        with pytest.raises(error, match=match):
            call()
