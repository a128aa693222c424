"""The quorvel program, run as a user runs it: each subcommand on a small
fixture, the round trip export -> import -> export, damaged files, and the
refusals with their messages and exit statuses."""

import fcntl
import json
import os
import pty
import re
import sqlite3
import stat
import subprocess
import time
from pathlib import Path

import pytest

PROGRAM = os.environ.get("QUORVEL_PROGRAM", "quorvel")
SOURCE_DIR = Path(__file__).resolve().parents[3]

RECORDS = [
    {"id": "b", "vector": [0.0, 1.0], "metadata": {"colour": "red", "n": 1}, "timestamp": None},
    {"id": "a", "vector": [1.0, 0.0], "metadata": None, "timestamp": 1700000000},
    {"id": "c", "vector": [0.5, 0.5, 9.0], "metadata": [1, "x"], "timestamp": None},
    {"id": "d\u00e9", "vector": [], "metadata": {"colour": "red", "n": 1.0}, "timestamp": None},
]


def quorvel(*args, stdin=None):
    return subprocess.run([PROGRAM, *map(str, args)], input=stdin, capture_output=True, text=True, timeout=120)


def jsonl(records):
    return "".join(json.dumps(record) + "\n" for record in records)


@pytest.fixture
def database(tmp_path):
    path = tmp_path / "fixture.db"
    source = tmp_path / "fixture.jsonl"
    source.write_text(jsonl(RECORDS))
    result = quorvel("import", path, "--input", source)
    assert (result.returncode, result.stderr) == (0, f"quorvel: {path}: imported 4 records\n")
    return path


def add_row(path, key, value):
    """Writes a row straight into the table, as another program might."""
    connection = sqlite3.connect(path)
    with connection:
        connection.execute("INSERT INTO records VALUES (?, ?)", (key, value))
    connection.close()


def test_export_writes_the_stored_form_in_key_order_and_round_trips(database, tmp_path):
    exported = quorvel("export", database)
    assert exported.returncode == 0, exported.stderr
    assert exported.stdout.splitlines() == [
        '{"id":"a","vector":[1.0,0.0],"metadata":null,"timestamp":1700000000}',
        '{"id":"b","vector":[0.0,1.0],"metadata":{"colour":"red","n":1},"timestamp":null}',
        '{"id":"c","vector":[0.5,0.5,9.0],"metadata":[1,"x"],"timestamp":null}',
        '{"id":"d\u00e9","vector":[],"metadata":{"colour":"red","n":1.0},"timestamp":null}',
    ]
    # Into a file, then into a new database, and out again: the same bytes.
    first = tmp_path / "first.jsonl"
    assert quorvel("export", database, "--output", first).returncode == 0
    copy = tmp_path / "copy.db"
    assert quorvel("import", copy, "--input", first).returncode == 0
    second = tmp_path / "second.jsonl"
    assert quorvel("export", copy, "--output", second).returncode == 0
    assert second.read_bytes() == first.read_bytes() == exported.stdout.encode()


@pytest.mark.parametrize("spelling", ["the path", "another spelling", "a hard link", "a symbolic link", "the log",
                                      "standard output"])
def test_export_refuses_to_write_over_the_database_or_its_log(database, tmp_path, spelling):
    before = quorvel("export", database).stdout
    log = tmp_path / "fixture.db-wal"
    if spelling == "the log":
        log.write_bytes(b"")  # the program leaves none behind; a live instance keeps one
    output = {"the path": database, "another spelling": tmp_path / "." / ".." / tmp_path.name / "fixture.db",
              "a hard link": tmp_path / "hard.db", "a symbolic link": tmp_path / "soft.db", "the log": log}.get(spelling)
    if spelling == "a hard link":
        os.link(database, output)
    if spelling == "a symbolic link":
        output.symlink_to(database)
    if spelling == "standard output":
        with open(database, "ab") as appended:
            result = subprocess.run([PROGRAM, "export", str(database)], stdout=appended, stderr=subprocess.PIPE,
                                    text=True, timeout=60)
        subject, what = "standard output", "database file being read"
    else:
        result = quorvel("export", database, "--output", output)
        subject = output
        what = "write-ahead log of the database being read" if spelling == "the log" else "database file being read"
    assert (result.returncode, result.stderr) == (1, f"quorvel: {subject}: is the {what}; nothing was written\n")
    log.unlink(missing_ok=True)
    assert quorvel("export", database).stdout == before
    assert sorted(path.name for path in tmp_path.iterdir() if ".partial-" in path.name) == []


