"""What makes files one collection, and its writes: routing (stable across
processes), the manifests, the refusals of shards that are not the
collection, the file lock, writes and their failures beside one engine's,
and closing."""

import json
import os
import subprocess
import sys

import numpy as np
import pytest
import quorvel_engine
from quorvel_engine import Engine, EngineClosedError, FileInUseError, RefusedValueError

from quorvel_dask import CollectionError, ShardedEngine, shard_of

# The routing is part of every stored collection: these must never change.
ROUTES = [  # (id, its shard among 2, 3, 7 and 64 shards)
    ("", [0, 0, 0, 52]),
    ("a", [1, 2, 2, 47]),
    ("boot-1", [1, 1, 2, 1]),
    ("r0000042", [0, 2, 6, 62]),
    ("é", [1, 0, 2, 47]),
    ("日本", [0, 0, 2, 58]),
]


def test_routing_is_the_same_in_every_process():
    expected = [[shard_of(id, count) for count in (2, 3, 7, 64)] for id, _ in ROUTES]
    assert expected == [shards for _, shards in ROUTES]
    code = ("import json, sys; from quorvel_dask import shard_of; "
            "print(json.dumps([[shard_of(id, n) for n in (2, 3, 7, 64)] for id in json.loads(sys.argv[1])]))")
    for seed in ("0", "12345"):
        child = subprocess.run([sys.executable, "-c", code, json.dumps([id for id, _ in ROUTES])],
                               env=dict(os.environ, PYTHONHASHSEED=seed), capture_output=True, text=True, check=True)
        assert json.loads(child.stdout) == expected


def test_import_without_dask_says_that_dask_is_needed():
    blocker = ("import sys\n"
               "class NoDask:\n"
               "    def find_spec(self, name, path=None, target=None):\n"
               "        if name.split('.')[0] in ('dask', 'distributed'):\n"
               "            raise ModuleNotFoundError(f\"No module named '{name}'\", name=name)\n"
               "sys.meta_path.insert(0, NoDask())\n"
               "import quorvel_dask\n")
    child = subprocess.run([sys.executable, "-c", blocker], capture_output=True, text=True)
    assert child.returncode == 1
    assert child.stderr.splitlines()[-1] == (
        "ImportError: quorvel_dask needs Dask's distributed scheduler, which this interpreter cannot import "
        "(No module named 'distributed'): install Debian's python3-distributed, or the distributed package from PyPI")


def stored_ids(path):
    with Engine(path) as engine:
        return sorted(engine)


def test_records_live_in_the_shard_their_id_routes_to(client, paths):
    shard_paths = paths(3)
    ids = [f"id-{i}" for i in range(60)]
    with ShardedEngine(client, shard_paths) as sharded:
        sharded.insert_many(ids[:40], np.ones((40, 4), np.float32), [{"i": i} for i in range(40)])
        for id in ids[40:]:
            sharded.insert(id, [1.0, 2.0, 3.0, 4.0])
        assert [sharded.delete(id) for id in ("id-3", "id-3", "none")] == [True, False, False]
        assert (sharded.get("id-7").metadata, sharded.get("id-3"), sharded.get("none")) == ({"i": 7}, None, None)
        assert ("id-7" in sharded, "id-3" in sharded, 7 in sharded) == (True, False, False)
        assert (len(sharded), sorted(sharded)) == (59, sorted(set(ids) - {"id-3"}))
        assert [sharded.shard_of(id) for id, _ in ROUTES] == [shards[1] for _, shards in ROUTES]
        collection = sharded.collection
    for number, path in enumerate(shard_paths):
        assert stored_ids(path) == sorted(id for id in set(ids) - {"id-3"} if shard_of(id, 3) == number)
        with open(path + ".shard.json") as manifest:
            assert json.load(manifest) == {"collection": collection, "format": 1, "routing": "blake2b-8",
                                           "shard": number, "shards": 3}
    with ShardedEngine(client, shard_paths) as again:
        assert (again.collection, len(again), again.dimension) == (collection, 59, 4)


