"""Levels and residues as tensors, with the device and dtype conventions."""
import gc

import numpy as np
import pytest
import torch

import _vexa

RADIUS_DOC = "Raio de vizinhança utilizado na construção da árvore."
TREES = [_vexa.MaxTree, _vexa.MinTree]


def one_by_three(cls):
    return cls(np.array([[1, 5, 3]], dtype=np.uint8), 1.0)


# ---- device strings -------------------------------------------------------

@pytest.mark.parametrize("device", ["CPU", "Cpu", "cuda:0", "cpu:0", " cpu", "cpu ", "", "gpu",
                                    "cpu\0", b"CPU", bytearray(b"cp")])
def test_unknown_device(device):
    tree = one_by_three(_vexa.MaxTree)
    with pytest.raises(RuntimeError, match=r"^Dispositivo desconhecido\.$"):
        tree.residues(device)


@pytest.mark.parametrize("device", ["cpu", b"cpu", bytearray(b"cpu")])
def test_cpu_as_str_bytes_and_bytearray(device):
    result = one_by_three(_vexa.MaxTree).residues(device)
    assert result.device.type == "cpu"
    assert result.flatten().tolist() == [1.0, 2.0, 2.0]


@pytest.mark.skipif(torch.cuda.is_available(), reason="CUDA is available here")
def test_cuda_unavailable():
    with pytest.raises(RuntimeError, match=r"^CUDA indisponível\.$"):
        one_by_three(_vexa.MaxTree).residues("cuda")


@pytest.mark.skipif(torch.backends.mps.is_available(), reason="MPS is available here")
def test_mps_unavailable():
    with pytest.raises(RuntimeError, match=r"^MPS indisponível\.$"):
        one_by_three(_vexa.MaxTree).residues(deviceStr="mps")


@pytest.mark.parametrize("device", [None, 0, ["cpu"], torch.device("cpu")])
def test_device_not_a_string(device):
    with pytest.raises(TypeError):
        one_by_three(_vexa.MaxTree).residues(device)


# ---- dtype objects --------------------------------------------------------

@pytest.mark.parametrize("dtype", ["float32", float, int, np.float32, None, 6])
def test_dtype_must_be_a_torch_dtype(dtype):
    with pytest.raises(TypeError):
        one_by_three(_vexa.MaxTree).residues("cpu", dtype)


def test_signatures_and_docstrings():
    for cls in TREES:
        name = cls.__name__
        assert cls.residues.__doc__ == (
            f"residues(self: _vexa.{name}, deviceStr: str = 'cpu', dtype: torch.dtype = torch.float32)"
            f" -> torch.Tensor\n\n{RADIUS_DOC}\n")
        assert cls.levels.__doc__ == RADIUS_DOC
        with pytest.raises(AttributeError):
            cls.levels.__set__(one_by_three(cls), torch.zeros(3, dtype=torch.uint8))


# ---- levels ---------------------------------------------------------------

def test_levels_worked_examples():
    max_tree, min_tree = one_by_three(_vexa.MaxTree), one_by_three(_vexa.MinTree)
    assert max_tree.levels.tolist() == [1, 3, 5]
    assert min_tree.levels.tolist() == [5, 3, 1]
    for levels in (max_tree.levels, min_tree.levels):
        assert levels.dtype == torch.uint8 and levels.shape == (3,)
        assert levels.device.type == "cpu" and not levels.requires_grad and levels.is_contiguous()


def test_levels_is_a_property_not_a_method():
    tree = one_by_three(_vexa.MaxTree)
    with pytest.raises(TypeError):
        tree.levels()
    with pytest.raises(AttributeError):
        tree.levels = torch.zeros(3, dtype=torch.uint8)


@pytest.mark.parametrize("cls", TREES)
def test_one_pixel_and_constant_images(cls):
    for image in (np.array([[200]], np.uint8), np.full((4, 5), 200, np.uint8)):
        tree = cls(image, 1.0)
        assert tree.levels.tolist() == [200]
        residues = tree.residues()
        assert residues.dtype == torch.float32 and residues.tolist() == [[200.0]]


@pytest.mark.parametrize("cls", TREES)
def test_empty_tree(cls):
    tree = cls(np.zeros((0, 7), np.uint8), 1.0)
    assert tree.levels.dtype == torch.uint8 and tree.levels.shape == (0,)
    assert tree.residues().shape == (0, 1)
    assert tree.residues("cpu", torch.int32).shape == (0, 1)


# ---- residues -------------------------------------------------------------

def test_residues_worked_examples():
    assert one_by_three(_vexa.MaxTree).residues().tolist() == [[1.0], [2.0], [2.0]]
    assert one_by_three(_vexa.MinTree).residues().tolist() == [[5.0], [-2.0], [-4.0]]


@pytest.mark.parametrize("cls", TREES)
def test_residue_conversions(cls, rng):
    tree = cls(rng.integers(0, 256, (9, 11), dtype=np.uint8), 1.5)
    base = tree.residues()
    assert base.shape == (len(tree.nodes), 1) and base.dtype == torch.float32
    as_double = tree.residues("cpu", torch.float64)
    assert as_double.dtype == torch.float64 and torch.equal(as_double, base.double())
    as_int = tree.residues(dtype=torch.int32)
    assert as_int.dtype == torch.int32 and as_int.shape == base.shape
    assert torch.equal(as_int, base.to(torch.int32))
    assert torch.equal(tree.residues(dtype=torch.float16), base.half())


def test_residues_as_bool():
    # The root of level 0 has residue 0: false; every other residue is nonzero.
    tree = _vexa.MaxTree(np.array([[0, 5, 3]], np.uint8), 1.0)
    result = tree.residues("cpu", torch.bool)
    assert result.dtype == torch.bool and result.flatten().tolist() == [False, True, True]


@pytest.mark.parametrize("cls", TREES)
def test_residues_sum_to_levels_along_paths(cls, rng):
    tree = cls(rng.integers(0, 256, (12, 10), dtype=np.uint8), 1.0)
    residues = tree.residues(dtype=torch.float64).flatten().tolist()
    levels = tree.levels.tolist()
    for node in tree.nodes:
        total, walk = 0.0, node
        while walk is not None:
            total += residues[walk.id]
            walk = walk.parent
        assert total == levels[node.id]


def test_residues_report_the_tree_as_built():
    tree = one_by_three(_vexa.MaxTree)
    tree.nodes[2].parent = tree.nodes[0]
    assert tree.nodes[2].residue == 4
    assert tree.residues().tolist() == [[1.0], [2.0], [2.0]]


# ---- independence ---------------------------------------------------------

def test_results_share_nothing_with_each_other():
    tree = one_by_three(_vexa.MaxTree)
    first, levels = tree.residues(), tree.levels
    first.fill_(-1)
    levels.fill_(0)
    assert tree.residues().tolist() == [[1.0], [2.0], [2.0]]
    assert tree.levels.tolist() == [1, 3, 5]
    assert tree.residues().data_ptr() != tree.residues().data_ptr()


def test_results_outlive_the_tree():
    tree = one_by_three(_vexa.MinTree)
    residues, levels = tree.residues(), tree.levels
    del tree
    gc.collect()
    _vexa.MinTree(np.full((64, 64), 9, np.uint8), 1.0)  # reuse the freed memory
    assert residues.tolist() == [[5.0], [-2.0], [-4.0]]
    assert levels.tolist() == [5, 3, 1]
    assert not residues.requires_grad and residues.is_contiguous()
