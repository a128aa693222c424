#!/usr/bin/env python3
"""The module's delete beside its insert, in a database of 200,000 records.

Records of 384 random floats with small metadata (written once by
bench/open/open_timer into a cache directory, then copied afresh for each
run, since the run changes it). In each round the module deletes PER_ROUND
stored records picked at random and inserts PER_ROUND new ones, each a
durable commit; the two take turns going first. Target: a delete costs
about what an insert costs (the median ratio delete/insert near 1), at any
size of the database.

Usage: delete_bench.py <build-dir> [--records 200000] [--rounds 7]
  [--per-round 200] [--cache DIR]
  imports quorvel from <build-dir>/bindings/python and writes the file with
  <build-dir>/bench/open/open_timer (default cache: a quorvel-delete-bench
  directory under /tmp).
"""

import argparse
import random
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

DIMENSION = 384


def database(build, cache, records):
    path = cache / f"delete-{records}.db"
    if not path.exists():
        print(f"writing {records} records to {path} ...", file=sys.stderr, flush=True)
        cache.mkdir(parents=True, exist_ok=True)
        partial = path.with_suffix(".partial")
        partial.unlink(missing_ok=True)
        subprocess.run([str(build / "bench" / "open" / "open_timer"), "write", str(partial), str(records),
                        str(DIMENSION)], check=True, capture_output=True)
        partial.rename(path)
    return path


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build", type=Path)
    parser.add_argument("--records", type=int, default=200_000)
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--per-round", type=int, default=200)
    parser.add_argument("--cache", type=Path, default=Path(tempfile.gettempdir()) / "quorvel-delete-bench")
    args = parser.parse_args()
    sys.path.insert(0, str(args.build.resolve() / "bindings" / "python"))
    import quorvel

    source = database(args.build, args.cache, args.records)
    rng = random.Random(5)
    with tempfile.TemporaryDirectory() as directory:
        path = Path(directory) / "churn.db"
        shutil.copyfile(source, path)
        db = quorvel.Quorvel(str(path))
        ids = [record_id for record_id, _ in db.get_all()]
        assert len(ids) == args.records
        doomed = iter(rng.sample(ids, args.rounds * args.per_round))
        inserts, deletes = [], []
        for round_number in range(args.rounds):
            victims = [next(doomed) for _ in range(args.per_round)]
            fresh = [(f"new-{round_number}-{i}", [rng.uniform(-1.0, 1.0) for _ in range(DIMENSION)])
                     for i in range(args.per_round)]

            def time_inserts():
                start = time.perf_counter()
                for record_id, vector in fresh:
                    db.insert(record_id, vector, '{"n":1}')
                inserts.append((time.perf_counter() - start) / args.per_round)

            def time_deletes():
                start = time.perf_counter()
                for record_id in victims:
                    db.delete(record_id)
                deletes.append((time.perf_counter() - start) / args.per_round)

            first, second = (time_inserts, time_deletes) if round_number % 2 == 0 else (time_deletes, time_inserts)
            first()
            second()
        assert len(db.get_all()) == args.records
        del db

    insert_ms = statistics.median(inserts) * 1e3
    delete_ms = statistics.median(deletes) * 1e3
    print(f"{args.records} records x {DIMENSION}, {args.rounds} rounds of {args.per_round}")
    print(f"insert  {insert_ms:8.3f} ms")
    print(f"delete  {delete_ms:8.3f} ms")
    print(f"delete/insert  {delete_ms / insert_ms:.2f}")


if __name__ == "__main__":
    main()