def test_export_writes_into_a_pipe_in_place_and_through_a_symbolic_link(database, tmp_path):
    expected = quorvel("export", database).stdout
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    # Opened without waiting for a writer; the export fits the pipe's buffer.
    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    try:
        result = quorvel("export", database, "--output", fifo)
        assert (result.returncode, result.stderr) == (0, "")
        assert os.read(reader, 1 << 16).decode() == expected
    finally:
        os.close(reader)
    assert stat.S_ISFIFO(os.stat(fifo).st_mode), "a device or pipe is written, not replaced"

    target, link = tmp_path / "target.jsonl", tmp_path / "link.jsonl"
    target.write_text("old\n")
    link.symlink_to(target)
    assert quorvel("export", database, "--output", link).returncode == 0
    assert link.is_symlink() and target.read_text() == expected


def run_on_terminal(*args, stdout_too):
    """Runs the program with standard error on a terminal (and standard
    output too, or into a pipe); returns (terminal bytes, piped output)."""
    controller, terminal = pty.openpty()
    out = terminal if stdout_too else subprocess.PIPE
    with subprocess.Popen([PROGRAM, *map(str, args)], stdout=out, stderr=terminal, stdin=subprocess.DEVNULL) as process:
        os.close(terminal)
        shown = b""
        while True:
            try:
                chunk = os.read(controller, 65536)
            except OSError:  # the terminal's other end is closed
                break
            if not chunk:
                break
            shown += chunk
        piped = process.stdout.read() if process.stdout else b""
    os.close(controller)
    assert process.returncode == 0, shown
    return shown.decode(), piped.decode()


ERASE = "\r\x1b[K"


def test_progress_is_drawn_on_a_terminal_only_and_erased_before_output(database, tmp_path):
    expected = quorvel("export", database).stdout
    shown, piped = run_on_terminal("export", database, stdout_too=False)
    assert piped == expected
    # Drawn at the first record with the total, erased when done.
    assert re.fullmatch(r"(\r\x1b\[Kexporting \[[# ]{16}\] +\d+%  \d/4 records[^\r]*)+\r\x1b\[K", shown), shown

    # Records written to the same terminal: each bar is erased before one is.
    shown, _ = run_on_terminal("export", database, stdout_too=True)
    bars = re.compile(r"\r\x1b\[Kexporting \[[^\r]*(?=\r\x1b\[K)")
    assert bars.search(shown)
    assert bars.sub("", shown).replace(ERASE, "").replace("\r\n", "\n") == expected

    shown, _ = run_on_terminal("info", database, stdout_too=True)
    drawn, output = shown.rsplit(ERASE, 1)
    assert drawn.startswith(ERASE + "reading [") and "/4 rows" in drawn
    assert output.replace("\r\n", "\n") == quorvel("info", database).stdout

    (tmp_path / "in.jsonl").write_text(jsonl(RECORDS))
    shown, _ = run_on_terminal("import", tmp_path / "new.db", "--input", tmp_path / "in.jsonl", stdout_too=False)
    size = f"{os.path.getsize(tmp_path / 'in.jsonl')} B"
    assert f"reading [" in shown and f"of {size}" in shown and "/4 records" in shown and "committing 4 records" in shown
    assert shown.endswith(ERASE + f"quorvel: {tmp_path / 'new.db'}: imported 4 records\r\n")

    result = quorvel("info", database)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[1:] == [
        "records         4",
        "vector lengths  min 0, max 3, most common 2 (2 records)",
        "with metadata   3",
        "with timestamp  1",
        f"file size       {os.path.getsize(database)} bytes",
        "page size       4096 bytes",
        "journal mode    wal",
        f"companion       current, {os.path.getsize(str(database) + '-snapshot')} bytes (4 records, 0 changes appended)",
    ]


def test_import_replaces_stored_ids_and_takes_the_array_form(database):
    result = quorvel("import", database, stdin='["a",[2,3],{"new":true},null]\n\n{"id":"z","vector":[1]}\n')
    assert result.returncode == 0, result.stderr
    exported = quorvel("export", database).stdout.splitlines()
    assert exported[0] == '{"id":"a","vector":[2.0,3.0],"metadata":{"new":true},"timestamp":null}'
    assert exported[-1] == '{"id":"z","vector":[1.0],"metadata":null,"timestamp":null}'
    assert len(exported) == 5


