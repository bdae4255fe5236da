import gc

import numpy as np
import pytest

import _vexa


@pytest.fixture
def chain():
    return _vexa.MaxTree(np.array([[1, 5, 3]], np.uint8), 1)


def test_node_objects_keep_their_identity(chain):
    assert chain.root is chain.nodes[0]
    assert chain.nodes[2].parent is chain.nodes[1]
    assert chain.root.children[0] is chain.getNodesById([1])[0]


def test_nodes_keep_their_tree_alive():
    tree = _vexa.MaxTree(np.array([[1, 5, 3], [2, 2, 0]], np.uint8), 1)
    leaf = tree.nodes[-1]
    children = tree.root.children
    del tree
    gc.collect()
    assert leaf.cnps and leaf.pixelsOfCC
    assert leaf.parent.level < leaf.level
    assert all(c.parent.id == 0 for c in children)


def test_child_and_parent_references_outlive_everything_else():
    root = _vexa.MinTree(np.array([[1, 5, 3]], np.uint8), 1).root
    child = root.children[0]
    del root
    gc.collect()
    assert child.parent.level == 5


def test_parent_can_be_rewritten_within_the_tree(chain):
    leaf, middle, root = chain.nodes[2], chain.nodes[1], chain.nodes[0]
    leaf.parent = root
    assert leaf.parent is root and leaf.residue == 4
    assert [c.id for c in middle.children] == [2]  # children keep their built content
    leaf.parent = None
    assert leaf.parent is None and leaf.residue == 5
    # Cycles are accepted and reading along them stays safe.
    root.parent = leaf
    leaf.parent = middle
    assert root.residue == 1 - 5
    assert root.pixelsOfCC == [0, 2, 1]


def test_parent_from_another_tree_is_refused(chain):
    other = _vexa.MaxTree(np.array([[1, 5, 3]], np.uint8), 1)
    leaf = chain.nodes[2]
    with pytest.raises(RuntimeError, match="same tree"):
        leaf.parent = other.root
    assert leaf.parent is chain.nodes[1]
    with pytest.raises(TypeError):
        leaf.parent = 3


def test_node_constructors_cannot_be_satisfied_from_python(chain):
    with pytest.raises(TypeError):
        _vexa.Node(0, 0, 0, (0, 0))
    with pytest.raises(TypeError):
        _vexa.Node(0, 0, 0, None)
    with pytest.raises(TypeError):
        _vexa.Node(0, 0, 0, None, chain.root)


def test_docstrings():
    cnps_doc = "Retorna a lista de pixels CNPs do nó."
    for name in ["cnps", "pixelsOfCC", "level", "residue", "representant", "top", "left",
                 "bottom", "right"]:
        assert getattr(_vexa.Node, name).__doc__ == cnps_doc
    assert _vexa.Node.children.__doc__ == "Retorna a lista de ponteiros para os filhos."
    assert _vexa.MaxTree.root.__doc__ == "Ponteiro para o nó raiz da árvore."
    radius_doc = "Raio de vizinhança utilizado na construção da árvore."
    assert _vexa.MaxTree.adjacency_radius.__doc__ == radius_doc
    assert _vexa.MinTree.small_component.__doc__ == radius_doc
    assert _vexa.MaxTree.nodes.__doc__ == "Lista de ponteiros para os nós da árvore."
    assert _vexa.MaxTree.getNodesById.__doc__.rstrip().endswith("Lista de ponteiros para os nós da árvore.")
