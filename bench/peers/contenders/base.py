"""What every Python contender offers the worker, with the defaults most share."""

import os
import subprocess

import numpy as np


def normalised(rows: np.ndarray) -> np.ndarray:
    """Rows scaled to unit length (a zero row stays zero): inner products of
    such rows are cosine similarities."""
    norms = np.linalg.norm(rows, axis=-1, keepdims=True)
    return (rows / np.where(norms == 0, 1, norms)).astype(np.float32, copy=False)


def fsync_file(path: str) -> None:
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def debian_package(name: str) -> str:
    """`name version` of an installed Debian package, or `name` alone."""
    answer = subprocess.run(["dpkg-query", "-W", "-f=${Version}", name], capture_output=True, text=True)
    return f"{name} {answer.stdout}" if answer.returncode == 0 and answer.stdout else name


def replace_durably(write, path: str) -> None:
    """Writes a whole file through `write(temporary_path)`, flushes it and
    renames it over `path`: after a crash the old or the new file is there,
    whole. Libraries that only save whole files are made durable this way."""
    temporary = path + ".tmp"
    write(temporary)
    fsync_file(temporary)
    os.replace(temporary, path)
    fsync_file(os.path.dirname(os.path.abspath(path)))


class Peer:
    """A contender. Ids are the record numbers 0..N-1; `prepare_id` turns one
    into the key the library uses. Calls a library does not offer raise
    NotImplementedError with the reason, which the report shows."""

    name = ""

    def info(self) -> dict:
        """version, durable (what a durable single write means here), bulk (its
        fastest load path), exact / fetch / ann (what each measured call does)."""
        raise NotImplementedError

    def prepare_id(self, number: int):
        return number

    def prepare_vector(self, row: np.ndarray):
        return row

    def prepare_query(self, row: np.ndarray):
        return row

    def create(self, directory: str, rows: np.ndarray) -> dict | None:
        """Stores `rows` (record i is row i) by the fastest bulk path the library offers."""
        raise NotImplementedError("no bulk path")

    def seed(self, directory: str, rows: np.ndarray) -> None:
        """Writes the stored form directly, for sizes whose only load path
        would take longer than the run allows (info()["seeds"] says it can)."""
        raise NotImplementedError("no seeding")

    def open(self, directory: str, d: int) -> None:
        raise NotImplementedError("no stored form")

    def search(self, query, k: int) -> list[int]:
        """The exact top-k by cosine similarity, best first."""
        raise NotImplementedError("no exact search")

    def first_query(self, query, k: int) -> list[int]:
        """The first answer after opening: the exact search where there is one."""
        return self.search(query, k)

    def fetch(self, key) -> object:
        raise NotImplementedError("no fetch by id")

    def create_empty(self, directory: str, d: int) -> None:
        raise NotImplementedError("no durable single insert")

    def insert(self, key, vector) -> None:
        raise NotImplementedError("no durable single insert")

    def ann_build(self, directory: str, rows: np.ndarray, params: dict) -> dict | None:
        """Builds the graph index over `rows`; may return {"preparation_s": ...},
        the time spent storing the rows before the build began."""
        raise NotImplementedError("no approximate index")

    def ann_set_ef(self, ef: int) -> None:
        raise NotImplementedError("no approximate index")

    def ann_search(self, query, k: int) -> list[int]:
        raise NotImplementedError("no approximate index")

    def close(self) -> None:
        pass
