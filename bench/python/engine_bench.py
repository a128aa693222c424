#!/usr/bin/env python3
"""The engine from Python (quorvel_engine) against the same engine in C++,
against the program's bulk import and against hnswlib, in one run; rounds of
the sides being compared alternate, so that a change of machine load
affects both alike.

1. insert: insert_many of 100,000 rows of 384 float32 from a numpy array
   into a new file, against `quorvel import` of the same records (JSON Lines
   written beforehand, untimed; the whole process timed). Three rounds each.
   Target: insert_many at most 1.1x the import's time.
2. index: Fashion-MNIST (60,000 training images, the 10,000 test images as
   queries, Euclidean, m = 16, ef_construction = 200), one query at a time on
   one thread at each ef: quorvel_engine's search against Engine::search in
   C++ (engine_index_timer, another process that builds its own index over
   a copy of the file, with the same seed: the same graph), and hnswlib's
   knn_query with the same parameters;
   the three take turns, round by round.
   Targets: at least 0.9x the C++ loop's queries per second at every ef;
   above hnswlib's queries per second at equal recall (hnswlib's figure
   interpolated at quorvel's recall).
3. threads: two Python threads searching one Engine through that index
   (ef = 64), against one thread. Target: at least 1.7x one thread's rate.
4. get: get(id) with its vector at 1,000,000 records of 384 floats, random
   ids, best of three passes. Target: under 1 microsecond.

Usage: engine_bench.py <build-dir> [--parts insert,index,threads,get] [--quick]
  imports quorvel_engine from <build-dir>/bindings/quorvel_engine and runs
  <build-dir>/tools/quorvel/quorvel and <build-dir>/bench/python/
  engine_index_timer. --quick runs every part on small sizes. Writes only to
  a temporary directory.
"""

import argparse
import gzip
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

import numpy as np

FASHION_MNIST = Path("/usr/share/datasets/fashion-mnist")
K = 10
M = 16
EF_CONSTRUCTION = 200
# Both sides of the index part build with this seed: one graph, so that
# their rates differ by the way the search is called alone.
SEED = 20261211
EFS = (10, 20, 40, 80, 160, 320)


def idx_images(name, limit):
    with gzip.open(FASHION_MNIST / name) as file:
        return np.frombuffer(file.read(), np.uint8, offset=16).reshape(-1, 784)[:limit].astype(np.float32)


def write_jsonl(path, ids, rows):
    with open(path, "w") as out:
        for first in range(0, len(rows), 10_000):
            for id_, row in zip(ids[first:first + 10_000], rows[first:first + 10_000].tolist()):
                out.write(json.dumps({"id": id_, "vector": row, "metadata": None, "timestamp": None},
                                     separators=(",", ":")))
                out.write("\n")


def bench_insert(qe, build, scratch, count):
    rng = np.random.default_rng(20261211)
    rows = rng.standard_normal((count, 384)).astype(np.float32)
    ids = [f"r{i:07d}" for i in range(count)]
    source = scratch / "records.jsonl"
    write_jsonl(source, ids, rows)
    program = build / "tools" / "quorvel" / "quorvel"
    python, imported = [], []
    for round_ in range(3):
        for side in ((0, 1) if round_ % 2 == 0 else (1, 0)):
            target = scratch / f"insert-{round_}-{side}.db"
            start = time.perf_counter()
            if side == 0:
                with qe.Engine(str(target)) as db:
                    db.insert_many(ids, rows)
                python.append(time.perf_counter() - start)
            else:
                subprocess.run([program, "import", target, "--input", source], check=True, capture_output=True)
                imported.append(time.perf_counter() - start)
            for name in (target, Path(f"{target}-wal")):
                name.unlink(missing_ok=True)
    ratio = statistics.median(python) / statistics.median(imported)
    print(f"insert: {count:,} x 384 floats; insert_many from numpy {statistics.median(python):.2f} s "
          f"(rounds {', '.join(f'{s:.2f}' for s in python)}), quorvel import {statistics.median(imported):.2f} s "
          f"(rounds {', '.join(f'{s:.2f}' for s in imported)}): ratio {ratio:.2f} (target at most 1.1)")


def exact_top_k(base, queries):
    """The ids of the k nearest rows by Euclidean distance, nearest first."""
    squares = (base.astype(np.float64) ** 2).sum(axis=1)
    answers = []
    for first in range(0, len(queries), 500):
        block = queries[first:first + 500].astype(np.float64)
        distances = squares[None, :] - 2.0 * block @ base.T.astype(np.float64)
        best = np.argpartition(distances, K, axis=1)[:, :K]
        order = np.take_along_axis(distances, best, axis=1).argsort(axis=1)
        answers.append(np.take_along_axis(best, order, axis=1))
    return np.concatenate(answers)