# What the program adds to the record reader's own words about a bad line.
LINE_HOLDS = ('. Each line must hold one record: a JSON object {"id": text, "vector": [numbers], "metadata": any '
              'JSON, "timestamp": whole seconds}, whose metadata and timestamp may be null or left out, or the array '
              "[id, vector, metadata, timestamp]. Nothing was imported.")


@pytest.mark.parametrize("bad_line, message", [
    ("not json", "line 2: expected ident at line 1 column 2" + LINE_HOLDS),
    ('["x",[1]]', "line 2: expected struct Record with 4 elements at line 1 column 9" + LINE_HOLDS),
    ('{"id":"x","vector":[1e39]}',
     "line 2: Serialization error: vector element 0 is infinite, which has no JSON form; nothing was imported"),
    ('{"id":"x","vector":[],"metadata":' + "[" * 128 + "]" * 128 + "}",
     "line 2: recursion limit exceeded at line 1 column 161" + LINE_HOLDS),
    ('{"id":"x\\ud800","vector":[]}', "line 2: unexpected end of hex escape at line 1 column 15" + LINE_HOLDS),
    ('{"vector":[1]}', "line 2: missing field `id` at line 1 column 14" + LINE_HOLDS),
])
def test_a_bad_line_imports_nothing(database, bad_line, message):
    before = quorvel("export", database).stdout
    result = quorvel("import", database, stdin='{"id":"new","vector":[1]}\n' + bad_line + "\n")
    assert result.returncode == 1
    assert result.stderr == f"quorvel: standard input: {message}\n"
    assert quorvel("export", database).stdout == before


def schema_of(path):
    connection = sqlite3.connect(path)
    try:
        return sorted(row[0] for row in connection.execute("SELECT name FROM sqlite_schema"))
    finally:
        connection.close()


def test_import_into_a_new_or_empty_file_writes_it_whole_with_its_companion(tmp_path):
    new, empty = tmp_path / "new.db", tmp_path / "empty.db"
    assert quorvel("import", empty, stdin="").returncode == 0  # a database without records
    os.chmod(empty, 0o600)
    for path in (new, empty):
        result = quorvel("import", path, stdin=jsonl(RECORDS))
        assert (result.returncode, result.stderr) == (0, f"quorvel: {path}: imported 4 records\n")
        assert quorvel("check", path).stdout.splitlines() == [
            f"{path}: companion current (4 records, 0 changes appended; every checksum right)",
            f"{path}: all 4 rows read back"]
        assert schema_of(path) == ["records", "records_version", "records_version_delete", "records_version_insert",
                                   "records_version_update"]
    assert os.stat(empty).st_mode & 0o777 == 0o600
    assert sorted(p.name for p in tmp_path.iterdir()) == ["empty.db", "empty.db-snapshot", "new.db", "new.db-snapshot"]
    # A database that holds records takes an import in one transaction, and
    # its companion follows.
    assert quorvel("import", new, stdin='{"id":"z","vector":[1]}\n').returncode == 0
    assert quorvel("check", new).stdout.splitlines()[0] == (
        f"{new}: companion current (4 records, 1 change appended; every checksum right)")


def test_a_bad_record_leaves_no_file_and_no_companion(tmp_path):
    result = quorvel("import", tmp_path / "new.db", stdin='{"id":"a","vector":[1]}\n{"id":"x","vector":[1e39]}\n')
    assert (result.returncode, result.stderr) == (1, "quorvel: standard input: line 2: Serialization error: vector "
                                                     "element 0 is infinite, which has no JSON form; nothing was "
                                                     "imported\n")
    assert list(tmp_path.iterdir()) == []


# Inputs whose lines end in every allowed way: the records they hold, and the
# input line of their last (bad) line when one is added after them.
LINE_SHAPES = [
    ("crlf", b'{"id":"a","vector":[1]}\r\n{"id":"b","vector":[2]}\r\n', ["a", "b"]),
    ("no final line feed", b'{"id":"a","vector":[1]}\n{"id":"b","vector":[2]}', ["a", "b"]),
    ("blank lines", b'\n  \t\n{"id":"a","vector":[1]}\n\r\n\n{"id":"b","vector":[2]}\n \n', ["a", "b"]),
    # Longer than any one read: a line of about 12 MB between two short ones.
    ("a long line", b'{"id":"a","vector":[1]}\n{"id":"b","vector":[2],"metadata":"' + b"x" * 12_000_000 +
     b'"}\n{"id":"c","vector":[3]}\n', ["a", "b", "c"]),
]


