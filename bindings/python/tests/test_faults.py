"""Faults from outside the program: full disks, read-only and damaged files,
files that are not databases, and files changed behind an open instance.

Each gives a clear error or a consistent open, never a crash, and never
loses a change that was acknowledged. QUORVEL_FAULT_FLIPS sets how many
flipped bytes are tried per file (30 here; `make test-reliability` runs
more).
"""

import json
import os
import random
import shlex
import shutil
import sqlite3
import stat
import subprocess
import tempfile
from pathlib import Path

import pytest

import quorvel
from conftest import run_python

FLIPS = int(os.environ.get("QUORVEL_FAULT_FLIPS", "30"))
NOBODY = 65534

# Opens the database in a fresh process and reports what happened, so that
# a crash shows as the process's exit status.
OUTCOME = ("import json, sys, quorvel\n"
           "try:\n"
           "    db = quorvel.Quorvel(sys.argv[1])\n"
           "except Exception as error:\n"
           "    print('ERR', type(error).__name__, error)\n"
           "else:\n"
           "    print('OK', json.dumps(db.get_all()))\n")


def outcome(path, **options):
    """("OK", {id: metadata}) or ("ERR", "<exception type> <message>")."""
    result = run_python(OUTCOME, str(path), **options)
    assert result.returncode == 0, f"exit status {result.returncode}: {result.stderr}"
    kind, _, rest = result.stdout.strip().partition(" ")
    return (kind, dict(json.loads(rest))) if kind == "OK" else (kind, rest)


def metadata(i):
    return json.dumps({"i": i}, separators=(",", ":"))


def make_database(path, count, length=64):
    db = quorvel.Quorvel(str(path))
    for i in range(count):
        db.insert(f"r{i:05d}", [float(i)] * length, metadata(i))


def leave_log(path, count):
    """A database whose last `count` inserts are only in its write-ahead
    log, as a crash leaves it."""
    code = ("import os, sys, quorvel\n"
            "db = quorvel.Quorvel(sys.argv[1])\n"
            "for i in range(int(sys.argv[2])):\n"
            "    db.insert(f'r{i:05d}', [float(i)] * 64, '{\"i\":%d}' % i)\n"
            "os._exit(0)\n")
    result = run_python(code, str(path), str(count))
    assert result.returncode == 0, result.stderr
    assert os.path.getsize(str(path) + "-wal") > 0


def assert_consistent(found, expected_count):
    """Every listed record is one that was written, with its metadata."""
    for id_, text in found.items():
        i = int(id_[1:])
        assert i < expected_count and text == metadata(i), (id_, text)


# --- Full disks -------------------------------------------------------------

FILL = ("import resource, signal, sys, quorvel\n"
        "signal.signal(signal.SIGXFSZ, signal.SIG_IGN)\n"
        "db = quorvel.Quorvel(sys.argv[1])\n"
        "limit = int(sys.argv[2])\n"
        "resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))\n"
        "acknowledged = 0\n"
        "try:\n"
        "    while True:\n"
        "        db.insert(f'r{acknowledged:05d}', [float(acknowledged)] * 256, '{\"i\":%d}' % acknowledged)\n"
        "        acknowledged += 1\n"
        "except RuntimeError as error:\n"
        "    print(acknowledged, error)\n")


def test_a_file_size_limit_refuses_the_change_that_does_not_fit(db_path):
    result = run_python(FILL, db_path, str(2 * 1024 * 1024))
    assert result.returncode == 0, result.stderr
    acknowledged, message = result.stdout.strip().split(" ", 1)
    assert message == "Storage error: Commit error: disk I/O error"
    # Also when the closing checkpoint could not write the file: the log
    # kept every acknowledged change.
    assert outcome(db_path) == ("OK", {f"r{i:05d}": metadata(i) for i in range(int(acknowledged))})


@pytest.fixture
def small_tmpfs(tmp_path):
    """A file system of 1 MiB, where the test may mount one."""
    mount_point = tmp_path / "small"
    mount_point.mkdir()
    mounted = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=1m", "tmpfs", str(mount_point)],
                             capture_output=True, text=True)
    if mounted.returncode != 0:
        pytest.skip(f"cannot mount a tmpfs here: {mounted.stderr.strip()}")
    yield mount_point
    subprocess.run(["umount", "-l", str(mount_point)], check=True)


