"""Records, searches, the index and the file: what the engine does with the
converted values, and that its answers are the C++ engine's and Quorvel's."""

import json
import os
import sqlite3
import subprocess

import numpy as np
import pytest

import quorvel
from conftest import f32
from quorvel_engine import (DamagedFileError, Engine, EngineClosedError, FileInUseError, HnswConfig,
                            RefusedValueError, StorageError)


def stored_ids(path):
    with sqlite3.connect(path) as connection:
        ids = [row[0] for row in connection.execute("SELECT id FROM records ORDER BY id")]
    connection.close()
    return ids


def test_insert_many_stores_everything_in_one_transaction_or_nothing(db_path):
    with Engine(db_path) as db:
        db.insert("kept", [0.0, 0.0])
        vectors = np.arange(10, dtype=np.float32).reshape(5, 2)
        vectors[3, 1] = np.nan
        with pytest.raises(RefusedValueError) as refused:
            db.insert_many([f"r{i}" for i in range(5)], vectors, [{"i": i} for i in range(5)])
        assert str(refused.value) == ("record 3: Storage error: Serialization error: vector element 1 is NaN, "
                                      "which has no JSON form")
        assert refused.value.index == 3
        with pytest.raises(RefusedValueError) as refused:
            db.insert_many(["a", "b"], [[1.0, 2.0], [1.0, 2.0, 3.0]])
        assert refused.value.index == 1
        with pytest.raises(TypeError) as wrong:
            db.insert_many(["a", "b"], [[1.0, 2.0], [1.0, 2.0]], [None, {1}])
        assert (str(wrong.value), wrong.value.index) == ("record 1: metadata cannot hold a value of type 'set'", 1)
        with pytest.raises(RefusedValueError, match="^metadatas has 1 items, ids has 2$"):
            db.insert_many(["a", "b"], [[1.0, 2.0], [1.0, 2.0]], [None])
        assert list(db) == ["kept"]

        vectors[3, 1] = 7.0
        db.insert_many([f"r{i}" for i in range(5)], vectors, [{"i": i} for i in range(5)],
                       timestamps=[None, 1, 2, 3, 2**64 - 1])
        assert db.get("r4") == ("r4", db.get("r4").vector, {"i": 4}, 2**64 - 1)
        assert db.get("r3").vector.tolist() == [6.0, 7.0]
    assert stored_ids(db_path) == ["kept", "r0", "r1", "r2", "r3", "r4"]


def test_records_ids_and_delete(db):
    assert (len(db), list(db), "a" in db, db.get("a")) == (0, [], False, None)
    db.insert("b", [1.0], timestamp=7)
    db.insert("a", [2.0], {"k": [1]})
    db.insert("b", [3.0])  # replaces b in place: no timestamp now
    assert list(db) == ["b", "a"] and len(db) == 2 and "a" in db and 1 not in db
    assert db.get("b") == ("b", db.get("b").vector, None, None)
    assert (db.get("b").id, db.get("b").vector.tolist()) == ("b", [3.0])
    assert (db.delete("b"), db.delete("b"), db.delete("never")) == (True, False, False)
    assert list(db) == ["a"]

    class Name(str):
        pass

    found = db.get(Name("a"))  # a str subclass finds the record; the id comes back a plain str
    assert (type(found.id), found.id, found.metadata, found.vector.tolist()) == (str, "a", {"k": [1]}, [2.0])


@pytest.mark.parametrize("where, expected", [
    ({"n": 1}, ["int"]),
    ({"n": 1.0}, ["float"]),
    ({"n": True}, ["bool"]),
    ({"n": 0}, []),
    ({"n": [1, 1.0]}, ["list"]),
    ({"n": None}, ["null"]),
    ({"n": {"a": 1}}, ["object"]),
    ({"n": 1, "kind": "x"}, ["int"]),
    ({"n": 1, "kind": "y"}, []),
    ({}, ["int", "float", "bool", "list", "null", "object", "no metadata", "no object"]),
])
def test_filters_compare_kinds_as_well_as_values(db, where, expected):
    for i, (name, metadata) in enumerate([("int", {"n": 1, "kind": "x"}), ("float", {"n": 1.0}), ("bool", {"n": True}),
                                          ("list", {"n": [1, 1.0]}), ("null", {"n": None}),
                                          ("object", {"n": {"a": 1}}), ("no metadata", None), ("no object", [1])]):
        db.insert(name, [1.0, float(i)], metadata)
    hits = db.search([1.0, 0.0], 10, where=where)
    assert [hit.id for hit in hits] == expected


