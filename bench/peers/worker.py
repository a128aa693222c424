"""Serves one Python contender to the harness: one JSON request a line on
stdin, one JSON answer a line on stdout.

Every timing is taken here, around the contender's own calls, so that the pipe
to the harness never counts. The contender module (contenders/<name>.py) only
wraps its library; this file owns the loops, the clocks and the protocol, which
node/worker.mjs repeats for the Node contenders.

    python3 worker.py NAME
"""

import importlib
import json
import os
import sys
import time

import numpy as np


def read_rows(path: str, d: int) -> np.ndarray:
    """The float32 matrix stored row after row in the file at `path`."""
    return np.fromfile(path, dtype=np.float32).reshape(-1, d)


def resident_kib() -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    return 0


def fsync_tree(directory: str) -> None:
    """Flushes every file below `directory` and the directories themselves:
    what a bulk load has written is then on the disk when its time is taken."""
    for root, _, files in os.walk(directory):
        for name in files:
            fd = os.open(os.path.join(root, name), os.O_RDONLY)
            try:
                os.fsync(fd)
            finally:
                os.close(fd)
        fd = os.open(root, os.O_RDONLY)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)


class Operations:
    """The requests, each timing the contender's part only."""

    def __init__(self, peer):
        self.peer = peer

    def create(self, dir, vectors, d):
        rows = read_rows(vectors, d)
        start = time.perf_counter()
        notes = self.peer.create(dir, rows) or {}
        fsync_tree(dir)
        # Converting the rows to the form a library takes (a JSON Lines file,
        # Python lists) is the caller's work, not the load's.
        seconds = time.perf_counter() - start - notes.get("preparation_s", 0.0)
        return {"seconds": seconds, "notes": notes}

    def seed(self, dir, vectors, d):
        rows = read_rows(vectors, d)
        start = time.perf_counter()
        self.peer.seed(dir, rows)
        fsync_tree(dir)
        return {"seconds": time.perf_counter() - start}

    def open(self, dir, d, queries, k):
        query = self.peer.prepare_query(read_rows(queries, d)[0])
        start = time.perf_counter()
        self.peer.open(dir, d)
        opened = time.perf_counter()
        first = self.peer.first_query(query, k)
        answered = time.perf_counter()
        return {"open_s": opened - start, "first_query_s": answered - opened, "ids": first,
                "rss_kib": resident_kib()}

    def search(self, queries, d, rows, k):
        matrix = read_rows(queries, d)
        times, answers = [], []
        for row in rows:
            query = self.peer.prepare_query(matrix[row])
            start = time.perf_counter()
            ids = self.peer.search(query, k)
            times.append(time.perf_counter() - start)
            answers.append([int(i) for i in ids])
        return {"times": times, "ids": answers}

    def fetch(self, ids, repeat):
        keys = [self.peer.prepare_id(i) for i in ids]
        times = []
        for key in keys:
            start = time.perf_counter()
            for _ in range(repeat):
                self.peer.fetch(key)
            times.append((time.perf_counter() - start) / repeat)
        return {"times": times}

    def create_empty(self, dir, d):
        self.peer.create_empty(dir, d)
        return {}

    def insert(self, vectors, d, rows, first_id):
        matrix = read_rows(vectors, d)
        records = [(self.peer.prepare_id(first_id + j), self.peer.prepare_vector(matrix[row]))
                   for j, row in enumerate(rows)]
        start = time.perf_counter()
        for key, vector in records:
            self.peer.insert(key, vector)
        return {"seconds": time.perf_counter() - start, "count": len(records)}

    def ann_build(self, dir, vectors, d, params):
        rows = read_rows(vectors, d)
        start = time.perf_counter()
        notes = self.peer.ann_build(dir, rows, params) or {}
        # Storing the records durably first, where a library needs that, is
        # not the index's build.
        return {"seconds": time.perf_counter() - start - notes.get("preparation_s", 0.0)}

    def ann_set_ef(self, ef):
        self.peer.ann_set_ef(ef)
        return {}

    def ann_search(self, queries, d, rows, k, ef):
        matrix = read_rows(queries, d)
        prepared = [self.peer.prepare_query(matrix[row]) for row in rows]
        self.peer.ann_set_ef(ef)
        answers = []
        start = time.perf_counter()
        for query in prepared:
            answers.append(self.peer.ann_search(query, k))
        seconds = time.perf_counter() - start
        return {"seconds": seconds, "ids": [[int(i) for i in ids] for ids in answers]}

    def rss(self):
        return {"rss_kib": resident_kib()}


def main() -> None:
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    out = sys.stdout
    sys.stdout = sys.stderr  # a library printing must not break the protocol
    try:
        module = importlib.import_module(f"contenders.{sys.argv[1]}")
        peer = module.Peer()
        hello = {"ready": True, "info": peer.info()}
    except Exception as error:  # the contender is missing or broken: say so, once
        hello = {"ready": False, "error": f"{type(error).__name__}: {error}"}
    out.write(json.dumps(hello) + "\n")
    out.flush()
    if not hello["ready"]:
        return
    operations = Operations(peer)
    for line in sys.stdin:
        request = json.loads(line)
        op = request.pop("op")
        if op == "quit":
            break
        try:
            answer = {"ok": True, **getattr(operations, op)(**request)}
        except NotImplementedError as missing:
            answer = {"ok": False, "unsupported": True, "error": str(missing)}
        except Exception as error:
            answer = {"ok": False, "error": f"{type(error).__name__}: {error}"}
        out.write(json.dumps(answer) + "\n")
        out.flush()
    peer.close()


if __name__ == "__main__":
    main()
