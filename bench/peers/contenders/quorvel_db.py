"""quorvel, as a Python program uses it: the module quorvel_engine of this
tree (the whole engine), cosine similarity.

- bulk load: insert_many of the numpy rows, one transaction, then the close
  (which writes the companion file beside the database);
- reopen: Engine(path), which loads the companion written at that close;
- exact search: search(query, k), every record scored on the worker threads;
- fetch: get(id), the whole record with its vector;
- durable single insert: insert(id, vector), one synced commit;
- approximate search: attach_index(HnswConfig(m, ef_construction)) over the
  stored records (the build alone is timed, as for the libraries whose
  indexes hold the vectors in memory), then search through it with ef_search.
"""

import os
import time

import quorvel_engine

from contenders.base import Peer as BasePeer


class Peer(BasePeer):
    def info(self):
        return {
            "version": f"quorvel {quorvel_engine.__version__} (this tree), the module quorvel_engine",
            "durable": "insert(): one SQLite commit, WAL with synchronous=FULL (fsync per commit)",
            "bulk": "insert_many(ids, rows) of the numpy array: one transaction",
            "exact": "search(query, k): every record scored by cosine similarity on the worker threads",
            "fetch": "get(id): the whole record from memory, its vector as an array.array('f')",
            "ann": "attach_index(HnswConfig(m, ef_construction)) (m_max = m, m_max0 = 2m, ml = 1 / ln m), "
                   "ef_search = ef; search through the index, one query at a time, cosine",
            "stored": "one SQLite file, each record as compact JSON text, and beside it the companion file "
                      "(the records in binary) that an open loads",
        }

    def prepare_id(self, number):
        return str(number)

    @staticmethod
    def _path(directory):
        os.makedirs(directory, exist_ok=True)
        return os.path.join(directory, "records.quorvel")

    @staticmethod
    def _ids(count):
        return [str(i) for i in range(count)]

    def create(self, directory, rows):
        with quorvel_engine.Engine(self._path(directory)) as db:
            db.insert_many(self._ids(len(rows)), rows)

    def open(self, directory, d):
        path = self._path(directory)
        # The reopen is timed as a program meets it after its own close: with
        # the companion that close wrote. Without it the open reads the rows.
        if not os.path.exists(path + "-snapshot"):
            raise RuntimeError(f"{path}-snapshot is missing: the close after the bulk load did not write it")
        self.db = quorvel_engine.Engine(path)

    def search(self, query, k):
        return [int(hit.id) for hit in self.db.search(query, k)]

    def fetch(self, key):
        return self.db.get(key)

    def create_empty(self, directory, d):
        self.db = quorvel_engine.Engine(self._path(directory))

    def insert(self, key, vector):
        self.db.insert(key, vector)

    def ann_build(self, directory, rows, params):
        start = time.perf_counter()
        self.ann = quorvel_engine.Engine(self._path(directory))
        self.ann.insert_many(self._ids(len(rows)), rows)
        stored = time.perf_counter()
        self.ann.attach_index(self.config(params))
        return {"preparation_s": stored - start}

    def config(self, params):
        """The index's configuration for the plan's `params`."""
        return quorvel_engine.HnswConfig(m=params["m"], ef_construction=params["ef_construction"])

    def ann_set_ef(self, ef):
        self.ann.ef_search = ef

    def ann_search(self, query, k):
        return [int(hit.id) for hit in self.ann.search(query, k)]

    def close(self):
        for name in ("db", "ann"):
            engine = getattr(self, name, None)
            if engine is not None:
                engine.close()
