"""The companion file beside a database, as quorvel_engine meets it: an open
loads from it while it reflects the records table, a program that exits
without closing leaves it usable, another program's write makes it stale,
and an index graph stored in it comes back as it was."""

import os
import sqlite3
import subprocess

import numpy as np

from conftest import run_python
from quorvel_engine import Engine, HnswConfig


def companion_state(path):
    """What `quorvel check` says of the companion: "current ..." or why not."""
    result = subprocess.run([os.environ["QUORVEL_CLI"], "check", str(path)], capture_output=True, text=True,
                            timeout=120)
    line = next(line for line in result.stdout.splitlines() if "companion" in line)
    return line.split(": ", 1)[1]


def changes_appended(state):
    """The count of changes in a current companion's state."""
    assert state.startswith("companion current"), state
    return int(state.split(", ")[1].split()[0])


def companion_inode(path):
    return os.stat(str(path) + "-snapshot").st_ino


def contents(path, queries, **options):
    """Every record and the answers to `queries`, as an open of `path` sees them."""
    with Engine(str(path), metric="euclidean", **options) as db:
        records = [db.get(id_) for id_ in sorted(db)]
        answers = db.search_many(queries, 10)
    return [(r.id, list(r.vector), r.metadata, r.timestamp) for r in records], answers


def rows_only(path, queries):
    """contents() with the companion set aside, so that the rows are read."""
    companion, kept = str(path) + "-snapshot", str(path) + "-snapshot.kept"
    os.rename(companion, kept)
    try:
        return contents(path, queries)
    finally:
        os.remove(companion)
        os.rename(kept, companion)


def test_reopens_load_the_companion_until_another_program_writes_the_rows(tmp_path):
    path = tmp_path / "db.sqlite"
    rng = np.random.default_rng(3)
    vectors = rng.standard_normal((200, 6)).astype(np.float32)
    queries = rng.standard_normal((4, 6)).astype(np.float32)
    with Engine(str(path), metric="euclidean") as db:
        db.insert_many([f"r{i:03d}" for i in range(200)], vectors, [{"i": i} for i in range(200)])
    state = companion_state(path)
    assert state.startswith("companion current")
    # Another program inserts, deletes and exits without closing: small
    # changes are appended to the companion.
    code = ("import os, sys, quorvel_engine\n"
            "db = quorvel_engine.Engine(sys.argv[1], metric='euclidean')\n"
            "db.insert('late', [7, 7, 7, 7, 7, 7], {'late': True}, timestamp=1700000000)\n"
            "db.delete('r004')\n"
            "os._exit(0)\n")
    assert run_python(code, str(path)).returncode == 0
    assert changes_appended(companion_state(path)) == changes_appended(state) + 2
    inode = companion_inode(path)
    loaded = contents(path, queries)
    assert companion_inode(path) == inode  # loaded, not written afresh
    assert ("late", [7.0] * 6, {"late": True}, 1700000000) in loaded[0]
    assert all(record[0] != "r004" for record in loaded[0])
    assert loaded == rows_only(path, queries)

    # Python's sqlite3 changes a vector behind the engine's back.
    connection = sqlite3.connect(path)
    with connection:
        connection.execute("UPDATE records SET value = ? WHERE id = 'r007'",
                           ['{"id":"r007","vector":[9,9,9,9,9,9],"metadata":"moved"}'])
    connection.close()
    assert companion_state(path).startswith("companion not used: the records changed since it was written")
    reread = contents(path, np.full((1, 6), 9, np.float32))
    assert ("r007", [9.0] * 6, "moved", None) in reread[0]
    assert reread[1][0][0].id == "r007"
    assert companion_state(path).startswith("companion current")  # written afresh by that open
    assert reread == rows_only(path, np.full((1, 6), 9, np.float32))


def answers(hits_lists):
    return [[(hit.id, hit.score) for hit in hits] for hits in hits_lists]


