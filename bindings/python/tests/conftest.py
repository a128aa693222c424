"""Fixtures shared by the tests of the quorvel module.

Every test works on database files inside pytest's temporary directory.
"""

import json
import os
import sqlite3
import struct
import subprocess
import sys
from pathlib import Path

import pytest
from hypothesis import settings

import quorvel

MODULE_DIR = Path(quorvel.__file__).resolve().parent

# Hypothesis keeps no example database: it would be written into whichever
# folder the tests run from, the source tree included.
settings.register_profile("quorvel", database=None)
settings.load_profile("quorvel")


@pytest.fixture
def db_path(tmp_path):
    return str(tmp_path / "test.db")


@pytest.fixture
def db(db_path):
    return quorvel.Quorvel(db_path)


def f32(value):
    """`value` rounded to the nearest 32-bit float."""
    return struct.unpack("f", struct.pack("f", value))[0]


def stored_records(path):
    """The records in the database file at `path`, id -> parsed JSON form.

    Reads the file with SQLite directly, so no instance may hold it open.
    """
    with sqlite3.connect(path) as connection:
        rows = connection.execute("SELECT id, value FROM records").fetchall()
    connection.close()
    return {id_: json.loads(value) for id_, value in rows}


def run_python(code, *args, python=sys.executable, module_dir=MODULE_DIR, **options):
    """Runs `code` (or, when it names a file, that script) in a fresh
    interpreter that imports quorvel from `module_dir` (by default the same
    directory as this process); returns the completed process. `options` go
    to subprocess.run (a `user` to run as, for instance)."""
    env = dict(os.environ, PYTHONPATH=str(module_dir), PYTHONDONTWRITEBYTECODE="1")
    command = [python, str(code)] if isinstance(code, Path) else [python, "-c", code]
    return subprocess.run([*command, *args], env=env, capture_output=True, text=True,
                          timeout=options.pop("timeout", 300), **options)
