"""Attribute openings and closings: scikit-image's pixels on its own photos,
a slow model of the general filter, and bad input."""
import numpy as np
import pytest
import torch
from skimage import data, morphology

import vexa
from tree_reference import components

PHOTOS = {"camera": data.camera()[::4, ::4], "coins": data.coins()[::3, ::3],
          "moon": data.moon()[::4, ::4], "page": data.page()[::2, ::2]}
SKIMAGE_FILTERS = [("area_opening", 40), ("area_closing", 40),
                   ("diameter_opening", 7), ("diameter_closing", 7)]


SKIMAGE_FILTERS_AND_BEYOND = [name for name, _ in SKIMAGE_FILTERS] + [
    "max_tree_local_maxima", "attribute_filter", "volume_opening", "volume_closing", "contrast_opening",
    "contrast_closing"]


def assert_like_scikit_image(image, connectivity):
    for name, threshold in SKIMAGE_FILTERS:
        want = getattr(morphology, name)(image, threshold, connectivity=connectivity)
        got = getattr(vexa, name)(image, threshold, connectivity=connectivity)
        assert got.dtype == image.dtype and np.array_equal(got, want), name
    want = morphology.max_tree_local_maxima(image, connectivity=connectivity)
    got = vexa.max_tree_local_maxima(image, connectivity=connectivity)
    assert got.dtype == np.uint64 and np.array_equal(got, want)


@pytest.mark.parametrize("photo", PHOTOS)
@pytest.mark.parametrize("connectivity", [1, 2])
def test_same_pixels_as_scikit_image(photo, connectivity):
    assert_like_scikit_image(PHOTOS[photo], connectivity)


_camera = data.camera()[::8, ::8]
BEYOND_8BIT_2D = {"uint16": _camera.astype(np.uint16) * 257, "int16": _camera.astype(np.int16) - 128,
                  "float32": _camera.astype(np.float32) / 255,
                  "int32": _camera.astype(np.int32) * 8_000_001 - 2**30, "float64": _camera / 255 * np.pi,
                  "3-D": np.stack([_camera[:32, :32], data.coins()[::8, ::8][:32, :32],
                                   data.moon()[::8, ::8][:32, :32]])}


@pytest.mark.parametrize("kind", BEYOND_8BIT_2D)
@pytest.mark.parametrize("connectivity", [1, 2, 3])
def test_other_dtypes_and_volumes_like_scikit_image(kind, connectivity):
    assert_like_scikit_image(BEYOND_8BIT_2D[kind], connectivity)


@pytest.mark.parametrize("image", [np.full((3, 4), 7, np.uint8), np.arange(12, dtype=np.uint8).reshape(3, 4)])
def test_when_no_component_passes_like_scikit_image(image):
    # 12 pixels in all: even the root fails a threshold of 13.
    for name in ("area_opening", "area_closing"):
        assert np.array_equal(getattr(vexa, name)(image, 13), getattr(morphology, name)(image, 13))
    assert np.array_equal(vexa.max_tree_local_maxima(image), morphology.max_tree_local_maxima(image))
    # The general filter keeps the root instead.
    assert np.array_equal(vexa.attribute_filter(image, "area", 13), np.full_like(image, image.min()))


def reference_filter(image, attribute, threshold, is_max, connectivity):
    """Direct rule on a tree built from explicit components."""
    comps = components(image, 1.0 if connectivity == 1 else 1.5, is_max)
    flat = image.ravel().astype(np.int64)
    w = image.shape[1]
    by_size = sorted(comps, key=len)
    parent = {c: next((d for d in by_size if len(d) > len(c) and c < d), None) for c in comps}
    out = np.empty_like(flat)
    for p in range(flat.size):
        node = next(c for c in by_size if p in c)
        while parent[node] is not None:
            pixels = np.array(sorted(node))
            base = comps[parent[node]]
            rows, cols = pixels // w, pixels % w
            box = (rows.ptp() + 1, cols.ptp() + 1)
            value = {"area": len(pixels), "volume": np.abs(flat[pixels] - base).sum(),
                     "contrast": np.abs(flat[pixels] - base).max(), "diameter": max(box),
                     "rectangularity": len(pixels) / (box[0] * box[1])}[attribute]
            if value >= threshold:
                break
            node = parent[node]
        out[p] = comps[node]
    return out.reshape(image.shape)


