"""Faults that must never take the interpreter down: long chains of node
references, inputs changed by another thread during a call, objects made
without their constructor, Ctrl-C during long work, lists that cannot be
allocated. What could crash runs in a child process, so that a crash fails
one test instead of the whole run."""
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import _vexa


def run_child(code, timeout=300):
    """Runs `code` in a fresh interpreter that sees the same modules; returns its output."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                          capture_output=True, text=True, timeout=timeout)
    assert proc.returncode == 0, f"exit status {proc.returncode}\n{proc.stdout}\n{proc.stderr[-3000:]}"
    return proc.stdout


# ---- node references: releasing long chains --------------------------------

CHAINS = {
    "merged nodes made from Python": """
        tree = _vexa.BPT(np.zeros((1, 2), np.uint8), np.array([[1, 2]], np.int32), _vexa.Mean)
        leaf, x = tree.nodes[:2]
        del tree
        for i in range(200_000):
            x = _vexa.NodeBPT(i, x, leaf, 0, 0.0)
        assert len(x.ccps) == 200_001 and x.children[1] is leaf
    """,
    "parent links rewritten into a chain": """
        tree = _vexa.MaxTree(np.random.default_rng(0).integers(0, 256, (400, 400), np.uint8), 1.5)
        nodes = tree.nodes
        for i in range(1, 50_001):
            nodes[i].parent = nodes[i - 1]
        x = nodes[50_000]
        del nodes, tree
        while x.parent is not None:
            x = x.parent
        assert x.id == 0
    """,
    "walk up a deep partition tree": """
        n = 1_000_000  # a flat image, one label per pixel: depth about n / 8
        x = _vexa.BPT(np.zeros((1, n), np.uint8), np.arange(n, dtype=np.int32).reshape(1, n), _vexa.Mean).nodes[n - 1]
        depth = 0
        while x.parent is not None:
            x, depth = x.parent, depth + 1
        assert depth > 60_000, depth
    """,
}


@pytest.mark.parametrize("walk", CHAINS.values(), ids=CHAINS.keys())
def test_long_chains_of_references_are_released(walk):
    run_child("import numpy as np, _vexa\n" + textwrap.dedent(walk) + "del x\nprint('released')\n")


def test_node_references_keep_their_tree_alive():
    image = np.array([[3, 1, 4], [1, 5, 9]], np.uint8)
    nodes = _vexa.MinTree(image, 1.5).nodes
    first, leaf = _vexa.MaxTree(image, 1.5).root, nodes[-1]
    assert first.level == 1 and sorted(first.pixelsOfCC) == list(range(6))
    assert any(child is leaf for child in leaf.parent.children)
    while leaf.parent is not None:
        leaf = leaf.parent
    assert leaf is nodes[0]
    region = _vexa.BPT(image, np.array([[1, 1, 2], [1, 2, 2]], np.int32), _vexa.Mean).root
    assert sorted(region.ccps) == list(range(6)) and region.children[0].parent is region


# ---- inputs changed by another thread during a call -------------------------

RACES = {
    "labels of a partition tree": """
        rows = cols = 512
        image = np.random.default_rng(1).integers(0, 256, (rows, cols), np.uint8)
        blocks = ((np.arange(rows)[:, None] // 16) * 64 + np.arange(cols) // 16).astype(np.int32)
        versions = [blocks, blocks + 2**30]  # labels the other version's index lacks
        shared = blocks.copy()
        build = lambda: _vexa.BPT(image, shared, _vexa.Mean)
    """,
    "image of a max-tree": """
        rng = np.random.default_rng(1)
        versions = [np.zeros((1024, 1024), np.uint8), rng.integers(0, 256, (1024, 1024), np.uint8)]
        shared = versions[0].copy()
        build = lambda: _vexa.MaxTree(shared, 1.5)
    """,
}


@pytest.mark.parametrize("setup", RACES.values(), ids=RACES.keys())
def test_inputs_rewritten_during_a_call_never_corrupt_memory(setup):
    # numpy copies without the GIL, so the writer runs during the build.
    run_child("import threading, time, numpy as np, _vexa\n" + textwrap.dedent(setup) + textwrap.dedent("""
        stop = False
        def write():
            while not stop:
                for version in versions:
                    np.copyto(shared, version)
        writer = threading.Thread(target=write)
        writer.start()
        end = time.monotonic() + 3
        try:
            while time.monotonic() < end:
                build()
        finally:
            stop = True
            writer.join()
    """), timeout=60)


# ---- objects made without their constructor ---------------------------------

def test_members_of_uninitialised_objects_are_refused():
    # Every public member, read or called, of an object made by __new__ alone.
    out = run_child("""
        import _vexa
        extra = {_vexa.Node: [lambda obj: setattr(obj, "parent", None)], _vexa.MaxTree: [_vexa.Attributes],
                 _vexa.MinTree: [_vexa.Attributes], _vexa.DissimilarityType: [int, str, hash]}
        use = lambda name: lambda obj: (lambda v: v(*{"getNodesById": [[0]], "cut": [1]}.get(name, [])) if callable(v)
                                        else v)(getattr(obj, name))
        checked, silent = 0, []
        for cls in [_vexa.Node, _vexa.MorphologicalTree, _vexa.MaxTree, _vexa.MinTree, _vexa.AttributesPack,
                    _vexa.BPT, _vexa.NodeBPT, _vexa.DissimilarityType]:
            names = {n for base in cls.__mro__ for n in vars(base) if not n.startswith("_")} - {"names", "Mean"}
            for name, member in [(n, use(n)) for n in sorted(names)] + [(f.__name__, f) for f in extra.get(cls, [])]:
                try:
                    member(cls.__new__(cls))
                    silent.append(f"{cls.__name__}.{name}")
                except TypeError as error:
                    assert "without its constructor" in str(error), (cls, name, error)
                checked += 1
        print(checked, silent)
    """)
    checked, silent = out.split(" ", 1)
    assert int(checked) > 60 and silent.strip() == "[]", out


# ---- Ctrl-C during long work -------------------------------------------------

LONG_WORK = {
    "max-tree of a large image": ("image = noise(6144, 6144)", "_vexa.MaxTree(image, 1.5)"),
    "long column, large radius": ("image = noise(400_000, 1)", "_vexa.MinTree(image, 3000.0)"),
    "partition tree, one region per pixel": (
        "image, labels = noise(256, 256), np.arange(256 * 256, dtype=np.int32).reshape(256, 256)",
        "_vexa.BPT(image, labels, _vexa.Mean)"),
    "learned filter of a large tree": (
        "import torch; from vexa.forests import build_trees; stack = torch.rand(1, 4096, 4096); "
        "tree = build_trees(stack, 'max', 2)[0]; "
        "batch = _vexa._LearnedFilterBatch([tree.parents], [tree.pixel_to_node], ['area', 'volume'], True)",
        "batch.forward(stack.reshape(1, -1), torch.zeros(2), torch.zeros(()))"),
    "tree of shapes of a large image": ("image = noise(4096, 4096)", "_vexa._tree_of_shapes(image, 'mean')"),
}


@pytest.mark.parametrize("setup,work", LONG_WORK.values(), ids=LONG_WORK.keys())
def test_ctrl_c_stops_long_work_soon(setup, work):
    # Every member here keeps the GIL, so no Python thread could send the
    # signal during the call: another process sends it.
    out = run_child(f"""
        import os, subprocess, time, numpy as np, _vexa
        noise = lambda h, w: np.random.default_rng(0).integers(0, 256, (h, w), np.uint8)
        {setup}
        subprocess.Popen(["sh", "-c", "sleep 0.5; kill -INT {{}}".format(os.getpid())])
        sent = time.monotonic() + 0.5
        try:
            {work}
            print("finished")
        except KeyboardInterrupt:
            print(f"stopped {{time.monotonic() - sent:.3f}}")
        assert [n.level for n in _vexa.MaxTree(np.array([[1, 5, 3]], np.uint8), 1).nodes] == [1, 3, 5]
    """)
    assert out.startswith("stopped"), out
    assert float(out.split()[1]) < 1.0, out


# ---- lists that cannot be allocated ------------------------------------------

LISTS = ["root.pixelsOfCC", "root.cnps", "root.children", "small_components", "nodes", "getNodesById([1, 2])",
         "getInfoToDataFrame()", "root.getInfoToDataFrame()", "bpt.nodes", "bpt.root.ccps",
         "bpt.root.neighbors", "bpt.root.children"]


@pytest.mark.parametrize("member", LISTS)
def test_a_list_that_cannot_be_allocated_raises_memory_error(member):
    # Python's allocations fail one at a time, each in its own call: the
    # list itself, then each element in turn.
    expression = member if member.startswith("bpt") else "tree." + member
    out = run_child(f"""
        import _testcapi, numpy as np, _vexa
        image = np.random.default_rng(0).integers(0, 256, (12, 12), np.uint8)
        tree = _vexa.MaxTree(image, 1.5)
        bpt = _vexa.BPT(image, np.arange(144, dtype=np.int32).reshape(12, 12), _vexa.Mean)
        outcomes = set()
        for failing in range(200):
            _testcapi.set_nomemory(failing, failing + 1)
            try:
                {expression}
                outcome = "allocated"
            except BaseException as error:
                outcome = type(error).__name__
            finally:
                _testcapi.remove_mem_hooks()
            outcomes.add(outcome)
        print(*sorted(outcomes))
    """)
    assert "MemoryError" in out.split() and set(out.split()) <= {"MemoryError", "allocated"}, out


# ---- a short fuzz of the constructors with bad input -------------------------

from hypothesis import given, settings, strategies as st  # noqa: E402

DTYPES = [np.uint8, np.int8, np.uint16, np.int32, np.uint32, np.int64, np.float32, np.float64, bool]


@st.composite
def arrays(draw):
    shape = tuple(draw(st.lists(st.integers(0, 4), min_size=0, max_size=3)))
    dtype = draw(st.just(np.uint8) | st.sampled_from(DTYPES))
    values = draw(st.lists(st.floats(allow_nan=True, allow_infinity=True) | st.integers(-2**40, 2**40),
                           min_size=int(np.prod(shape)), max_size=int(np.prod(shape))))
    with np.errstate(all="ignore"):
        array = np.array(values, np.float64).astype(dtype).reshape(shape)
    if array.ndim == 2 and draw(st.booleans()):
        array = array.T if draw(st.booleans()) else array[:, ::-1]
    return array


@settings(max_examples=150, deadline=None)
@given(image=arrays(), labels=arrays(), radius=st.floats(allow_nan=True, allow_infinity=True),
       kind=st.sampled_from([_vexa.MaxTree, _vexa.MinTree, _vexa.BPT]))
def test_constructors_refuse_bad_input_cleanly(image, labels, radius, kind):
    try:
        tree = kind(image, labels, _vexa.Mean) if kind is _vexa.BPT else kind(image, radius)
    except (RuntimeError, TypeError, ValueError):
        return
    # Whatever was accepted is a whole tree (an empty one for an empty image).
    assert (len(tree.nodes) >= 1) == (tree.root is not None) == (image.size > 0)
    if image.size == 0:
        return
    if kind is not _vexa.BPT:
        assert _vexa.Attributes(tree).num_nodes == len(tree.nodes)
        pixels = [p for node in tree.nodes for p in node.cnps]
    else:
        pixels = [p for node in tree.nodes if node.children[0] is None for p in node.ccps]
    assert sorted(pixels) == list(range(image.size))
