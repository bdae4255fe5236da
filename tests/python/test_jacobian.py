"""Sparse index generation and the Jacobian of levels with respect to residues.

Debian's torch has no MKL, so products use dense forms.
"""
import gc

import numpy as np
import pytest
import torch

import _vexa

TREES = [_vexa.MaxTree, _vexa.MinTree]
FORMAT_ERROR = r"^Formato de matriz esparsa não suportado\.$"


def one_by_three(cls):
    return cls(np.array([[1, 5, 3]], dtype=np.uint8), 1.0)


def branch_tree():
    """Root 0 with the children 1 and 3, and 2 the child of 1."""
    tree = _vexa.MaxTree(np.array([[0, 1, 2, 0, 3]], np.uint8), 1.0)
    assert [n.parent.id if n.parent else None for n in tree.nodes] == [None, 0, 1, 0]
    return tree


def coo_pattern(J):
    return J._indices().tolist()


def csr_pattern(J):
    return J.crow_indices().tolist(), J.col_indices().tolist()


def subtree_sizes(tree):
    sizes = [1] * len(tree.nodes)
    for node in reversed(tree.nodes):  # children have larger ids
        if node.parent is not None:
            sizes[node.parent.id] += sizes[node.id]
    return sizes


def assert_valid_csr(J):
    """torch's own checks for compressed rows: sorted, distinct columns per row."""
    torch._validate_sparse_csr_tensor_args(J.crow_indices(), J.col_indices(), J.values(), J.shape)


# ---- worked examples --------------------------------------------------------

def test_one_node_tree():
    tree = _vexa.MaxTree(np.array([[42]], np.uint8), 1.0)
    coo = tree.jacobian_coo()
    assert coo.layout == torch.sparse_coo and coo.shape == (1, 1)
    assert coo_pattern(coo) == [[0], [0]] and coo._values().tolist() == [1.0]
    csr = tree.jacobian_csr()
    assert csr.layout == torch.sparse_csr and csr.shape == (1, 1)
    assert csr_pattern(csr) == ([0, 1], [0]) and csr.values().tolist() == [1.0]


@pytest.mark.parametrize("cls", TREES)
def test_empty_tree(cls):
    tree = cls(np.zeros((3, 0), np.uint8), 1.0)
    for _ in range(2):  # the empty cache is generated again, with the same result
        coo = tree.jacobian_coo()
        assert coo.shape == (0, 0) and coo._indices().shape == (2, 0) and coo._values().numel() == 0
        csr = tree.jacobian_csr()
        assert csr.shape == (0, 0) and csr_pattern(csr) == ([0], []) and csr.values().numel() == 0


def test_root_with_two_leaves():
    tree = one_by_three(_vexa.MinTree)
    assert coo_pattern(tree.jacobian_coo()) == [[0, 0, 0, 1, 2], [0, 1, 2, 1, 2]]
    assert csr_pattern(tree.jacobian_csr()) == ([0, 3, 4, 5], [0, 1, 2, 1, 2])
    expected = [[1, 1, 1], [0, 1, 0], [0, 0, 1]]
    assert tree.jacobian_coo().to_dense().tolist() == expected
    assert tree.jacobian_csr().to_dense().tolist() == expected


def test_chain():
    tree = one_by_three(_vexa.MaxTree)
    assert coo_pattern(tree.jacobian_coo()) == [[0, 0, 1, 1, 0, 2], [0, 1, 1, 2, 2, 2]]
    assert csr_pattern(tree.jacobian_csr()) == ([0, 3, 5, 6], [0, 1, 2, 1, 2, 2])
    expected = [[1, 1, 1], [0, 1, 1], [0, 0, 1]]
    assert tree.jacobian_coo().to_dense().tolist() == expected
    assert tree.jacobian_csr().to_dense().tolist() == expected


def test_csr_columns_are_sorted_within_rows():
    tree = branch_tree()
    assert coo_pattern(tree.jacobian_coo()) == [[0, 0, 0, 1, 1, 0, 2, 3], [0, 1, 3, 1, 2, 2, 2, 3]]
    csr = tree.jacobian_csr()
    assert csr_pattern(csr) == ([0, 4, 6, 7, 8], [0, 1, 2, 3, 1, 2, 2, 3])
    assert_valid_csr(csr)
    # Breadth-first order in row 0 is what torch refuses.
    with pytest.raises(RuntimeError):
        torch._validate_sparse_csr_tensor_args(torch.tensor([0, 4, 6, 7, 8]),
                                               torch.tensor([0, 1, 3, 2, 1, 2, 2, 3]),
                                               torch.ones(8), (4, 4))


