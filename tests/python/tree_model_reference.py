"""Slow, obviously correct versions of the tree model's passes: each node's
descendants found by walking every node up to the root."""
import numpy as np


def ancestors(parents, node):
    """node, its parent, ..., the root."""
    path = [node]
    while parents[path[-1]] >= 0:
        path.append(int(parents[path[-1]]))
    return path


def subtree(parents, node):
    return [m for m in range(len(parents)) if node in ancestors(parents, m)]


def children(parents, node):
    return [m for m in range(len(parents)) if parents[m] == node]


def reduce(parents, values, op, over, fill=0.0):
    values = np.asarray(values)
    combine = {"sum": np.sum, "min": np.min, "max": np.max, "mean": np.mean}[op]
    out = []
    for node in range(len(parents)):
        members = subtree(parents, node) if over == "subtree" else children(parents, node)
        if members:
            out.append(combine(values[members], axis=0))
        else:
            out.append(np.full(values.shape[1:], fill))
    return np.array(out)


def nearest_kept(parents, keep):
    return np.array([next(a for a in ancestors(parents, n) if keep[a] or parents[a] < 0)
                     for n in range(len(parents))])


def simplify(parents, keep):
    kept = [n for n in range(len(parents)) if keep[n] or parents[n] < 0]
    new_id = {old: new for new, old in enumerate(kept)}
    near = nearest_kept(parents, keep)
    new_parents = [-1 if parents[n] < 0 else new_id[near[parents[n]]] for n in kept]
    return np.array(new_parents), np.array([new_id[near[n]] for n in range(len(parents))])


def random_parents(rng, n, children_first=False):
    """A random tree of n nodes listing parents first (root 0), or children
    first (root n - 1)."""
    parents = np.array([-1] + [int(rng.integers(0, i)) for i in range(1, n)])
    if not children_first:
        return parents
    return np.where(parents[::-1] >= 0, n - 1 - parents[::-1], -1)
