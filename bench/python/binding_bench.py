#!/usr/bin/env python3
"""How much the Python binding adds to the engine, in one run.

1. search: 100,000 records of 384 floats, k = 10. The module's search (from
   a Python list of floats to the list of result tuples) is timed against
   Engine::search in C++ (engine_search_timer, another process on a copy of
   the same database file) with the same queries. Rounds of the two
   alternate, so that a change of machine load affects both alike.
   Target: Python median at most 1.2 times the C++ median. A search in an
   empty database shows the binding's own share (converting the query,
   building the result list).
2. get: one call from Python, at 1,000, 10,000 and 100,000 records, on
   random stored ids and on one id over and over (which shows the cost
   without cache misses). Target: under 2 microseconds, not growing with
   the record count.

Usage: binding_bench.py <build-dir>
  imports quorvel from <build-dir>/bindings/python and runs
  <build-dir>/bench/python/engine_search_timer. Writes only to a temporary
  directory.
"""

import json
import os
import random
import sqlite3
import statistics
import struct
import subprocess
import sys
import tempfile
import time
from pathlib import Path

DIMENSION = 384
RECORDS = 100_000
K = 10
QUERIES = 20
ROUNDS = 10
GET_SIZES = (1_000, 10_000, 100_000)
GET_CALLS = 200_000


def write_database(path, count, rng):
    """Writes `count` records straight into a database file of the module's
    format, in one transaction (inserting through the module would sync every
    record). Small integer coordinates keep the JSON short; the search's speed
    does not depend on the values."""
    connection = sqlite3.connect(path)
    connection.execute("CREATE TABLE records (id TEXT PRIMARY KEY NOT NULL, value BLOB NOT NULL) "
                       "WITHOUT ROWID")
    rows = []
    for i in range(count):
        id_ = f"r{i:08d}"
        vector = [rng.randint(-8, 8) for _ in range(DIMENSION)]
        value = json.dumps({"id": id_, "vector": vector, "metadata": {"n": i}, "timestamp": None},
                           separators=(",", ":"))
        rows.append((id_, value.encode()))
    with connection:
        connection.executemany("INSERT INTO records (id, value) VALUES (?, ?)", rows)
    connection.close()


def time_search(quorvel, path, queries, queries_path, timer):
    """Median search times in microseconds: (Python, C++)."""
    copy = path + ".copy"
    Path(copy).write_bytes(Path(path).read_bytes())
    cpp = subprocess.Popen([str(timer), copy, str(queries_path), str(DIMENSION), str(K)],
                           stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    db = quorvel.Quorvel(path)
    for query in queries:
        db.search(query, K)
    if cpp.stdout.readline().strip() != "ready":
        sys.exit("engine_search_timer failed")
    python_times, cpp_times = [], []
    for _ in range(ROUNDS):
        cpp.stdin.write("round\n")
        cpp.stdin.flush()
        cpp_times += [float(field) for field in cpp.stdout.readline().split()]
        for query in queries:
            start = time.perf_counter()
            db.search(query, K)
            python_times.append((time.perf_counter() - start) * 1e6)
    cpp.stdin.close()
    if cpp.wait() != 0:
        sys.exit("engine_search_timer failed")
    return statistics.median(python_times), statistics.median(cpp_times), len(python_times)


def time_get(quorvel, path, ids):
    """Microseconds per get, best of three passes over `ids`."""
    db = quorvel.Quorvel(path)
    get = db.get
    for id_ in ids[:1000]:
        get(id_)
    best = float("inf")
    for _ in range(3):
        start = time.perf_counter()
        for id_ in ids:
            get(id_)
        best = min(best, (time.perf_counter() - start) / len(ids))
    return best * 1e6


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    build = Path(sys.argv[1]).resolve()
    sys.path.insert(0, str(build / "bindings" / "python"))
    import quorvel  # noqa: E402  (found through the build directory)
    timer = build / "bench" / "python" / "engine_search_timer"

    rng = random.Random(20261210)
    with tempfile.TemporaryDirectory(prefix="quorvel-binding-bench-") as scratch:
        path = os.path.join(scratch, "search.db")
        write_database(path, RECORDS, rng)
        queries = [[rng.uniform(-1.0, 1.0) for _ in range(DIMENSION)] for _ in range(QUERIES)]
        queries_path = Path(scratch) / "queries.f32"
        queries_path.write_bytes(b"".join(struct.pack(f"{DIMENSION}f", *query) for query in queries))
        # The C++ timer reads the queries as 32-bit floats; give Python the
        # same values.
        queries = [list(struct.unpack(f"{DIMENSION}f", struct.pack(f"{DIMENSION}f", *query)))
                   for query in queries]

        python, cpp, searches = time_search(quorvel, path, queries, queries_path, timer)
        print(f"search, {RECORDS} records of {DIMENSION} floats, k = {K}, {searches} searches each:")
        print(f"  Python median {python:.1f} us, C++ median {cpp:.1f} us, "
              f"ratio {python / cpp:.3f} (target at most 1.2)")

        empty = quorvel.Quorvel(os.path.join(scratch, "empty.db"))
        overhead = []
        for _ in range(ROUNDS * 100):
            start = time.perf_counter()
            empty.search(queries[0], K)
            overhead.append((time.perf_counter() - start) * 1e6)
        print(f"  the binding's own share, a search of the same query in an empty database: "
              f"median {statistics.median(overhead):.2f} us")
        del empty

        print(f"get, us per call, best of 3 passes of {GET_CALLS} calls (target under 2):")
        for count in GET_SIZES:
            if count == RECORDS:
                get_path = path
            else:
                get_path = os.path.join(scratch, f"get{count}.db")
                write_database(get_path, count, rng)
            random_ids = [f"r{rng.randrange(count):08d}" for _ in range(GET_CALLS)]
            one_id = [f"r{count // 2:08d}"] * GET_CALLS
            print(f"  {count:>7} records: random ids {time_get(quorvel, get_path, random_ids):.3f}, "
                  f"one id {time_get(quorvel, get_path, one_id):.3f}")


if __name__ == "__main__":
    main()
