"""Builds the wheel of quorvel through the project's CMake build.

`pip install --no-build-isolation .`, `pip wheel --no-build-isolation .` and
`python3 -m build --no-isolation` run this with the system's setuptools and
wheel and no network. CMake compiles the module and the quorvel program
exactly as `make` compiles them, then its install component `wheel` lays out
what the wheel holds (see packaging/wheel/CMakeLists.txt): the package
quorvel, whose __init__ is the extension itself, with its type stub, py.typed,
the bundled oneTBB and the program; the package quorvel_engine, likewise an
extension with its stub and py.typed; and the launcher that pip installs as
bin/quorvel. Beside them the pure-Python package quorvel_dask (the
collection sharded over a Dask cluster) is copied from python/. The wheel
is tagged cp38-abi3 (the modules use only the stable
ABI of CPython 3.8) and manylinux_2_X, X read from the built binaries'
symbol versions (packaging/wheel/manylinux.py).

With QUORVEL_CMAKE_BUILD_DIR naming a CMake build tree that is already built
(as `make` leaves build/), that tree's files are packed as they are: nothing
is configured or compiled, and setuptools' scratch files go into that tree
rather than the source tree. The packaging tests build their wheel so.
"""

import os
import platform
import shutil
import subprocess
import sys
from pathlib import Path

from setuptools import Command, Extension, setup
from setuptools.command.build_ext import build_ext
from setuptools.command.install import install

try:
    from setuptools.command.bdist_wheel import bdist_wheel
except ImportError:  # setuptools before 70.1 leaves it to the wheel package
    from wheel.bdist_wheel import bdist_wheel

ROOT = Path(__file__).resolve().parent
sys.path.insert(0, str(ROOT / "packaging" / "wheel"))
import manylinux  # noqa: E402
PREBUILT = os.environ.get("QUORVEL_CMAKE_BUILD_DIR")
# setuptools' scratch files: in the built tree that is packed, else beside
# build/ (which `make` owns).
if PREBUILT:
    SCRATCH = Path(PREBUILT).resolve() / "setuptools"
    SCRATCH.mkdir(parents=True, exist_ok=True)
else:
    SCRATCH = ROOT / "build-pip"


def staging_dir(command):
    """Where the wheel component is installed before setuptools copies it."""
    return Path(command.get_finalized_command("build").build_temp).resolve() / "wheel-staging"


class CMakeBuild(build_ext):
    """Builds the wheel's files with CMake and puts the package in place."""

    staged = False  # one CMake build and install serves every extension

    def build_extension(self, ext):
        staging = staging_dir(self)
        if not self.staged:
            if PREBUILT:
                build_dir = Path(PREBUILT).resolve()
            else:
                build_dir = Path(self.build_temp).resolve() / "cmake"
                self.configure_and_build(build_dir)
            shutil.rmtree(staging, ignore_errors=True)
            subprocess.run(["cmake", "--install", str(build_dir), "--component", "wheel",
                            "--prefix", str(staging)], check=True)
            self.staged = True

        # Each extension takes its package from the staging directory.
        package = Path(self.get_ext_fullpath(ext.name)).parent
        shutil.rmtree(package, ignore_errors=True)
        shutil.copytree(staging / package.name, package)

    @staticmethod
    def configure_and_build(build_dir):
        configure = [
            "cmake", "-S", str(ROOT), "-B", str(build_dir),
            "-DCMAKE_BUILD_TYPE=Release",
            "-DQUORVEL_BUILD_TESTS=OFF",
            "-DQUORVEL_STATIC_SQLITE=ON",
            f"-DPython3_EXECUTABLE={sys.executable}",
        ]
        if shutil.which("ninja"):
            configure += ["-G", "Ninja"]
        subprocess.run(configure, check=True)
        subprocess.run(["cmake", "--build", str(build_dir), "--target", "quorvel-wheel-files",
                        "-j", str(os.cpu_count() or 1)], check=True)


class InstallLauncher(Command):
    """Puts the program's launcher, when the build made one, among the
    scripts that pip installs into the environment's bin/ (setuptools knows
    its scripts before anything is built, so it cannot be listed there)."""

    description = "install the launcher of the quorvel program"
    user_options = []

    def initialize_options(self):
        self.install_dir = None
        self.outfiles = []

    def finalize_options(self):
        self.set_undefined_options("install", ("install_scripts", "install_dir"))

    def run(self):
        launcher = staging_dir(self) / "scripts" / "quorvel"
        if launcher.exists():
            self.mkpath(self.install_dir)
            self.outfiles.append(self.copy_file(str(launcher), self.install_dir)[0])

    def get_outputs(self):
        return self.outfiles


def is_elf(path):
    with open(path, "rb") as file:
        return file.read(4) == b"\x7fELF"


class ManylinuxWheel(bdist_wheel):
    """Tags the wheel manylinux_2_X, X the newest glibc that its binaries
    need, once they are built (a package index refuses a plain linux tag)."""

    def get_tag(self):
        interpreter, abi, _ = super().get_tag()
        binaries = [path for path in (staging_dir(self) / "quorvel").rglob("*") if path.is_file() and is_elf(path)]
        if not binaries:
            raise RuntimeError("the wheel's platform tag is read from its binaries, which are not built yet")
        return interpreter, abi, manylinux.platform_tag(binaries, platform.machine())


class Install(install):
    sub_commands = install.sub_commands + [("install_launcher", None)]


setup(
    # Each extension is its package's __init__: `import quorvel` and
    # `import quorvel_engine` load them directly (their initialisers are
    # PyInit_quorvel and PyInit_quorvel_engine), and the files beside them
    # come from the CMake build.
    ext_modules=[Extension("quorvel.__init__", sources=[], py_limited_api=True),
                 Extension("quorvel_engine.__init__", sources=[], py_limited_api=True)],
    packages=["quorvel_dask"],
    package_dir={"quorvel_dask": "python/quorvel_dask"},
    package_data={"quorvel_dask": ["py.typed"]},
    py_modules=[],
    cmdclass={"build_ext": CMakeBuild, "install": Install, "install_launcher": InstallLauncher,
              "bdist_wheel": ManylinuxWheel},
    options={
        "bdist_wheel": {"py_limited_api": "cp38"},
        "build": {"build_base": str(SCRATCH)},
        "egg_info": {"egg_base": str(SCRATCH)} if PREBUILT else {},
    },
    zip_safe=False,
)