def test_decay_lowers_the_scores_of_older_records(db):
    day = 86_400
    db.insert("old", [1.0, 0.0], timestamp=1_000)
    db.insert("new", [1.0, 0.0], timestamp=1_000 + day)
    db.insert("timeless", [1.0, 0.0])
    hits = db.search([1.0, 0.0], 3, decay=0.5, now=1_000 + day)
    assert [(hit.id, hit.score) for hit in hits] == [("new", 1.0), ("timeless", 1.0), ("old", 0.5)]
    # Without decay, now changes nothing.
    assert [hit.score for hit in db.search([1.0, 0.0], 3, now=10**12)] == [1.0, 1.0, 1.0]


def test_close_and_the_context_manager_release_the_file_at_once(db_path):
    with Engine(db_path) as db:
        db.insert("a", [1.0])
        with pytest.raises(FileInUseError) as in_use:
            Engine(db_path)
        assert str(in_use.value) == f"Storage error: Database error: database is locked (file {db_path})"
    assert db.closed
    second = Engine(db_path)
    assert list(second) == ["a"]
    second.close()
    second.close()  # a second close does nothing
    closed = f"the engine of {db_path} is closed"
    for call in (lambda e: e.insert("b", [1.0]), lambda e: e.get("a"), lambda e: e.search([1.0]), len,
                 list, lambda e: "a" in e, lambda e: e.delete("a"), lambda e: e.has_index,
                 lambda e: e.attach_index(HnswConfig()), lambda e: e.__enter__()):
        with pytest.raises(EngineClosedError) as raised:
            call(second)
        assert str(raised.value) == closed
    Engine(db_path).close()


def test_an_index_serves_searches_without_where_and_decay(db_path):
    rng = np.random.default_rng(5)
    vectors = rng.standard_normal((300, 8)).astype(np.float32)
    with Engine(db_path, metric="euclidean") as db:
        db.insert_many([str(i) for i in range(300)], vectors, [{"even": i % 2 == 0} for i in range(300)])
        exact = db.search(vectors[7], 10)
        assert (db.has_index, db.index, db.ef_search) == (False, None, None)
        db.attach_index(HnswConfig(m=8, ef_search=400))
        assert (db.has_index, db.ef_search) == (True, 400)
        assert db.index == HnswConfig(m=8, ef_search=400)
        assert db.search(vectors[7], 10) == exact  # ef covers every record: the exact answer
        db.ef_search = 1
        assert db.index.ef_search == 1
        assert db.search(vectors[7], 10, where={"even": False}) == [h for h in db.search(vectors[7], 300)
                                                                   if int(h.id) % 2 == 1][:10]
        db.detach_index()
        assert (db.has_index, db.ef_search) == (False, None)
        with pytest.raises(ValueError, match="^no index is attached$"):
            db.ef_search = 10
    with Engine(db_path, index=HnswConfig(m=8, ef_search=400), metric="euclidean") as db:
        assert db.search(vectors[7], 10) == exact


def test_an_index_that_retires_nodes_never_answers_with_a_deleted_or_replaced_record(db_path):
    rng = np.random.default_rng(8)
    vectors = rng.standard_normal((600, 8)).astype(np.float32)
    with Engine(db_path, metric="euclidean") as db:
        db.insert_many([str(i) for i in range(600)], vectors, [{"even": i % 2 == 0} for i in range(600)])
        # ef covers every record and retired_share=1 leaves compaction to the call below.
        db.attach_index(HnswConfig(m=8, ef_search=600, retire_deleted=True, retired_share=1.0, seed=1))
        for i in range(0, 600, 3):
            assert db.delete(str(i))
        replaced = rng.standard_normal((200, 8)).astype(np.float32)
        db.insert_many([str(i) for i in range(1, 600, 3)], replaced, [{"even": i % 2 == 0} for i in range(1, 600, 3)])
        stored = {i: vectors[i] for i in range(2, 600, 3)} | dict(zip(range(1, 600, 3), replaced))
        queries = rng.standard_normal((5, 8)).astype(np.float32)

        def exact(query):
            distances = {i: np.linalg.norm(stored[i] - query) for i in stored}
            return sorted(stored, key=lambda i: (distances[i], i))[:10]

        for compacted in (False, True):
            for query in queries:
                assert [int(h.id) for h in db.search(query, 10)] == exact(query), compacted
            db.compact_index()
        # Filtered through the index (about 200 of the 400 records pass, k = 2 and ef = 1, so the
        # estimate of 100 passing records a result place sends the search into the graph): only
        # passing records come back, search and search_many agree, and the graph's answer is not
        # always the exhaustive one.
        db.ef_search = 1
        queries = rng.standard_normal((30, 8)).astype(np.float32)
        many = db.search_many(queries, 2, where={"even": True}, filter_through_index=True)
        differs = False
        for query, hits in zip(queries, many):
            assert hits == db.search(query, 2, where={"even": True}, filter_through_index=True)
            assert len(hits) == 2 and all(int(h.id) % 2 == 0 and int(h.id) in stored for h in hits)
            differs |= hits != db.search(query, 2, where={"even": True})
        assert differs