@pytest.mark.parametrize("cls", TREES)
def test_forest_gives_the_identity(cls, rng):
    tree = cls(rng.integers(0, 256, (4, 6), dtype=np.uint8), 0.5)
    eye = torch.eye(24)
    assert torch.equal(tree.jacobian_coo().to_dense(), eye)
    assert torch.equal(tree.jacobian_csr().to_dense(), eye)


# ---- identities on random images ----------------------------------------

@pytest.mark.parametrize("cls", TREES)
@pytest.mark.parametrize("radius", [1.0, 1.5])
def test_identities_on_random_images(cls, radius, rng):
    for shape, levels in [((17, 23), 256), ((20, 20), 6)]:
        tree = cls(rng.integers(0, levels, shape, dtype=np.uint8), radius)
        n = len(tree.nodes)
        coo, csr = tree.jacobian_coo(), tree.jacobian_csr()
        dense = coo.to_dense()
        assert torch.equal(dense, csr.to_dense())
        assert_valid_csr(csr)
        residues = tree.residues()
        assert torch.equal(dense.t() @ residues, tree.levels.float().unsqueeze(1))
        assert torch.equal(torch.sparse.mm(coo.t(), residues), tree.levels.float().unsqueeze(1))
        sizes = dense @ torch.ones(n, 1)
        assert sizes.flatten().tolist() == subtree_sizes(tree)
        assert coo._nnz() == csr.values().numel() == n + sum(_depth(node) for node in tree.nodes)


def _depth(node):
    depth = 0
    while node.parent is not None:
        node, depth = node.parent, depth + 1
    return depth


# ---- formats, devices and dtypes ------------------------------------------

def test_jacobian_dispatches_on_the_format():
    tree = branch_tree()
    assert coo_pattern(tree.jacobian()) == coo_pattern(tree.jacobian_coo())
    assert tree.jacobian().layout == torch.sparse_coo
    assert tree.jacobian().dtype == torch.float32
    csr = tree.jacobian("cpu", "csr")
    assert csr.layout == torch.sparse_csr
    assert csr_pattern(csr) == csr_pattern(tree.jacobian_csr())
    assert tree.jacobian(sparseFormat="csr", dtype=torch.float64, deviceStr="cpu").dtype == torch.float64


@pytest.mark.parametrize("fmt", ["COO", "Csr", "dense", "", "coo ", "csc"])
def test_unsupported_format(fmt):
    tree = branch_tree()
    with pytest.raises(RuntimeError, match=FORMAT_ERROR):
        tree.jacobian("cpu", fmt)
    with pytest.raises(RuntimeError, match=FORMAT_ERROR):  # checked before the device
        tree.jacobian("nowhere", fmt)


def test_device_errors():
    tree = branch_tree()
    for call in (tree.jacobian_coo, tree.jacobian_csr, lambda d: tree.jacobian(d, "csr")):
        with pytest.raises(RuntimeError, match=r"^Dispositivo desconhecido\.$"):
            call("CPU")
        if not torch.cuda.is_available():
            with pytest.raises(RuntimeError, match=r"^CUDA indisponível\.$"):
                call("cuda")
    with pytest.raises(TypeError):
        tree.jacobian_coo("cpu", "float32")
    with pytest.raises(TypeError):
        tree.jacobian("cpu", None)


def test_device_error_leaves_the_cache_untouched():
    tree = branch_tree()
    with pytest.raises(RuntimeError):
        tree.jacobian_coo("gpu")
    # Nothing was generated: a later explicit generation and request still agree.
    tree.generate_sparse_coo_indices()
    assert coo_pattern(tree.jacobian_coo()) == [[0, 0, 0, 1, 1, 0, 2, 3], [0, 1, 3, 1, 2, 2, 2, 3]]


@pytest.mark.parametrize("dtype", [torch.float64, torch.int32, torch.bool, torch.float16])
def test_dtypes(dtype):
    tree = branch_tree()
    coo, csr = tree.jacobian_coo(dtype=dtype), tree.jacobian_csr("cpu", dtype)
    for J, values, indices in ((coo, coo._values(), [coo._indices()]),
                               (csr, csr.values(), [csr.crow_indices(), csr.col_indices()])):
        assert J.dtype == dtype and values.dtype == dtype
        assert all(i.dtype == torch.int64 for i in indices)
        assert bool((values == 1).all())
        assert not J.requires_grad and J.device.type == "cpu"