def test_a_full_file_system_refuses_changes_until_space_is_back(small_tmpfs):
    path = str(small_tmpfs / "full.db")
    filler = small_tmpfs / "filler"
    filler.write_bytes(b"\0" * 300_000)
    db = quorvel.Quorvel(path)
    acknowledged = 0
    with pytest.raises(RuntimeError) as raised:
        while True:
            db.insert(f"r{acknowledged:05d}", [float(acknowledged)] * 256, metadata(acknowledged))
            acknowledged += 1
    assert str(raised.value) == "Storage error: Commit error: database or disk is full"
    assert len(db.get_all()) == acknowledged
    filler.unlink()
    db.insert("after", [1.0])
    del db
    expected = {f"r{i:05d}": metadata(i) for i in range(acknowledged)}
    assert outcome(path) == ("OK", {**expected, "after": None})


# --- Read-only files and directories ---------------------------------------

@pytest.fixture
def unprivileged():
    """A directory and subprocess options under which writes are checked
    by the file system's permissions: as the user nobody when the tests run
    as root (who may write anything), else as ourselves. nobody imports a
    copy of the module from a directory of its own, since the build tree
    may lie in a folder that only root can enter, and starts there."""
    directory = Path(tempfile.mkdtemp(prefix="quorvel-permissions-"))
    module_copy = Path(tempfile.mkdtemp(prefix="quorvel-module-"))
    options = {}
    if os.geteuid() == 0:
        os.chmod(directory, 0o755)
        os.chown(directory, NOBODY, NOBODY)
        os.chmod(module_copy, 0o755)
        shutil.copy(quorvel.__file__, module_copy)
        options = {"user": NOBODY, "group": NOBODY, "extra_groups": [], "module_dir": module_copy,
                   "cwd": module_copy}
    yield directory, options
    os.chmod(directory, 0o755)
    shutil.rmtree(directory)
    shutil.rmtree(module_copy)


def own(path):
    if os.geteuid() == 0:
        os.chown(path, NOBODY, NOBODY)


@pytest.mark.parametrize("case, message", [
    ("read-only file", "the file cannot be written: Permission denied"),
    ("read-only directory", "the directory of the file cannot be written, and the write-ahead log is kept "
                            "there: Permission denied"),
    ("new file in a read-only directory", "the file cannot be created: Permission denied"),
])
def test_read_only_files_and_directories_say_what_cannot_be_written(unprivileged, case, message):
    directory, options = unprivileged
    path = directory / "db.sqlite"
    if case != "new file in a read-only directory":
        make_database(path, 3)
        own(path)
    before = path.read_bytes() if path.exists() else None
    if case == "read-only file":
        os.chmod(path, 0o444)
    else:
        os.chmod(directory, 0o555)
    assert outcome(path, **options) == ("ERR", f"RuntimeError Storage error: Database error: {message} (file {path})")
    assert (path.read_bytes() if path.exists() else None) == before


# --- Damaged files and files that are not databases --------------------------

