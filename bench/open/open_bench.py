#!/usr/bin/env python3
"""Opening a database, against the baselines, in one run.

Files of N records of 384 random floats with small metadata (written once
by open_timer into a cache directory). Each round opens the file in fresh
processes, one after the other:
  engine   Engine::open (open_timer engine): every record parsed into the
           record list, with the resident memory the open added;
  bare     bare SQLite reading every stored value in key order, unparsed
           (open_timer bare): the floor of any load from this file;
  python   Python's sqlite3 reading the same rows and json.loads of each,
           what a Python program would do without quorvel (100,000 only).
Rounds alternate so that a change of machine load meets all of them; the
medians and their ratios are printed at the end.

Usage: open_bench.py <build-dir> [--sizes 100000,1000000] [--rounds 5]
  [--cache DIR]   (default: a quorvel-open-bench directory under /tmp)
  [--page-sizes 4096,16384,32768]  also files of these page sizes (for the
                  first size only), opened and read alike
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import time
from pathlib import Path

DIMENSION = 384

PYTHON_LOAD = ("import json, sqlite3, sys, time\n"
               "start = time.perf_counter()\n"
               "connection = sqlite3.connect(sys.argv[1])\n"
               "rows = [json.loads(value) for (value,) in connection.execute('SELECT value FROM records ORDER BY id')]\n"
               "print((time.perf_counter() - start) * 1000, len(rows))\n")


def timer(build, *args):
    result = subprocess.run([str(build / "bench" / "open" / "open_timer"), *map(str, args)],
                            capture_output=True, text=True, check=True)
    return result.stdout.split()


def database(build, cache, size, page_size=None):
    path = cache / (f"open-{size}.db" if page_size is None else f"open-{size}-{page_size}.db")
    if not path.exists():
        print(f"writing {size} records to {path} ...", file=sys.stderr, flush=True)
        partial = path.with_suffix(".partial")
        partial.unlink(missing_ok=True)
        timer(build, "write", partial, size, DIMENSION, *([page_size] if page_size else []))
        partial.rename(path)
    return path


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build", type=Path)
    parser.add_argument("--sizes", default="100000,1000000")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--cache", type=Path, default=Path("/tmp/quorvel-open-bench"))
    parser.add_argument("--page-sizes", default="")
    args = parser.parse_args()
    args.cache.mkdir(parents=True, exist_ok=True)
    sizes = [int(size) for size in args.sizes.split(",")]
    report = {}
    for size in sizes:
        path = database(args.build, args.cache, size)
        subprocess.run(["cat", str(path)], stdout=subprocess.DEVNULL, check=True)  # in the page cache, for all alike
        times = {"engine": [], "bare": [], "python": []}
        memory = []
        for _ in range(args.rounds):
            milliseconds, count, gained = timer(args.build, "engine", path)
            assert int(count) == size
            times["engine"].append(float(milliseconds))
            memory.append(int(gained))
            times["bare"].append(float(timer(args.build, "bare", path)[0]))
            if size <= 100_000:
                out = subprocess.run([sys.executable, "-c", PYTHON_LOAD, str(path)], capture_output=True,
                                     text=True, check=True).stdout.split()
                times["python"].append(float(out[0]))
        medians = {name: statistics.median(values) for name, values in times.items() if values}
        vector_bytes = size * DIMENSION * 4
        report[size] = {"median_ms": medians, "resident_gained": statistics.median(memory),
                        "vector_bytes": vector_bytes}
        print(f"N = {size:,}: engine {medians['engine']:.0f} ms, bare SQLite read {medians['bare']:.0f} ms "
              f"(engine / bare = {medians['engine'] / medians['bare']:.2f})", end="")
        if "python" in medians:
            print(f", Python sqlite3 + json.loads {medians['python']:.0f} ms "
                  f"(python / engine = {medians['python'] / medians['engine']:.1f})", end="")
        print(f"; resident memory gained {statistics.median(memory) / 1e6:.0f} MB = "
              f"{statistics.median(memory) / vector_bytes:.3f} x the vector bytes", flush=True)
    for page_size in [int(p) for p in args.page_sizes.split(",") if p]:
        path = database(args.build, args.cache, sizes[0], page_size)
        subprocess.run(["cat", str(path)], stdout=subprocess.DEVNULL, check=True)
        engine = statistics.median(float(timer(args.build, "engine", path)[0]) for _ in range(args.rounds))
        bare = statistics.median(float(timer(args.build, "bare", path)[0]) for _ in range(args.rounds))
        print(f"page size {page_size}: engine {engine:.0f} ms, bare SQLite read {bare:.0f} ms", flush=True)
    if 100_000 in report and 1_000_000 in report:
        ratio = report[1_000_000]["median_ms"]["engine"] / report[100_000]["median_ms"]["engine"]
        print(f"open of 1,000,000 / open of 100,000 = {ratio:.2f}")
    print(json.dumps(report))


if __name__ == "__main__":
    main()
