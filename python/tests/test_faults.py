"""A worker that dies: calls that need its shard name the shard, the others
go on, the shard reopens on another worker from its file with every write
that was acknowledged, and while an actor still holds the file no other
opens it. The worker is killed for real (SIGKILL of its process)."""

import os
import signal
import time

import numpy as np
import pytest

from quorvel_dask import ShardedEngine, ShardUnavailableError, shard_of
from quorvel_engine import FileInUseError


def pid_of(client, worker):
    return client.run(os.getpid, workers=[worker])[worker]


def test_a_killed_worker_loses_no_acknowledged_write(client, paths):
    shard_paths = paths(2)
    ids = [f"w{i}" for i in range(200)]
    rng = np.random.default_rng(3)
    vectors = rng.standard_normal((len(ids), 8)).astype(np.float32)
    with ShardedEngine(client, shard_paths, metric="euclidean") as sharded:
        assert len(set(sharded.workers)) == 2
        sharded.insert_many(ids[:150], vectors[:150], [{"n": i} for i in range(150)])
        for i in range(150, 200):
            sharded.insert(ids[i], vectors[i], {"n": i})
        sharded.delete(ids[0])
        query = vectors[7]
        before = sharded.search(query, 20)

        # The file lock: shard 1 cannot be opened elsewhere while its actor lives.
        with pytest.raises(FileInUseError) as in_use:
            sharded.reopen_shard(1)
        assert str(in_use.value) == f"Storage error: Database error: database is locked (file {shard_paths[1]})"
        assert sharded.search(query, 20) == before

        dead = sharded.workers[1]
        os.kill(pid_of(client, dead), signal.SIGKILL)
        on_dead = next(id for id in ids if shard_of(id, 2) == 1)
        on_live = next(id for id in ids if shard_of(id, 2) == 0)
        unavailable = (f"shard 1 ({shard_paths[1]}) is unavailable: its worker {dead} is gone or cannot be "
                       f"reached; reopen_shard(1) opens it on another worker")
        late = [f"late{i}" for i in range(10)]
        far = np.full((10, 8), 50.0, np.float32)  # never among the hits of `query`
        for call in (lambda: sharded.get(on_dead), lambda: sharded.search(query, 20), lambda: len(sharded),
                     lambda: sharded.insert(on_dead, vectors[0]), lambda: sharded.insert_many(late, far)):
            with pytest.raises(ShardUnavailableError) as raised:
                call()
            assert (str(raised.value), raised.value.shards) == (unavailable, (1,))
        assert sharded.get(on_live).metadata == {"n": ids.index(on_live)}
        # The bulk insert stored the part of the shard that was there.
        on_live_shard = [id for id in late if shard_of(id, 2) == 0]
        assert [id for id in on_live_shard if sharded.get(id) is not None] == on_live_shard

        # The scheduler learns of the death; then the shard opens elsewhere.
        deadline = time.monotonic() + 60
        while dead in client.scheduler_info()["workers"] and time.monotonic() < deadline:
            time.sleep(0.1)
        sharded.reopen_shard(1)
        assert sharded.workers[1] != dead
        assert sharded.search(query, 20) == before
        assert sorted(sharded) == sorted(ids[1:] + [id for id in late if shard_of(id, 2) == 0])
        # Sent again, the bulk insert stores the rest.
        sharded.insert_many(late, far)
        assert len(sharded) == 209
