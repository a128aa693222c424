"""`cmake --install` of a built tree, as a C++ program outside the project
uses it: through the CMake package and through pkg-config.

CTest sets QUORVEL_BUILD_DIR (the built tree), QUORVEL_CMAKE, QUORVEL_CXX,
QUORVEL_GENERATOR and QUORVEL_HAS_PROGRAM (1 when the tree builds the quorvel
program).
"""

import os
import shlex
import subprocess
from pathlib import Path

import pytest

SOURCE_DIR = Path(__file__).resolve().parents[2]
CONSUMER = SOURCE_DIR / "packaging" / "consumer"
BUILD_DIR = Path(os.environ["QUORVEL_BUILD_DIR"])
CMAKE = os.environ["QUORVEL_CMAKE"]
CXX = os.environ["QUORVEL_CXX"]


def run(command, **options):
    result = subprocess.run([str(part) for part in command], capture_output=True, text=True, **options)
    assert result.returncode == 0, f"{shlex.join(map(str, command))}\n{result.stdout}\n{result.stderr}"
    return result


@pytest.fixture(scope="module")
def prefix(tmp_path_factory):
    """The tree installed under a fresh prefix, as `cmake --install` does it."""
    prefix = tmp_path_factory.mktemp("prefix")
    run([CMAKE, "--install", BUILD_DIR, "--prefix", prefix])
    return prefix


def test_installs_the_public_headers_static_libraries_and_program(prefix):
    public_headers = sorted(
        str(path.relative_to(include))
        for include in SOURCE_DIR.glob("libs/*/include")
        for path in include.rglob("*.h"))
    installed_headers = sorted(
        str(path.relative_to(prefix / "include")) for path in (prefix / "include").rglob("*") if path.is_file())
    assert installed_headers == public_headers
    assert sorted(path.name for path in prefix.rglob("*.a")) == sorted(
        ["libquorvel-core.a", "libquorvel-index.a", "libquorvel-json.a", "libquorvel-storage.a"])
    assert not list(prefix.rglob("*.so*")), "nothing of the Python wheel is installed"

    program = prefix / "bin" / "quorvel"
    if os.environ.get("QUORVEL_HAS_PROGRAM") == "1":
        run([program, "--help"])
    else:
        assert not program.exists()


def check_consumer(program, tmp_path):
    result = run([program, tmp_path / "consumer.db"])
    assert result.stdout.splitlines() == ["search: east 0.9939", "records after reopening: 2"]


def test_cmake_package(prefix, tmp_path):
    build = tmp_path / "build"
    run([CMAKE, "-S", CONSUMER, "-B", build, "-G", os.environ["QUORVEL_GENERATOR"],
         f"-DCMAKE_CXX_COMPILER={CXX}", f"-DCMAKE_PREFIX_PATH={prefix}"])
    run([CMAKE, "--build", build])
    check_consumer(build / "consumer", tmp_path)


def test_pkg_config(prefix, tmp_path):
    (pc_file,) = prefix.rglob("quorvel.pc")
    environment = dict(os.environ, PKG_CONFIG_PATH=str(pc_file.parent))
    flags = run(["pkg-config", "--cflags", "--libs", "quorvel"], env=environment).stdout.split()
    program = tmp_path / "consumer"
    run([CXX, "-std=c++23", CONSUMER / "main.cc", "-o", program, *flags])
    check_consumer(program, tmp_path)