@pytest.fixture
def collection(client, paths):
    """A closed collection of 3 shards holding records, and its paths."""
    shard_paths = paths(3)
    with ShardedEngine(client, shard_paths) as sharded:
        sharded.insert_many([f"c{i}" for i in range(30)], np.ones((30, 2), np.float32))
        return shard_paths, sharded.collection


def test_shards_that_are_not_the_collection_are_refused(client, collection, paths, tmp_path):
    shard_paths, collection_id = collection
    with ShardedEngine(client, paths(3, "other")) as other:
        other.insert_many([f"o{i}" for i in range(30)], np.ones((30, 2), np.float32))
        others = other.paths, other.collection
    plain = str(tmp_path / "plain.db")
    with Engine(plain) as engine:
        engine.insert("p", [1.0, 1.0])
    fresh = str(tmp_path / "fresh.db")
    p0, p1, p2 = shard_paths
    cases = [
        ([p0, p1], f"shard 0 ({p0}) is shard 0 of a collection of 3 shards, not shard 0 of 2"),
        ([p1, p0, p2], f"shard 0 ({p1}) is shard 1 of a collection of 3 shards, not shard 0 of 3"),
        ([p0, p1, others[0][2]],
         f"shard 2 ({others[0][2]}) belongs to collection {others[1]}, shard 0 to collection {collection_id}"),
        ([p0, p1, plain], f"shard 2 ({plain}) holds 1 records but no manifest: it is no shard of a collection"),
        ([p0, p1, fresh], f"shard 2 ({fresh}) has no manifest while the collection holds records: "
                          "its files were lost or replaced"),
    ]
    for given, message in cases:
        with pytest.raises(CollectionError) as refused:
            ShardedEngine(client, given)
        assert str(refused.value) == message
    # Nothing was left open, and the file the last open created is gone.
    assert not os.path.exists(fresh)
    with ShardedEngine(client, shard_paths) as sharded:
        assert len(sharded) == 30

    os.remove(p2)
    with pytest.raises(CollectionError) as refused:
        ShardedEngine(client, shard_paths)
    assert str(refused.value) == (f"shard 2 ({p2}): the database file is missing, though its manifest "
                                  f"{p2}.shard.json is there")
    assert not os.path.exists(p2)


def test_a_creation_cut_short_is_finished_and_differing_dimensions_are_refused(client, paths):
    shard_paths = paths(2)
    with ShardedEngine(client, shard_paths) as sharded:
        collection = sharded.collection
    os.remove(shard_paths[1] + ".shard.json")  # as if the creation stopped before the second manifest
    with ShardedEngine(client, shard_paths) as sharded:
        assert sharded.collection == collection
    # Vectors of two lengths, written behind the collection's back.
    ids = {number: next(f"d{i}" for i in range(100) if shard_of(f"d{i}", 2) == number) for number in (0, 1)}
    for number, dimension in ((0, 2), (1, 3)):
        with Engine(shard_paths[number]) as engine:
            engine.insert(ids[number], [1.0] * dimension)
    with pytest.raises(CollectionError) as refused:
        ShardedEngine(client, shard_paths)
    assert str(refused.value) == "shard 0 holds vectors of 2 floats, shard 1 of 3"


def test_a_shard_file_is_never_opened_twice(client, collection, paths):
    shard_paths, _ = collection
    with ShardedEngine(client, shard_paths) as first:
        with pytest.raises(FileInUseError) as in_use:
            ShardedEngine(client, shard_paths)
        assert str(in_use.value) == f"Storage error: Database error: database is locked (file {shard_paths[0]})"
        # One new file and one held: the new one is opened, then let go.
        new = paths(1, "new")[0]
        with pytest.raises(FileInUseError):
            ShardedEngine(client, [new, shard_paths[1]])
        assert not os.path.exists(new)
        with pytest.raises(FileInUseError):
            Engine(shard_paths[2])
        assert len(first) == 30
    with Engine(shard_paths[2]) as engine:
        assert len(engine) > 0