def recall(found, truth):
    return float(np.mean([len(set(f) & set(t.tolist())) / K for f, t in zip(found, truth)]))


def interpolated_rate(points, target_recall):
    """The queries per second of a curve of (recall, rate) points at
    `target_recall`, linear between the two points around it."""
    points = sorted(points)
    if target_recall <= points[0][0]:
        return points[0][1]
    for (r0, q0), (r1, q1) in zip(points, points[1:]):
        if r0 <= target_recall <= r1:
            return q0 if r1 == r0 else q0 + (q1 - q0) * (target_recall - r0) / (r1 - r0)
    return None  # beyond the curve: it never reaches this recall


class Clocks:
    """Wall-clock seconds and the calling thread's CPU seconds of a span.
    On a loaded machine the wall clock also counts the time other processes
    had the core; the thread's CPU time does not, so the figures of work on
    one thread are given by both clocks."""

    def __enter__(self):
        self.wall, self.cpu = time.perf_counter(), time.thread_time()
        return self

    def __exit__(self, *_):
        self.wall, self.cpu = time.perf_counter() - self.wall, time.thread_time() - self.cpu


def timed_searches(db, queries, ef):
    """(wall seconds, CPU seconds) of one search per query, and the ids
    found; the ids are read out of the hits after the clocks stop, as
    hnswlib's are."""
    db.ef_search = ef
    search = db.search
    with Clocks() as clocks:
        answers = [search(query, K) for query in queries]
    return (clocks.wall, clocks.cpu), [[int(hit.id) for hit in hits] for hits in answers]


