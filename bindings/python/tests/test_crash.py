"""Crashes: a writer killed with SIGKILL at random moments loses nothing it
acknowledged, and the file opens again at once, with the same records
whether an open loads them from the companion file or reads the rows: kills
land while changes are appended to the companion, and while it is written
whole (test_killed_companion_writes_are_never_used).

QUORVEL_CRASH_KILLS sets the number of kills (20 here; `make
test-reliability` runs 500). The write-ahead log is left to grow across
kills (the checks end without closing the file), so it passes the
checkpoint threshold again and again and some kills land in checkpoints.
"""

import json
import os
import random
import sqlite3
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


# Opens a database whose companion is missing or stale, so that the open
# writes it whole; with "close", then changes enough records that the close
# writes it whole again.
COMPANION_WRITER = ("import sys, quorvel\n"
                    "db = quorvel.Quorvel(sys.argv[1])\n"
                    "print('opened', flush=True)\n"
                    "if sys.argv[2] == 'close':\n"
                    "    for i in range(150):\n"
                    "        db.insert(f'big{i:03d}', [float(i)] * 2000)\n"
                    "    print('changed', flush=True)\n"
                    "    del db\n")


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
        listed_by_open = json.loads(check.stdout)
        found = dict(listed_by_open)
        # The rows alone say the same, with the companion set aside (the
        # open without it writes a new one, which then stays).
        if os.path.exists(db_path + "-snapshot"):
            os.remove(db_path + "-snapshot")
        rows = subprocess.run([sys.executable, "-c", CHECKER, db_path], env=ENV, capture_output=True,
                              text=True, timeout=120)
        assert rows.returncode == 0, rows.stderr
        assert json.loads(rows.stdout) == listed_by_open, f"after kill {kill}: the companion and the rows differ"
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


def test_killed_companion_writes_are_never_used(tmp_path):
    """Kills while the companion is written whole, at an open and at a close:
    the next open gives exactly what the rows hold."""
    db_path = str(tmp_path / "companion.db")
    quorvel.Quorvel(db_path)  # creates the file, dropped at once
    connection = sqlite3.connect(db_path)
    with connection:
        connection.executemany("INSERT INTO records VALUES (?, ?)", (
            (f"r{i:05d}", json.dumps({"id": f"r{i:05d}", "vector": [float(i)] * 96})) for i in range(20000)))
    connection.close()
    rng = random.Random(11)
    for kill in range(max(KILLS // 2, 6)):
        at_close = kill % 2 == 1
        if not at_close and os.path.exists(db_path + "-snapshot"):
            os.remove(db_path + "-snapshot")
        writer = subprocess.Popen([sys.executable, "-c", COMPANION_WRITER, db_path, "close" if at_close else "open"],
                                  env=ENV, stdout=subprocess.PIPE, text=True)
        if at_close:
            assert writer.stdout.readline() == "opened\n"
            assert writer.stdout.readline() == "changed\n"
        time.sleep(rng.uniform(0, 0.05 if at_close else 0.3))
        writer.kill()
        writer.wait()
        check = subprocess.run([sys.executable, "-c", CHECKER, db_path], env=ENV, capture_output=True, text=True,
                               timeout=120)
        assert check.returncode == 0, check.stderr
        os.remove(db_path + "-snapshot")
        rows = subprocess.run([sys.executable, "-c", CHECKER, db_path], env=ENV, capture_output=True, text=True,
                              timeout=120)
        assert rows.returncode == 0, rows.stderr
        assert json.loads(rows.stdout) == json.loads(check.stdout), f"after kill {kill}"
