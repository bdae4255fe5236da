import gc

import numpy as np
import pytest
import torch

import _vexa

NAMES = ["AREA", "VOLUME", "HEIGHT", "WIDTH", "RECTANGULARITY"]


def one_by_three():
    return np.array([[1, 5, 3]], dtype=np.uint8)


def boxes(tree):
    return [(n.top, n.left, n.bottom, n.right) for n in tree.nodes]


def random_image(rng, levels=6):
    rows, cols = rng.integers(1, 14, size=2)
    return (rng.integers(0, levels, size=(rows, cols)) * 40).astype(np.uint8)


def test_worked_example_max_tree():
    tree = _vexa.MaxTree(one_by_three(), 1)
    assert boxes(tree) == [(0, 0, 0, 0), (0, 2, 0, 2), (0, 1, 0, 1)]
    pack = _vexa.Attributes(tree)
    assert pack.data.tolist() == [[3, 9, 1, 3, 1], [2, 8, 1, 2, 1], [1, 5, 1, 1, 1]]
    assert boxes(tree) == [(0, 0, 0, 2), (0, 1, 0, 2), (0, 1, 0, 1)]


def test_worked_example_min_tree():
    pack = _vexa.Attributes(_vexa.MinTree(one_by_three(), 1))
    assert pack.data.tolist() == [[3, 9, 1, 3, 1], [1, 3, 1, 1, 1], [1, 1, 1, 1, 1]]


def test_leaf_touching_at_a_corner():
    image = np.array([[9, 0], [0, 9]], dtype=np.uint8)
    pack = _vexa.Attributes(_vexa.MaxTree(image, 1.5))
    assert pack.data.tolist() == [[4, 18, 2, 2, 1], [2, 18, 2, 2, 0.5]]


def test_constant_and_single_pixel_images():
    pack = _vexa.Attributes(_vexa.MinTree(np.full((4, 6), 30, np.uint8), 1))
    assert pack.data.tolist() == [[24, 720, 4, 6, 1]]
    pack = _vexa.Attributes(_vexa.MaxTree(np.array([[77]], np.uint8), 1.5))
    assert pack.data.tolist() == [[1, 77, 1, 1, 1]]


def test_image_without_pixels_gives_an_empty_pack():
    for shape in [(0, 5), (3, 0), (0, 0)]:
        pack = _vexa.Attributes(_vexa.MaxTree(np.zeros(shape, np.uint8), 1))
        assert pack.data.shape == (0, 5)
        assert pack.num_nodes == 0 and pack.num_attrs == 5
        assert pack.AREA.shape == (0,)


def test_empty_adjacency_fills_the_row_of_every_pixel():
    image = np.array([[4, 0, 250], [4, 4, 17]], dtype=np.uint8)
    for radius in [0.5, 0.0, -2.0, float("nan")]:
        tree = _vexa.MaxTree(image, radius)
        pack = _vexa.Attributes(tree)
        assert pack.num_nodes == image.size
        assert pack.data.tolist() == [[1, n.level, 1, 1, 1] for n in tree.nodes]


def test_pack_tensor_and_views():
    tree = _vexa.MaxTree(np.array([[1, 5, 3], [2, 2, 9]], np.uint8), 1)
    pack = _vexa.Attributes(tree)
    data = pack.data
    assert data.dtype == torch.float64 and data.device.type == "cpu"
    assert data.is_contiguous() and not data.requires_grad
    assert data.shape == (len(tree.nodes), 5)
    assert pack.num_nodes == len(tree.nodes) and pack.num_attrs == 5
    for k, name in enumerate(NAMES):
        column = getattr(pack, name)
        assert column.shape == (pack.num_nodes,)
        assert torch.equal(column, data[:, k])
    pack.data[0, 0] = 7
    assert pack.AREA[0] == 7
    pack.AREA.zero_()
    assert torch.count_nonzero(pack.data[:, 0]) == 0
    pack.VOLUME[1] = -3
    assert pack.data[1, 1] == -3


def test_names_are_fresh_lists():
    pack = _vexa.Attributes(_vexa.MaxTree(one_by_three(), 1))
    names = pack.names
    assert names == NAMES
    names.append("X")
    assert pack.names == NAMES
    assert _vexa.AttributesPack.names == NAMES


