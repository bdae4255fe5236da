"""h_maxima, h_minima, local_maxima, local_minima against scikit-image;
extinction_values against flooding the image level by level."""
import warnings

import numpy as np
import pytest
import torch
from skimage import morphology
from skimage.measure import label

import vexa


def random_image(rng, ndim, dtype, plateaus=True):
    shape = tuple(rng.integers(2, 9 if ndim == 2 else 5, ndim))
    if np.issubdtype(dtype, np.floating) and rng.random() < 0.5:  # real fractions, some flat zones
        image = rng.random(shape) * rng.choice([1e-3, 1.0, 1e5])
        image[image < np.median(image) / 2] = image.min()
        return image.astype(dtype)
    if not plateaus:
        return rng.permutation(np.prod(shape)).reshape(shape).astype(dtype)
    offset = 0 if np.issubdtype(dtype, np.unsignedinteger) or dtype == np.bool_ else -3
    return (rng.integers(0, rng.integers(2, 12), shape) + offset).astype(dtype)


def ball(ndim, steps):
    return np.abs(np.indices((3,) * ndim) - 1).sum(axis=0) <= steps


@pytest.mark.parametrize("dtype", [np.uint8, np.uint16, np.int32, np.int64, np.float32, np.float64])
def test_h_extrema_match_scikit_image(rng, dtype):
    for trial in range(24):
        ndim = 2 + trial % 2
        image = random_image(rng, ndim, dtype)
        footprint = [None, np.ones((3,) * ndim), ball(ndim, 1)][trial % 3]
        for h in (1, 2, 3, 2.5, 0.01, float(np.ptp(image)), np.ptp(image) + 1):
            for ours, theirs in ((vexa.h_maxima, morphology.h_maxima), (vexa.h_minima, morphology.h_minima)):
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")  # both warn on fractional h with integer images
                    expected, got = theirs(image, h, footprint=footprint), ours(image, h, footprint=footprint)
                assert got.dtype == np.uint8
                np.testing.assert_array_equal(got, expected, err_msg=f"{ours.__name__} h={h}\n{image}")


def test_h_extrema_of_floats_a_few_ulps_apart(rng):
    # scikit-image lowers floats by h plus a rounding allowance of some ulps: the same pixels here.
    for dtype in (np.float32, np.float64):
        for base in (1.0, -3.0, 1e6):
            ulp = float(np.spacing(dtype(abs(base))))
            image = (dtype(base) + rng.integers(0, 30, (6, 7)) * ulp).astype(dtype)
            for h in (ulp, 3 * ulp, 10 * ulp, 100 * ulp):
                for ours, theirs in ((vexa.h_maxima, morphology.h_maxima), (vexa.h_minima, morphology.h_minima)):
                    np.testing.assert_array_equal(ours(image, h), theirs(image, h))


@pytest.mark.parametrize("dtype", [np.bool_, np.uint8, np.int8, np.uint16, np.int32, np.int64, np.float32, np.float64])
def test_local_extrema_match_scikit_image(rng, dtype):
    for trial in range(16):
        ndim = 2 + trial % 2
        image = random_image(rng, ndim, dtype)
        connectivity = [None, 1, 2, ndim][trial % 4]
        for allow_borders in (True, False):
            for ours, theirs in ((vexa.local_maxima, morphology.local_maxima),
                                 (vexa.local_minima, morphology.local_minima)):
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore")  # both warn when borders leave no room
                    expected = theirs(image, connectivity=connectivity, allow_borders=allow_borders)
                    got = ours(image, connectivity=connectivity, allow_borders=allow_borders)
                assert got.dtype == np.bool_
                np.testing.assert_array_equal(got, expected, err_msg=f"{ours.__name__}\n{image}")
        footprint = ball(ndim, 1)
        for a, b in zip(vexa.local_minima(image, footprint, indices=True),
                        morphology.local_minima(image, footprint, indices=True)):
            np.testing.assert_array_equal(a, b)


def test_tensors_in_tensors_out():
    image = torch.tensor([[0, 5, 1, 3, 0, 9, 2]], dtype=torch.int32)
    assert vexa.h_maxima(image, 3).tolist() == [[0, 1, 0, 0, 0, 1, 0]]
    assert vexa.h_minima(image, 1).dtype == torch.uint8
    assert vexa.local_maxima(image).tolist() == [[False, True, False, True, False, True, False]]
    rows, columns = vexa.local_minima(image, indices=True)
    assert rows.tolist() == [0] * 4 and columns.tolist() == [0, 2, 4, 6]
    values = vexa.extinction_values(vexa.max_tree(image))
    assert torch.is_tensor(values) and values.dtype == torch.float64