# Calls that fail, run on one engine and on a collection: the same
# exception, the same message, and nothing stored (but for bulk inserts
# whose refused record leaves other shards' parts stored).
NAN = float("nan")
BULK = [f"n{i}" for i in range(9)]
FAILING_CALLS = [  # (call, whether other shards' parts may be stored)
    (lambda db: db.insert(1, [1.0, 2.0]), False),
    (lambda db: db.insert("x", "ab"), False),
    (lambda db: db.insert("x", [1.0, NAN]), False),
    (lambda db: db.insert("x", [1.0, 2.0, 3.0]), False),
    (lambda db: db.insert("x", [1.0, 2.0], {1}), False),
    (lambda db: db.insert("x", [1.0, 2.0], timestamp=-1), False),
    (lambda db: db.insert("\ud800", [1.0, 2.0]), False),
    (lambda db: db.insert_many("ab", [[1.0, 2.0]] * 2), False),
    (lambda db: db.insert_many(["x", "y"], 5), False),
    (lambda db: db.insert_many(["x", "y"], [[1.0, 2.0]]), False),
    (lambda db: db.insert_many(["x", "y"], [[1.0, 2.0]] * 2, [None]), False),
    (lambda db: db.insert_many(["x", "y"], [[1.0, 2.0]] * 2, timestamps=[1]), False),
    (lambda db: db.insert_many(["x", 3], [[1.0, 2.0]] * 2), False),
    (lambda db: db.insert_many(["x", "y"], np.ones(2, np.float32)), False),
    (lambda db: db.insert_many(BULK, [[1.0, 2.0]] * 8 + [[1.0, NAN]]), True),
    (lambda db: db.insert_many(BULK, [[1.0, 2.0]] * 8 + [[1.0]]), True),
    (lambda db: db.insert_many(BULK, [[1.0, 2.0]] * 9, [None] * 6 + [{2}] + [None] * 2), True),
    (lambda db: db.search([1.0, 2.0], -1), False),
    (lambda db: db.search([1.0, 2.0], "3"), False),
    (lambda db: db.search([1.0, 2.0, 3.0], 3), False),
    (lambda db: db.search([1.0, 2.0], 3, where=["a"]), False),
    (lambda db: db.search([1.0, 2.0], 3, decay=1.5), False),
    (lambda db: db.search_many([[1.0, 2.0], [1.0]], 3), False),
    (lambda db: db.get(3), False),
    (lambda db: db.delete(None), False),
]


def test_failures_are_one_engines_failures(client, paths, tmp_path):
    with ShardedEngine(client, paths(3)) as sharded, Engine(str(tmp_path / "one.db")) as engine:
        for target in (sharded, engine):
            target.insert_many([f"k{i}" for i in range(12)], np.ones((12, 2), np.float32))
        for number, (call, partial) in enumerate(FAILING_CALLS):
            raised = []
            for target in (engine, sharded):
                with pytest.raises(Exception) as failure:
                    call(target)
                raised.append((type(failure.value), str(failure.value), getattr(failure.value, "index", None)))
            assert raised[1] == raised[0], number
            stored = set(sharded) - set(engine)
            refused = BULK[raised[0][2]] if partial else None
            assert all(partial and shard_of(id, 3) != shard_of(refused, 3) for id in stored), number
            for id in stored:
                sharded.delete(id)
        assert sorted(sharded) == sorted(engine)


def test_a_bulk_insert_commits_each_shards_part_alone(client, paths, tmp_path):
    ids = [f"b{i}" for i in range(40)]
    refused_at = next(i for i in range(10, 40) if shard_of(ids[i], 2) == 1)
    vectors = np.ones((40, 2), np.float32)
    vectors[refused_at, 1] = np.nan
    with ShardedEngine(client, paths(2)) as sharded:
        sharded.insert("first", [1.0, 2.0])
        with pytest.raises(RefusedValueError) as refused:
            sharded.insert_many(ids, vectors)
        assert str(refused.value) == (f"record {refused_at}: Storage error: Serialization error: vector element 1 "
                                      "is NaN, which has no JSON form")
        assert refused.value.index == refused_at
        # Shard 0's part is stored, shard 1's part is not.
        assert sorted(sharded) == sorted(["first"] + [id for id in ids if shard_of(id, 2) == 0])


