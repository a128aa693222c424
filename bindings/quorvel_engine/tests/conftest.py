"""Fixtures shared by the tests of the quorvel_engine module.

Every test works on database files inside pytest's temporary directory.
"""

import os
import struct
import subprocess
import sys

import pytest

import quorvel_engine


@pytest.fixture
def db_path(tmp_path):
    return str(tmp_path / "test.db")


@pytest.fixture
def db(db_path):
    engine = quorvel_engine.Engine(db_path)
    yield engine
    engine.close()


def f32(value):
    """`value` rounded to the nearest 32-bit float."""
    return struct.unpack("f", struct.pack("f", value))[0]


def run_python(code, *args, timeout=300):
    """Runs `code` in a fresh interpreter that imports both modules as this
    process does; returns the completed process."""
    env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1")
    return subprocess.run([sys.executable, "-c", code, *args], env=env, capture_output=True, text=True,
                          timeout=timeout)
