"""The Python wheel: what it holds, what its binaries need, and a quickstart
of both modules in a fresh virtual environment of every CPython 3.8 or later
on the machine.

The wheel is built as `pip wheel --no-build-isolation .` builds it, from the
files of the built tree that CTest names in QUORVEL_BUILD_DIR (setup.py packs
a tree named by QUORVEL_CMAKE_BUILD_DIR as it is). QUORVEL_HAS_PROGRAM is 1
when that tree builds the quorvel program.

Each environment is made without pip, and the wheel is installed by the
interpreter's own pip run from the wheel file that its ensurepip carries:
the installation `pip install` makes, without installing pip each time.
The environments are made in parallel, one per core.
"""

import email
import json
import os
import platform
import re
import subprocess
import sys
import tarfile
import zipfile
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

import pytest

SOURCE_DIR = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(SOURCE_DIR / "packaging" / "wheel"))
import manylinux  # noqa: E402
BUILD_DIR = Path(os.environ["QUORVEL_BUILD_DIR"])
HAS_PROGRAM = os.environ.get("QUORVEL_HAS_PROGRAM") == "1"

BUNDLED_TBB = "libtbb-quorvel.so.12"
# The C and C++ runtimes, which every Linux system with a C++ compiler's
# runtime has; ld-linux is glibc's loader, which defines __tls_get_addr for
# the thread-local variables of shared objects.
RUNTIMES = {"libc.so.6", "libm.so.6", "libstdc++.so.6", "libgcc_s.so.1", "ld-linux-x86-64.so.2"}

# Keeps the interpreters in the environments to what they install themselves.
CLEAN_ENVIRONMENT = {key: value for key, value in os.environ.items()
                     if key not in ("PYTHONPATH", "PYTHONHOME", "PYTHONSTARTUP", "VIRTUAL_ENV")}


def run(command, **options):
    result = subprocess.run([str(part) for part in command], capture_output=True, text=True,
                            env=options.pop("env", CLEAN_ENVIRONMENT), **options)
    assert result.returncode == 0, f"{command}\n{result.stdout}\n{result.stderr}"
    return result


def interpreters():
    """Every CPython 3.8 or later found: Debian's, pyenv's and /usr/local's."""
    pyenv = Path(os.environ.get("PYENV_ROOT", Path.home() / ".pyenv")) / "versions"
    candidates = [Path("/usr/bin/python3"), *sorted(pyenv.glob("*/bin/python3")),
                  *sorted(path for path in Path("/usr/local/bin").glob("python3.*")
                          if re.fullmatch(r"python3\.\d+", path.name))]
    found = {}
    for python in candidates:
        if not python.exists():
            continue
        probe = subprocess.run([python, "-c", "import sys; print(sys.version_info >= (3, 8), sys.version.split()[0])"],
                               capture_output=True, text=True)
        recent, _, version = probe.stdout.strip().partition(" ")
        if probe.returncode == 0 and recent == "True":
            found.setdefault(python.resolve(), pytest.param(python, id=f"{version}-{python}"))
    return list(found.values())


def bundled_pip(python):
    """The pip wheel that the interpreter's ensurepip would install: its own
    newest, or Debian's, which Debian's ensurepip uses."""
    ensurepip = run([python, "-c", "import ensurepip, os; print(os.path.dirname(ensurepip.__file__))"]).stdout.strip()
    wheels = (list(Path(ensurepip, "_bundled").glob("pip-*.whl"))
              or list(Path("/usr/share/python-wheels").glob("pip-*.whl")))
    if not wheels:
        pytest.skip(f"{python} has no pip to install with")
    version = lambda wheel: tuple(int(part) for part in re.findall(r"\d+", wheel.name.split("-")[1]))
    return max(wheels, key=version)


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    output = tmp_path_factory.mktemp("wheel")
    run([sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps", "--no-index", "--no-cache-dir",
         "--disable-pip-version-check", "--wheel-dir", output, SOURCE_DIR],
        env=dict(CLEAN_ENVIRONMENT, QUORVEL_CMAKE_BUILD_DIR=str(BUILD_DIR)))
    (built,) = output.glob("*.whl")
    return built


@pytest.fixture(scope="module")
def unpacked(wheel, tmp_path_factory):
    directory = tmp_path_factory.mktemp("unpacked")
    zipfile.ZipFile(wheel).extractall(directory)
    return directory