def cli_search(path, query, k, *options):
    program = os.environ["QUORVEL_CLI"]
    done = subprocess.run([program, "search", path, "--query", json.dumps(query), "-k", str(k), *options],
                          capture_output=True, text=True, check=True)
    return [json.loads(line) for line in done.stdout.splitlines()]


@pytest.mark.parametrize("metric", ["cosine", "dot", "euclidean", "manhattan"])
def test_answers_equal_the_command_line_programs_on_the_same_file(tmp_path, metric):
    path = str(tmp_path / "shared.db")
    rng = np.random.default_rng(11)
    vectors = rng.standard_normal((200, 6)).astype(np.float32)
    with Engine(path) as db:
        db.insert_many([f"r{i:03}" for i in range(200)], vectors, [{"group": i % 3} for i in range(200)],
                       timestamps=[i * 3600 for i in range(200)])
    query = [float(x) for x in rng.standard_normal(6).astype(np.float32)]
    cases = [((), {}), (("--filter", "group=1"), {"where": {"group": 1}}),
             (("--decay", "0.9", "--now", "720000"), {"decay": 0.9, "now": 720000}),
             (("--index", "m=6,ef_construction=200,ef=500"), {}),
             # A small ef: the answer is the graph's, the same graph only when every option reached it.
             (("--index", "m=6,ef=4,selection=diverse,keep_pruned=true,seed=3"), {})]
    indexes = {"m=6,ef_construction=200,ef=500": HnswConfig(m=6, ef_search=500),
               "m=6,ef=4,selection=diverse,keep_pruned=true,seed=3": HnswConfig(
                   m=6, ef_search=4, selection="diverse", keep_pruned=True, seed=3)}
    for cli_options, keywords in cases:
        expected = cli_search(path, query, 15, "--metric", metric, *cli_options)
        index = indexes[cli_options[1]] if "--index" in cli_options else None
        with Engine(path, metric=metric, index=index) as db:
            hits = db.search(query, 15, **keywords)
        assert [(h.id, f32(h.score), h.metadata) for h in hits] == [
            (e["id"], f32(e["score"]), e["metadata"]) for e in expected], cli_options


def test_answers_equal_quorvels_for_cosine_without_options(tmp_path):
    path = str(tmp_path / "shared.db")
    rng = np.random.default_rng(3)
    rows = rng.standard_normal((100, 5)).astype(np.float32)
    old = quorvel.Quorvel(path)
    for i, row in enumerate(rows):
        old.insert(f"r{i}", row.tolist(), json.dumps({"i": i, "f": i / 2}))
    query = rows[4].tolist()
    expected = old.search(query, 20)
    del old
    with Engine(path) as db:
        hits = db.search(query, 20)
        assert [(h.id, h.score, h.metadata) for h in hits] == [
            (id_, score, json.loads(metadata)) for id_, score, metadata in expected]
        db.insert("added", [1.0] * 5, {"x": 1})
    assert quorvel.Quorvel(path).get("added") == '{"x":1}'


def test_a_file_with_mixed_lengths_opens_with_an_explicit_answer(db_path):
    old = quorvel.Quorvel(db_path)
    old.insert("a", [1.0, 2.0])
    old.insert("b", [1.0, 2.0, 3.0])
    del old
    with pytest.raises(ValueError) as refused:
        Engine(db_path)
    assert str(refused.value).endswith('record "b" has 3 floats, record "a" has 2; '
                                       'a fixed dimension needs vectors of one length')


def test_a_damaged_record_is_named_when_the_file_is_opened(db_path):
    with Engine(db_path) as db:
        db.insert_many(["a", "b"], [[1.0], [2.0]])
    with sqlite3.connect(db_path) as connection:
        connection.execute("UPDATE records SET value = '{\"id\":\"b\",\"vector\":[1,' WHERE id = 'b'")
    connection.close()
    with pytest.raises(DamagedFileError) as damaged:
        Engine(db_path)
    assert isinstance(damaged.value, StorageError)
    assert str(damaged.value) == (
        f'Storage error: Serialization error: EOF while parsing a value at line 1 column 22 (record "b" in '
        f"{db_path}; `quorvel check {db_path}` lists the damaged rows, `quorvel salvage {db_path} NEW` copies "
        f"the rest into a new file NEW)")


def test_a_file_that_is_no_database_is_damaged(tmp_path):
    path = tmp_path / "noise.db"
    path.write_bytes(b"this is not an SQLite file, and it is long enough to have a header" * 100)
    with pytest.raises(DamagedFileError) as damaged:
        Engine(str(path))
    assert str(damaged.value) == f"Storage error: Database error: file is not a database (file {path})"
