"""pip install ./python: setuptools builds the package, and CMake the 64-bit
libraries it drives (libarduinoboard and the 71 functions' library, one
build per default port) from the source tree around this folder. They go
into the installed package (arduinodrv/lib), with the known USB ids and the
page's chart library, so that the install stands alone."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Distribution, setup
from setuptools.command.build_py import build_py

HERE = Path(__file__).resolve().parent
SOURCE_TREE = HERE.parent
CHART = HERE / "chart" / "node_modules" / "uplot" / "dist"
CHART_FILES = ("uPlot.iife.min.js", "uPlot.min.css")


def _run(command):
    print(" ".join(map(str, command)), flush=True)
    subprocess.run(command, check=True)


class BuildWithLibraries(build_py):
    """The package's Python files, then the libraries built by CMake beside them."""

    def run(self):
        super().run()
        if not (SOURCE_TREE / "CMakeLists.txt").is_file() or not (SOURCE_TREE / "driver").is_dir():
            sys.exit(f"arduinodrv: {SOURCE_TREE} is not the arduinodrv source tree: build from a clone "
                     "(pip install ./python)")
        if shutil.which("cmake") is None:
            sys.exit("arduinodrv: the build needs cmake and a C++ compiler (Debian: apt install cmake g++)")
        build = Path(self.build_lib).resolve().parent / "cmake-libraries"
        _run(["cmake", "-S", SOURCE_TREE, "-B", build, "-DARDUINODRV_WIDTH=64", "-DARDUINODRV_LIBRARIES_ONLY=ON",
              "-DCMAKE_BUILD_TYPE=Release"])
        _run(["cmake", "--build", build, "-j", os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL", "2")])
        package = Path(self.build_lib) / "arduinodrv"
        libraries = package / "lib"
        if libraries.exists():
            shutil.rmtree(libraries)
        built = build / "lib64"
        libraries.mkdir(parents=True)
        shutil.copy2(built / "libarduinoboard.so.1", libraries / "libarduinoboard.so.1")
        for port_build in sorted(built.glob("*/libarduinodrv.so")):
            (libraries / port_build.parent.name).mkdir()
            shutil.copy2(port_build, libraries / port_build.parent.name / "libarduinodrv.so")
        shutil.copy2(SOURCE_TREE / "board" / "usb_ids.txt", package / "usb_ids.txt")
        vendor = package / "web" / "page" / "vendor"
        if all((CHART / name).is_file() for name in CHART_FILES):
            vendor.mkdir(parents=True, exist_ok=True)
            for name in CHART_FILES:
                shutil.copy2(CHART / name, vendor / name)
        else:
            print("arduinodrv: no chart library in python/chart (scripts/setup.sh installs it): the page "
                  "shows its readings as numbers only", file=sys.stderr)


class WithLibraries(Distribution):
    """A wheel for this platform, since it carries compiled libraries."""

    def has_ext_modules(self):
        return True


setup(cmdclass={"build_py": BuildWithLibraries}, distclass=WithLibraries)
