"""vexa.dask: the chunked filters give the in-memory pixels for every chunking."""
import subprocess
import sys

import numpy as np
import pytest

import _vexa
import vexa

da = pytest.importorskip("dask.array")
import vexa.dask as vd  # noqa: E402

DTYPES = [np.uint8, np.uint16, np.int32, np.float32, np.float64, np.bool_, np.int64, np.int8]
FILTERS = ["area_opening", "area_closing", "diameter_opening", "diameter_closing", "volume_opening",
           "volume_closing", "contrast_opening", "contrast_closing"]
ATTRIBUTES = ["area", "volume", "height", "contrast", "mean_level", "box_height", "box_width", "box_depth",
              "diameter", "rectangularity"]


# ---- the component tree of a vertex-weighted graph (merges of boundary trees) -------

def reference_graph_tree(rank, u, v):
    """By its definition: a vertex's node is its component among the vertices
    of rank at most its own; the canonical vertex is the node's highest id of
    that rank; the parent node is the first larger rank whose component
    (among ranks at most it) holds a vertex of that rank."""
    n = len(rank)
    adjacency = [set() for _ in range(n)]
    for a, b in zip(u.tolist(), v.tolist()):
        adjacency[a].add(b)
        adjacency[b].add(a)

    def component(x, limit):
        seen, todo = {x}, [x]
        while todo:
            for y in adjacency[todo.pop()]:
                if y not in seen and rank[y] <= limit:
                    seen.add(y)
                    todo.append(y)
        return seen

    result = np.full(n, -1, dtype=np.int64)
    for x in range(n):
        canonical = max(y for y in component(x, rank[x]) if rank[y] == rank[x])
        if canonical != x:
            result[x] = canonical
            continue
        for level in sorted({int(r) for r in rank if r > rank[x]}):
            upper = [y for y in component(x, level) if rank[y] == level]
            if upper:
                result[x] = max(upper)
                break
    return result


def test_graph_component_tree_matches_its_definition():
    rng = np.random.default_rng(5)
    for trial in range(80):
        n = int(rng.integers(1, 14))
        m = int(rng.integers(0, 3 * n))
        rank = rng.integers(0, 4, n).astype(np.uint64)
        u, v = (rng.integers(0, n, m).astype(np.uint32) for _ in range(2))
        np.testing.assert_array_equal(_vexa._graph_component_tree(rank, u, v), reference_graph_tree(rank, u, v),
                                      err_msg=f"trial {trial}")


# ---- equality with the in-memory filters ------------------------------------------

def random_image(rng, shape, dtype):
    image = rng.integers(-3, int(rng.integers(2, 8)), shape)
    if dtype == np.bool_:
        return image > 1
    if np.issubdtype(dtype, np.unsignedinteger):
        image = np.abs(image)
    image = image.astype(dtype)
    return image * dtype(0.37) if np.issubdtype(dtype, np.floating) else image


def random_case(rng):
    ndim = int(rng.choice([2, 3]))
    shape = tuple(int(s) for s in rng.integers(1, 8 if ndim == 3 else 13, ndim))
    image = random_image(rng, shape, DTYPES[rng.integers(len(DTYPES))])
    chunks = tuple(int(rng.integers(1, s + 1)) for s in shape)
    return image, da.from_array(image, chunks=chunks), int(rng.integers(1, ndim + 1))


def same_labelling(a, b):
    pairs = np.unique(np.stack([a.ravel(), b.ravel()]), axis=1)
    return (np.array_equal(a == 0, b == 0) and pairs.shape[1] == len(np.unique(pairs[0]))
            == len(np.unique(pairs[1])))


def test_filters_equal_in_memory_for_every_chunking():
    rng = np.random.default_rng(0)
    for trial in range(90):
        image, chunked, connectivity = random_case(rng)
        name = FILTERS[trial % len(FILTERS)]
        threshold = float(rng.integers(1, 12))
        result = getattr(vd, name)(chunked, threshold, connectivity=connectivity)
        assert isinstance(result, da.Array) and result.chunks == chunked.chunks
        computed = result.compute(scheduler="sync")
        expected = getattr(vexa, name)(image, threshold, connectivity=connectivity)
        assert computed.dtype == expected.dtype
        np.testing.assert_array_equal(computed, expected, err_msg=f"{name} {chunked.chunks} {image.dtype}")