# ---- extinction values --------------------------------------------------------

def flooded_extinction(image, connectivity, attribute):
    """{a pixel of each regional maximum: its extinction value}, flooding the
    upper level sets from the top: where components meet, all but the
    largest (then the highest) go extinct with their attribute then."""
    def measure(region, level):
        return {"area": region.sum(), "height": image[region].max() - level,
                "volume": (image[region] - level).sum()}[attribute]
    previous, alive, result = np.zeros(image.shape, int), {}, {}
    for level in np.unique(image)[::-1]:
        labels = label(image >= level, connectivity=connectivity, background=0)
        now = {}
        for component in range(1, labels.max() + 1):
            region = labels == component
            inside = [k for k in np.unique(previous[region]) if k > 0]
            if not inside:  # a new maximum
                now[component] = (int(np.flatnonzero(region)[0]), level)
                continue
            contenders = sorted((measure(previous == k, level), alive[k][1], k) for k in inside)
            for value, _, k in contenders[:-1]:
                result[alive[k][0]] = value
            now[component] = alive[contenders[-1][2]]
        previous, alive = labels, now
    for component, (pixel, _) in alive.items():  # the root's
        region = previous == component
        result[pixel] = measure(region, image[region].min())
    return result


@pytest.mark.parametrize("attribute", ["height", "area", "volume"])
def test_extinction_values_match_flooding(rng, attribute):
    for trial in range(24):
        ndim, kind = 2 + trial % 2, ["max", "min"][trial // 2 % 2]
        connectivity = 1 + trial // 4 % ndim
        distinct = trial % 3 > 0  # distinct levels: which maximum carries which value is fixed
        image = random_image(rng, ndim, np.int64, plateaus=not distinct)
        tree = (vexa.max_tree if kind == "max" else vexa.min_tree)(image, connectivity)
        values = vexa.extinction_values(tree, attribute)
        expected = flooded_extinction(image if kind == "max" else -image, connectivity, attribute)
        leaf = np.ones(tree.num_nodes, bool)
        leaf[tree.parents[1:]] = False
        assert np.all(values[~leaf] == 0) and leaf.sum() == len(expected)
        if distinct:
            nodes = tree.pixel_to_node.ravel()[list(expected)]
            np.testing.assert_array_equal(values[nodes], list(expected.values()))
        else:
            np.testing.assert_array_equal(np.sort(values[leaf]), np.sort(list(expected.values())))
        if attribute == "height" and kind == "max":
            # The dynamics decide the h-maxima of an image whose maxima are all of distinct levels.
            assert values.max() == np.ptp(image)
            if distinct:
                for h in (1, 3, 7):
                    marked = vexa.h_maxima(image, h, ball(ndim, connectivity))
                    np.testing.assert_array_equal(marked, (values >= h)[tree.pixel_to_node])


# ---- bad input ------------------------------------------------------------------

@pytest.mark.parametrize("call, error, words", [
    (lambda: vexa.h_maxima(np.eye(4), 0), ValueError, "h = 0"),
    (lambda: vexa.h_minima(np.eye(4), -1), ValueError, "positive"),
    (lambda: vexa.h_maxima(np.eye(4), float("nan")), ValueError, "NaN"),
    (lambda: vexa.h_maxima(np.eye(4), "2"), TypeError, "'2'"),
    (lambda: vexa.h_maxima(np.eye(4, dtype=bool), 1), TypeError, "bool"),
    (lambda: vexa.h_maxima(np.eye(4), 1, footprint=np.ones((5, 5))), ValueError, "footprint"),
    (lambda: vexa.h_maxima(np.eye(4), 1, footprint=np.eye(3)), ValueError, "footprint"),
    (lambda: vexa.local_maxima(np.arange(5)), ValueError, "2-D or 3-D"),
    (lambda: vexa.local_minima(np.eye(4), connectivity=0), ValueError, "connectivity"),
    (lambda: vexa.local_minima(np.eye(4), footprint=np.ones((3, 3, 3))), ValueError, "footprint"),
    (lambda: vexa.extinction_values(np.eye(4)), TypeError, "ndarray"),
    (lambda: vexa.extinction_values(vexa.max_tree(np.eye(4)), "diameter"), ValueError, "'diameter'"),
])
def test_bad_input(call, error, words):
    with pytest.raises(error, match=words):
        call()
