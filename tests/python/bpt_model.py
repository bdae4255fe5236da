"""A slow, plain-Python binary partition tree used as the oracle of the tests.

It follows the construction step by step: one dict per neighbour table (so
tables iterate in insertion order, as the native lists do), a list-backed
binary heap with the same sift rules, and float32 arithmetic through numpy
scalars.
"""
import numpy as np

F = np.float32
OFFSETS = [(1, -1), (1, 0), (0, 1), (1, 1)]


class Region:
    def __init__(self, id_, row, col):
        self.id = id_
        self.neighbors = {}
        self.ccps = []
        self.top = self.bottom = row
        self.left = self.right = col
        self.children = (None, None)
        self.parent = None
        self.active = True
        self.metric = F(np.nan)


def mean_metric(image, pixels):
    total = F(0)
    for p in pixels:
        total = F(total + F(image[p]))
    return F(total / F(len(pixels)))


def merge_metric(a, b):
    na, nb = len(a.ccps), len(b.ccps)
    weighted = F(F(na) * a.metric) + F(F(nb) * b.metric)
    return F(F(weighted) / F((na + nb) % 2**32))


def dissimilarity(a, b):
    return F(abs(F(a.metric - b.metric)))


def heap_push(heap, edge):
    heap.append(edge)
    hole = len(heap) - 1
    while hole > 0 and heap[(hole - 1) // 2][0] > edge[0]:
        heap[hole] = heap[(hole - 1) // 2]
        hole = (hole - 1) // 2
    heap[hole] = edge


def heap_pop(heap):
    top, last = heap[0], heap.pop()
    n = len(heap)
    if n == 0:
        return top
    hole = 0
    while 2 * hole + 2 < n:
        left, right = 2 * hole + 1, 2 * hole + 2
        child = left if heap[left][0] < heap[right][0] else right
        heap[hole] = heap[child]
        hole = child
    if 2 * hole + 1 < n:
        heap[hole] = heap[2 * hole + 1]
        hole = 2 * hole + 1
    while hole > 0 and heap[(hole - 1) // 2][0] > last[0]:
        heap[hole] = heap[(hole - 1) // 2]
        hole = (hole - 1) // 2
    heap[hole] = last
    return top


def build(image, labels):
    """Returns (nodes by ascending id, root)."""
    rows, cols = labels.shape
    lab = np.ascontiguousarray(labels).view(np.uint32).ravel()
    img = np.ascontiguousarray(image).ravel()
    nodes = {}
    for i in range(rows * cols):
        label, row, col = int(lab[i]), i // cols, i % cols
        node = nodes.setdefault(label, Region(label, row, col))
        node.ccps.append(i)
        node.top, node.left = min(node.top, row), min(node.left, col)
        node.bottom, node.right = max(node.bottom, row), max(node.right, col)

    heap = []
    for y in range(rows):
        for x in range(cols):
            for dx, dy in OFFSETS:
                nx, ny = x + dx, y + dy
                if not (0 <= nx < cols and 0 <= ny < rows):
                    continue
                a, b = int(lab[y * cols + x]), int(lab[ny * cols + nx])
                if a == b:
                    continue
                lo, hi = nodes[min(a, b)], nodes[max(a, b)]
                if hi.id in lo.neighbors:
                    continue
                lo.neighbors[hi.id] = hi
                hi.neighbors[lo.id] = lo
                for node in (lo, hi):
                    if np.isnan(node.metric):
                        node.metric = mean_metric(img, node.ccps)
                heap_push(heap, (dissimilarity(lo, hi), lo.id, hi.id))

    last_id = max(nodes)
    while heap:
        _, first, second = heap_pop(heap)
        a, b = nodes[first], nodes[second]
        if not (a.active and b.active):
            continue
        last_id += 1
        n = Region(last_id, 0, 0)
        n.metric = merge_metric(a, b)
        n.ccps = a.ccps + b.ccps
        n.top, n.left = min(a.top, b.top), min(a.left, b.left)
        n.bottom, n.right = max(a.bottom, b.bottom), max(a.right, b.right)
        n.children = (a, b)
        nodes[last_id] = n
        for child in (a, b):
            child.parent, child.active = n, False
        for child in (a, b):
            for r in list(child.neighbors.values()):
                while r.parent is not None and not r.active:
                    r = r.parent
                r.neighbors.pop(child.id, None)
                if r is n or r.id in n.neighbors or r.id in (a.id, b.id):
                    continue
                n.neighbors[r.id] = r
                r.neighbors[n.id] = n
                heap_push(heap, (dissimilarity(n, r), n.id, r.id))
    ordered = [nodes[k] for k in sorted(nodes)]
    return ordered, nodes[last_id]
