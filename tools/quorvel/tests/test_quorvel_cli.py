"""The quorvel program, run as a user runs it: each subcommand on a small
fixture, the round trip export -> import -> export, damaged files, and the
refusals with their messages and exit statuses."""

import fcntl
import json
import os
import sqlite3
import subprocess
import time

import pytest

PROGRAM = os.environ.get("QUORVEL_PROGRAM", "quorvel")

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


def test_info_counts_what_the_file_holds(database):
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


@pytest.mark.parametrize("bad_line, message", [
    ("not json", "line 2: expected ident at line 1 column 2"),
    ('{"id":"x","vector":[1e39]}',
     "line 2: Serialization error: vector element 0 is infinite, which has no JSON form"),
    ('{"id":"x","vector":[],"metadata":' + "[" * 128 + "]" * 128 + "}",
     "line 2: recursion limit exceeded at line 1 column 161"),
    ('{"id":"x\\ud800","vector":[]}', "line 2: unexpected end of hex escape at line 1 column 15"),
    ('{"vector":[1]}', "line 2: missing field `id` at line 1 column 14"),
])
def test_a_bad_line_imports_nothing(database, bad_line, message):
    before = quorvel("export", database).stdout
    result = quorvel("import", database, stdin='{"id":"new","vector":[1]}\n' + bad_line + "\n")
    assert result.returncode == 1
    assert result.stderr == f"quorvel: standard input: {message}; nothing was imported\n"
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
        f"{new}: companion current (4 records, 1 changes appended; every checksum right)")


def test_a_bad_record_leaves_no_file_and_no_companion(tmp_path):
    result = quorvel("import", tmp_path / "new.db", stdin='{"id":"a","vector":[1]}\n{"id":"x","vector":[1e39]}\n')
    assert (result.returncode, result.stderr) == (1, "quorvel: standard input: line 2: Serialization error: vector "
                                                     "element 0 is infinite, which has no JSON form; nothing was "
                                                     "imported\n")
    assert list(tmp_path.iterdir()) == []


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
    assert result.stderr == (b"quorvel: standard input: line 1: invalid unicode code point at line 1 column 8; "
                             b"nothing was imported\n")


def test_check_and_salvage_a_file_with_damaged_rows(database, tmp_path):
    add_row(database, "broken", b'{"id":"broken","vector":[1,')
    add_row(database, "e", b'{"id":"a","vector":[1]}')  # another record's id under its own key
    damaged = ('"broken": EOF while parsing a value at line 1 column 27\n'
               '"e": the id "a" differs from the key it is stored under at line 1 column 7\n')
    checked = quorvel("check", database)
    assert checked.returncode == 1
    assert checked.stdout == damaged + (
        f"{database}: companion not used: the records changed since it was written (by another program, or a "
        "change it missed); the next open writes it afresh\n")
    assert checked.stderr == (f"quorvel: {database}: 2 of 6 rows do not read back, so the file does not open; "
                              "quorvel salvage copies the others\n")
    assert quorvel("export", database).returncode == 1

    rescued = tmp_path / "rescued.db"
    salvaged = quorvel("salvage", database, rescued)
    assert salvaged.returncode == 0, salvaged.stderr
    assert salvaged.stdout == (f"copied 4 records to {rescued}\n"
                               "left behind 2 rows that do not read back:\n" +
                               "".join("  " + line + "\n" for line in damaged.splitlines()))
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
    decayed = quorvel("search", database, "--query", "[1,0]", "-k", "1", "--decay", "0.5", "--now", 1700086400)
    assert decayed.stdout == '{"id":"c","score":0.70710677,"metadata":[1,"x"]}\n'  # a's score is halved


@pytest.mark.parametrize("args, message", [
    (["--query", "[1,"], "search: --query must be a JSON array of numbers"),
    (["--query", '["x"]'], "search: --query must be a JSON array of numbers"),
    (["--query", "[1]", "--metric", "cosines"], "search: --metric must be cosine, dot, euclidean or manhattan, got cosines"),
    (["--query", "[1]", "--index", "m=4,speed=9"], "search: unknown index setting speed (m, m_max, m_max0, ef_construction, ef, ml)"),
    (["--query", "[1]", "--index", "m=4,ml=nan"], "{db}: Index config error: ml is NaN"),
    (["--query", "[1]", "--filter", "n"], "search: --filter needs KEY=JSON, got n"),
])
def test_search_refuses_requests_it_cannot_make(database, args, message):
    result = quorvel("search", database, *args)
    assert (result.returncode, result.stderr) == (1, f"quorvel: {message.format(db=database)}\n")


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


def test_usage_errors_and_help(tmp_path):
    assert quorvel().returncode == 2
    assert quorvel("--help").returncode == 0
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