def test_a_stored_graph_answers_as_before_the_close(tmp_path):
    path = tmp_path / "db.sqlite"
    rng = np.random.default_rng(8)
    vectors = rng.standard_normal((3000, 16)).astype(np.float32)
    queries = rng.standard_normal((40, 16)).astype(np.float32)
    np.save(tmp_path / "queries.npy", queries)
    config = HnswConfig(m=6, ef_construction=20, ef_search=8)  # small enough to answer approximately
    with Engine(str(path), metric="euclidean", index=config) as db:
        db.insert_many([f"r{i:04d}" for i in range(2500)], vectors[:2500])
        for i in range(2500, 3000):  # single inserts, appended to the companion
            db.insert(f"r{i:04d}", vectors[i])
        before = answers(db.search_many(queries, 10))
    assert before != answers(contents(path, queries)[1])  # the graph's answers are approximate here

    inode = companion_inode(path)
    with Engine(str(path), metric="euclidean", index=config) as db:
        assert companion_inode(path) == inode  # the graph was loaded, not built
        assert answers(db.search_many(queries, 10)) == before  # same ids, scores and order
        db.insert("extra", vectors[0] + 1)
    # A program that inserts and exits: its change is replayed into the
    # stored graph, at the level it drew.
    code = ("import os, sys, numpy, quorvel_engine\n"
            "config = quorvel_engine.HnswConfig(m=6, ef_construction=20, ef_search=8)\n"
            "db = quorvel_engine.Engine(sys.argv[1], metric='euclidean', index=config)\n"
            "db.insert('exited', numpy.full(16, 0.25, numpy.float32))\n"
            "print(repr([[(h.id, h.score) for h in hits] for hits in db.search_many(numpy.load(sys.argv[2]), 10)]))\n"
            "os._exit(0)\n")
    ran = run_python(code, str(path), str(tmp_path / "queries.npy"))
    assert ran.returncode == 0, ran.stderr
    inode = companion_inode(path)
    with Engine(str(path), metric="euclidean", index=config) as db:
        assert companion_inode(path) == inode
        assert repr(answers(db.search_many(queries, 10))) == ran.stdout.strip()

    # Another configuration builds its own graph, and the open stores it.
    exact = answers(contents(path, queries)[1])
    inode = companion_inode(path)
    with Engine(str(path), metric="euclidean", index=HnswConfig(m=12, ef_search=3002)) as db:
        assert companion_inode(path) != inode
        assert answers(db.search_many(queries, 10)) == exact  # ef covers every record


def test_a_retiring_graph_after_churn_and_an_exit_without_close_answers_as_the_program_did(tmp_path):
    path = tmp_path / "db.sqlite"
    rng = np.random.default_rng(12)
    vectors = rng.standard_normal((1200, 12)).astype(np.float32)
    np.save(tmp_path / "vectors.npy", vectors)
    options = dict(m=6, ef_construction=30, ef_search=10, selection="diverse", seed=9, retire_deleted=True,
                   retired_share=0.05)
    config = HnswConfig(**options)
    with Engine(str(path), metric="euclidean", index=config) as db:
        db.insert_many([f"r{i:04d}" for i in range(1000)], vectors[:1000])
    # Deletes, replacing inserts, a batch that replaces and adds, compactions
    # that fall due and one asked for; then the program ends without a close.
    code = ("import os, sys, numpy, quorvel_engine\n"
            f"config = quorvel_engine.HnswConfig(**{options!r})\n"
            "vectors = numpy.load(sys.argv[2])\n"
            "db = quorvel_engine.Engine(sys.argv[1], metric='euclidean', index=config)\n"
            "for i in range(0, 300, 7): db.delete(f'r{i:04d}')\n"
            "for i in range(1, 200, 9): db.insert(f'r{i:04d}', vectors[i + 1000 - 1])\n"
            "db.insert_many([f'r{i:04d}' for i in range(500, 520)] + [f'n{i}' for i in range(30)],\n"
            "               numpy.concatenate([vectors[1100:1120], vectors[1150:1180]]))\n"
            "db.delete('r0999')\n"
            "db.compact_index()\n"
            "db.insert('last', vectors[1199])\n"
            "print(repr([[(h.id, h.score) for h in hits] for hits in db.search_many(vectors[1000:1040], 10)]))\n"
            "os._exit(0)\n")
    ran = run_python(code, str(path), str(tmp_path / "vectors.npy"))
    assert ran.returncode == 0, ran.stderr
    inode = companion_inode(path)
    with Engine(str(path), metric="euclidean", index=config) as db:
        assert companion_inode(path) == inode  # the changes were replayed into the stored graph
        assert repr(answers(db.search_many(vectors[1000:1040], 10))) == ran.stdout.strip()
        ids = set(db)
        assert all(hit.id in ids for hits in db.search_many(vectors[:100], 10) for hit in hits)
