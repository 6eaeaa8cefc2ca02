"""Builds the shared library with CMake from the same sources and puts it
inside the Python package.  Metadata lives in pyproject.toml; the version
comes from CMakeLists.txt, the project's one place for it."""
import os
import re
import shutil
import subprocess

from setuptools import setup
from setuptools.command.build_py import build_py

try:
    from setuptools.command.bdist_wheel import bdist_wheel
except ImportError:  # setuptools before 70 takes it from the wheel package
    from wheel.bdist_wheel import bdist_wheel

HERE = os.path.dirname(os.path.abspath(__file__))
PACKAGE = "trivanex_wikitext_table"
SONAME = "libtrivanex-wikitext-table.so.1"
TABLES_SONAME = "libtrivanex-wikitext-tables.so.1"


def project_version():
    with open(os.path.join(HERE, "CMakeLists.txt"), encoding="utf-8") as f:
        return re.search(r"project\(trivanex-wikitext-table VERSION ([0-9.]+)", f.read()).group(1)


def build_library():
    """Configures and builds only the shared libraries; returns their paths."""
    cmake = shutil.which("cmake")
    if cmake is None:
        raise RuntimeError("building trivanex-wikitext-table needs cmake and a C++ compiler "
                           "(Debian: apt-get install cmake g++)")
    build = os.path.join(HERE, "build", "python-library")
    subprocess.run([cmake, "-S", HERE, "-B", build, "-DCMAKE_BUILD_TYPE=Release",
                    "-DWTTABLE_BUILD_TESTS=OFF", "-DWTTABLE_BUILD_BENCH=OFF"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run([cmake, "--build", build, "--target", "trivanex-wikitext-table",
                    "trivanex-wikitext-tables", "-j", str(os.cpu_count() or 2)], check=True)
    return [os.path.join(build, SONAME), os.path.join(build, TABLES_SONAME)]


class BuildPyWithLibrary(build_py):
    """Puts the freshly built library beside the package's modules: in the
    build tree for a wheel, in the source tree for an editable install."""

    def run(self):
        super().run()
        libraries = build_library()
        if getattr(self, "editable_mode", False):
            target = os.path.join(HERE, "python", PACKAGE)
        else:
            target = os.path.join(self.build_lib, PACKAGE)
        os.makedirs(target, exist_ok=True)
        for library in libraries:
            shutil.copy2(library, os.path.join(target, os.path.basename(library)))


class PlatformWheel(bdist_wheel):
    """Pure Python over ctypes, with a native library inside: py3-none-<platform>."""

    def finalize_options(self):
        super().finalize_options()
        self.root_is_pure = False

    def get_tag(self):
        _, _, platform = super().get_tag()
        return "py3", "none", platform


setup(version=project_version(),
      cmdclass={"build_py": BuildPyWithLibrary, "bdist_wheel": PlatformWheel})
