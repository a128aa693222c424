"""The Dask actor that serves one shard: it lives on a worker and holds a
quorvel_engine.Engine over the shard's database file for as long as the
collection keeps it. The engine's file lock keeps a second actor, on this
worker or another, from opening the same file.

Its methods are coroutines, run on the worker's event loop. Writes, and
reads that may take long, go to threads of the actor's own, so that they
never hold up the worker's heartbeats and searches can run side by side
(the engine releases the interpreter lock during its work). A short read (a
look-up, a count, a search over a small shard) runs on the event loop
itself while no write is in flight, which saves the hand-over to a thread
and back (about half a millisecond on a loaded machine): with no write in
flight it cannot wait for the engine's lock, and only this actor writes to
its engine.
"""

import asyncio
import os
import threading
from concurrent.futures import ThreadPoolExecutor

import quorvel_engine

from . import manifest, messages
from .envelope import Envelope
from .errors import CollectionError
from .ranking import K_MAX, LARGER_IS_CLOSER, best_of
from .routing import ROUTING

# Calls one shard serves at the same time.
THREADS = 4
# A search over at most this many stored floats (about 20 ms of scoring)
# runs on the event loop when it may; a longer one gains little from that.
SHORT_SEARCH_FLOATS = 2**25


class ShardActor:
    """Shard `number` of a collection of `count` shards, at `path` as its
    worker sees it. `options` holds the engine's metric, dimension and the
    index configuration's fields (or None). Raises what the engine's open
    raises (FileInUseError when another engine holds the file), and
    CollectionError when the manifest is unreadable or its database is
    missing."""

    def __init__(self, path, number, count, options):
        self._path = path
        self._number = number
        self._count = count
        self._options = options
        self._manifest_path = manifest.path_of(path)
        try:
            self._manifest = manifest.read(self._manifest_path)
        except (OSError, ValueError) as cause:
            raise CollectionError(messages.DAMAGED_MANIFEST.format(
                number=number, path=path, manifest=self._manifest_path, cause=cause)) from cause
        existed = os.path.exists(path)
        if self._manifest is not None and not existed:
            raise CollectionError(messages.MISSING_DATABASE.format(number=number, path=path,
                                                                   manifest=self._manifest_path))
        self._created = not existed
        self._engine = self._open(options["dimension"])
        # Held while the engine is replaced by one with a dimension.
        self._replacing = threading.Lock()
        self._larger_is_closer = LARGER_IS_CLOSER[self._engine.metric]
        self._threads = ThreadPoolExecutor(THREADS, thread_name_prefix=f"quorvel-shard-{number}")
        # Writes handed to a thread and not yet done; read and changed on
        # the event loop only.
        self._writes = 0

    def _open(self, dimension):
        index = self._options["index"]
        return quorvel_engine.Engine(self._path, metric=self._options["metric"], dimension=dimension,
                                     index=None if index is None else quorvel_engine.HnswConfig(**index))

    async def _run(self, function, *args):
        return await asyncio.get_running_loop().run_in_executor(self._threads, function, *args)

    async def _write(self, function):
        self._writes += 1
        try:
            return await self._run(function)
        finally:
            self._writes -= 1

    async def _read(self, function, short=True):
        """function(engine): on the event loop when `short` and no write is
        in flight, else in a thread."""
        if short and self._writes == 0:
            return self._with_engine(function)
        return await self._run(self._with_engine, function)

    def _short_search(self):
        return len(self._engine) * (self._engine.dimension or 0) <= SHORT_SEARCH_FLOATS

    def _with_engine(self, function):
        """function(engine) on the current engine; once more on its
        replacement when the engine was replaced during the call."""
        engine = self._engine
        try:
            return function(engine)
        except quorvel_engine.EngineClosedError:
            if self._engine is engine:
                raise
            return function(self._engine)

    def _settle_dimension(self, dimension):
        """Opens the engine again with the collection's `dimension` while it
        has none (it holds no records), so that it refuses vectors of
        another length as the rest of the collection does."""
        if dimension is None or self._engine.dimension is not None:
            return
        with self._replacing:
            if self._engine.dimension is None:
                self._engine.close()
                self._engine = self._open(dimension)

    async def call(self, envelope):
        """The one method the client calls: the Envelope holds the name of
        the method to run and its arguments; the result comes back in one."""
        method, args = envelope.contents
        return Envelope(await getattr(self, method)(*args))

    # --- the collection's identity --------------------------------------

    async def describe(self):
        """What the client checks before it serves the shard: the manifest
        (or None), the record count, the engine's dimension and metric,
        and the worker's process id."""
        return {"manifest": self._manifest, "records": len(self._engine), "dimension": self._engine.dimension,
                "metric": self._engine.metric, "pid": os.getpid()}

    async def adopt(self, collection):
        """Writes the manifest that makes this empty database a shard of
        `collection`."""
        await self._run(manifest.write, self._manifest_path, collection, ROUTING, self._number, self._count)
        self._manifest = manifest.read(self._manifest_path)

    async def close(self, discard_created=False):
        """Releases the file. With `discard_created`, a database file that
        this actor created and that holds no records is removed too."""
        def close():
            empty = len(self._engine) == 0
            self._engine.close()
            if discard_created and self._created and empty and self._manifest is None:
                os.remove(self._path)
        await self._run(close)
        self._threads.shutdown(wait=False)

    # --- records ----------------------------------------------------------

    async def insert(self, id, vector, metadata, timestamp, dimension):
        """Stores one record, the engine first given the collection's
        `dimension` (or None, when the collection has none yet); returns
        the engine's dimension after it."""
        def insert():
            self._settle_dimension(dimension)
            self._engine.insert(id, vector, metadata, timestamp=timestamp)
            return self._engine.dimension
        return await self._write(insert)

    async def insert_many(self, ids, vectors, metadatas, timestamps, dimension):
        """Stores this shard's part of a bulk insert in one transaction, as
        insert() stores one record."""
        def insert_many():
            self._settle_dimension(dimension)
            self._engine.insert_many(ids, vectors, metadatas, timestamps=timestamps)
            return self._engine.dimension
        return await self._write(insert_many)

    async def get(self, id):
        return await self._read(lambda engine: engine.get(id))

    async def delete(self, id):
        return await self._write(lambda: self._with_engine(lambda engine: engine.delete(id)))

    async def contains(self, id):
        return await self._read(lambda engine: id in engine)

    async def length(self):
        return await self._read(len)

    async def ids(self):
        return await self._read(list, short=False)

    # --- searches -----------------------------------------------------------

    async def search(self, query, k, options):
        """This shard's k best (id, score, metadata) candidates for `query`,
        in the collection's order (ranking.best_of)."""
        def search(engine):
            return best_of(lambda wanted: engine.search(query, wanted, **options), k, self._larger_is_closer)
        return await self._read(search, self._writes == 0 and self._short_search())

    async def search_many(self, queries, k, options):
        """search() of every query: one search_many of the engine for all
        of them, and a search of its own for a query whose k-th hit ties
        with the one after it."""
        def search_many(engine):
            if k == 0:
                return engine.search_many(queries, 0, **options)
            first = engine.search_many(queries, min(k + 1, K_MAX), **options)
            answers = []
            for number, hits in enumerate(first):
                pending = [hits]

                def search(wanted, number=number, pending=pending):
                    if pending:
                        return pending.pop()
                    return engine.search(queries[number], wanted, **options)
                answers.append(best_of(search, k, self._larger_is_closer))
            return answers
        return await self._read(search_many, short=False)
