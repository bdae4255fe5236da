"""The component tree of a vertex-weighted graph: how the chunked filters
merge the boundary trees of two adjacent regions.

``_vexa._graph_component_tree`` is the native kernel; until the extension in
use has it, a union-find in Python with the same contract stands in.
"""
import numpy as np

import _vexa


def graph_component_tree(rank: np.ndarray, u: np.ndarray, v: np.ndarray) -> np.ndarray:
    """Component tree of the graph with vertices ``0..n-1`` of ranks ``rank``
    (uint64; lower is deeper, processed first) and edges ``(u[i], v[i])``
    (uint32): per vertex, int64, for a canonical vertex the canonical vertex
    of its parent node (-1 for a root), for any other its node's canonical
    vertex. Ties of rank are processed in increasing id; a node's canonical
    vertex is its highest id."""
    native = getattr(_vexa, "_graph_component_tree", None)
    if native is not None:
        return native(rank, u, v)
    return _union_find(rank, u, v)


def _union_find(rank: np.ndarray, u: np.ndarray, v: np.ndarray) -> np.ndarray:
    n = rank.shape[0]
    order = np.lexsort((np.arange(n), rank))
    position = np.empty(n, dtype=np.int64)
    position[order] = np.arange(n)
    u, v = u.astype(np.int64), v.astype(np.int64)
    later = np.where(position[u] > position[v], u, v)
    earlier = np.where(position[u] > position[v], v, u)
    by_later = np.argsort(later, kind="stable")
    later, earlier = later[by_later], earlier[by_later]
    starts = np.searchsorted(later, np.arange(n + 1))
    parent = np.arange(n)
    zpar = np.arange(n)

    def find(x):
        root = x
        while zpar[root] != root:
            root = zpar[root]
        while zpar[x] != root:
            zpar[x], x = root, zpar[x]
        return root

    for x in order.tolist():
        for y in earlier[starts[x]:starts[x + 1]].tolist():
            root = find(y)
            if root != x:
                parent[root] = x
                zpar[root] = x
    for p in order[::-1].tolist():
        q = parent[p]
        if rank[parent[q]] == rank[q]:
            parent[p] = parent[q]
    result = parent.astype(np.int64)
    result[result == np.arange(n)] = -1
    return result
