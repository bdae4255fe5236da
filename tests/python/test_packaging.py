"""The package as users get it: an install into a fresh environment, the
stub of the native module, the bundled image and image files."""
import ast
import os
import subprocess

import numpy as np
import pytest

import _vexa
import vexa

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


@pytest.mark.install
def test_pip_install_into_a_fresh_environment(tmp_path):
    venv = tmp_path / "venv"
    subprocess.run(["/usr/bin/python3", "-m", "venv", "--system-site-packages", str(venv)], check=True)
    python = str(venv / "bin" / "python")
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    env["VEXA_BUILD_JOBS"] = "2"
    subprocess.run([python, "-m", "pip", "install", "-q", "--no-build-isolation", "--no-index", ROOT],
                   check=True, env=env, cwd=tmp_path)
    check = ("import os, importlib.metadata as m, numpy as np, vexa, _vexa\n"
             "site = os.path.dirname(os.path.dirname(vexa.__file__))\n"
             "assert site.startswith(os.environ['VENV']), vexa.__file__\n"
             "assert os.path.dirname(_vexa.__file__) == site, _vexa.__file__\n"
             "assert m.version('vexa') == vexa.__version__\n"
             "for name in ('_vexa.pyi', 'vexa/py.typed', 'vexa/data/landscape.png', 'vexa/dask/__init__.py'):\n"
             "    assert os.path.isfile(os.path.join(site, name)), name\n"
             "image = vexa.default_image()\n"
             "assert vexa.area_opening(image, 30).shape == (512, 512)\n")
    subprocess.run([python, "-c", check], check=True, cwd=tmp_path, env={**env, "VENV": str(venv)})


def stub_names():
    """Top-level names of the stub, and the members of each of its classes
    (with those of their stub base classes)."""
    tree = ast.parse(open(os.path.join(ROOT, "_vexa.pyi")).read())
    classes, names = {}, set()
    for node in tree.body:
        if isinstance(node, ast.ClassDef):
            members = {n.name for n in node.body if isinstance(n, ast.FunctionDef)}
            members |= {n.target.id for n in node.body if isinstance(n, ast.AnnAssign)}
            for base in node.bases:
                members |= classes.get(getattr(base, "id", None), set())
            classes[node.name] = members
            names.add(node.name)
        elif isinstance(node, ast.FunctionDef):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign):
            names.add(node.target.id)
    return names, classes


# Attributes every pybind11 class or module has, which the stub leaves out.
BOILERPLATE = {"__doc__", "__module__", "__entries", "__file__", "__loader__", "__name__", "__package__",
               "__spec__"}
# Classes of the stub alone: the shared base of MaxTree and MinTree.
STUB_ONLY = {"_ComponentTree"}


def module_members(cls):
    """Members of a class of the module, with those of its base classes; a
    class without constructor has a plain slot as ``__init__``."""
    members = set()
    for base in cls.__mro__:
        if base.__module__ == "_vexa":
            members |= {m for m, v in vars(base).items() if type(v).__name__ != "wrapper_descriptor"}
    return members - BOILERPLATE


def test_the_stub_and_the_native_module_name_the_same_things():
    names, classes = stub_names()
    module = set(dir(_vexa)) - BOILERPLATE
    assert module - names == set(), "missing from the stub"
    assert names - module == STUB_ONLY, "in the stub, not in the module"
    for name in (module & set(classes)) - STUB_ONLY:
        members = module_members(getattr(_vexa, name))
        assert members - classes[name] == set(), (name, "missing from the stub")
        assert classes[name] - members == set(), (name, "in the stub, not in the module")


def test_version_and_bundled_image():
    assert vexa.__version__.count(".") == 2
    image = vexa.default_image()
    assert image.shape == (512, 512) and image.dtype == np.uint8 and image.std() > 20


@pytest.mark.parametrize("name", ["a.pgm", "a.png", "a.tif"])
def test_image_files_round_trip(tmp_path, name):
    image = vexa.default_image()[:40, :30]
    vexa.write_image(tmp_path / name, image)
    assert np.array_equal(vexa.read_image(tmp_path / name), image)
    if name.endswith("pgm"):
        vexa.write_pgm(tmp_path / name, image)
        assert np.array_equal(vexa.images.read_pgm(tmp_path / name), image)


def test_colour_files_and_bad_writes(tmp_path):
    colour = np.stack([vexa.default_image()[:8, :8]] * 3, axis=-1)
    vexa.write_image(tmp_path / "c.png", colour)
    assert vexa.read_image(tmp_path / "c.png").shape == (8, 8, 3)
    assert np.array_equal(vexa.read_image(tmp_path / "c.png", as_gray=True), colour[..., 0])
    with pytest.raises(ValueError, match=r"2-D uint8.*\(8, 8, 3\)"):
        vexa.images.read_pgm(tmp_path / "c.png")
    with pytest.raises(ValueError, match="float64"):
        vexa.write_png(tmp_path / "f.png", np.zeros((4, 4)))