def bench_index(qe, build, scratch, train_count, query_count, rounds):
    base = idx_images("train-images-idx3-ubyte.gz", train_count)
    queries = idx_images("t10k-images-idx3-ubyte.gz", query_count)
    truth = exact_top_k(base, queries)
    path = scratch / "fashion.db"
    with qe.Engine(str(path)) as db:
        db.insert_many([str(i) for i in range(len(base))], base)
    shutil.copyfile(path, scratch / "fashion-cpp.db")
    queries_path = scratch / "queries.f32"
    queries.tofile(queries_path)
    timer = subprocess.Popen([build / "bench" / "python" / "engine_index_timer", scratch / "fashion-cpp.db",
                              queries_path, "784", str(K), str(M), str(EF_CONSTRUCTION), str(SEED)],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    db = qe.Engine(str(path), metric="euclidean", workers=1,
                   index=qe.HnswConfig(m=M, ef_construction=EF_CONSTRUCTION, seed=SEED))
    if timer.stdout.readline().strip() != "ready":
        sys.exit("engine_index_timer failed")
    query_list = list(queries)  # each row a 1-D float32 array, read through the buffer protocol

    import hnswlib
    index = hnswlib.Index(space="l2", dim=784)
    index.init_index(max_elements=len(base), M=M, ef_construction=EF_CONSTRUCTION)
    index.set_num_threads(1)
    index.add_items(base, np.arange(len(base)))

    def python_round(ef):
        return timed_searches(db, query_list, ef)

    def cpp_round(ef):
        timer.stdin.write(f"{ef}\n")
        timer.stdin.flush()
        fields = timer.stdout.readline().split()
        return (float(fields[0]), float(fields[1])), np.array(fields[2:], dtype=np.int64).reshape(len(queries), K)

    def hnswlib_round(ef):
        index.set_ef(ef)
        knn_query = index.knn_query
        with Clocks() as clocks:
            answers = [knn_query(query, K) for query in query_list]
        return (clocks.wall, clocks.cpu), [labels[0] for labels, _ in answers]

    print(f"index: Fashion-MNIST {len(base):,} images, {len(queries):,} queries, Euclidean, m = {M}, "
          f"ef_construction = {EF_CONSTRUCTION}, k = {K}, one thread, {rounds} rounds per ef, the three sides "
          f"taking turns in a rotating order")
    sides = (python_round, cpp_round, hnswlib_round)
    for side in sides:
        side(EFS[0])  # untimed: the first pass over an index pays for touching its memory
    points = []
    hnswlib_points = []
    for ef in EFS:
        seconds = [[], [], []]
        found = [None, None, None]
        for round_ in range(rounds):
            for turn in range(3):
                side = (round_ + turn) % 3
                took, found[side] = sides[side](ef)
                seconds[side].append(took)
        # (wall, CPU) queries per second of each side, from the median round by each clock.
        python_rate, cpp_rate, hnswlib_rate = (
            tuple(len(queries) / statistics.median(took[clock] for took in s) for clock in (0, 1)) for s in seconds)
        points.append((ef, recall(found[0], truth), python_rate, recall(found[1], truth), cpp_rate))
        hnswlib_points.append((ef, recall(found[2], truth), hnswlib_rate))
    timer.stdin.close()
    timer.wait()

    print("  queries per second by the wall clock / by the thread's CPU time")
    print("     ef | quorvel_engine: recall, q/s | C++ loop: recall, q/s | Python / C++ | "
          "hnswlib: recall, q/s | quorvel / hnswlib at quorvel's recall")

    def pair(values, form):
        return " / ".join(format(value, form) for value in values)

    for (ef, p_recall, p_rate, c_recall, c_rate), (_, h_recall, h_rate) in zip(points, hnswlib_points):
        versus = []
        for clock in (0, 1):
            at_recall = interpolated_rate([(r, q[clock]) for _, r, q in hnswlib_points], p_recall)
            versus.append(f"{p_rate[clock] / at_recall:.2f}" if at_recall else "(never reached)")
        print(f"  {ef:5} | {p_recall:.4f}, {pair(p_rate, '6,.0f')} | {c_recall:.4f}, {pair(c_rate, '6,.0f')} | "
              f"{pair([p / c for p, c in zip(p_rate, c_rate)], '.3f')} | {h_recall:.4f}, {pair(h_rate, '6,.0f')} | "
              f"{' / '.join(versus)}")
    print("  (targets: Python / C++ at least 0.9 at every ef; quorvel / hnswlib above 1)")
    return db, query_list


def bench_threads(db, queries, rounds):
    db.ef_search = 64

    def run(parts):
        barrier = threading.Barrier(len(parts) + 1)

        def work(part):
            barrier.wait()
            for query in part:
                db.search(query, K)

        threads = [threading.Thread(target=work, args=(part,)) for part in parts]
        for thread in threads:
            thread.start()
        barrier.wait()
        start = time.perf_counter()
        for thread in threads:
            thread.join()
        return sum(len(part) for part in parts) / (time.perf_counter() - start)

    one, two = [], []
    for round_ in range(rounds):
        for threads in ((1, 2) if round_ % 2 == 0 else (2, 1)):
            if threads == 1:
                one.append(run([queries]))
            else:
                two.append(run([queries[0::2], queries[1::2]]))
    ratio = statistics.median(two) / statistics.median(one)
    print(f"threads: ef = 64, {len(queries):,} queries; one thread {statistics.median(one):,.0f} q/s, two threads "
          f"{statistics.median(two):,.0f} q/s: ratio {ratio:.2f} (target at least 1.7)")


def bench_get(qe, scratch, count):
    rng = np.random.default_rng(7)
    path = scratch / "get.db"
    with qe.Engine(str(path)) as db:
        for first in range(0, count, 100_000):
            # Small whole numbers keep the file short; get's speed does not depend on the values.
            rows = rng.integers(-8, 9, size=(min(100_000, count - first), 384)).astype(np.float32)
            db.insert_many([f"r{i:08d}" for i in range(first, first + len(rows))], rows)
        ids = [f"r{i:08d}" for i in rng.integers(0, count, size=200_000)]
        get = db.get
        for id_ in ids[:1000]:
            get(id_)
        best_wall = best_cpu = float("inf")
        for _ in range(3):
            with Clocks() as clocks:
                for id_ in ids:
                    get(id_)
            best_wall, best_cpu = min(best_wall, clocks.wall / len(ids)), min(best_cpu, clocks.cpu / len(ids))
        assert len(get(ids[0]).vector) == 384
    print(f"get: {count:,} records of 384 floats, random ids, with the vector: {best_wall * 1e6:.3f} us per call "
          f"by the wall clock, {best_cpu * 1e6:.3f} us of CPU time, best of 3 passes of {len(ids):,} "
          f"(target under 1)")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("build")
    parser.add_argument("--parts", default="insert,index,threads,get")
    parser.add_argument("--quick", action="store_true")
    arguments = parser.parse_args()
    build = Path(arguments.build).resolve()
    sys.path.insert(0, str(build / "bindings" / "quorvel_engine"))
    import quorvel_engine as qe  # noqa: E402  (found through the build directory)
    parts = arguments.parts.split(",")
    quick = arguments.quick
    with tempfile.TemporaryDirectory(prefix="quorvel-engine-bench-") as scratch:
        scratch = Path(scratch)
        if "insert" in parts:
            bench_insert(qe, build, scratch, 20_000 if quick else 100_000)
        if "index" in parts or "threads" in parts:
            db, queries = bench_index(qe, build, scratch, 5_000 if quick else None, 500 if quick else None,
                                      1 if quick else 3)
            if "threads" in parts:
                bench_threads(db, queries, 1 if quick else 5)
            db.close()
        if "get" in parts:
            bench_get(qe, scratch, 100_000 if quick else 1_000_000)


if __name__ == "__main__":
    main()
