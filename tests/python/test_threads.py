"""The thread setting, the CPU affinity and data-loader workers."""
import os
import subprocess
import sys
import time

import pytest
import torch

import _vexa
import vexa

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


@pytest.fixture
def restore_limit():
    saved = _vexa._thread_limit()
    yield
    _vexa._set_thread_limit(saved)


def test_setting_caps_the_budget(restore_limit):
    vexa.set_num_threads(1)
    assert vexa.get_num_threads() == 1
    vexa.set_num_threads(10 ** 6)
    assert vexa.get_num_threads() == _vexa._allowed_cpus()
    vexa.set_num_threads(None)
    assert vexa.get_num_threads() == _vexa._allowed_cpus()


@pytest.mark.parametrize("bad, error", [(0, ValueError), (-2, ValueError), (1.5, TypeError),
                                        ("2", TypeError), (True, TypeError)])
def test_setting_refuses_bad_counts(bad, error, restore_limit):
    with pytest.raises(error, match="num_threads"):
        vexa.set_num_threads(bad)


def _child(code, env=None, prefix=()):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([ROOT, os.path.join(ROOT, "build", "lib")]), **(env or {}))
    return subprocess.Popen([*prefix, sys.executable, "-c", code], env=env, stdout=subprocess.PIPE, text=True)


def test_environment_variable_sets_the_limit():
    child = _child("import vexa; print(vexa.get_num_threads())", env={"VEXA_NUM_THREADS": "1"})
    assert child.communicate()[0].strip() == "1"


BUILD_LOOP = """
import os, sys, time, _vexa
from vexa import images
image = images.noise(1024, 1024)
_vexa.MaxTree(image, 1.0)
print(_vexa._thread_budget(), len(os.listdir('/proc/self/task')), flush=True)
end = time.time() + 1.5
while time.time() < end:
    _vexa.MaxTree(image, 1.0)
"""


def _peak_threads(prefix):
    child = _child(BUILD_LOOP, prefix=prefix)
    budget, before = map(int, child.stdout.readline().split())
    peak = before
    while child.poll() is None:
        try:
            peak = max(peak, len(os.listdir(f"/proc/{child.pid}/task")))
        except FileNotFoundError:
            break
        time.sleep(0.002)
    child.wait()
    return budget, before, peak


def test_a_process_pinned_to_one_core_starts_no_second_thread():
    budget, before, peak = _peak_threads(("taskset", "-c", "0"))
    assert budget == 1 and peak == before
    if _vexa._allowed_cpus() > 1:  # the sampling does see helper threads when they exist
        budget, before, peak = _peak_threads(())
        assert budget > 1 and peak > before


class _Budgets(torch.utils.data.Dataset):
    def __len__(self):
        return 2

    def __getitem__(self, i):
        return vexa.get_num_threads()


def test_data_loader_workers_use_one_thread():
    loader = torch.utils.data.DataLoader(_Budgets(), num_workers=2, batch_size=None)
    assert list(loader) == [1, 1]
