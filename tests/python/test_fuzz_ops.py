"""Bad input to the operators and filters: a clear error, never a crash or a hang."""
import pytest
import torch
from hypothesis import given, settings, strategies as st

import vexa

DTYPES = [torch.float16, torch.float32, torch.float64, torch.int64, torch.bool]


def is_forest(parents):
    n = len(parents)
    if any(p < -1 or p >= n for p in parents):
        return False
    for i in range(n):
        seen = set()
        while i >= 0:
            if i in seen:
                return False
            seen.add(i)
            i = parents[i]
    return True


@settings(max_examples=60, deadline=None)
@given(parents=st.lists(st.integers(-3, 8), max_size=7), dtype=st.sampled_from(DTYPES),
       extra=st.integers(-1, 1), width=st.sampled_from([None, 2]), nan=st.booleans())
def test_operators_and_filters_raise_clear_errors(parents, dtype, extra, width, nan):
    n = len(parents)
    shape = (max(n + extra, 0),) if width is None else (max(n + extra, 0), width)
    values = torch.ones(shape).to(dtype)
    if nan and values.is_floating_point() and values.numel():
        values.view(-1)[0] = float("nan")
    p = torch.tensor(parents, dtype=torch.int64)
    valid = is_forest(parents) and extra == 0 and dtype != torch.bool and dtype != torch.int64
    arrays = vexa.TreeArrays(p, torch.arange(float(n)), torch.arange(n).reshape(1, n))
    calls = [lambda: vexa.levels_from_residues(p, values), lambda: vexa.subtree_sums(p, values)]
    if width is None:
        calls += [lambda: rule(arrays, values) for rule in (vexa.direct, vexa.minimum, vexa.maximum)]
        calls += [lambda: vexa.subtractive(arrays, values)]
    for call in calls:
        try:
            call()
        except (TypeError, ValueError, IndexError) as error:
            assert str(error)
            assert not (valid and call in calls[:2]), error
        else:
            assert is_forest(parents)


@pytest.mark.parametrize("device", ["meta", "cuda"])
def test_tensors_off_the_cpu_are_refused_clearly(device):
    try:
        values = torch.ones(2, device=device)
    except (RuntimeError, AssertionError) as error:  # no such device here: torch says so itself
        assert device in str(error).lower() or "cuda" in str(error).lower()
        return
    with pytest.raises(TypeError, match="CPU"):
        vexa.levels_from_residues(torch.tensor([-1, 0]), values)
    with pytest.raises(TypeError, match="CPU"):
        vexa.levels_from_residues(torch.tensor([-1, 0], device=device), torch.ones(2))
