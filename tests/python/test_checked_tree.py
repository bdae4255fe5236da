"""_vexa._Tree: a parent array checked once, its accumulators against a slow
model on random trees of both node orders, and its bad input."""
import pickle

import numpy as np
import pytest
import torch

import _vexa


def random_tree(rng, n, children_first):
    """Parents of a random tree over n nodes: parents first (root 0) or
    children first (root n - 1)."""
    up = np.full(n, -1, np.int64)
    for i in range(1, n):
        up[i] = rng.integers(0, i)
    if not children_first:
        return up
    new = n - 1 - np.arange(n)
    parents = np.full(n, -1, np.int64)
    parents[new] = np.where(up >= 0, new[np.maximum(up, 0)], -1)
    return parents


def subtree(parents, a):
    """The nodes of a's subtree, by walking up from every node."""
    def below(i):
        while i >= 0:
            if i == a:
                return True
            i = parents[i]
        return False
    return [i for i in range(len(parents)) if below(i)]


def model_reduce(parents, values, op, over, fill):
    """reduce as a slow loop, in numpy, with the documented result dtypes."""
    if op == "mean":
        dtype = values.dtype if values.dtype.kind == "f" else np.float64
    elif op == "sum":
        dtype = values.dtype if values.dtype in (np.float32, np.float64, np.int64) else np.int64
    else:
        dtype = values.dtype
    out = np.empty(values.shape, dtype)
    for a in range(len(parents)):
        members = subtree(parents, a) if over == "subtree" else list(np.flatnonzero(parents == a))
        if not members:
            out[a] = fill
            continue
        rows = values[members].astype(dtype if op in ("sum", "mean") else values.dtype)
        out[a] = {"sum": np.sum, "min": np.min, "max": np.max, "mean": np.mean}[op](rows, axis=0)
    return out


def random_values(rng, n, dtype, columns):
    shape = (n,) if columns is None else (n, columns)
    if dtype == np.bool_:
        return rng.random(shape) < 0.5
    if np.dtype(dtype).kind == "f":
        return rng.standard_normal(shape).astype(dtype)
    return rng.integers(0, 100, shape).astype(dtype)


@pytest.mark.parametrize("children_first", [False, True])
def test_accumulators_against_a_slow_model(rng, children_first):
    for n in [1, 2, 9, 30]:
        parents = random_tree(rng, n, children_first)
        tree = _vexa._Tree(torch.from_numpy(parents))
        assert tree.num_nodes == n and tree.root == (n - 1 if children_first else 0)
        assert tree.parents().tolist() == parents.tolist()
        assert pickle.loads(pickle.dumps(tree)).parents().tolist() == parents.tolist()

        offsets, ids = tree.children()
        for a in range(n):
            assert ids[offsets[a]:offsets[a + 1]].tolist() == np.flatnonzero(parents == a).tolist()
        depth = [len([b for b in range(n) if a in subtree(parents, b)]) - 1 for a in range(n)]
        assert tree.depths().tolist() == depth
        assert tree.leaves().tolist() == [a for a in range(n) if a not in parents]

        for dtype in [np.float32, np.float64, np.int64, np.int32, np.uint8, np.bool_]:
            values = random_values(rng, n, dtype, rng.choice([None, 3]))
            for op in ["sum", "min", "max", "mean"]:
                for over in ["subtree", "children"]:
                    fill = 1.0 if dtype == np.bool_ else -2.0 if dtype != np.uint8 else 7.0
                    got = tree.reduce(torch.from_numpy(values), op, over, fill)
                    want = model_reduce(parents, values, op, over, fill)
                    assert got.numpy().dtype == want.dtype, (dtype, op, over)
                    assert np.allclose(got.numpy(), want, rtol=1e-5), (dtype, op, over)

        values = torch.from_numpy(rng.standard_normal((n, 2)))
        assert torch.allclose(tree.subtree_sum(values), _vexa._subtree_sum(torch.from_numpy(parents), values))
        assert torch.allclose(tree.ancestor_sum(values), _vexa._ancestor_sum(torch.from_numpy(parents), values))

        keep = rng.random(n) < 0.3
        nearest = tree.nearest_kept(torch.from_numpy(keep)).tolist()
        kept = keep.copy()
        kept[tree.root] = True
        rank = np.cumsum(kept) - 1
        new_parents, node_map = tree.simplify(torch.from_numpy(keep))
        for a in range(n):
            k = a
            while not kept[k]:
                k = parents[k]
            assert nearest[a] == k and node_map[a] == rank[k]
            if kept[a]:
                above = parents[a]
                while above >= 0 and not kept[above]:
                    above = parents[above]
                assert new_parents[rank[a]] == (-1 if above < 0 else rank[above])
        assert len(new_parents) == kept.sum()
        _vexa._Tree(new_parents)  # one tree again