@pytest.mark.parametrize("dtype", [np.int32, np.int64, np.float64])
@pytest.mark.parametrize("rule", ["direct", "min", "max"])
def test_levels_of_any_dtype_come_back_exactly(rng, dtype, rule):
    # Area and rectangularity see only the order of the levels, so filtering
    # commutes with a strictly increasing map onto levels float32 cannot hold.
    image = rng.integers(0, 8, (9, 11)).astype(np.uint8)
    bits = np.finfo(dtype).nmant if dtype == np.float64 else np.iinfo(dtype).bits - 4
    increasing = (np.cumsum(rng.random(8) + 0.01) if dtype == np.float64
                  else -2 ** (bits + 2) + np.cumsum(rng.integers(1, 2 ** bits, 8))).astype(dtype)
    for tree in ("max", "min"):
        for attribute, threshold in (("area", 6), ("rectangularity", 0.5)):
            got = vexa.attribute_filter(increasing[image], attribute, threshold, tree=tree, rule=rule)
            want = increasing[vexa.attribute_filter(image, attribute, threshold, tree=tree, rule=rule)]
            assert got.dtype == dtype and np.array_equal(got, want), (tree, attribute)


@pytest.mark.parametrize("attribute,threshold", [("area", 5), ("volume", 300), ("contrast", 100),
                                                 ("diameter", 3), ("rectangularity", 0.6)])
@pytest.mark.parametrize("tree", ["max", "min"])
@pytest.mark.parametrize("connectivity", [1, 2])
def test_general_filter_agrees_with_a_slow_model(rng, attribute, threshold, tree, connectivity):
    image = (rng.integers(0, 6, size=(7, 8)) * 40).astype(np.uint8)
    got = vexa.attribute_filter(image, attribute, threshold, tree=tree, connectivity=connectivity)
    want = reference_filter(image, attribute, threshold, tree == "max", connectivity)
    assert np.array_equal(got, want)
    if attribute != "rectangularity":  # increasing: every rule gives the same image
        for rule in ("min", "max", "subtractive"):
            assert np.array_equal(vexa.attribute_filter(image, attribute, threshold, tree=tree, rule=rule,
                                                        connectivity=connectivity), got)


def test_named_openings_and_closings_are_the_general_filter():
    image = PHOTOS["coins"]
    assert np.array_equal(vexa.volume_opening(image, 500), vexa.attribute_filter(image, "volume", 500))
    assert np.array_equal(vexa.contrast_closing(image, 20, 2),
                          vexa.attribute_filter(image, "contrast", 20, tree="min", connectivity=2))
    assert np.array_equal(vexa.area_opening(image, 40), vexa.attribute_filter(image, "area", 40))


def test_tensors_in_tensors_out_and_input_untouched():
    image = PHOTOS["camera"].copy()
    tensor = torch.from_numpy(image.copy())
    out = vexa.area_closing(tensor, 40)
    assert torch.is_tensor(out) and out.dtype == torch.uint8
    assert np.array_equal(out.numpy(), vexa.area_closing(image, 40))
    assert torch.equal(tensor, torch.from_numpy(image))
    assert vexa.max_tree_local_maxima(tensor).dtype == torch.int64
    for empty in (np.zeros((0, 5), np.uint8), np.zeros((2, 0, 3))):
        assert vexa.area_closing(empty).dtype == empty.dtype
        assert vexa.area_opening(empty).shape == vexa.max_tree_local_maxima(empty).shape == empty.shape
    with pytest.raises(TypeError, match="complex128"):
        vexa.area_closing(np.zeros((0, 5), complex))


