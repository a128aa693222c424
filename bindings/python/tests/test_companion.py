"""The companion file beside a database (FILE-snapshot): an open loads from
it only when it reflects the records table as it is. Rows changed by other
programs, restored backups, companions of other databases and changes that
never reached it make it stale: the reopen then shows the rows as they are,
and the companion is written afresh."""

import os
import shutil
import sqlite3
import subprocess
from pathlib import Path

import pytest

import quorvel
from conftest import MODULE_DIR, run_python

CLI = MODULE_DIR.parent.parent / "tools" / "quorvel" / "quorvel"


def companion_state(path):
    """What `quorvel check` says of the companion: "current ..." or why not."""
    if not CLI.exists():
        pytest.skip("the quorvel program is not built beside the module")
    result = subprocess.run([str(CLI), "check", str(path)], capture_output=True, text=True, timeout=120)
    line = next(line for line in result.stdout.splitlines() if "companion" in line)
    return line.split(": ", 1)[1]


def fill(path, count=50):
    db = quorvel.Quorvel(str(path))
    for i in range(count):
        db.insert(f"r{i:03d}", [float(i), 1.0, -2.5], '{"i": %d}' % i)
    del db


def listing(path):
    db = quorvel.Quorvel(str(path))
    return db.get_all(), db.search([1.0, 1.0, 1.0], 5)


def rows_only(path):
    """What the rows alone hold: the listing with the companion set aside."""
    kept = Path(str(path) + "-snapshot.kept")
    companion = Path(str(path) + "-snapshot")
    companion.rename(kept)
    try:
        return listing(path)
    finally:
        companion.unlink()
        kept.rename(companion)


@pytest.mark.parametrize("change", [
    "INSERT INTO records VALUES ('new', '{\"id\":\"new\",\"vector\":[4,4,4]}')",
    "UPDATE records SET value = '{\"id\":\"r001\",\"vector\":[9,9,9],\"metadata\":7}' WHERE id = 'r001'",
    "DELETE FROM records WHERE id = 'r002'",
])
@pytest.mark.parametrize("client", ["python", "shell"])
def test_rows_changed_by_another_program_are_what_the_reopen_shows(tmp_path, change, client):
    path = tmp_path / "db.sqlite"
    fill(path)
    assert companion_state(path).startswith("companion current")
    if client == "python":
        connection = sqlite3.connect(path)
        with connection:
            connection.execute(change)
        connection.close()
    else:
        subprocess.run(["sqlite3", str(path), change], check=True, timeout=60)
    assert companion_state(path).startswith("companion not used: the records changed since it was written")
    assert listing(path) == rows_only(path)
    assert companion_state(path).startswith("companion current")  # written afresh by the reopen


def test_a_program_that_inserts_and_exits_leaves_a_companion_the_next_open_uses(tmp_path):
    path = tmp_path / "db.sqlite"
    fill(path)
    code = ("import os, sys, quorvel\n"
            "db = quorvel.Quorvel(sys.argv[1])\n"
            "db.insert('late', [7.0, 7.0, 7.0], '[1]')\n"
            "db.delete('r004')\n"
            "os._exit(0)\n")
    # Small changes are appended to the companion (this one's base is still
    # the empty database it was written for at the first open).
    assert companion_state(path) == "companion current (0 records, 50 changes appended; every checksum right)"
    assert run_python(code, str(path)).returncode == 0
    assert companion_state(path) == "companion current (0 records, 52 changes appended; every checksum right)"
    found = listing(path)
    assert ("late", "[1]") in found[0] and all(id_ != "r004" for id_, _ in found[0])
    assert found == rows_only(path)


def test_restored_backups_and_other_databases_companions_are_not_trusted(tmp_path):
    path, backup = tmp_path / "db.sqlite", tmp_path / "backup.sqlite"
    fill(path)
    shutil.copyfile(path, backup)
    shutil.copyfile(str(path) + "-snapshot", str(backup) + "-snapshot")
    db = quorvel.Quorvel(str(path))
    db.insert("after", [1.0, 2.0, 3.0])
    del db
    newer = Path(str(path) + "-snapshot").read_bytes()
    # The database restored alone, beside the newer companion: the changes
    # up to the backup's version are what an open uses.
    shutil.copyfile(backup, path)
    assert listing(path) == rows_only(path) == listing(backup)
    # Restored and written to again: beside a companion that went another
    # way from the same version.
    db = quorvel.Quorvel(str(path))
    db.insert("other", [3.0, 2.0, 1.0])
    del db
    Path(str(path) + "-snapshot").write_bytes(newer)
    assert listing(path) == rows_only(path)
    # A companion copied from another database with the same records.
    other = tmp_path / "other.sqlite"
    fill(other)
    shutil.copyfile(str(other) + "-snapshot", str(path) + "-snapshot")
    assert companion_state(path) == "companion not used: it belongs to another database; the next open writes it afresh"
    assert listing(path) == rows_only(path)
    # And deleting it is always safe.
    os.remove(str(path) + "-snapshot")
    assert listing(path) == rows_only(path)