@pytest.mark.parametrize("name, text, ids", LINE_SHAPES, ids=[shape[0] for shape in LINE_SHAPES])
@pytest.mark.parametrize("through", ["file", "standard input"])
def test_import_reads_lines_however_they_end(tmp_path, name, text, ids, through):
    source, target = tmp_path / "source.jsonl", tmp_path / "target.db"
    source.write_bytes(text)

    def run(path, data):
        if through == "file":
            source.write_bytes(data)
            return subprocess.run([PROGRAM, "import", path, "--input", source], capture_output=True, timeout=120)
        return subprocess.run([PROGRAM, "import", path], input=data, capture_output=True, timeout=120)

    result = run(target, text)
    assert (result.returncode, result.stderr) == (0, f"quorvel: {target}: imported {len(ids)} records\n".encode())
    exported = [json.loads(line) for line in quorvel("export", target).stdout.splitlines()]
    assert [record["id"] for record in exported] == ids
    # A bad line after them is named by its number, every line counted.
    lines = text.count(b"\n") + (0 if text.endswith(b"\n") else 1)
    bad = text + (b"" if text.endswith(b"\n") else b"\n") + b"[1]\n"
    result = run(tmp_path / "other.db", bad)
    where = str(source) if through == "file" else "standard input"
    assert (result.returncode, result.stderr.decode()) == (
        1, f"quorvel: {where}: line {lines + 1}: invalid type, expected a string at line 1 column 2{LINE_HOLDS}\n")
    assert not (tmp_path / "other.db").exists()


def test_an_import_of_many_blocks_keeps_every_record_and_names_a_late_bad_line(tmp_path):
    # About 25 MB: the input is read, parsed and appended block by block, each
    # block appended while the next is parsed. Ids descend, and the first id
    # comes again at the end, so the last of it is kept.
    def line(i, tag):
        return json.dumps({"id": f"r{i:05d}", "vector": [(i + j) % 1000 / 8 for j in range(256)], "metadata": tag})
    count = 10_000
    lines = [line(i, "first") for i in reversed(range(count))] + [line(count - 1, "last")]
    source = tmp_path / "many.jsonl"
    source.write_text("\n".join(lines) + "\n")
    result = quorvel("import", tmp_path / "many.db", "--input", source)
    # Every line's record is counted, the one replaced too.
    assert (result.returncode, result.stderr) == (0, f"quorvel: {tmp_path / 'many.db'}: imported {count + 1} records\n")
    exported = [json.loads(text) for text in quorvel("export", tmp_path / "many.db").stdout.splitlines()]
    assert [record["id"] for record in exported] == [f"r{i:05d}" for i in range(count)]
    assert all(record["vector"] == [(i + j) % 1000 / 8 for j in range(256)] for i, record in enumerate(exported))
    assert [record["metadata"] for record in exported[-2:]] == ["first", "last"]
    # A record in the last block that cannot be stored is named by its line.
    lines[9_000] = '{"id":"bad","vector":[1e39]}'
    source.write_text("\n".join(lines) + "\n")
    result = quorvel("import", tmp_path / "other.db", "--input", source)
    assert (result.returncode, result.stderr) == (1, f"quorvel: {source}: line 9001: Serialization error: vector "
                                                     "element 0 is infinite, which has no JSON form; nothing was "
                                                     "imported\n")
    assert not (tmp_path / "other.db").exists()


def test_a_bad_record_far_into_a_new_file_names_its_line(tmp_path):
    # Thousands of records are stored in runs, the next formed while one is
    # stored: the first record that cannot be stored is still the one named.
    lines = [f'{{"id":"r{i:05d}","vector":[{i}]}}' for i in range(5000)]
    lines[3333] = '{"id":"r03333","vector":[1e39]}'
    lines[4444] = '{"id":"r04444","vector":[-1e39]}'
    result = quorvel("import", tmp_path / "new.db", stdin="\n".join(lines) + "\n")
    assert (result.returncode, result.stderr) == (1, "quorvel: standard input: line 3334: Serialization error: "
                                                     "vector element 0 is infinite, which has no JSON form; "
                                                     "nothing was imported\n")
    assert list(tmp_path.iterdir()) == []


