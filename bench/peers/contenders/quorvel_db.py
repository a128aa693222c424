"""quorvel, the Python module of this tree; its command-line program for the
bulk load when the build has one.

Where the pieces that are still to come plug in:
- bulk load: `find_cli` finds the `quorvel` program (QUORVEL_CLI, or the build
  tree's tools directory); `create` then writes the records as JSON Lines and
  runs `quorvel import FILE --input JSONL`. Without the program it falls back
  to one `insert` call a record, each its own commit.
- seeding: without the program, sizes whose single-call load would exceed the
  run's time limit are written by `seed` (single calls on a memory file
  system, the file then copied), so that reopen, search and memory are still
  measured there; the report marks such loads and gives them no rate.
- approximate search: the module has no index; the C++ engine's attached
  HNSW index is measured by its own worker (native/quorvel_index_worker.cc,
  the contender "quorvel index"), so the three ann calls here are unsupported.
"""

import json
import os
import shutil
import subprocess
import tempfile
import time

import quorvel

from contenders.base import Peer as BasePeer

REPOSITORY = os.path.dirname(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))))
SHARED_MEMORY = "/dev/shm"
STAGING_PREFIX = "quorvel-bench-seed-"  # run.py removes what a killed worker left behind
CHUNK = 10_000
CLI_PLACES = ("tools/quorvel", "tools/quorvel/quorvel", "tools/cli/quorvel", "quorvel")


def find_cli() -> str | None:
    """The `quorvel` program: QUORVEL_CLI if set, else the first one built in
    the build tree (QUORVEL_BUILD, `build` by default)."""
    named = os.environ.get("QUORVEL_CLI")
    if named:
        return named
    build = os.path.join(REPOSITORY, os.environ.get("QUORVEL_BUILD", "build"))
    for place in CLI_PLACES:
        candidate = os.path.join(build, place)
        if os.path.isfile(candidate) and os.access(candidate, os.X_OK):
            return candidate
    return None


def chunks_as_lists(rows):
    """(first record number, rows as Python lists) a chunk at a time: the lists
    of a million rows would take twelve times the memory of the array."""
    for first in range(0, len(rows), CHUNK):
        yield first, rows[first:first + CHUNK].tolist()


def write_jsonl(path: str, rows) -> None:
    """The records in their stored form, one a line."""
    with open(path, "w") as out:
        for first, records in chunks_as_lists(rows):
            for i, row in enumerate(records, first):
                out.write(json.dumps({"id": str(i), "vector": row, "metadata": None, "timestamp": None},
                                     separators=(",", ":")))
                out.write("\n")


class Peer(BasePeer):
    def __init__(self):
        self.cli = find_cli()

    def info(self):
        bulk = (f"`quorvel import FILE --input JSONL` ({self.cli}); the JSON Lines file is written beforehand, untimed"
                if self.cli else
                "no bulk path yet (no `quorvel` program in the build): one insert call a record, each its own commit")
        return {
            "version": "quorvel (this tree)",
            "durable": "insert(): one SQLite commit, WAL with synchronous=FULL (fsync per commit)",
            "bulk": bulk,
            "bulk_is_single_calls": self.cli is None,
            "seeds": self.cli is None,
            "exact": "search(query, k): every record scored by cosine similarity on the worker threads",
            "fetch": "get(id): the record's metadata from memory (the API returns no vector)",
            "ann": "none in the module: the C++ engine's attached index is the contender \"quorvel index\"",
            "stored": "one SQLite file, each record as compact JSON text",
        }

    def prepare_id(self, number):
        return str(number)

    def prepare_query(self, row):
        return row.tolist()

    def prepare_vector(self, row):
        return row.tolist()

    @staticmethod
    def _path(directory):
        os.makedirs(directory, exist_ok=True)
        return os.path.join(directory, "records.quorvel")

    def create(self, directory, rows):
        path = self._path(directory)
        start = time.perf_counter()
        if self.cli:
            source = os.path.join(directory, "records.jsonl")
            write_jsonl(source, rows)
            prepared = time.perf_counter()
            subprocess.run([self.cli, "import", path, "--input", source], check=True,
                           stdout=subprocess.DEVNULL)
            os.remove(source)
            return {"preparation_s": prepared - start, "path": "command-line import"}
        inserting = 0.0
        db = quorvel.Quorvel(path)
        for first, records in chunks_as_lists(rows):
            began = time.perf_counter()
            for i, row in enumerate(records, first):
                db.insert(str(i), row)
            inserting += time.perf_counter() - began
        del db
        return {"preparation_s": time.perf_counter() - start - inserting, "path": "single insert calls"}

    def seed(self, directory, rows):
        # The module's own insert calls, on a memory file system where a
        # commit's sync costs nothing, then the file copied to the disk: the
        # same bytes as a load by single calls, in a fraction of the time.
        staging = tempfile.mkdtemp(prefix=STAGING_PREFIX,
                                   dir=SHARED_MEMORY if os.path.isdir(SHARED_MEMORY) else None)
        try:
            staged = os.path.join(staging, "records.quorvel")
            db = quorvel.Quorvel(staged)
            for first, records in chunks_as_lists(rows):
                for i, row in enumerate(records, first):
                    db.insert(str(i), row)
            del db
            shutil.copyfile(staged, self._path(directory))
        finally:
            shutil.rmtree(staging)

    def open(self, directory, d):
        self.db = quorvel.Quorvel(self._path(directory))

    def search(self, query, k):
        return [int(key) for key, _, _ in self.db.search(query, k)]

    def fetch(self, key):
        return self.db.get(key)

    def create_empty(self, directory, d):
        self.db = quorvel.Quorvel(self._path(directory))

    def insert(self, key, vector):
        self.db.insert(key, vector)

    def ann_build(self, directory, rows, params):
        raise NotImplementedError("the module has no index (see the contender \"quorvel index\")")

    def ann_set_ef(self, ef):
        raise NotImplementedError("the module has no index")

    def ann_search(self, query, k):
        raise NotImplementedError("the module has no index")