def test_the_first_record_gives_every_shard_its_dimension(client, paths, tmp_path):
    """Shards that hold no record yet refuse vectors of another length, as
    one engine does, whichever shard the first record went to."""
    with ShardedEngine(client, paths(3)) as sharded:
        assert sharded.dimension is None
        sharded.insert("a", [1.0, 2.0])
        assert sharded.dimension == 2
        for id in ("b", "c", "d", "e"):
            with pytest.raises(RefusedValueError) as refused:
                sharded.insert(id, [1.0, 2.0, 3.0])
            assert str(refused.value) == "Dimension error: the vector has 3 floats, the database's dimension is 2"
    with ShardedEngine(client, paths(3, "bulk")) as sharded, Engine(str(tmp_path / "one.db")) as engine:
        # The first two records in different shards: the first one's part is stored.
        ids = [f"m{i}" for i in range(40) if shard_of(f"m{i}", 3) != shard_of("m0", 3) or i == 0][:12]
        vectors = [[1.0, 2.0, 3.0]] + [[1.0, 2.0]] * 11
        raised = []
        for target in (engine, sharded):
            with pytest.raises(RefusedValueError) as refused:
                target.insert_many(ids, vectors)
            raised.append(str(refused.value))
        assert raised[1] == raised[0] == "record 1: Dimension error: the vector has 2 floats, the database's dimension is 3"
        assert sharded.dimension == 3
        with pytest.raises(RefusedValueError):
            sharded.insert_many(ids[1:], vectors[1:])


def test_a_closed_collection_refuses_calls_and_releases_its_files(client, paths):
    shard_paths = paths(2)
    sharded = ShardedEngine(client, shard_paths)
    sharded.insert("a", [1.0])
    sharded.close()
    sharded.close()
    assert sharded.closed
    closed = f"the sharded engine of {shard_paths[0]} is closed"
    for call in (lambda db: db.insert("b", [1.0]), lambda db: db.get("a"), lambda db: db.search([1.0]), len,
                 list, lambda db: "a" in db, lambda db: db.delete("a"), lambda db: db.reopen_shard(0),
                 lambda db: db.insert_many(["a"], [[1.0]]), lambda db: db.__enter__()):
        with pytest.raises(EngineClosedError) as raised:
            call(sharded)
        assert str(raised.value) == closed
    for path in shard_paths:
        Engine(path).close()


def test_arguments_of_the_wrong_kind(client, paths):
    shard_paths = paths(2)
    cases = [
        (lambda: ShardedEngine("client", shard_paths), TypeError,
         "client must be a dask.distributed.Client, not 'str'"),
        (lambda: ShardedEngine(client, shard_paths[0]), TypeError,
         "shards must be a sequence of paths, one per shard, not 'str'"),
        (lambda: ShardedEngine(client, [shard_paths[0], 5]), TypeError,
         "shard 1: a path must be a str or an os.PathLike, not 'int'"),
        (lambda: ShardedEngine(client, []), ValueError, "a collection needs at least one shard"),
        (lambda: ShardedEngine(client, [shard_paths[0], shard_paths[0]]), ValueError,
         f"shards 0 and 1 have the same path {shard_paths[0]}"),
        (lambda: ShardedEngine(client, shard_paths, placement=["tcp://127.0.0.1:1"]), ValueError,
         "placement names 1 workers for 2 shards"),
        (lambda: ShardedEngine(client, shard_paths, placement=["tcp://127.0.0.1:1"] * 2), ValueError,
         "the cluster has no worker tcp://127.0.0.1:1"),
        (lambda: ShardedEngine(client, shard_paths, index=16), TypeError,
         "index must be a quorvel_engine.HnswConfig or None, not 'int'"),
        (lambda: ShardedEngine(client, shard_paths, metric="hamming"), quorvel_engine.ConfigError,
         "metric must be cosine, dot, euclidean or manhattan, not 'hamming'"),
    ]
    for call, kind, message in cases:
        with pytest.raises(kind) as raised:
            call()
        assert (type(raised.value), str(raised.value)) == (kind, message)
    assert not any(os.path.exists(path) for path in shard_paths)