def test_wheel_holds_the_package_its_libraries_and_the_program(wheel):
    names = {name for name in zipfile.ZipFile(wheel).namelist() if ".dist-info/" not in name}
    expected = {"quorvel/__init__.abi3.so", "quorvel/__init__.pyi", "quorvel/py.typed", f"quorvel/{BUNDLED_TBB}",
                "quorvel_engine/__init__.abi3.so", "quorvel_engine/__init__.pyi", "quorvel_engine/py.typed",
                "quorvel_dask/py.typed"}
    expected |= {f"quorvel_dask/{path.name}" for path in (SOURCE_DIR / "python" / "quorvel_dask").glob("*.py")}
    if HAS_PROGRAM:
        expected |= {"quorvel/bin/quorvel", wheel.name.split("-cp38")[0] + ".data/scripts/quorvel"}
    assert names == expected


def binaries(unpacked):
    return [path for path in (unpacked / "quorvel").rglob("*") if path.is_file() and path.read_bytes()[:4] == b"\x7fELF"]


def test_platform_tag_is_the_one_the_symbol_versions_allow(wheel, unpacked):
    needed = {}
    for path in binaries(unpacked):
        output = run(["readelf", "-V", "--wide", path]).stdout.partition("Version needs section")[2]
        for name, version in re.findall(r"Name: (GLIBC|GLIBCXX|CXXABI|GCC)_([0-9.]+)", output):
            needed.setdefault(name, set()).add(tuple(map(int, version.split("."))))
    # The newest glibc needed names the policy ...
    minor = max(needed["GLIBC"])[1]
    tag = f"manylinux_2_{minor}_{platform.machine()}"
    assert wheel.name == f"quorvel-0.1.0-cp38-abi3-{tag}.whl"
    wheel_file = zipfile.ZipFile(wheel).read("quorvel-0.1.0.dist-info/WHEEL").decode()
    assert f"Tag: cp38-abi3-{tag}" in wheel_file.splitlines()
    # ... whose reference system's C++ runtime must have every version needed.
    limits = manylinux.POLICIES[max(key for key in manylinux.POLICIES if key <= minor)]
    for name, newest in limits.items():
        assert max(needed.get(name, {(0,)})) <= newest, name
    # The README shows the file that the build makes.
    assert f"dist/{wheel.name}" in (SOURCE_DIR / "README.md").read_text()


def test_metadata_is_written_for_someone_installing_it(wheel):
    archive = zipfile.ZipFile(wheel)
    metadata = email.message_from_bytes(archive.read("quorvel-0.1.0.dist-info/METADATA"))
    assert metadata["License"] == "MIT"
    assert "License :: OSI Approved :: MIT License" in metadata.get_all("Classifier")
    assert archive.read("quorvel-0.1.0.dist-info/LICENSE") == (SOURCE_DIR / "LICENSE").read_bytes()
    assert metadata["Description-Content-Type"] == "text/markdown"
    description = metadata.get_payload()
    assert description == (SOURCE_DIR / "packaging" / "wheel" / "description.md").read_text()
    assert "make test" not in description.replace("<!-- every code block here is run by make test -->", "")


def test_python3_m_build_builds_or_names_the_interpreter_to_use(wheel, tmp_path):
    """`python3 -m build` from the repository root, as the README runs it:
    with an interpreter that has build, setuptools and wheel, the same wheel
    and a source distribution that configures; with one that lacks them, a
    message that names one that has them."""
    prebuilt = dict(CLEAN_ENVIRONMENT, QUORVEL_CMAKE_BUILD_DIR=str(BUILD_DIR))
    run([sys.executable, "-m", "build", "--no-isolation", "--outdir", tmp_path / "dist", "."], cwd=SOURCE_DIR,
        env=prebuilt)
    (sdist,), (built,) = (tmp_path / "dist").glob("*.tar.gz"), (tmp_path / "dist").glob("*.whl")
    assert built.name == wheel.name
    with tarfile.open(sdist) as archive:
        archive.extractall(tmp_path / "sdist")
    run([os.environ["QUORVEL_CMAKE"], "-S", tmp_path / "sdist" / sdist.name[:-len(".tar.gz")],
         "-B", tmp_path / "configured", "-DQUORVEL_BUILD_TESTS=OFF"])

    bare = tmp_path / "bare"  # an interpreter without the builder's packages
    run([sys.executable, "-m", "venv", "--without-pip", bare])
    refused = subprocess.run([bare / "bin" / "python", "-m", "build", "--wheel", "--no-isolation"], cwd=SOURCE_DIR,
                             capture_output=True, text=True, env=CLEAN_ENVIRONMENT)
    assert refused.returncode == 1
    assert re.fullmatch(rf"quorvel: {re.escape(str(bare / 'bin' / 'python'))} cannot build quorvel: it lacks the "
                        r"packages build, setuptools and wheel\. Use (\S+), which has what it needs: "
                        r"\1 -m build --wheel --no-isolation\n", refused.stderr), refused.stderr


