"""_vexa._subtree_extremes against a slow reference, and its bad input."""
import numpy as np
import pytest

import _vexa


@pytest.mark.parametrize("dtype, highest", [(np.float32, True), (np.float64, False)])
def test_matches_a_slow_reference_with_ties(rng, dtype, highest):
    for n in (0, 1, 300):  # about one root in ten; values strided, with many ties
        parents = np.array([-1 if i == 0 or rng.random() < 0.1 else rng.integers(0, i) for i in range(n)],
                           dtype=np.int64)
        values = rng.integers(0, 4, (n, 2)).astype(dtype)[:, 0]
        best = list(range(n))  # the largest (value, id), the value negated for the lowest
        for i in range(n):
            a = parents[i]
            while a >= 0:
                best[a] = max(best[a], i, key=lambda j: (values[j] if highest else -values[j], j))
                a = parents[a]
        assert _vexa._subtree_extremes(parents, values, highest).tolist() == best


@pytest.mark.parametrize("parents, values, error, says", [
    ([-1, 0, 0.5], [1.0, 2, 3], TypeError, "float64"), ([-1, 0, 0], [1, 2, 3], TypeError, "int64"),
    ([-1, 0, 0], [1.0, 2], ValueError, "(2,)"), ([-1, 2, 0], [1.0, 2, 3], ValueError, "node 1 has parent 2"),
    ([-1, 0, 0], [1.0, np.nan, 3], ValueError, "NaN")])
def test_bad_input_raises(parents, values, error, says):
    with pytest.raises(error) as raised:
        _vexa._subtree_extremes(np.array(parents), np.array(values), True)
    assert says in str(raised.value)
