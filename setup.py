"""Builds the extension module `_vexa` with the project's CMake build, so that
`pip install --no-build-isolation .` gives `vexa` and `_vexa` with no other
build tool. The metadata lives in pyproject.toml.

The CMake tree goes under setuptools' temporary directory, apart from the
development tree in build/; ccache, when present, makes rebuilds cheap.
VEXA_BUILD_JOBS sets the number of compile jobs (default: every CPU).
"""
import glob
import os
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = os.path.dirname(os.path.abspath(__file__))


class CMakeBuild(build_ext):
    def build_extension(self, ext):
        build_dir = os.path.join(os.path.abspath(self.build_temp), "cmake")
        jobs = os.environ.get("VEXA_BUILD_JOBS") or str(os.cpu_count() or 1)
        subprocess.check_call(["cmake", "-S", ROOT, "-B", build_dir, "-DCMAKE_BUILD_TYPE=Release",
                               "-DVEXA_BUILD_TESTS=OFF", f"-DPython_EXECUTABLE={sys.executable}"])
        subprocess.check_call(["cmake", "--build", build_dir, "--target", "_vexa", "-j", jobs])
        built = glob.glob(os.path.join(build_dir, "lib", "_vexa*.so"))
        if len(built) != 1:
            raise RuntimeError(f"expected one _vexa module in {build_dir}/lib, found {built}")
        target = self.get_ext_fullpath(ext.name)
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copyfile(built[0], target)
        # The stub sits beside the module, where editors and type checkers look.
        stub = os.path.join(os.path.dirname(os.path.abspath(target)), "_vexa.pyi")
        if stub != os.path.join(ROOT, "_vexa.pyi"):
            shutil.copyfile(os.path.join(ROOT, "_vexa.pyi"), stub)


setup(ext_modules=[Extension("_vexa", sources=[])],
      cmdclass={"build_ext": CMakeBuild},
      # setuptools' own build tree, apart from the CMake tree in build/.
      options={"build": {"build_base": "build/setuptools"}})