def dynamic_section(path):
    """The libraries `path` needs, its runpath and its SONAME, as readelf -d shows them."""
    output = run(["readelf", "-d", path]).stdout
    entries = lambda tag: re.findall(rf"\({tag}\)\s+.*\[(.*)\]", output)
    return set(entries("NEEDED")), entries("RUNPATH") + entries("RPATH"), entries("SONAME")


def test_binaries_need_only_the_runtimes_and_the_bundled_tbb(unpacked):
    needed, runpath, _ = dynamic_section(unpacked / "quorvel" / "__init__.abi3.so")
    assert needed - RUNTIMES == {BUNDLED_TBB}
    assert runpath == ["$ORIGIN"]

    needed, runpath, _ = dynamic_section(unpacked / "quorvel_engine" / "__init__.abi3.so")
    assert needed - RUNTIMES == {BUNDLED_TBB}
    assert runpath == ["$ORIGIN/../quorvel"]

    needed, runpath, soname = dynamic_section(unpacked / "quorvel" / BUNDLED_TBB)
    assert needed <= RUNTIMES
    assert (runpath, soname) == ([], [BUNDLED_TBB])

    if HAS_PROGRAM:
        needed, runpath, _ = dynamic_section(unpacked / "quorvel" / "bin" / "quorvel")
        assert needed - RUNTIMES == {BUNDLED_TBB}
        assert runpath == ["$ORIGIN/.."]


QUICKSTART = r"""
import sys
import quorvel

path = sys.argv[1]
db = quorvel.Quorvel(path)
db.insert("boot-1", [0.9, 0.1, 0.0], '{"kind": "boot", "size": 42}')
db.insert("bag-7", [0.0, 0.2, 0.9], '{"kind": "bag"}')
db.insert("note", [0.5, 0.5, 0.5])
assert [hit[0] for hit in db.search([1.0, 0.0, 0.0], 2)] == ["boot-1", "note"]
assert db.get("bag-7") == '{"kind":"bag"}'
del db

db = quorvel.Quorvel(path)
assert db.get_all() == [("bag-7", '{"kind":"bag"}'), ("boot-1", '{"kind":"boot","size":42}'), ("note", None)]
with open("/proc/self/maps") as maps:
    loaded = sorted({line.split()[-1] for line in maps if "libtbb" in line or "libsqlite3" in line})

import sqlite3
own = sqlite3.connect(sys.argv[2])
own.execute("CREATE TABLE t (x)")
own.execute("INSERT INTO t VALUES (42)")
assert own.execute("SELECT x FROM t").fetchall() == [(42,)]
assert db.search([0.0, 0.0, 1.0], 1)[0][0] == "bag-7"

# The engine module, in the same process and from the same wheel: it
# loads the oneTBB bundled beside quorvel, and reads what quorvel wrote.
del db
import array
import quorvel_engine
with quorvel_engine.Engine(path, index=quorvel_engine.HnswConfig(m=4)) as engine:
    assert [hit.id for hit in engine.search(array.array("f", [1.0, 0.0, 0.0]), 2)] == ["boot-1", "note"]
    assert engine.get("boot-1").metadata == {"kind": "boot", "size": 42}
    engine.insert_many(["a", "b"], [[1.0, 1.0, 1.0], [2.0, 2.0, 2.0]], [{"n": 1}, {"n": 1.0}])
    assert [hit.id for hit in engine.search([1.0, 1.0, 1.0], 5, where={"n": 1})] == ["a"]
with open("/proc/self/maps") as maps:
    tbb_after = sorted({line.split()[-1] for line in maps if "libtbb" in line})
assert tbb_after == [name for name in loaded if "libtbb" in name], tbb_after

# quorvel_dask, from the same wheel, says so when Dask cannot be imported.
try:
    import distributed
except ImportError:
    try:
        import quorvel_dask
    except ImportError as error:
        assert str(error).startswith("quorvel_dask needs Dask's distributed scheduler, "), error
    else:
        raise AssertionError("quorvel_dask imported without Dask")

print(quorvel.__file__)
print(*loaded, sep="\n")
"""