def test_worked_reductions_and_nan():
    tree = _vexa._Tree(torch.tensor([-1, 0, 0, 1]))  # 0 -> 1 -> 3, 0 -> 2
    values = torch.tensor([1.0, float("nan"), 2.0, 4.0])
    assert tree.reduce(values, "max", "children", fill=-1).tolist()[2:] == [-1, -1]
    assert all(np.isnan(tree.reduce(values, "min", "subtree").numpy()[[0, 1]]))
    assert tree.reduce(values, "min", "subtree").tolist()[2:] == [2, 4]
    counts = tree.reduce(torch.ones(4, dtype=torch.int64), "sum", "subtree")
    assert counts.dtype == torch.int64 and counts.tolist() == [4, 2, 1, 1]
    assert tree.reduce(torch.tensor([0, 3, 4, 9]), "mean", "children").tolist() == [3.5, 9, 0, 0]


def test_the_tree_owns_its_parents():
    parents = torch.tensor([-1, 0, 1])
    tree = _vexa._Tree(parents)
    parents[2] = 0
    assert tree.parents().tolist() == [-1, 0, 1] and tree.depths().tolist() == [0, 1, 2]


def test_bad_input_is_refused_by_name():
    bad_trees = [
        (torch.tensor([-1, 0], dtype=torch.int32), TypeError, "int64.*got int32 tensor of shape \\(2\\)"),
        (torch.tensor([[-1, 0]]), TypeError, "one-dimensional.*shape \\(1, 2\\)"),
        (torch.tensor([-1, 2, 1]), ValueError, "cycle through node [12]"),
        (torch.tensor([-1, 0, -1]), ValueError, "2 roots \\(node 0, node 2\\)"),
        (torch.tensor([], dtype=torch.int64), ValueError, "empty"),
        (torch.tensor([-1, 5]), ValueError, "parents\\[1\\] is 5, outside -1..1"),
    ]
    for parents, error, message in bad_trees:
        with pytest.raises(error, match=message):
            _vexa._Tree(parents)
    tree = _vexa._Tree(torch.tensor([-1, 0, 0]))
    calls = [
        (lambda: tree.reduce(torch.ones(5), "sum", "subtree"), ValueError, "3 rows, one per node, got.*\\(5\\)"),
        (lambda: tree.reduce(torch.ones(3), "avg", "subtree"), ValueError,
         "op must be one of sum, min, max, mean, got 'avg'"),
        (lambda: tree.reduce(torch.ones(3), "sum", "parents"), ValueError, "over must be .*got 'parents'"),
        (lambda: tree.reduce(torch.ones(3, dtype=torch.complex64), "sum", "subtree"), TypeError, "got complex64"),
        (lambda: tree.reduce(torch.ones(3, 1, 1), "sum", "subtree"), TypeError, "\\(N\\) or \\(N, C\\).*\\(3, 1, 1\\)"),
        (lambda: tree.reduce(torch.ones(3, device="meta"), "sum", "subtree"), TypeError, "CPU tensor.*meta"),
        (lambda: tree.reduce(torch.ones(3, dtype=torch.int64), "max", "children", 0.5), ValueError,
         "fill .*int64, got 0.5"),
        (lambda: tree.subtree_sum(torch.ones(3, dtype=torch.int64)), TypeError, "floating-point.*int64"),
        (lambda: tree.nearest_kept(torch.ones(3)), TypeError, "keep must be a bool tensor, got float32"),
        (lambda: tree.simplify(torch.ones(2, dtype=torch.bool)), ValueError, "keep must have 3 rows"),
    ]
    for call, error, message in calls:
        with pytest.raises(error, match=message):
            call()
