#!/usr/bin/env python3
"""Bulk import by the command-line program against the module's insert.

100,000 records of 384 floats (nine significant digits each, as embeddings
stored as floats print) with a little metadata, as JSON Lines written
beforehand. Timed:
1. `quorvel import FILE --input JSONL` into a new file, wall time of the
   whole process (parse, validation, one transaction, the final sync).
   Target: at most 5 seconds.
2. The module's `insert` of the first INSERTS of the same records into
   another new file, one durable commit each, as a program would do it.
   Target: the import's records per second at least 20 times the insert's.
Three rounds of each, alternating; medians.

Usage: import_bench.py <build-dir>
  runs <build-dir>/tools/quorvel/quorvel and imports quorvel from
  <build-dir>/bindings/python. Writes only to a temporary directory.
"""

import json
import random
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

DIMENSION = 384
RECORDS = 100_000
INSERTS = 2_000
ROUNDS = 3


def write_records(path, rng):
    with open(path, "w", encoding="utf-8") as out:
        for i in range(RECORDS):
            vector = ",".join(f"{rng.uniform(-1.0, 1.0):.9g}" for _ in range(DIMENSION))
            metadata = json.dumps({"n": i, "group": f"g{i % 17}"}, separators=(",", ":"))
            out.write(f'{{"id":"r{i:07d}","vector":[{vector}],"metadata":{metadata},"timestamp":null}}\n')


def time_import(program, source, target):
    start = time.perf_counter()
    done = subprocess.run([program, "import", str(target), "--input", str(source)], capture_output=True, text=True)
    if done.returncode != 0:
        sys.exit(f"quorvel import failed: {done.stderr}")
    return time.perf_counter() - start


def time_inserts(quorvel, records, target):
    database = quorvel.Quorvel(str(target))
    start = time.perf_counter()
    for record in records:
        database.insert(record["id"], record["vector"], json.dumps(record["metadata"]))
    elapsed = time.perf_counter() - start
    del database
    return elapsed


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    build = Path(sys.argv[1]).resolve()
    program = build / "tools" / "quorvel" / "quorvel"
    sys.path.insert(0, str(build / "bindings" / "python"))
    import quorvel

    with tempfile.TemporaryDirectory() as work:
        work = Path(work)
        source = work / "records.jsonl"
        write_records(source, random.Random(7))
        with open(source, encoding="utf-8") as lines:
            first = [json.loads(next(lines)) for _ in range(INSERTS)]

        import_seconds, insert_seconds = [], []
        for round_ in range(ROUNDS):
            target = work / f"import-{round_}.db"
            import_seconds.append(time_import(program, source, target))
            target.unlink()
            target = work / f"insert-{round_}.db"
            insert_seconds.append(time_inserts(quorvel, first, target))
            target.unlink()

        import_median = statistics.median(import_seconds)
        import_rate = RECORDS / import_median
        insert_rate = INSERTS / statistics.median(insert_seconds)
        print(f"records: {RECORDS} x {DIMENSION} floats, {source.stat().st_size / 1e6:.0f} MB of JSON Lines")
        print(f"quorvel import: {import_median:.2f} s median of "
              f"{', '.join(f'{s:.2f}' for s in import_seconds)} ({import_rate:,.0f} records/s; target <= 5 s)")
        print(f"module insert:  {insert_rate:,.0f} records/s (median of {ROUNDS} x {INSERTS} inserts)")
        print(f"import / insert rate: {import_rate / insert_rate:.1f}x (target >= 20x)")


if __name__ == "__main__":
    main()