INTERPRETERS = interpreters()


def install_in_fresh_environment(python, wheel, venv):
    run([python, "-m", "venv", "--without-pip", venv])
    run([venv / "bin" / "python", bundled_pip(python) / "pip", "install", "--no-index", "--no-deps",
         "--no-cache-dir", "--disable-pip-version-check", wheel])
    return venv


@pytest.fixture(scope="module")
def environments(wheel, tmp_path_factory):
    """For each interpreter, a future virtual environment with the wheel
    installed: made in the background, one per core, while the tests run.
    A test's result() raises what went wrong with its own environment."""
    with ThreadPoolExecutor(max_workers=os.cpu_count()) as pool:
        yield {python: pool.submit(install_in_fresh_environment, python, wheel, tmp_path_factory.mktemp("venv"))
               for (python,) in (param.values for param in INTERPRETERS)}


SHARDED = r"""
import os, sys
from dask.distributed import Client, LocalCluster
import quorvel_dask

folder = sys.argv[1]
with LocalCluster(n_workers=1, processes=False, dashboard_address=":0", local_directory=folder) as cluster, \
        Client(cluster) as client:
    paths = [os.path.join(folder, f"shard-{i}.db") for i in range(3)]
    with quorvel_dask.ShardedEngine(client, paths, metric="euclidean") as shop:
        shop.insert_many(["a", "b", "c", "d"], [[0.0, 0.0], [1.0, 0.0], [2.0, 0.0], [3.0, 0.0]])
        assert [hit.id for hit in shop.search([2.9, 0.0], 2)] == ["d", "c"]
        assert len(shop) == 4
print(quorvel_dask.__file__)
"""


def test_quorvel_dask_runs_from_the_wheel_where_dask_is_importable(wheel, tmp_path):
    """Debian's python3 has Dask: an environment that sees its packages
    runs a sharded collection with the wheel's quorvel_dask."""
    python = Path("/usr/bin/python3")
    if subprocess.run([python, "-c", "import distributed"], capture_output=True).returncode != 0:
        pytest.skip("Debian's python3 has no Dask (scripts/install-deps installs python3-distributed)")
    venv = tmp_path / "venv"
    run([python, "-m", "venv", "--system-site-packages", "--without-pip", venv])
    run([venv / "bin" / "python", bundled_pip(python) / "pip", "install", "--no-index", "--no-deps",
         "--no-cache-dir", "--disable-pip-version-check", wheel])
    result = run([venv / "bin" / "python", "-c", SHARDED, tmp_path], cwd=tmp_path)
    assert Path(result.stdout.strip()).parent.parent.parent.parent.parent == venv


@pytest.mark.parametrize("python", INTERPRETERS)
def test_quickstart_in_a_fresh_virtual_environment(python, environments, tmp_path):
    venv = environments[python].result()
    database = tmp_path / "shop.db"
    result = run([venv / "bin" / "python", "-c", QUICKSTART, database, tmp_path / "own.db"], cwd=tmp_path)
    module, *loaded = result.stdout.splitlines()
    package = Path(module).parent
    assert package.parent.parent.parent.parent == venv  # venv/lib/pythonX.Y/site-packages/quorvel
    assert loaded == [str(package / BUNDLED_TBB)], "oneTBB comes from the wheel, SQLite is inside the module"

    program = venv / "bin" / "quorvel"
    if not HAS_PROGRAM:
        assert not program.exists()
        return
    run([program, "--help"], cwd=tmp_path)
    exported = run([program, "export", database], cwd=tmp_path).stdout
    assert [json.loads(line)["id"] for line in exported.splitlines()] == ["a", "b", "bag-7", "boot-1", "note"]