def test_an_import_out_of_id_order_keeps_the_last_of_each_id_in_rows_and_companion(tmp_path):
    lines = [
        {"id": "m", "vector": [1.0, 2.0], "metadata": {"first": True}, "timestamp": 5},
        {"id": "d\u00e9", "vector": [0.5], "metadata": None, "timestamp": None},
        {"id": "b", "vector": [3.0, 1.0], "metadata": [1], "timestamp": None},
        {"id": "m", "vector": [4.0, 0.25], "metadata": None, "timestamp": 9},
        {"id": "z", "vector": [], "metadata": "zed", "timestamp": None},
        {"id": "b", "vector": [0.0, 1.0], "metadata": {"second": 2}, "timestamp": 7},
        {"id": "a", "vector": [1.0, 1.0], "metadata": None, "timestamp": None},
    ]
    kept = {}
    for record in lines:
        kept[record["id"]] = record
    expected = [json.dumps(kept[key], separators=(",", ":"), ensure_ascii=False)
                for key in sorted(kept)]
    path = tmp_path / "new.db"
    result = quorvel("import", path, stdin=jsonl(lines))
    assert (result.returncode, result.stderr) == (0, f"quorvel: {path}: imported 7 records\n")
    assert quorvel("export", path).stdout.splitlines() == expected
    assert quorvel("check", path).stdout.splitlines()[0] == (
        f"{path}: companion current (5 records, 0 changes appended; every checksum right)")
    # An open from the companion finds what an open from the rows finds.
    query = ("search", path, "--query", "[1, 0]", "--metric", "euclidean")
    from_companion = quorvel(*query)
    assert from_companion.returncode == 0, from_companion.stderr
    os.remove(str(path) + "-snapshot")
    assert quorvel(*query).stdout == from_companion.stdout
    assert sorted(json.loads(line)["id"] for line in from_companion.stdout.splitlines()) == sorted(kept)


@pytest.mark.parametrize("target", ["new", "holding records"])
@pytest.mark.parametrize("lines, bad_line", [
    (['{"id":"c","vector":[1]}', '{"id":"a","vector":[1e39]}', '{"id":"b","vector":[1]}'], 2),
    (['{"id":"a","vector":[1]}', '{"id":"b","vector":[1]}', '{"id":"a","vector":[-1e39]}'], 3),
], ids=["out of order", "repeated id"])
def test_a_record_refused_out_of_id_order_is_named_by_its_line(tmp_path, target, lines, bad_line):
    path = tmp_path / "target.db"
    if target == "holding records":
        assert quorvel("import", path, stdin='{"id":"held","vector":[1]}\n').returncode == 0
    before = sorted(p.name for p in tmp_path.iterdir())
    result = quorvel("import", path, stdin="\n".join(lines) + "\n")
    assert (result.returncode, result.stderr) == (1, f"quorvel: standard input: line {bad_line}: Serialization error: "
                                                     "vector element 0 is infinite, which has no JSON form; "
                                                     "nothing was imported\n")
    assert sorted(p.name for p in tmp_path.iterdir()) == before


def test_a_killed_import_leaves_no_file_or_a_whole_one(tmp_path):
    source, target = tmp_path / "source.jsonl", tmp_path / "target.db"
    count = 20000
    source.write_text("".join(f'{{"id":"r{i:06d}","vector":[{i % 7},0.5,{i}]}}\n' for i in range(count)))
    started = time.monotonic()
    assert quorvel("import", tmp_path / "timed.db", "--input", source).returncode == 0
    duration = time.monotonic() - started
    for step in range(10):
        run = subprocess.Popen([PROGRAM, "import", str(target), "--input", str(source)], stderr=subprocess.DEVNULL)
        time.sleep(duration * step / 10)
        run.kill()
        run.wait(timeout=60)
        if target.exists():
            assert quorvel("check", target).stdout.splitlines()[-1] == f"{target}: all {count} rows read back", step
            target.unlink()
    assert quorvel("import", target, "--input", source).returncode == 0
    assert sorted(p.name for p in tmp_path.iterdir()) == [
        "source.jsonl", "target.db", "target.db-snapshot", "timed.db", "timed.db-snapshot"]