def test_a_truncated_file_gives_an_error_or_its_remaining_records(tmp_path):
    original = tmp_path / "original.db"
    make_database(original, 300)
    size = original.stat().st_size
    for cut in sorted({1, 100, 4096, 65536, 65536 + 100, size // 2, size - 65536, size - 1}):
        damaged = tmp_path / f"cut-{cut}.db"
        shutil.copyfile(original, damaged)
        os.truncate(damaged, cut)
        kind, found = outcome(damaged)
        if kind == "OK":
            assert_consistent(found, 300)
        else:
            assert found.startswith("RuntimeError Storage error: "), (cut, found)


def test_a_truncated_log_keeps_the_changes_before_the_cut(tmp_path):
    original = tmp_path / "original.db"
    leave_log(original, 200)
    log_size = os.path.getsize(str(original) + "-wal")
    for cut in sorted({0, 32, 1000, log_size // 3, log_size // 2, log_size - 1}):
        damaged = tmp_path / f"cut-{cut}.db"
        shutil.copyfile(original, damaged)
        shutil.copyfile(str(original) + "-wal", str(damaged) + "-wal")
        os.truncate(str(damaged) + "-wal", cut)
        kind, found = outcome(damaged)
        assert kind == "OK", (cut, found)
        # Commits are whole and in order: what is left is a prefix.
        assert found == {f"r{i:05d}": metadata(i) for i in range(len(found))}, cut


@pytest.mark.parametrize("damaged_file", ["database", "log"])
def test_flipped_bytes_give_an_error_or_an_open_never_a_crash(tmp_path, damaged_file):
    original = tmp_path / "original.db"
    if damaged_file == "database":
        make_database(original, 300)
    else:
        leave_log(original, 100)
    target_suffix = "" if damaged_file == "database" else "-wal"
    size = os.path.getsize(str(original) + target_suffix)
    rng = random.Random(size)
    for flip in range(FLIPS):
        damaged = tmp_path / f"flip-{flip}.db"
        shutil.copyfile(original, damaged)
        if damaged_file == "log":
            shutil.copyfile(str(original) + "-wal", str(damaged) + "-wal")
        offset = rng.randrange(size)
        with open(str(damaged) + target_suffix, "r+b") as file:
            file.seek(offset)
            byte = file.read(1)
            file.seek(offset)
            file.write(bytes([byte[0] ^ (1 << rng.randrange(8))]))
        kind, found = outcome(damaged)
        if kind == "ERR":
            assert found.startswith("RuntimeError Storage error: "), (offset, found)
        for path in tmp_path.glob(f"flip-{flip}.db*"):
            path.unlink()


@pytest.mark.parametrize("fault", ["truncated", "flipped"])
def test_a_damaged_companion_is_never_used(tmp_path, fault):
    """Cut or bit-flipped companion bytes: every open gives exactly what the
    rows hold, never a crash."""
    original = tmp_path / "original.db"
    make_database(original, 300)
    db = quorvel.Quorvel(str(original))
    for i in range(300, 320):  # appended to the companion as changes
        db.insert(f"r{i:05d}", [float(i)] * 64, metadata(i))
    del db
    companion = Path(str(original) + "-snapshot").read_bytes()
    expected = ("OK", {f"r{i:05d}": metadata(i) for i in range(320)})
    rng = random.Random(len(companion))
    for attempt in range(FLIPS):
        damaged = tmp_path / f"{fault}-{attempt}.db"
        shutil.copyfile(original, damaged)
        if fault == "truncated":
            broken = companion[:rng.randrange(len(companion))]
        else:
            offset = rng.randrange(len(companion))
            broken = bytearray(companion)
            broken[offset] ^= 1 << rng.randrange(8)
        Path(str(damaged) + "-snapshot").write_bytes(broken)
        assert outcome(damaged) == expected, attempt
        for path in tmp_path.glob(f"{fault}-{attempt}.db*"):
            path.unlink()


def test_files_that_are_not_databases_are_refused_and_left_alone(tmp_path):
    cases = {
        "notes.txt": (b"just some text, long enough to be read as a header" * 4,
                      "Database error: file is not a database"),
        "random.bin": (random.Random(1).randbytes(8192), "Database error: file is not a database"),
        "data.json": (b'{"id": "a", "vector": [1, 2, 3]}' * 10, "Database error: file is not a database"),
        "bad-header.db": (b"SQLite format 3\0" + b"\xff" * 200, "Database error: file is not a database"),
    }
    for name, (content, message) in cases.items():
        path = tmp_path / name
        path.write_bytes(content)
        assert outcome(path) == ("ERR", f"RuntimeError Storage error: {message} (file {path})"), name
        assert path.read_bytes() == content, name
    (tmp_path / "directory").mkdir()
    assert outcome(tmp_path / "directory") == (
        "ERR", "RuntimeError Storage error: Database error: unable to open database file: Is a directory "
               f"(file {tmp_path / 'directory'})")
    os.mkfifo(tmp_path / "pipe")
    assert outcome(tmp_path / "pipe") == (
        "ERR", "RuntimeError Storage error: Database error: unable to open database file: not a regular file "
               f"(file {tmp_path / 'pipe'})")


@pytest.mark.parametrize("key, value, reader_text, shown_key", [
    ("broken", b'{"id":"broken","vector":[1,', "EOF while parsing a value at line 1 column 27", '"broken"'),
    # Another id than its key: it would open under an id that delete and
    # insert never reach.
    ("outer", b'{"id":"inner","vector":[1]}', 'the id "inner" differs from the key it is stored under at line 1 '
                                               'column 7', '"outer"'),
    # A key of bytes that are not UTF-8 (another client's blob) still gives
    # a RuntimeError whose text shows each such byte; its own backslash is
    # written doubled, so the two never read alike.
    (b"x\xff\\xff", b'{"id":"x","vector":[1]}', 'the id "x" differs from the key it is stored under at line 1 '
                                               'column 7', '"x\\xff\\\\xff"'),
], ids=["not a record", "another id", "a key that is not UTF-8"])
def test_a_damaged_row_fails_the_open_naming_the_row_the_file_and_the_way_out(tmp_path, key, value, reader_text,
                                                                              shown_key):
    path = tmp_path / "my records.db"
    make_database(path, 3)
    connection = sqlite3.connect(path)
    with connection:
        connection.execute("INSERT INTO records VALUES (?, ?)", (key, value))
    connection.close()
    word = shlex.quote(str(path))
    for _ in range(2):
        with pytest.raises(RuntimeError) as raised:
            quorvel.Quorvel(str(path))
        assert str(raised.value) == (
            f"Storage error: Serialization error: {reader_text} (record {shown_key} in {path}; `quorvel check {word}` "
            f"lists the damaged rows, `quorvel salvage {word} NEW` copies the rest into a new file NEW)")


def test_another_applications_database_is_refused_and_left_as_it_was(tmp_path):
    path = tmp_path / "app.sqlite"
    connection = sqlite3.connect(path)
    with connection:
        connection.execute("CREATE TABLE users (name TEXT)")
        connection.execute("INSERT INTO users VALUES ('ada')")
    connection.close()
    before = path.read_bytes()
    with pytest.raises(RuntimeError) as raised:
        quorvel.Quorvel(str(path))
    assert str(raised.value) == ("Storage error: Table error: the file holds no table records but other data "
                                 f"(table users): it belongs to another application (file {path})")
    assert path.read_bytes() == before
    assert not os.path.exists(str(path) + "-wal")


# --- Files changed behind an open instance -----------------------------------

def test_the_lock_survives_another_close_of_the_file(db_path, tmp_path):
    db = quorvel.Quorvel(db_path)
    db.insert("a", [1.0])
    # Copying the file opens and closes a descriptor of it in this process,
    # which drops SQLite's own record lock.
    shutil.copyfile(db_path, tmp_path / "backup.db")
    assert outcome(db_path) == ("ERR", f"RuntimeError Storage error: Database error: database is locked (file {db_path})")
    db.insert("b", [2.0])
    del db
    assert outcome(db_path) == ("OK", {"a": None, "b": None})


REMOVED = ("import os, signal, sys, quorvel\n"
           "path = sys.argv[1]\n"
           "old = quorvel.Quorvel(path)\n"
           "old.insert('old', [1.0])\n"
           "os.remove(path)\n"
           "for attempt in (lambda: old.insert('lost', [1.0]), lambda: quorvel.Quorvel(path)):\n"
           "    try:\n"
           "        attempt()\n"
           "    except RuntimeError as error:\n"
           "        print(error, flush=True)\n"
           "del old\n"
           "new = quorvel.Quorvel(path)\n"
           "new.insert('new', [1.0])\n"
           "new.insert('newer', [1.0])\n"
           "os.kill(os.getpid(), signal.SIGKILL)\n")


def test_a_removed_file_refuses_changes_and_holds_its_path_until_dropped(db_path):
    result = run_python(REMOVED, db_path)
    assert result.returncode == -9, result.stderr
    assert result.stdout.splitlines() == [
        "Storage error: Transaction error: the path no longer names the file that was opened (it was "
        "deleted, moved or replaced); nothing was written",
        # The old instance still holds the write-ahead log at this path.
        f"Storage error: Database error: database is locked (file {db_path})",
    ]
    # Once it is gone, a new file opens there, and its changes survive a crash.
    assert outcome(db_path) == ("OK", {"new": None, "newer": None})


REPLACED = ("import os, signal, sys, quorvel\n"
            "path, backup, end = sys.argv[1:]\n"
            "db = quorvel.Quorvel(path)\n"
            "db.insert('a', [1.0])\n"
            "db.insert('b', [2.0])\n"
            "os.replace(backup, path)\n"
            "try:\n"
            "    db.insert('c', [3.0])\n"
            "except RuntimeError as error:\n"
            "    print(error, flush=True)\n"
            "if end == 'crash':\n"
            "    os.kill(os.getpid(), signal.SIGKILL)\n")


@pytest.mark.parametrize("end", ["crash", "exit"])
def test_a_backup_restored_under_an_open_instance_stays_as_it_was(tmp_path, end):
    path, backup = tmp_path / "live.db", tmp_path / "backup.db"
    make_database(backup, 5)
    result = run_python(REPLACED, str(path), str(backup), end)
    assert result.returncode == (-9 if end == "crash" else 0), result.stderr
    assert result.stdout.startswith("Storage error: Transaction error: the path no longer names the file")
    assert outcome(path) == ("OK", {f"r{i:05d}": metadata(i) for i in range(5)})


def test_paths_up_to_the_length_sqlite_opens(tmp_path):
    directory = tmp_path / ("d" * 200) / ("d" * 200)
    directory.mkdir(parents=True)
    longest = directory / ("f" * (504 - len(str(directory)) - 1))
    quorvel.Quorvel(str(longest)).insert("a", [1.0])
    assert outcome(longest) == ("OK", {"a": None})
    too_long = Path(str(longest) + "x")
    assert outcome(too_long) == ("ERR", "RuntimeError Storage error: Database error: the path is too long: SQLite "
                                        f"opens files whose absolute path has at most 504 bytes (file {too_long})")
    assert not too_long.exists()
