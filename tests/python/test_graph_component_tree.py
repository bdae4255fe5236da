"""_vexa._graph_component_tree against the max-tree of an image, and its bad input."""
import numpy as np
import pytest

import _vexa


@pytest.mark.parametrize("shape, levels", [((9, 11), 6), ((300, 290), None)])
def test_pixel_graph_gives_the_max_tree(rng, shape, levels):
    # Few levels, and noise with nearly a level per pixel (ranks of many digits).
    image = rng.integers(0, levels, shape).astype(np.uint8) if levels else rng.random(shape, dtype=np.float32)
    index = np.arange(image.size).reshape(shape)
    u = np.concatenate([index[:, :-1].ravel(), index[:-1].ravel()]).astype(np.uint32)
    v = np.concatenate([index[:, 1:].ravel(), index[1:].ravel()]).astype(np.uint32)
    rank = np.unique(-image.ravel().astype(np.float64), return_inverse=True)[1].astype(np.uint64)
    tree = _vexa._graph_component_tree(rank, u, v)
    parents, pixel_to_node, _ = _vexa._component_tree(image, 1, True)
    node = pixel_to_node.ravel()
    canonical = np.where((tree >= 0) & (rank[np.maximum(tree, 0)] == rank), tree, index.ravel())
    # The same partition into nodes, and the same parent links between them.
    assert np.array_equal(node[canonical], node)
    assert len(np.unique(canonical)) == len(parents)
    heads = np.unique(canonical)
    assert np.array_equal(parents[node[heads]], np.where(tree[heads] < 0, -1, node[np.maximum(tree[heads], 0)]))


@pytest.mark.parametrize("rank, u, v, error, says", [
    (np.array([1, 2], np.int64), [0], [1], TypeError, "rank must be uint64, got int64 (2,)"),
    ([1, 2], np.array([0], np.int32), [1], TypeError, "u must be uint32, got int32 (1,)"),
    ([1, 2], [0, 1], [1], ValueError, "uint32 (2,) and uint32 (1,)"),
    ([1, 2], [0], [2], ValueError, "edge 0 joins vertices 0 and 2, but the graph has 2 vertices")])
def test_bad_input_raises(rank, u, v, error, says):
    def as_array(a, dtype):
        return a if isinstance(a, np.ndarray) else np.array(a, dtype)

    with pytest.raises(error) as raised:
        _vexa._graph_component_tree(as_array(rank, np.uint64), as_array(u, np.uint32), as_array(v, np.uint32))
    assert says in str(raised.value)
