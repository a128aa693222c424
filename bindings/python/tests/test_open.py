"""Opening databases: the file lock, failed opens and instances side by side."""

import gc
import os
import subprocess
import sys

import pytest

import quorvel
from conftest import MODULE_DIR, run_python


def test_second_open_in_this_process_fails_until_the_first_is_gone(db_path):
    first = quorvel.Quorvel(db_path)
    first.insert("a", [1.0])
    with pytest.raises(RuntimeError) as raised:
        quorvel.Quorvel(db_path)
    assert str(raised.value).startswith("Storage error: Database error: ")
    first.insert("b", [1.0])  # the failed open left the first instance alone
    del first
    gc.collect()
    second = quorvel.Quorvel(db_path)
    assert second.get_all() == [("a", None), ("b", None)]


def test_another_process_cannot_open_a_file_held_here(db_path):
    db = quorvel.Quorvel(db_path)
    code = ("import sys, quorvel\n"
            "try:\n"
            "    quorvel.Quorvel(sys.argv[1])\n"
            "except RuntimeError as error:\n"
            "    print(error)\n")
    result = run_python(code, db_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("Storage error: Database error: ")
    del db
    result = run_python(code, db_path)
    assert (result.returncode, result.stdout) == (0, "")


def test_second_open_fails_while_another_process_holds_the_file(db_path):
    holder = subprocess.Popen(
        [sys.executable, "-c",
         "import sys, quorvel\n"
         "db = quorvel.Quorvel(sys.argv[1])\n"
         "db.insert('held', [1.0])\n"
         "print('open', flush=True)\n"
         "sys.stdin.read()\n",
         db_path],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
        env=dict(os.environ, PYTHONPATH=str(MODULE_DIR), PYTHONDONTWRITEBYTECODE="1"))
    try:
        assert holder.stdout.readline() == "open\n"
        with pytest.raises(RuntimeError) as raised:
            quorvel.Quorvel(db_path)
        assert str(raised.value).startswith("Storage error: Database error: ")
    finally:
        holder.stdin.close()
        assert holder.wait(timeout=60) == 0
    assert quorvel.Quorvel(db_path).get_all() == [("held", None)]


@pytest.mark.parametrize("make_path", [
    lambda tmp_path: str(tmp_path / "missing" / "dir" / "x.db"),
    lambda tmp_path: str(tmp_path),
    lambda tmp_path: "",  # no file at all, not a temporary database
])
def test_unopenable_paths(tmp_path, make_path):
    with pytest.raises(RuntimeError) as raised:
        quorvel.Quorvel(make_path(tmp_path))
    assert str(raised.value).startswith("Storage error: ")


# Names that an SQLite-backed store could take for an in-memory database or
# a URI: each one is a plain file in the working directory that keeps its
# records.
@pytest.mark.parametrize("name", [":memory:", "file::memory:", "file:x.db?mode=memory", "file:y.db"])
def test_every_path_names_a_file(tmp_path, monkeypatch, name):
    monkeypatch.chdir(tmp_path)
    db = quorvel.Quorvel(name)
    db.insert("a", [1.0])
    del db
    assert sorted(entry.name for entry in tmp_path.iterdir()) == [name, name + "-snapshot"]  # and its companion
    assert quorvel.Quorvel(name).get_all() == [("a", None)]


def test_path_with_a_nul_is_refused(tmp_path):
    with pytest.raises(ValueError) as raised:
        quorvel.Quorvel(str(tmp_path / "a\0b.db"))
    assert str(raised.value) == "embedded null byte"
    assert list(tmp_path.iterdir()) == []


# In a child with a time limit: a regression would hang at full processor use.
def test_a_link_to_a_missing_file_opens_and_a_loop_fails_at_once(tmp_path):
    (tmp_path / "link.db").symlink_to("target.db")
    (tmp_path / "loop.db").symlink_to("loop.db")
    code = ("import sys, quorvel\n"
            "db = quorvel.Quorvel(sys.argv[1])\n"
            "db.insert('a', [1.0])\n"
            "try:\n"
            "    quorvel.Quorvel(sys.argv[2])\n"
            "except RuntimeError as error:\n"
            "    print(error)\n")
    loop = str(tmp_path / "loop.db")
    result = run_python(code, str(tmp_path / "link.db"), loop, timeout=60)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("Storage error: Database error: unable to open database file: "
                                    "Too many levels of symbolic links")
    assert (tmp_path / "link.db").is_symlink()
    assert quorvel.Quorvel(str(tmp_path / "target.db")).get_all() == [("a", None)]


def test_file_that_is_not_a_database(tmp_path):
    path = tmp_path / "text.db"
    path.write_bytes(b"this is not an SQLite database, only some text." * 100)
    with pytest.raises(RuntimeError) as raised:
        quorvel.Quorvel(str(path))
    assert str(raised.value).startswith("Storage error: Database error: ")
    # The failed open left no lock behind: the file can be replaced and opened.
    path.write_bytes(b"")
    assert quorvel.Quorvel(str(path)).get_all() == []


def test_instances_on_different_files_side_by_side(tmp_path):
    first = quorvel.Quorvel(str(tmp_path / "1.db"))
    second = quorvel.Quorvel(str(tmp_path / "2.db"))
    first.insert("a", [1.0], '"first"')
    second.insert("a", [1.0], '"second"')
    assert (first.get("a"), second.get("a")) == ('"first"', '"second"')


def test_deallocation_releases_the_file_every_time(db_path):
    for round_ in range(20):
        db = quorvel.Quorvel(db_path)
        db.insert(str(round_), [1.0])
        del db
    assert len(quorvel.Quorvel(db_path).get_all()) == 20
