"""Crashes: a writer killed with SIGKILL at random moments loses nothing it
acknowledged, and the file opens again at once.

QUORVEL_CRASH_KILLS sets the number of kills (20 here; `make
test-reliability` runs 500). The write-ahead log is left to grow across
kills (the checks end without closing the file), so it passes the
checkpoint threshold again and again and some kills land in checkpoints.
"""

import json
import os
import random
import struct
import subprocess
import sys
import time
from pathlib import Path

import quorvel
from conftest import MODULE_DIR, stored_records

KILLS = int(os.environ.get("QUORVEL_CRASH_KILLS", "20"))
WRITER = Path(__file__).parent / "reliability" / "crash_writer.py"
ENV = dict(os.environ, PYTHONPATH=str(MODULE_DIR), PYTHONDONTWRITEBYTECODE="1")

# Opens the database in a fresh process, prints every record's metadata and
# ends without closing, so that the log stays as the crash left it.
CHECKER = ("import json, os, sys, quorvel\n"
           "db = quorvel.Quorvel(sys.argv[1])\n"
           "sys.stdout.write(json.dumps(db.get_all()))\n"
           "sys.stdout.flush()\n"
           "os._exit(0)\n")


def replay(log_text):
    """The records that the acknowledged changes in the writer's log leave
    (id -> (seq, vector length)), and the change in flight, if any."""
    records, in_flight = {}, None
    for line in log_text.splitlines():
        fields = line.split()
        if fields[0] == "B":
            in_flight = fields
        elif fields[0] in ("E", "A"):  # acknowledged, or found not applied
            assert in_flight is not None and in_flight[1] == fields[1], line
            if fields[0] == "E":
                apply(records, in_flight)
            in_flight = None
    return records, in_flight


def apply(records, change):
    _, seq, operation, id_, *length = change
    if operation == "insert":
        records[id_] = (int(seq), int(length[0]))
    else:
        records.pop(id_, None)


def listed(records):
    return {id_: json.dumps({"seq": seq}, separators=(",", ":")) for id_, (seq, _) in records.items()}


def log_checkpoints(db_path):
    """The checkpoint sequence number in the write-ahead log's header."""
    try:
        with open(db_path + "-wal", "rb") as wal:
            header = wal.read(16)
    except FileNotFoundError:
        return None
    return struct.unpack(">I", header[12:16])[0] if len(header) == 16 else None


def wait_for_open(log_path, opens, writer):
    deadline = time.monotonic() + 60
    while time.monotonic() < deadline:
        if log_path.exists() and log_path.read_text().count("open\n") >= opens:
            return
        assert writer.poll() is None, writer.stderr.read()
        time.sleep(0.002)
    raise AssertionError("the writer did not open the database")


def test_killed_writers_lose_nothing_acknowledged(tmp_path):
    db_path, log_path = str(tmp_path / "crash.db"), tmp_path / "writer.log"
    rng = random.Random(KILLS)
    checkpoints = set()
    for kill in range(KILLS):
        log_text = log_path.read_text() if log_path.exists() else ""
        seq = max((int(line.split()[1]) for line in log_text.splitlines() if line[0] != "o"), default=0)
        opens = log_text.count("open\n")
        writer = subprocess.Popen([sys.executable, str(WRITER), db_path, str(log_path), str(kill), str(seq)],
                                  env=ENV, stderr=subprocess.PIPE, text=True)
        if rng.random() < 0.1:
            time.sleep(rng.uniform(0, 0.3))  # sometimes while it starts and opens
        else:
            wait_for_open(log_path, opens + 1, writer)
            time.sleep(rng.uniform(0, 0.5))
        writer.kill()
        writer.wait()
        if kill == 0 and not log_path.exists():
            continue
        checkpoints.add(log_checkpoints(db_path))

        check = subprocess.run([sys.executable, "-c", CHECKER, db_path], env=ENV, capture_output=True,
                               text=True, timeout=120)
        assert check.returncode == 0, check.stderr  # opens at once: the lock was released
        found = dict(json.loads(check.stdout))
        records, in_flight = replay(log_path.read_text()) if log_path.exists() else ({}, None)
        if found == listed(records):
            outcome = "A"
        else:
            assert in_flight is not None, f"after kill {kill}: acknowledged changes missing or extra"
            apply(records, in_flight)
            assert found == listed(records), f"after kill {kill}: the file matches no acknowledged state"
            outcome = "E"
        if in_flight is not None:
            with open(log_path, "a") as log:
                log.write(f"{outcome} {in_flight[1]}\n")

    # Every stored vector is the one its acknowledged insert wrote.
    quorvel.Quorvel(db_path).get_all()  # open and close once, folding the log into the file
    records, _ = replay(log_path.read_text())
    stored = stored_records(db_path)
    assert {id_: (int(value["vector"][0]), len(value["vector"])) for id_, value in stored.items()} == records
    if KILLS >= 100:
        assert len(checkpoints - {None}) >= 5, "too few checkpoints happened to show kills during them"
