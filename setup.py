"""Builds the wheel of quorvel through the project's CMake build.

`pip install --no-build-isolation .` runs this with the system's setuptools
and wheel and no network. The extension is compiled by CMake exactly as
`make` compiles it (same flags, static engine libraries), then placed in the
wheel as the package quorvel, whose __init__ is the extension itself, next
to its type stub and the py.typed marker. The wheel is tagged cp38-abi3: the
module uses only the stable ABI of CPython 3.8.
"""

import os
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = Path(__file__).resolve().parent
BINDING = ROOT / "bindings" / "python"


class CMakeBuild(build_ext):
    """Builds the module target with CMake instead of compiling sources."""

    def build_extension(self, ext):
        build_dir = Path(self.build_temp).resolve() / "cmake"
        configure = [
            "cmake", "-S", str(ROOT), "-B", str(build_dir),
            "-DCMAKE_BUILD_TYPE=Release",
            "-DQUORVEL_BUILD_TESTS=OFF",
            f"-DPython3_EXECUTABLE={sys.executable}",
        ]
        if shutil.which("ninja"):
            configure += ["-G", "Ninja"]
        subprocess.run(configure, check=True)
        subprocess.run(["cmake", "--build", str(build_dir), "--target", "quorvel-python",
                        "-j", str(os.cpu_count() or 1)], check=True)

        target = Path(self.get_ext_fullpath(ext.name))
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copyfile(build_dir / "bindings" / "python" / "quorvel.abi3.so", target)
        shutil.copyfile(BINDING / "quorvel.pyi", target.parent / "__init__.pyi")
        shutil.copyfile(BINDING / "py.typed", target.parent / "py.typed")


setup(
    # The extension is the package's __init__: `import quorvel` loads it
    # directly (its initialiser is PyInit_quorvel), and the stub and marker
    # beside it make the package typed.
    ext_modules=[Extension("quorvel.__init__", sources=[], py_limited_api=True)],
    packages=[],
    py_modules=[],
    cmdclass={"build_ext": CMakeBuild},
    options={
        "bdist_wheel": {"py_limited_api": "cp38"},
        # Keep setuptools' scratch files out of build/, which `make` owns.
        "build": {"build_base": "build-pip"},
    },
    zip_safe=False,
)
