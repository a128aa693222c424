"""Python's sqlite3 with each vector as JSON text: what a user writes who
wants a durable file and no new dependency. It has no vector search."""

import json
import os
import sqlite3

from contenders.base import Peer as BasePeer

SCHEMA = "CREATE TABLE records (id TEXT PRIMARY KEY NOT NULL, vector TEXT NOT NULL) WITHOUT ROWID"


def connect(path: str) -> sqlite3.Connection:
    # WAL with synchronous=FULL: a commit returns after its WAL frames are fsync'ed.
    connection = sqlite3.connect(path, isolation_level=None)
    connection.execute("PRAGMA journal_mode=WAL")
    connection.execute("PRAGMA synchronous=FULL")
    return connection


class Peer(BasePeer):
    def info(self):
        return {
            "version": f"SQLite {sqlite3.sqlite_version} (Python sqlite3)",
            "durable": "one INSERT in its own transaction, WAL with synchronous=FULL (fsync per commit)",
            "bulk": "executemany of all rows in one transaction",
            "exact": "none: SQLite has no vector search",
            "fetch": "SELECT vector FROM records WHERE id = ? (the JSON text)",
            "first answer": "a fetch of one record: there is no search to answer",
            "stored": "one SQLite file (WAL), vectors as JSON text",
        }

    def prepare_id(self, number):
        return str(number)

    def prepare_vector(self, row):
        return json.dumps(row.tolist())

    def _path(self, directory):
        os.makedirs(directory, exist_ok=True)
        return os.path.join(directory, "records.sqlite")

    def create(self, directory, rows):
        connection = connect(self._path(directory))
        connection.execute(SCHEMA)
        connection.execute("BEGIN")
        connection.executemany("INSERT INTO records VALUES (?, ?)",
                               ((str(i), json.dumps(row.tolist())) for i, row in enumerate(rows)))
        connection.execute("COMMIT")
        connection.execute("PRAGMA wal_checkpoint(TRUNCATE)")
        connection.close()

    def open(self, directory, d):
        self.connection = connect(self._path(directory))

    def first_query(self, query, k):
        self.fetch("0")
        return []

    def fetch(self, key):
        return self.connection.execute("SELECT vector FROM records WHERE id = ?", (key,)).fetchone()[0]

    def create_empty(self, directory, d):
        self.connection = connect(self._path(directory))
        self.connection.execute(SCHEMA)

    def insert(self, key, vector):
        self.connection.execute("INSERT OR REPLACE INTO records VALUES (?, ?)", (key, vector))

    def close(self):
        if hasattr(self, "connection"):
            self.connection.close()
