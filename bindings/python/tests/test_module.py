"""The module and the class as the interpreter sees them."""

import shutil
import subprocess
import sys
import weakref
from pathlib import Path

import pytest

import quorvel
from conftest import run_python


def test_module_attributes():
    assert quorvel.__all__ == ["Quorvel"]
    assert quorvel.__doc__ == ""
    assert [name for name in dir(quorvel) if not name.startswith("_")] == ["Quorvel"]


def test_class_reports_its_signature_and_no_docstring():
    assert quorvel.Quorvel.__name__ == "Quorvel"
    assert quorvel.Quorvel.__qualname__ == "Quorvel"
    assert quorvel.Quorvel.__text_signature__ == "(path)"
    assert quorvel.Quorvel.__doc__ == ""


@pytest.mark.parametrize("method, signature", [
    ("insert", "($self, id, vector, metadata=None)"),
    ("search", "($self, query, k)"),
    ("get", "($self, id)"),
    ("get_all", "($self)"),
    ("delete", "($self, id)"),
])
def test_method_text_signatures(method, signature):
    function = getattr(quorvel.Quorvel, method)
    assert function.__text_signature__ == signature
    assert function.__doc__ is None


def test_class_has_nothing_beyond_its_methods():
    own = {name for name in vars(quorvel.Quorvel) if not name.startswith("__")}
    assert own == {"insert", "search", "get", "get_all", "delete"}
    for name in ("__init__", "__repr__", "__len__", "__iter__", "__contains__", "__enter__", "__eq__",
                 "__hash__", "__reduce__", "__getstate__", "__weakref__", "__dict__"):
        assert name not in vars(quorvel.Quorvel), name


def test_class_cannot_be_subclassed():
    with pytest.raises(TypeError):
        class Derived(quorvel.Quorvel):  # noqa: F841
            pass


def test_instances_have_no_dict_and_no_weak_references(db):
    with pytest.raises(AttributeError):
        db.extra = 1
    with pytest.raises(TypeError):
        weakref.ref(db)


def test_object_new_cannot_make_an_instance_without_a_database():
    with pytest.raises(TypeError):
        object.__new__(quorvel.Quorvel)


def test_only_the_initialiser_is_exported():
    nm = shutil.which("nm")
    if nm is None:
        pytest.skip("nm is not installed")
    output = subprocess.run([nm, "-D", "--defined-only", quorvel.__file__], capture_output=True,
                            text=True, check=True).stdout
    assert [line.split()[-1] for line in output.splitlines()] == ["PyInit_quorvel"]
    assert Path(quorvel.__file__).name == "quorvel.abi3.so"


def links_shared_sqlite():
    readelf = subprocess.run(["readelf", "-d", quorvel.__file__], capture_output=True, text=True, check=True)
    return "libsqlite3" in readelf.stdout


def test_sqlite_inside_the_module_stays_private(tmp_path):
    """Even loaded with RTLD_GLOBAL, the module adds no SQLite symbol to the
    process, and Python's own sqlite3 works beside it, on its own files and
    on the module's once it is closed."""
    if links_shared_sqlite():
        pytest.skip("the module links the shared SQLite (QUORVEL_STATIC_SQLITE=OFF)")
    code = (
        "import ctypes, os, sys\n"
        "sys.setdlopenflags(os.RTLD_NOW | os.RTLD_GLOBAL)\n"
        "import quorvel\n"
        "print(hasattr(ctypes.CDLL(None), 'sqlite3_open_v2'))\n"
        "import sqlite3\n"
        "db = quorvel.Quorvel(sys.argv[1])\n"
        "db.insert('a', [1.0, 0.0], '{\"k\": 1}')\n"
        "own = sqlite3.connect(sys.argv[2])\n"
        "own.execute('CREATE TABLE t (x)')\n"
        "own.execute('INSERT INTO t VALUES (42)')\n"
        "own.commit()\n"
        "db.insert('b', [0.0, 1.0])\n"
        "print(own.execute('SELECT x FROM t').fetchall(), db.search([1.0, 0.0], 1))\n"
        "del db\n"
        "print(sqlite3.connect(sys.argv[1]).execute('SELECT id FROM records ORDER BY id').fetchall())\n")
    result = run_python(code, str(tmp_path / "vectors.db"), str(tmp_path / "own.db"))
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "False",
        "[(42,)] [('a', 1.0, '{\"k\":1}')]",
        "[('a',), ('b',)]",
    ]


def test_second_initialisation_fails():
    result = run_python(
        "import sys, quorvel\n"
        "first = quorvel.Quorvel\n"
        "del sys.modules['quorvel']\n"
        "try:\n"
        "    import quorvel\n"
        "except ImportError as error:\n"
        "    print(error)\n"
        "print(first.__name__)\n")
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "PyO3 modules compiled for CPython 3.8 or older may only be initialized once per "
        "interpreter process",
        "Quorvel",
    ]


def other_interpreter():
    """The `python3` on PATH when it is another interpreter than this one."""
    path = shutil.which("python3")
    if path is None:
        return None
    probe = subprocess.run([path, "-c", "import sys; print(sys.executable)"], capture_output=True,
                           text=True)
    if probe.returncode != 0:
        return None
    resolved = Path(probe.stdout.strip()).resolve()
    return None if resolved == Path(sys.executable).resolve() else resolved


def test_module_loads_in_another_interpreter(tmp_path):
    python = other_interpreter()
    if python is None:
        pytest.skip("the python3 on PATH is this interpreter")
    code = (
        "import sys, quorvel\n"
        "db = quorvel.Quorvel(sys.argv[1])\n"
        "db.insert('a', [1.0, 0.0], '{\"k\": 1}')\n"
        "print(sys.version, db.get('a'), db.search([1, 0], 5), sep='\\n')\n")
    result = run_python(code, str(tmp_path / "other.db"), python=str(python))
    assert result.returncode == 0, result.stderr
    version, got, found = result.stdout.splitlines()
    assert version != sys.version
    assert got == '{"k":1}'
    assert found == "[('a', 1.0, '{\"k\":1}')]"