def test_each_extraction_owns_its_table():
    tree = _vexa.MaxTree(one_by_three(), 1)
    first = _vexa.Attributes(tree)
    second = _vexa.Attributes(tree=tree)
    assert torch.equal(first.data, second.data)
    first.data.zero_()
    assert second.data[0, 0] == 3


def test_pack_and_views_outlive_their_owners():
    tree = _vexa.MinTree(np.array([[8, 1], [1, 8]], np.uint8), 1)
    pack = _vexa.Attributes(tree)
    expected = pack.data.clone()
    del tree
    gc.collect()
    assert torch.equal(pack.data, expected)
    area = pack.AREA
    del pack
    gc.collect()
    assert torch.equal(area, expected[:, 0])


@pytest.mark.parametrize("tree_class", [_vexa.MaxTree, _vexa.MinTree])
@pytest.mark.parametrize("radius", [1, 1.5, 2])
def test_attributes_match_the_component_pixels(rng, tree_class, radius):
    for _ in range(15):
        image = random_image(rng)
        tree = tree_class(image, radius)
        pack = _vexa.Attributes(tree)
        table = pack.data.tolist()
        flat = image.ravel()
        cols = image.shape[1]
        for node in tree.nodes:
            pixels = np.array(node.pixelsOfCC)
            rows_of, cols_of = pixels // cols, pixels % cols
            height = int(rows_of.max() - rows_of.min() + 1)
            width = int(cols_of.max() - cols_of.min() + 1)
            assert table[node.id] == [len(pixels), int(flat[pixels].sum()), height, width,
                                      len(pixels) / (height * width)]
            assert (node.top, node.left, node.bottom, node.right) == (
                rows_of.min(), cols_of.min(), rows_of.max(), cols_of.max())
            if node.parent is not None:
                assert table[node.parent.id][0] >= table[node.id][0]
                assert table[node.parent.id][1] >= table[node.id][1]
        root = table[0]
        assert root[:4] == [image.size, int(image.sum()), image.shape[0], image.shape[1]]
        # A second extraction changes no box and gives the same table.
        before = boxes(tree)
        assert _vexa.Attributes(tree).data.tolist() == table
        assert boxes(tree) == before


def test_rewritten_links_are_followed_and_never_hang(rng):
    tree = _vexa.MaxTree(one_by_three(), 1)
    tree.nodes[2].parent = None
    assert _vexa.Attributes(tree).data.tolist() == [[2, 4, 1, 3, 2 / 3], [1, 3, 1, 1, 1], [1, 5, 1, 1, 1]]

    for _ in range(30):
        tree = _vexa.MaxTree(random_image(rng), 1.5)
        nodes = tree.nodes
        for _ in range(4):
            target = nodes[rng.integers(len(nodes))]
            nodes[rng.integers(len(nodes))].parent = None if rng.random() < 0.3 else target
        nodes[0].parent = nodes[-1]  # a cycle through the root
        data = _vexa.Attributes(tree).data
        assert data.shape == (len(nodes), 5)
        assert torch.isfinite(data).all() and (data[:, 0] >= 1).all()


def test_bad_arguments_raise_type_error():
    image = one_by_three()
    for bad in [None, 5, image, "tree", _vexa.MaxTree(image, 1).root]:
        with pytest.raises(TypeError):
            _vexa.Attributes(bad)
    with pytest.raises(TypeError):
        _vexa.Attributes()
    with pytest.raises(TypeError):
        _vexa.Attributes(other=_vexa.MaxTree(image, 1))
    with pytest.raises(TypeError):
        _vexa.AttributesPack()
    with pytest.raises(TypeError):
        _vexa.AttributesPack(torch.zeros(2, 5, dtype=torch.float64))


def test_properties_are_read_only():
    pack = _vexa.Attributes(_vexa.MaxTree(one_by_three(), 1))
    for name in NAMES + ["data", "num_nodes", "num_attrs"]:
        with pytest.raises(AttributeError):
            setattr(pack, name, 1)


def test_docstring_and_keyword():
    assert _vexa.Attributes.__doc__.rstrip().endswith(
        "Extrai os atributos da árvore morfológica e retorna um pacote com acesso por nome")
    assert "(tree: _vexa.MorphologicalTree) -> _vexa.AttributesPack" in _vexa.Attributes.__doc__