def test_attribute_filter_equals_in_memory_for_each_rule():
    rng = np.random.default_rng(1)
    for trial in range(90):
        image, chunked, connectivity = random_case(rng)
        attribute = ATTRIBUTES[trial % len(ATTRIBUTES)]
        threshold = {"rectangularity": rng.uniform(0.2, 1), "mean_level": rng.uniform(-1, 4)}.get(
            attribute, float(rng.integers(1, 12)))
        tree, rule = ("max", "min")[trial % 2], ("direct", "min", "max")[trial // 2 % 3]
        computed = vd.attribute_filter(chunked, attribute, threshold, tree=tree, rule=rule,
                                       connectivity=connectivity).compute(scheduler="sync")
        expected = vexa.attribute_filter(image, attribute, threshold, tree=tree, rule=rule,
                                         connectivity=connectivity)
        np.testing.assert_array_equal(computed, expected, err_msg=f"{attribute} {tree} {rule} {chunked.chunks}")


def test_local_maxima_equal_in_memory_up_to_numbering():
    rng = np.random.default_rng(2)
    for _ in range(40):
        image, chunked, connectivity = random_case(rng)
        computed = vd.max_tree_local_maxima(chunked, connectivity).compute(scheduler="sync")
        expected = vexa.max_tree_local_maxima(image, connectivity)
        assert computed.dtype == np.uint64
        assert same_labelling(computed, expected)
        np.testing.assert_array_equal(np.unique(computed), np.unique(expected))


def test_worked_example_across_one_pixel_chunks():
    # A ring of 8 bright pixels split over one-pixel chunks: one component of
    # area 8, which the 4-connectivity splits at the corners into 4 pieces of 2.
    image = np.zeros((5, 5), np.uint8)
    image[1:4, 1:4] = 9
    image[2, 2] = 0
    image[1, 1] = image[3, 3] = 5
    chunked = da.from_array(image, chunks=1)
    for threshold in (2, 3, 8, 9):
        for connectivity in (1, 2):
            np.testing.assert_array_equal(vd.area_opening(chunked, threshold, connectivity).compute(),
                                          vexa.area_opening(image, threshold, connectivity))
    # Empty chunks left by slicing, and a connectivity beyond ndim (every neighbour).
    sliced = da.from_array(image, chunks=((2, 0, 3), (0, 4, 1)))
    result = vd.area_closing(sliced, 3, 5)
    assert result.chunks == sliced.chunks
    np.testing.assert_array_equal(result.compute(), vexa.area_closing(image, 3, 2))
    # The root fails: scikit-image's zeros, and the closings' inverted zeros.
    np.testing.assert_array_equal(vd.area_opening(chunked, 26).compute(), np.zeros_like(image))
    np.testing.assert_array_equal(vd.diameter_closing(chunked, 6).compute(), np.full_like(image, 255))


def test_vexa_imports_without_dask():
    code = ("import sys; sys.modules['dask'] = None; import vexa\n"
            "try:\n    import vexa.dask\nexcept ImportError:\n    print('refused')")
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert run.stdout.strip() == "refused"


@pytest.mark.filterwarnings("ignore:make_current is deprecated:DeprecationWarning")
def test_distributed_cluster():
    distributed = pytest.importorskip("dask.distributed")
    rng = np.random.default_rng(3)
    image = random_image(rng, (24, 20), np.uint16)
    chunked = da.from_array(image, chunks=(7, 6))
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster):
        computed = vd.contrast_closing(chunked, 3, connectivity=2).compute()
    np.testing.assert_array_equal(computed, vexa.contrast_closing(image, 3, connectivity=2))


# ---- bad input ----------------------------------------------------------------------

def test_bad_input():
    image = da.from_array(np.arange(20, dtype=np.float64).reshape(4, 5), chunks=2)
    with pytest.raises(TypeError, match="ndarray.*vexa.area_opening"):
        vd.area_opening(np.zeros((4, 4)))
    with pytest.raises(ValueError, match="unknown size"):
        vd.area_opening(image[image[:, 0] > 3])
    for shape in ((6,), (2, 2, 2, 2)):
        with pytest.raises(ValueError, match="2-D or 3-D"):
            vd.diameter_opening(da.zeros(shape, chunks=2))
    with pytest.raises(TypeError, match="complex"):
        vd.area_opening(da.zeros((4, 4), dtype=np.complex64))
    for call, error, message in [
            (lambda: vd.area_opening(image, "big"), TypeError, "area_threshold must be a number"),
            (lambda: vd.volume_opening(image, np.nan), ValueError, "volume_threshold must not be NaN"),
            (lambda: vd.contrast_closing(image, 2, connectivity=0), ValueError, "connectivity must be at least 1"),
            (lambda: vd.max_tree_local_maxima(image, 1.5), TypeError, "connectivity must be an integer"),
            (lambda: vd.attribute_filter(image, len, 2), TypeError, "a name"),
            (lambda: vd.attribute_filter(image, "width", 2), ValueError, "unknown attribute"),
            (lambda: vd.attribute_filter(image, "area", 2, tree="shapes"), ValueError, "shapes"),
            (lambda: vd.attribute_filter(image, "area", 2, tree="dual"), ValueError, "tree must be"),
            (lambda: vd.attribute_filter(image, "area", 2, rule="subtractive"), ValueError, "subtractive")]:
        with pytest.raises(error, match=message):
            call()
    nan = image.map_blocks(lambda b: np.where(b == 7, np.nan, b))
    lazy = vd.area_opening(nan, 3)  # found when computed, as in memory
    with pytest.raises(ValueError, match="NaN"):
        lazy.compute(scheduler="sync")