def test_signatures_and_docstrings():
    for cls in TREES:
        name = cls.__name__
        assert cls.jacobian.__doc__ == (
            f"jacobian(self: _vexa.{name}, deviceStr: str = 'cpu', sparseFormat: str = 'coo', "
            "dtype: torch.dtype = torch.float32) -> torch.Tensor\n\nConstrói uma matriz jacobiana compacta\n")
        assert cls.jacobian_coo.__doc__.endswith("-> torch.Tensor\n\nConstrói uma matriz jacobiana esparsa (COO)\n")
        assert cls.jacobian_csr.__doc__.endswith("-> torch.Tensor\n\nConstrói uma matriz jacobiana esparsa (CSR)\n")
        assert cls.generate_sparse_coo_indices.__doc__ == (
            f"generate_sparse_coo_indices(self: _vexa.{name}) -> None\n\n"
            "Gera os vetores de indices de linhas e colunas para montra uma matriz jacobian esparsa (COO)\n")
        assert cls.generate_sparse_csr_indices.__doc__.endswith(
            "Gera os vetores de indices de linhas (comprimidas) e colunas para montra uma matriz jacobian "
            "esparsa (CSR)\n")


# ---- caching and independence ----------------------------------------------

def test_generation_is_optional_and_repeatable():
    tree = branch_tree()
    assert tree.generate_sparse_coo_indices() is None
    first = coo_pattern(tree.jacobian_coo())
    assert tree.generate_sparse_csr_indices() is None
    assert coo_pattern(tree.jacobian_coo()) == first == coo_pattern(branch_tree().jacobian_coo())
    before = csr_pattern(tree.jacobian_csr())
    tree.generate_sparse_coo_indices()
    tree.jacobian_coo()
    assert csr_pattern(tree.jacobian_csr()) == before


def test_results_are_independent_of_each_other_and_of_the_tree():
    tree = branch_tree()
    coo, csr = tree.jacobian_coo(), tree.jacobian_csr()
    coo_copy, csr_copy = coo_pattern(coo), csr_pattern(csr)
    coo._indices().zero_()
    coo._values().fill_(5)
    csr.col_indices().fill_(3)
    csr.values().fill_(7)
    assert coo_pattern(tree.jacobian_coo()) == coo_copy and tree.jacobian_coo()._values().tolist() == [1.0] * 8
    assert csr_pattern(tree.jacobian_csr()) == csr_copy and tree.jacobian_csr().values().tolist() == [1.0] * 8

    kept = tree.jacobian_csr()
    tree.generate_sparse_csr_indices()
    tree.generate_sparse_coo_indices()
    tree.jacobian_coo()
    del tree
    gc.collect()
    _vexa.MaxTree(np.arange(256, dtype=np.uint8).reshape(16, 16), 1.0).jacobian_csr()  # reuse memory
    assert csr_pattern(kept) == csr_copy and kept.values().tolist() == [1.0] * 8


# ---- parent links rewritten from Python -----------------------------------

def test_rewritten_links_give_the_jacobian_of_the_new_forest():
    tree = branch_tree()
    nodes = tree.nodes
    nodes[3].parent = nodes[2]
    nodes[1].parent = None
    tree.generate_sparse_coo_indices()
    tree.generate_sparse_csr_indices()
    expected = [[1, 0, 0, 0], [0, 1, 1, 1], [0, 0, 1, 1], [0, 0, 0, 1]]
    assert tree.jacobian_coo().to_dense().tolist() == expected
    assert tree.jacobian_csr().to_dense().tolist() == expected
    assert_valid_csr(tree.jacobian_csr())


def test_cycle_is_refused_and_no_partial_cache_is_used():
    tree = branch_tree()
    nodes = tree.nodes
    nodes[1].parent = nodes[2]  # 1 -> 2 -> 1
    for call in (tree.generate_sparse_coo_indices, tree.generate_sparse_csr_indices,
                 tree.jacobian_coo, tree.jacobian_csr, tree.jacobian):
        with pytest.raises(RuntimeError, match="cycle"):
            call()
    nodes[1].parent = nodes[0]  # repaired: requests generate afresh
    assert coo_pattern(tree.jacobian_coo()) == [[0, 0, 0, 1, 1, 0, 2, 3], [0, 1, 3, 1, 2, 2, 2, 3]]
    assert csr_pattern(tree.jacobian_csr()) == ([0, 4, 6, 7, 8], [0, 1, 2, 3, 1, 2, 2, 3])


def test_failed_regeneration_discards_the_old_cache():
    tree = branch_tree()
    tree.jacobian_coo()
    nodes = tree.nodes
    nodes[0].parent = nodes[3]  # 0 -> 3 -> 0
    with pytest.raises(RuntimeError, match="cycle"):
        tree.generate_sparse_coo_indices()
    with pytest.raises(RuntimeError, match="cycle"):
        tree.jacobian_coo()
