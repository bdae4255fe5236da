import numpy as np
import pytest

import _vexa

KEYS = ["Area", "CNPs", "Children", "Id", "Level", "ParentId", "PixelsOfCC", "Residue"]
NODE_LIST_DOC = "Lista de ponteiros para os nós da árvore."


def one_by_three():
    return np.array([[1, 5, 3]], dtype=np.uint8)


def test_worked_example():
    tree = _vexa.MaxTree(one_by_three(), 1)
    record = tree.nodes[1].getInfoToDataFrame()
    assert list(record) == KEYS
    assert record == {"Area": 2, "CNPs": [2], "Children": [2], "Id": 1, "Level": 3, "ParentId": 0,
                      "PixelsOfCC": [2, 1], "Residue": 2}


def test_root_reports_parent_zero_and_its_level():
    tree = _vexa.MaxTree(np.array([[200, 230], [250, 200]], np.uint8), 1)
    root = tree.root.getInfoToDataFrame()
    assert root["Id"] == 0 and root["ParentId"] == 0
    assert root["Level"] == 200 and root["Residue"] == 200


def test_residue_signs():
    image = np.array([[50, 200, 50]], np.uint8)
    max_records = _vexa.MaxTree(image, 1).getInfoToDataFrame()
    assert [(r["Level"], r["Residue"]) for r in max_records] == [(50, 50), (200, 150)]
    min_records = _vexa.MinTree(image, 1).getInfoToDataFrame()
    assert min_records[0]["Residue"] == 200
    assert {(r["Level"], r["Residue"]) for r in min_records[1:]} == {(50, -150)}


@pytest.mark.parametrize("tree_class", [_vexa.MaxTree, _vexa.MinTree])
@pytest.mark.parametrize("radius", [1, 1.5])
def test_records_on_random_images(rng, tree_class, radius):
    sign = 1 if tree_class is _vexa.MaxTree else -1
    for _ in range(10):
        image = (rng.integers(0, 5, size=tuple(rng.integers(1, 10, size=2))) * 60).astype(np.uint8)
        tree = tree_class(image, radius)
        nodes = tree.nodes
        records = tree.getInfoToDataFrame()
        assert len(records) == len(nodes)
        for i, (record, node) in enumerate(zip(records, nodes)):
            assert list(record) == KEYS
            assert record["Id"] == i
            assert record == node.getInfoToDataFrame()
            assert record["Area"] == len(record["PixelsOfCC"])
            assert record["PixelsOfCC"] == node.pixelsOfCC and record["CNPs"] == node.cnps
            assert record["Children"] == [c.id for c in node.children]
            assert record["Level"] == node.level and record["Residue"] == node.residue
            if not record["Children"]:
                assert set(record["PixelsOfCC"]) == set(record["CNPs"])
            if i > 0:
                assert record["ParentId"] == node.parent.id
                assert record["Residue"] * sign > 0
            for value in record.values():
                assert not isinstance(value, str)
                items = value if isinstance(value, list) else [value]
                assert all(type(v) is int for v in items)


def test_tree_without_nodes_and_empty_adjacency():
    assert _vexa.MaxTree(np.zeros((0, 3), np.uint8), 1).getInfoToDataFrame() == []
    image = np.array([[3, 9], [0, 3]], np.uint8)
    for record in _vexa.MinTree(image, 0.5).getInfoToDataFrame():
        assert record["ParentId"] == 0 and record["Children"] == []
        assert record["Residue"] == record["Level"]
        assert record["Area"] == 1


def test_parent_and_residue_follow_rewritten_links():
    tree = _vexa.MinTree(one_by_three(), 1)
    leaf = tree.nodes[2]
    assert leaf.getInfoToDataFrame()["Residue"] == -4
    leaf.parent = tree.nodes[1]
    assert leaf.getInfoToDataFrame()["ParentId"] == 1
    assert leaf.getInfoToDataFrame()["Residue"] == -2
    leaf.parent = None
    record = tree.getInfoToDataFrame()[2]
    assert record["ParentId"] == 0 and record["Residue"] == 1
    assert tree.getInfoToDataFrame()[0]["Children"] == [1, 2]


def test_records_do_not_change_with_attribute_extraction():
    tree = _vexa.MaxTree(one_by_three(), 1)
    before = tree.getInfoToDataFrame()
    _vexa.Attributes(tree)
    assert tree.getInfoToDataFrame() == before


def test_registration_and_docstrings():
    assert not hasattr(_vexa.MorphologicalTree, "getInfoToDataFrame")
    for member in [_vexa.Node.getInfoToDataFrame, _vexa.MaxTree.getInfoToDataFrame,
                   _vexa.MinTree.getInfoToDataFrame]:
        assert member.__doc__.rstrip().endswith(NODE_LIST_DOC)
    with pytest.raises(TypeError):
        _vexa.MaxTree(one_by_three(), 1).getInfoToDataFrame(0)
