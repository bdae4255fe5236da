import numpy as np
import pytest
from numpy.lib.stride_tricks import as_strided

import _vexa

TREES = [_vexa.MaxTree, _vexa.MinTree]


@pytest.mark.parametrize("kind", TREES)
def test_dimension_is_checked_before_element_type(kind):
    for image in [np.zeros((2, 2, 3), np.uint8), np.zeros((2, 2, 3), np.float32),
                  np.zeros(5, np.uint8), np.array(3, np.uint8)]:
        with pytest.raises(RuntimeError, match=r"^Image must be 2D \(height x width\)\.$"):
            kind(image, 1)


@pytest.mark.parametrize("kind", TREES)
@pytest.mark.parametrize("dtype", [np.float32, np.float64, np.int8, np.uint16, np.int32, bool])
def test_element_type_must_be_uint8(kind, dtype):
    with pytest.raises(RuntimeError, match=r"^Image must be of type uint8_t\.$"):
        kind(np.zeros((3, 3), dtype), 1)


@pytest.mark.parametrize("kind", TREES)
def test_non_arrays_fail_argument_matching(kind):
    for image in [None, [[1, 2], [3, 4]], b"abcd", 3]:
        with pytest.raises(TypeError):
            kind(image, 1)
    for radius in [None, "1", [1]]:
        with pytest.raises(TypeError):
            kind(np.zeros((2, 2), np.uint8), radius)


def test_sizes_beyond_thirty_two_bits_are_refused():
    zero = np.zeros(1, np.uint8)
    too_many = as_strided(zero, shape=(65536, 65536), strides=(0, 0))
    with pytest.raises(RuntimeError, match="too large"):
        _vexa.MaxTree(too_many, 1)
    too_tall = as_strided(zero, shape=(2 ** 32, 1), strides=(0, 0))
    with pytest.raises(RuntimeError, match="32 bits"):
        _vexa.MinTree(too_tall, 1)


def test_morphological_tree_cannot_be_built_from_python():
    image = np.zeros((2, 2), np.uint8)
    for comparator in [lambda a, b: a > b, None, 1]:
        with pytest.raises(TypeError):
            _vexa.MorphologicalTree(image, 1.5, comparator)


def test_node_ids_out_of_range():
    tree = _vexa.MaxTree(np.array([[1, 5, 3]], np.uint8), 1)
    for ids in [[3], [-1], [0, 1, 99]]:
        with pytest.raises(IndexError, match="^map::at$"):
            tree.getNodesById(ids)
    for ids in [[2 ** 31], None, ["a"], 5]:
        with pytest.raises(TypeError):
            tree.getNodesById(ids)


def test_radius_accepts_numbers_of_any_kind():
    image = np.array([[1, 5, 3]], np.uint8)
    for radius in [1, 1.0, np.float32(1), np.int64(1), True]:
        assert len(_vexa.MaxTree(image, radius).nodes) == 3