def test_bool_and_foreign_byte_order_like_scikit_image(rng):
    binary = rng.random((12, 13)) > 0.6
    for name in ("area_opening", "area_closing", "diameter_opening", "diameter_closing"):
        for threshold in (2, 4, 500):
            got = getattr(vexa, name)(binary, threshold)
            assert got.dtype == bool and np.array_equal(got, getattr(morphology, name)(binary, threshold))
    assert vexa.area_closing(torch.zeros(4, 4, dtype=torch.bool), 2).dtype == torch.bool
    # scikit-image wants native order: the reference gets the same values swapped to it.
    for dtype in (">u2", ">i4", ">f8"):
        image = rng.integers(0, 40, (9, 11)).astype(dtype)
        native = image.astype(image.dtype.newbyteorder("="))
        for name in ("area_opening", "area_closing", "diameter_opening", "diameter_closing"):
            got = getattr(vexa, name)(image, 4)
            assert got.dtype == image.dtype and np.array_equal(got, getattr(morphology, name)(native, 4))
        assert vexa.volume_closing(image, 30).dtype == image.dtype
        assert np.array_equal(vexa.max_tree_local_maxima(image), morphology.max_tree_local_maxima(native))
        assert np.array_equal(vexa.min_tree(image).parents, vexa.min_tree(native).parents)


def test_results_carry_no_gradient():
    image = torch.rand(6, 7, dtype=torch.float64, requires_grad=True)
    for out in (vexa.area_opening(image, 3), vexa.contrast_closing(image, 0.1),
                vexa.attribute_filter(image, "area", 3, rule="subtractive")):
        assert not out.requires_grad
    assert all("gradient" in vexa.morphology.__dict__[name].__doc__ for name in SKIMAGE_FILTERS_AND_BEYOND)
    assert "ConnectedFilter" in vexa.morphology.__doc__


@pytest.mark.parametrize("call,error,words", [
    (lambda: vexa.area_opening(np.zeros((4, 4), np.float16)), TypeError, "float16"),
    (lambda: vexa.area_opening(np.zeros((2, 2, 4, 4), np.uint8)), ValueError, "2-D or 3-D"),
    (lambda: vexa.area_opening("image"), TypeError, "str"),
    (lambda: vexa.area_opening(np.zeros((4, 4), np.uint8), connectivity=0), ValueError, "at least 1"),
    (lambda: vexa.area_opening(np.zeros((4, 4), np.uint8), connectivity=1.5), TypeError, "1.5"),
    (lambda: vexa.area_opening(np.zeros((4, 4), np.uint8), float("nan")), ValueError, "area_threshold.*NaN"),
    (lambda: vexa.area_opening(np.zeros((4, 4), np.uint8), "64"), TypeError, "area_threshold.*'64'"),
    (lambda: vexa.diameter_closing(np.zeros((4, 4), np.uint8), None), TypeError, "diameter_threshold.*None"),
    (lambda: vexa.volume_opening(np.zeros((4, 4), np.uint8), b"1"), TypeError, "volume_threshold.*b'1'"),
    (lambda: vexa.contrast_closing(np.zeros((4, 4), np.uint8), [1]), TypeError, "contrast_threshold.*[1]"),
    (lambda: vexa.attribute_filter(np.zeros((4, 4), np.uint8), "perimeter", 1), ValueError, "perimeter"),
    (lambda: vexa.attribute_filter(np.zeros((4, 4), np.uint8), "area", 1, rule="median"), ValueError, "median"),
    (lambda: vexa.attribute_filter(np.zeros((4, 4), np.uint8), lambda t: [1, 2], 1), ValueError, "(2,)"),
])
def test_bad_input(call, error, words):
    with pytest.raises(error, match=words.replace("(", r"\(").replace(")", r"\)")):
        call()