def test_import_through_a_link_to_a_missing_file_creates_the_target(tmp_path):
    link = tmp_path / "link.db"
    link.symlink_to("target.db")
    result = quorvel("import", link, stdin=jsonl(RECORDS[:1]))
    assert result.returncode == 0, result.stderr
    assert link.is_symlink()
    assert quorvel("export", tmp_path / "target.db").stdout == (
        '{"id":"b","vector":[0.0,1.0],"metadata":{"colour":"red","n":1},"timestamp":null}\n')


def test_text_that_is_not_utf8_imports_nothing(database):
    result = subprocess.run([PROGRAM, "import", str(database)], input=b'{"id":"\xff","vector":[]}\n',
                            capture_output=True, timeout=60)
    assert result.returncode == 1
    assert result.stderr == (b"quorvel: standard input: line 1: invalid unicode code point at line 1 column 8"
                             + LINE_HOLDS.encode() + b"\n")


# What the program adds to a listing of rows that are not records.
ROW_HOLDS = ('Each row must hold one record, with the row\'s key as its id: a JSON object {"id": text, "vector": '
             '[numbers], "metadata": any JSON, "timestamp": whole seconds}, whose metadata and timestamp may be null '
             "or left out, or the array [id, vector, metadata, timestamp].")


@pytest.mark.parametrize("rows, counted", [
    ({"broken": b'{"id":"broken","vector":[1,'}, "1 row of 5 does not read back"),
    # The second holds another record's id under its own key.
    ({"broken": b'{"id":"broken","vector":[1,', "e": b'{"id":"a","vector":[1]}'}, "2 rows of 6 do not read back"),
])
def test_check_and_salvage_a_file_with_damaged_rows(database, tmp_path, rows, counted):
    for key, value in rows.items():
        add_row(database, key, value)
    damaged = "".join(line + "\n" for line in [
        '"broken": EOF while parsing a value at line 1 column 27',
        '"e": the id "a" differs from the key it is stored under at line 1 column 7'][:len(rows)])
    checked = quorvel("check", database)
    assert checked.returncode == 1
    assert checked.stdout == damaged + (
        f"{database}: companion not used: the records changed since it was written (by another program, or a "
        "change it missed); the next open writes it afresh\n")
    assert checked.stderr == (f"quorvel: {database}: {counted}, so the file does not open; "
                              f"quorvel salvage copies the others. {ROW_HOLDS}\n")
    assert quorvel("export", database).returncode == 1

    rescued = tmp_path / "rescued.db"
    salvaged = quorvel("salvage", database, rescued)
    assert salvaged.returncode == 0, salvaged.stderr
    left_behind = "1 row that does" if len(rows) == 1 else f"{len(rows)} rows that do"
    assert salvaged.stdout == (f"copied 4 records to {rescued}\n"
                               f"left behind {left_behind} not read back:\n" +
                               "".join("  " + line + "\n" for line in damaged.splitlines()) + ROW_HOLDS + "\n")
    assert [json.loads(line)["id"] for line in quorvel("export", rescued).stdout.splitlines()] == [
        "a", "b", "c", "d\u00e9"]
    # The new file gets a companion of its own, written with it.
    assert quorvel("check", rescued).stdout == (
        f"{rescued}: companion current (4 records, 0 changes appended; every checksum right)\n"
        f"{rescued}: all 4 rows read back\n")
    assert quorvel("salvage", database, rescued).stderr == (
        f"quorvel: {rescued}: exists already; salvage writes a new file\n")


def test_a_killed_salvage_leaves_no_new_file_and_the_next_run_completes(tmp_path):
    source, rescued = tmp_path / "source.db", tmp_path / "rescued.db"
    count = 20000
    lines = "".join(f'{{"id":"r{i:06d}","vector":[{i % 7},0.5,{i}]}}\n' for i in range(count))
    assert quorvel("import", source, stdin=lines).returncode == 0
    started = time.monotonic()
    assert quorvel("salvage", source, tmp_path / "timed.db").returncode == 0
    duration = time.monotonic() - started

    def stored(path):
        connection = sqlite3.connect(path)
        try:
            return connection.execute("SELECT count(*) FROM records").fetchone()[0]
        finally:
            connection.close()

    for step in range(10):
        run = subprocess.Popen([PROGRAM, "salvage", str(source), str(rescued)], stdout=subprocess.DEVNULL)
        time.sleep(duration * step / 10)
        run.kill()
        run.wait(timeout=60)
        # Nothing under the new name, or all of it.
        if rescued.exists():
            assert stored(rescued) == count, step
            rescued.unlink()
    result = quorvel("salvage", source, rescued)
    assert result.returncode == 0, result.stderr
    assert stored(rescued) == count
    # Each database with its companion, and no partial file.
    assert sorted(path.name for path in tmp_path.iterdir()) == [
        name + suffix for name in ("rescued.db", "source.db", "timed.db") for suffix in ("", "-snapshot")]


