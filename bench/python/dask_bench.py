#!/usr/bin/env python3
"""A sharded collection on a local Dask cluster (quorvel_dask) against one
local quorvel_engine.Engine, in one run; rounds of the two sides alternate,
so that a change of machine load affects both alike.

1. insert: insert_many of 1,000,000 rows of 384 float32 from a numpy array
   into new files: one Engine against a ShardedEngine of 2 shards over 2
   worker processes (one thread each). Target: the sharded rate at least
   0.8x the engine's.
2. search: exhaustive searches (k = 10) of those records, one query at a
   time, single queries of the two sides taking turns. Target: the sharded
   search at most 1.3x the engine's time.
3. overhead: what the cluster adds to a query beyond the shards' own work
   (the client's event loop, the calls to the actors and back, the merge):
   searches of collections whose shards hold 2 records each, with 1, 2, 4,
   8 and 16 shards over the 2 workers. Target: at most 2 ms with 2 shards.
   Also the client's own processor time a query, the part of the overhead
   that stays when every worker has a machine of its own.
4. per shard: what one shard's engine costs, for the model in
   docs/sharding.md: the exhaustive search of one shard's file opened in
   this process, and the memory a worker holds per record.

Usage: dask_bench.py <build-dir> [--records N] [--parts insert,search,overhead] [--quick]
  imports quorvel_engine from <build-dir>/bindings/quorvel_engine and
  quorvel_dask from the source tree. Without the insert part, the records
  of the search part are inserted once, untimed. --quick runs every part on
  20,000 records. Writes only to a temporary directory.
"""

import argparse
import os
import shutil
import statistics
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

DIMENSION = 384
K = 10


def median_ms(values):
    return statistics.median(values) * 1000


def worker_memory(client):
    """The resident memory of each worker process, in bytes."""
    import psutil
    return client.run(lambda: psutil.Process().memory_info().rss)


def bench_insert(qe, ShardedEngine, client, scratch, rows, ids, rounds):
    """Alternating rounds of one engine's and the sharded collection's
    insert_many into new files; returns both sides' times and the last
    round's two collections, left open for the searches."""
    times = {"engine": [], "sharded": []}
    kept = {}
    for round_ in range(rounds):
        for side in (("engine", "sharded") if round_ % 2 == 0 else ("sharded", "engine")):
            folder = scratch / f"insert-{round_}-{side}"
            folder.mkdir()
            if side == "engine":
                target = qe.Engine(str(folder / "one.db"), metric="cosine")
            else:
                target = ShardedEngine(client, [str(folder / f"shard-{i}.db") for i in range(2)], metric="cosine")
            start = time.perf_counter()
            target.insert_many(ids, rows)
            times[side].append(time.perf_counter() - start)
            if round_ == rounds - 1:
                kept[side] = target
            else:
                target.close()
                shutil.rmtree(folder)
            print(f"  round {round_} {side}: {times[side][-1]:.2f} s", flush=True)
    return times, kept


def bench_search(engine, sharded, queries, rounds):
    """Single queries, the two sides taking turns, the first pass untimed."""
    for query in queries[:2]:
        engine.search(query, K)
        sharded.search(query, K)
    times = {"engine": [], "sharded": []}
    for round_ in range(rounds):
        for query in queries:
            for side in (("engine", "sharded") if round_ % 2 == 0 else ("sharded", "engine")):
                target = engine if side == "engine" else sharded
                start = time.perf_counter()
                target.search(query, K)
                times[side].append(time.perf_counter() - start)
    return times


