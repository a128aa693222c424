"""Searches of a sharded collection against one engine holding the same
records: the same hits, id for id and score for score, on random data
(where no scores tie) and on data full of ties, which the collection breaks
by id; and an index's recall against the exhaustive answer."""

import numpy as np
import pytest
from quorvel_engine import Engine, HnswConfig

from conftest import by_id_on_ties, exactly, has_ties
from quorvel_dask import ShardedEngine

DAY = 86_400


def fill_both(sharded, engine, rng, count, dimension):
    """The same records, written the same ways, into both: a bulk insert,
    single inserts, a replacing insert and deletes."""
    vectors = rng.standard_normal((count, dimension)).astype(np.float32)
    ids = [f"r{i}" for i in rng.permutation(count)]
    metadatas = [{"colour": ["red", "blue"][i % 2], "i": i} for i in range(count)]
    timestamps = [None if i % 3 == 0 else 1_000 * DAY + i * 3_600 for i in range(count)]
    half = count // 2
    for target in (sharded, engine):
        target.insert_many(ids[:half], vectors[:half], metadatas[:half], timestamps=timestamps[:half])
        for i in range(half, count):
            target.insert(ids[i], vectors[i].tolist(), metadatas[i], timestamp=timestamps[i])
        target.insert(ids[0], -vectors[0], {"replaced": True})
        for id in ids[5:25:3]:
            target.delete(id)
    return vectors


@pytest.mark.parametrize("metric", ["cosine", "dot", "euclidean", "manhattan"])
def test_searches_equal_one_engines_on_random_data(client, paths, tmp_path, metric):
    rng = np.random.default_rng(sum(map(ord, metric)))
    with ShardedEngine(client, paths(3), metric=metric) as sharded, \
            Engine(str(tmp_path / "one.db"), metric=metric) as engine:
        fill_both(sharded, engine, rng, 300, 12)
        assert (len(sharded), sorted(sharded)) == (len(engine), sorted(engine))
        queries = rng.standard_normal((6, 12)).astype(np.float32)
        for k in (0, 1, 10, 1_000):
            expected = [engine.search(query, k) for query in queries]
            assert not any(has_ties(hits) for hits in expected)
            assert [sharded.search(query, k) for query in queries] == expected
            assert sharded.search_many(queries, k) == expected
            assert sharded.search_many(queries.tolist(), k) == expected
        options = [{"where": {"colour": "red"}}, {"decay": 0.9, "now": 1_010 * DAY},
                   {"decay": 0.5, "now": 1_003 * DAY, "where": {"colour": "blue"}}]
        for option in options:
            expected = [engine.search(query, 7, **option) for query in queries]
            assert sharded.search_many(queries, 7, **option) == expected
            assert sharded.search(queries[0], 7, **option) == expected[0]


def test_ties_are_broken_by_id_in_every_shard_and_across_them(client, paths, tmp_path):
    """Records share a few vectors, so scores tie in groups larger than k,
    inside each shard and across shards; ids are inserted out of order, so
    an engine's order (insertion) differs from the collection's (id)."""
    rng = np.random.default_rng(5)
    shapes = np.array([[1, 0, 0], [0, 1, 0], [1, 1, 0], [0, 0, 0]], dtype=np.float32)
    count = 90
    ids = [f"t{i:03d}" for i in rng.permutation(count)]
    vectors = shapes[np.arange(count) % len(shapes)]
    cases = [  # (metric, query, k)
        ("cosine", [1.0, 0.0, 0.0], 5),            # ties at 1, 0.707 and 0 (zero vectors score 0)
        ("cosine", [0.0, 0.0, 0.0], 30),           # a zero query: every score 0
        ("dot", [1.0, 1.0, 0.0], 23),
        ("euclidean", [0.5, 0.5, 0.0], 40),
        ("manhattan", [1.0, 0.0, 0.0], 60),
        ("euclidean", [float("nan"), 0.0, 0.0], 12),   # every score NaN
        ("cosine", [1.0, 0.0, 0.0], count),
    ]
    for metric in sorted({case[0] for case in cases}):
        with ShardedEngine(client, paths(3, metric), metric=metric) as sharded, \
                Engine(str(tmp_path / f"{metric}.db"), metric=metric) as engine:
            for target in (sharded, engine):
                target.insert_many(ids, vectors, [{"n": i} for i in range(count)])
            for _, query, k in (case for case in cases if case[0] == metric):
                expected = by_id_on_ties(engine, query, k)
                assert has_ties(expected)
                assert exactly(sharded.search(query, k)) == exactly(expected), (metric, query, k)
                (many,) = sharded.search_many([query], k)
                assert exactly(many) == exactly(expected), (metric, query, k)


def test_an_index_finds_what_the_exhaustive_search_finds(client, paths, tmp_path):
    rng = np.random.default_rng(11)
    vectors = rng.standard_normal((3_000, 16)).astype(np.float32)
    ids = [f"v{i}" for i in range(len(vectors))]
    config = HnswConfig(m=8, ef_construction=64, ef_search=48)
    with Engine(str(tmp_path / "one.db"), metric="euclidean") as engine:
        engine.insert_many(ids, vectors)
        queries = rng.standard_normal((40, 16)).astype(np.float32)
        exact = [{hit.id for hit in hits} for hits in engine.search_many(queries, 10)]
    shard_paths = paths(3)
    with ShardedEngine(client, shard_paths, metric="euclidean") as sharded:
        sharded.insert_many(ids, vectors)
    # Opened again with the index: each shard builds it over its records.
    with ShardedEngine(client, shard_paths, metric="euclidean", index=config) as sharded:
        assert sharded.index is config
        found = sharded.search_many(queries, 10)
        recall = np.mean([len(exact[i] & {hit.id for hit in hits}) / 10 for i, hits in enumerate(found)])
        assert recall >= 0.95