def test_search_keeps_the_index_it_builds_and_uses_it_again(database):
    companion = str(database) + "-snapshot"
    before = os.stat(companion)
    first = quorvel("search", database, "--query", "[1, 0]", "--index", "m=4,ef=8")
    assert first.returncode == 0, first.stderr
    built = os.stat(companion)
    assert built.st_size > before.st_size  # the graph went into the companion
    again = quorvel("search", database, "--query", "[1, 0]", "--index", "m=4,ef=8")
    assert again.stdout == first.stdout
    assert os.stat(companion).st_ino == built.st_ino  # loaded, not built and written again
    # Another configuration builds its own graph, which then replaces it.
    other = quorvel("search", database, "--query", "[1, 0]", "--index", "m=6")
    assert other.returncode == 0, other.stderr
    assert os.stat(companion).st_ino != built.st_ino


def test_search_answers_the_full_request(database):
    def ids(*args):
        result = quorvel("search", database, *args)
        assert result.returncode == 0, result.stderr
        return [json.loads(line)["id"] for line in result.stdout.splitlines()]

    first = quorvel("search", database, "--query", "[1, 0]", "-k", "1")
    assert first.stdout == '{"id":"a","score":1.0,"metadata":null}\n'
    assert ids("--query", "[1, 0]") == ["a", "c", "b", "d\u00e9"]
    assert ids("--query", "[1, 0]", "--filter", 'colour="red"') == ["b", "d\u00e9"]
    assert ids("--query", "[1, 0]", "--filter", "n=1") == ["b"]  # 1 and 1.0 differ
    # The empty vector scores 0.0 under every metric: it ties with a.
    assert ids("--query", "[1, 0]", "--metric", "euclidean") == ["a", "d\u00e9", "c", "b"]
    assert ids("--query", "[1, 0]", "--index", "m=4,ef_construction=8,ef=8") == ids("--query", "[1, 0]")
    options = "m=4,selection=diverse,keep_pruned=true,seed=3,build_threads=0,filtered=index"
    assert ids("--query", "[1, 0]", "--index", options) == ids("--query", "[1, 0]")
    assert ids("--query", "[1, 0]", "--index", options, "--filter", 'colour="red"') == ["b", "d\u00e9"]
    decayed = quorvel("search", database, "--query", "[1,0]", "-k", "1", "--decay", "0.5", "--now", 1700086400)
    assert decayed.stdout == '{"id":"c","score":0.70710677,"metadata":[1,"x"]}\n'  # a's score is halved


def test_decay_moves_older_records_behind_under_every_metric(tmp_path):
    path = tmp_path / "aged.db"
    now = 1700000000
    records = [["far, a day old", [5, 0], None, now - 86400], ["near, new", [2, 0], None, now],
               ["opposite, a day old", [-1, 0], None, now - 86400], ["opposite, new", [-1, 0], None, now]]
    assert quorvel("import", path, stdin=jsonl(records)).returncode == 0

    def ranked(metric):
        result = quorvel("search", path, "--query", "[1,0]", "--metric", metric, "--decay", "0.1", "--now", now)
        assert result.returncode == 0, result.stderr
        return [(hit["id"], hit["score"]) for hit in map(json.loads, result.stdout.splitlines())]

    # A distance is divided by the factor: the old far record drops further back.
    assert ranked("euclidean")[:2] == [("near, new", 1.0), ("opposite, new", 2.0)]
    assert ranked("euclidean")[-1] == ("far, a day old", 40.0)
    # A negative similarity is divided too; a positive one multiplied.
    assert ranked("dot") == [("near, new", 2.0), ("far, a day old", 0.5),
                             ("opposite, new", -1.0), ("opposite, a day old", -10.0)]


