"""One engine shared by threads and across a fork: searches while another
thread writes see a state the writes went through, writes wait rather than
fail, and a forked child reads (an engine as a write left it, never half
changed) but is refused writes."""

import threading

import numpy as np

from conftest import run_python
from quorvel_engine import Engine, EngineClosedError, HnswConfig

RECORDS = 400


def vector_of(i):
    """A vector that is closest to itself among all of them, by cosine."""
    angle = 2 * np.pi * i / RECORDS
    return [float(np.cos(angle)), float(np.sin(angle))]


def test_searches_while_another_thread_writes_see_only_states_the_writes_went_through(db_path):
    with Engine(db_path, index=HnswConfig(m=8)) as db:
        failures = []
        done = threading.Event()
        model = {}  # id -> metadata, as the writer has committed it; read under the GIL

        def writer():
            try:
                for i in range(RECORDS):
                    db.insert(str(i), vector_of(i), {"version": 1})
                    model[str(i)] = 1
                    if i % 4 == 3:
                        db.insert_many([str(i - 1)], [vector_of(i - 1)], [{"version": 2}])
                        model[str(i - 1)] = 2
                    if i % 10 == 9:
                        assert db.delete(str(i - 9))
                        del model[str(i - 9)]
            except Exception as error:  # noqa: BLE001 (reported below)
                failures.append(error)
            finally:
                done.set()

        def reader(exhaustive):
            try:
                while not done.is_set():
                    committed = dict(model)  # every id committed before this search began
                    for hit in db.search([1.0, 0.0], 5, where={"version": 1} if exhaustive else None):
                        # No record appears that was never written, and none with a version it never had.
                        assert hit.metadata["version"] in (1, 2)
                        assert int(hit.id) < RECORDS
                    for id_, version in list(committed.items())[-3:]:
                        record = db.get(id_)
                        if record is not None and model.get(id_) == version:
                            assert record.metadata["version"] >= 1
                    assert len(db) >= 0
            except Exception as error:  # noqa: BLE001
                failures.append(error)

        threads = [threading.Thread(target=writer)] + [threading.Thread(target=reader, args=(e,)) for e in (0, 1, 0)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert failures == []
        assert {record_id: db.get(record_id).metadata["version"] for record_id in db} == model
        # The index followed every write: each stored vector finds itself.
        for record_id in list(model)[::25]:
            assert db.search(vector_of(int(record_id)), 1)[0].id == record_id
    with Engine(db_path) as reopened:
        assert {record_id: reopened.get(record_id).metadata["version"] for record_id in reopened} == model


def test_writers_wait_for_each_other_and_none_fails(db_path):
    with Engine(db_path) as db:
        def write(first):
            for i in range(first, first + 50):
                db.insert(str(i), [1.0, float(i)])
        threads = [threading.Thread(target=write, args=(n * 50,)) for n in range(4)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert sorted(db, key=int) == [str(i) for i in range(200)]


def test_close_waits_for_a_search_in_flight(db_path):
    with Engine(db_path) as db:
        db.insert_many([str(i) for i in range(20_000)], np.ones((20_000, 64), dtype=np.float32))
        answers = []

        def search():
            try:
                answers.append(len(db.search_many(np.ones((50, 64)), 3)))
            except EngineClosedError:
                answers.append("closed")

        searching = threading.Thread(target=search)
        searching.start()
        db.close()
        searching.join()
        assert answers in ([50], ["closed"])  # the search ran before the close, or found the engine closed


FORK = """
import os, sys, threading
import quorvel_engine
db = quorvel_engine.Engine(sys.argv[1], index=quorvel_engine.HnswConfig(m=4))
db.insert_many([str(i) for i in range(300)], [[1.0, float(i % 17)] for i in range(300)], [{"i": i} for i in range(300)])
expected = db.search([1.0, 3.0], 5)
stop = threading.Event()
def search_on():
    while not stop.is_set():
        db.search([1.0, 3.0], 5, where={"i": 3})
threads = [threading.Thread(target=search_on) for _ in range(2)]
for thread in threads:
    thread.start()
for _ in range(20):
    pid = os.fork()
    if pid == 0:
        assert db.search([1.0, 3.0], 5) == expected
        assert db.get("7").metadata == {"i": 7}
        try:
            db.insert("child", [1.0, 1.0])
            print("acknowledged", flush=True)
        except quorvel_engine.ForkedChildError as error:
            print(type(error).__name__, error, flush=True)
        db.close()
        os._exit(0)
    os.waitpid(pid, 0)
stop.set()
for thread in threads:
    thread.join()
db.insert("parent", [1.0, 1.0])
print(len(db))
"""


def test_a_forked_child_reads_and_is_refused_writes_even_while_the_parent_searches(db_path):
    result = run_python(FORK, db_path)
    assert result.returncode == 0, result.stderr
    refusal = ("ForkedChildError Storage error: Transaction error: the database was opened by another process; "
               f"a forked child can read it but not change it (file {db_path})")
    assert result.stdout.splitlines() == [refusal] * 20 + ["301"]


FORK_DURING_WRITES = """
import os, random, sys, threading
import quorvel_engine
N = 1000
db = quorvel_engine.Engine(sys.argv[1], index=quorvel_engine.HnswConfig(m=8, ef_construction=50, ef_search=N))
def vector(i):
    draw = random.Random(i)
    return [draw.uniform(-1, 1) for _ in range(8)]
db.insert_many([str(i) for i in range(N)], [vector(i) for i in range(N)])
stop = threading.Event()
def write_on():
    while not stop.is_set():
        db.delete("0")            # moves every later record up and builds the index afresh
        db.insert("0", vector(0))
writer = threading.Thread(target=write_on)
writer.start()
for _ in range(30):
    pid = os.fork()
    if pid == 0:
        # Every node the index gives back names a stored record, once.
        ids = [hit.id for hit in db.search(vector(1), N)]
        os._exit(0 if len(set(ids)) == len(ids) == len(db) and all(i in db for i in ids) else 3)
    _, status = os.waitpid(pid, 0)
    print(status, flush=True)
stop.set()
writer.join()
"""


def test_a_child_forked_during_writes_sees_each_write_whole_or_not_at_all(db_path):
    result = run_python(FORK_DURING_WRITES, db_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["0"] * 30