def bench_overhead(ShardedEngine, client, scratch, counts, calls):
    """Per-query times of collections of `count` shards with 2 records
    each, the counts taking turns query by query."""
    rng = np.random.default_rng(7)
    collections = {}
    for count in counts:
        folder = scratch / f"overhead-{count}"
        folder.mkdir()
        collection = ShardedEngine(client, [str(folder / f"shard-{i}.db") for i in range(count)], metric="cosine")
        ids = [f"r{i}" for i in range(2 * count)]
        collection.insert_many(ids, rng.standard_normal((len(ids), DIMENSION)).astype(np.float32))
        collections[count] = collection
    query = rng.standard_normal(DIMENSION).astype(np.float32)
    times = {count: [] for count in counts}
    client_cpu = {count: 0.0 for count in counts}
    for collection in collections.values():
        collection.search(query, K)
    for _ in range(calls):
        for count, collection in collections.items():
            start, start_cpu = time.perf_counter(), time.process_time()
            collection.search(query, K)
            times[count].append(time.perf_counter() - start)
            client_cpu[count] += time.process_time() - start_cpu
    for collection in collections.values():
        collection.close()
    return times, {count: total / calls for count, total in client_cpu.items()}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build", type=Path)
    parser.add_argument("--records", type=int, default=1_000_000)
    parser.add_argument("--parts", default="insert,search,overhead")
    parser.add_argument("--quick", action="store_true")
    options = parser.parse_args()
    parts = set(options.parts.split(","))
    records = 20_000 if options.quick else options.records
    source = Path(__file__).resolve().parents[2]
    modules = [str(options.build.resolve() / "bindings" / "quorvel_engine"), str(source / "python")]
    sys.path[:0] = modules
    # The workers are processes of their own: they find the modules the same way.
    os.environ["PYTHONPATH"] = os.pathsep.join(modules + [os.environ.get("PYTHONPATH", "")]).rstrip(os.pathsep)
    import quorvel_engine as qe
    from dask.distributed import Client, LocalCluster
    from quorvel_dask import ShardedEngine

    scratch = Path(tempfile.mkdtemp(prefix="quorvel-dask-bench-"))
    cluster = LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0",
                           local_directory=str(scratch / "dask"))
    client = Client(cluster)
    try:
        print(f"records {records} x {DIMENSION}, 2 worker processes; load average at start "
              f"{' '.join(f'{x:.1f}' for x in os.getloadavg())}", flush=True)
        rng = np.random.default_rng(20261211)
        rows = rng.standard_normal((records, DIMENSION)).astype(np.float32)
        ids = [f"r{i:07d}" for i in range(records)]
        queries = rng.standard_normal((10 if options.quick else 30, DIMENSION)).astype(np.float32)

        kept = {}
        if "insert" in parts:
            print("insert_many:", flush=True)
            times, kept = bench_insert(qe, ShardedEngine, client, scratch, rows, ids, 2 if options.quick else 3)
            engine_rate = records / statistics.median(times["engine"])
            sharded_rate = records / statistics.median(times["sharded"])
            print(f"insert_many: engine {engine_rate:,.0f} records/s, sharded {sharded_rate:,.0f} records/s, "
                  f"sharded/engine {sharded_rate / engine_rate:.2f}x (target at least 0.8x)", flush=True)
        elif "search" in parts:
            _, kept = bench_insert(qe, ShardedEngine, client, scratch, rows, ids, 1)

        shard_paths = None
        if kept:
            times = bench_search(kept["engine"], kept["sharded"], queries, 3)
            engine_ms, sharded_ms = median_ms(times["engine"]), median_ms(times["sharded"])
            print(f"search: engine {engine_ms:.2f} ms, sharded {sharded_ms:.2f} ms, sharded/engine "
                  f"{sharded_ms / engine_ms:.2f}x (target at most 1.3x); difference {sharded_ms - engine_ms:.2f} ms",
                  flush=True)
            shard_paths = kept["sharded"].paths
            memory_open = worker_memory(client)
            kept["sharded"].close()
            kept["engine"].close()
            per_record = sum(memory_open.values()) - sum(worker_memory(client).values())

        if "overhead" in parts:
            counts = (1, 2, 4, 8, 16)
            times, client_cpu = bench_overhead(ShardedEngine, client, scratch, counts, 100 if options.quick else 400)
            print("overhead (shards of 2 records): " + ", ".join(
                f"{count} shards {median_ms(times[count]):.2f} ms" for count in counts)
                + " (target at most 2 ms with 2 shards)", flush=True)
            # The client's own share (its threads' processor time): what
            # remains per shard when the workers run on machines of their own.
            print("client processor time a query: " + ", ".join(
                f"{count} shards {client_cpu[count] * 1000:.2f} ms" for count in counts), flush=True)

        if shard_paths is None:
            return
        # One shard's own work, in this process: its file opened as an engine.
        with qe.Engine(shard_paths[0], metric="cosine") as shard:
            for query in queries[:2]:
                shard.search(query, K)
            shard_times = []
            for _ in range(3):
                for query in queries:
                    start = time.perf_counter()
                    shard.search(query, K)
                    shard_times.append(time.perf_counter() - start)
            shard_records = len(shard)
        shard_ms = median_ms(shard_times)
        print(f"per shard: {shard_records} records searched in {shard_ms:.2f} ms "
              f"({shard_ms * 1e6 / shard_records:.1f} ns a record, this process alone); the workers hold "
              f"{per_record / records:,.0f} bytes a record (resident memory)", flush=True)
        print(f"load average at end {' '.join(f'{x:.1f}' for x in os.getloadavg())}")
    finally:
        client.close()
        cluster.close()
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