@pytest.mark.parametrize("args, message", [
    ([], "--query is required"),
    (["--query", "[1,"], "--query must be a JSON array of numbers"),
    (["--query", '["x"]'], "--query must be a JSON array of numbers"),
    (["--query", "[1e39]"], "--query element 0 is beyond the range of a 32-bit float"),
    (["--query", "[1]", "-k", "-1"], "-k must be a whole number, 0 or more, got -1"),
    (["--query", "[1]", "--metric", "cosines"], "--metric must be cosine, dot, euclidean or manhattan, got cosines"),
    (["--query", "[1]", "--index", "m=4,speed=9"], "unknown index setting speed (m, m_max, m_max0, ef_construction, ef, "
     "ml, selection, keep_pruned, seed, build_threads, filtered)"),
    (["--query", "[1]", "--index", "selection=far"], "selection must be closest or diverse, got far"),
    (["--query", "[1]", "--index", "keep_pruned=yes"], "keep_pruned must be true or false, got yes"),
    (["--query", "[1]", "--index", "filtered=graph"], "filtered must be index or exhaustive, got graph"),
    (["--query", "[1]", "--index", "seed=4294967296"], "seed must be a whole number below 2^32, got 4294967296"),
    (["--query", "[1]", "--index", "m=4,ml=nan"], "--index m=4,ml=nan: ml is NaN"),
    (["--query", "[1]", "--filter", "n"], "--filter needs KEY=JSON, got n"),
    (["--query", "[1]", "--filter", "colour=red"],
     "--filter colour=red: the value is not JSON (expected value at line 1 column 1); text needs double quotes, "
     """as in --filter 'colour="red"'"""),
    *[(["--query", "[1]", "--decay", decay, "--now", "5"], f"--decay must be a number above 0 and at most 1, got {decay}")
      for decay in ("0", "-0.5", "1.5", "nan", "half")],
    (["--query", "[1]", "--decay", "0.5"],
     "--decay needs --now, the time in seconds that the records' ages are counted to"),
])
def test_search_refuses_command_lines_it_cannot_use(database, args, message):
    result = quorvel("search", database, *args)
    help_text = quorvel("search", "--help").stdout
    assert (result.returncode, result.stderr) == (2, f"quorvel search: {message}\n{help_text}")


def test_every_subcommand_refuses_a_file_that_a_program_holds(database, tmp_path):
    with open(database, "rb") as held:
        fcntl.flock(held, fcntl.LOCK_EX)  # the lock a live database instance holds
        for args in (["info"], ["check"], ["export"], ["import"], ["search", "--query", "[1]"],
                     ["salvage", "", tmp_path / "new.db"]):
            command = [args[0], database, *args[1:]] if args[0] != "salvage" else ["salvage", database, args[2]]
            result = quorvel(*command, stdin="")
            assert (result.returncode, result.stderr) == (
                1, f"quorvel: Database error: database is locked (file {database})\n"), args
    assert not (tmp_path / "new.db").exists()


def test_usage_errors_help_and_version(tmp_path):
    assert quorvel().returncode == 2
    assert quorvel("--help").returncode == 0
    version = quorvel("--version")
    project = re.search(r"project\(quorvel VERSION (\S+)", (SOURCE_DIR / "CMakeLists.txt").read_text()).group(1)
    assert (version.returncode, version.stdout) == (0, f"quorvel {project}\n")
    for args, message in ((["frob"], "quorvel: unknown command 'frob'"),
                          (["info"], "quorvel info: expected 1 argument, got 0"),
                          (["export", "x.db", "--out", "y"], "quorvel export: unknown option --out"),
                          (["search", "x.db", "-k"], "quorvel search: option -k needs a value")):
        result = quorvel(*args)
        assert result.returncode == 2, args
        assert result.stderr.splitlines()[0] == message
    for command in ("info", "check", "export", "import", "salvage", "search"):
        result = quorvel(command, "--help")
        assert result.returncode == 0 and result.stdout.startswith(f"usage: quorvel {command}")
    missing = quorvel("info", tmp_path / "missing.db")
    assert (missing.returncode, missing.stderr) == (
        1, "quorvel: Database error: unable to open database file: No such file or directory "
           f"(file {tmp_path / 'missing.db'})\n")



def test_search_writes_a_score_beyond_float_range_as_null(tmp_path):
    path = tmp_path / "big.db"
    source = tmp_path / "big.jsonl"
    source.write_text(jsonl([{"id": "big", "vector": [3e38, 3e38], "metadata": None, "timestamp": None}]))
    assert quorvel("import", path, "--input", source).returncode == 0
    result = quorvel("search", path, "--query", "[3e38, 3e38]", "--metric", "dot")
    assert (result.returncode, result.stdout) == (0, '{"id":"big","score":null,"metadata":null}\n')
