"""Fixtures shared by the tests of quorvel_dask: one local Dask cluster of
two worker processes per test module (a cluster takes seconds to start),
and helpers that compare a sharded collection with one engine.

Every file is written inside pytest's temporary directories, the workers'
scratch space too."""

import math
import struct

import pytest
from dask.distributed import Client, LocalCluster

from quorvel_dask.ranking import LARGER_IS_CLOSER, rank


@pytest.fixture(scope="module")
def client(tmp_path_factory):
    scratch = tmp_path_factory.mktemp("dask")
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0",
                      local_directory=str(scratch)) as cluster, Client(cluster) as connected:
        yield connected


@pytest.fixture
def paths(tmp_path):
    """paths(n): the paths of n shard files in a new folder."""
    def shard_paths(count, name="shard"):
        return [str(tmp_path / f"{name}-{number}.db") for number in range(count)]
    return shard_paths


def exactly(hits):
    """Hits in a form that compares every bit of each score (NaN equal to
    NaN, -0.0 apart from 0.0)."""
    return [(hit.id, struct.pack("<d", hit.score), hit.metadata) for hit in hits]


def by_id_on_ties(engine, query, k, **options):
    """One engine's exhaustive answer with ties broken by id, the sharded
    collection's rule: every record ranked by the engine, ordered by score
    (its own order) and then id, cut to k."""
    larger = LARGER_IS_CLOSER[engine.metric]
    everything = engine.search(query, len(engine), **options)
    return sorted(everything, key=lambda hit: (rank(hit.score, larger), hit.id))[:k]


def has_ties(hits):
    scores = [hit.score for hit in hits]
    return any(a == b or (math.isnan(a) and math.isnan(b)) for a, b in zip(scores, scores[1:]))
