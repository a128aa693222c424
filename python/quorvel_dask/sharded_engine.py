"""ShardedEngine: one collection of records spread over several database
files, each served by a Dask actor holding a quorvel_engine.Engine on a
worker of the cluster. Dask places the actors, carries the calls and notices
dead workers; this class routes records, fans searches out and merges them,
and keeps the shards one collection."""

import threading
import time
import uuid

import quorvel_engine
from distributed import Client, TimeoutError as DaskTimeoutError, wait as wait_for_futures

from . import arguments, messages
from .calls import GONE, call_all
from .errors import CollectionError, ShardUnavailableError
from .ranking import LARGER_IS_CLOSER, merge
from .routing import ROUTING, shard_of
from .shard_actor import ShardActor

# How often an open that waits for its actors checks that their workers are
# still in the cluster, in seconds.
PLACEMENT_CHECK = 1.0


class _Shard:
    """One shard as the client knows it: its number, its path as the
    workers see it, the worker that holds its actor, and the actor's
    future (which keeps the actor alive)."""

    __slots__ = ("number", "path", "worker", "future")

    def __init__(self, number, path, worker, future):
        self.number = number
        self.path = path
        self.worker = worker
        self.future = future


class ShardedEngine:
    """A collection of records spread over `shards`, a sequence of database
    paths (as the workers see them), one per shard, in shard order.

    A record lives in the shard that routing.shard_of names for its id.
    Searches ask every shard for its best k and merge them, ties broken by
    id (ranking). Each shard's file is opened by an actor on a worker of
    `client`'s cluster: by default the shards are dealt to the workers in
    address order, round robin; `placement` names a worker address per
    shard instead (for files on the workers' own disks).

    `metric`, `dimension` and `index` (an HnswConfig) are given to every
    shard's engine, as to quorvel_engine.Engine. A new collection writes a
    manifest beside each shard; an existing one must be opened with the
    same shards in the same order (CollectionError otherwise).

    Safe to share between threads. Raises what an engine's open raises
    (FileInUseError when another engine holds a shard's file),
    CollectionError, ShardUnavailableError when a worker leaves during the
    open, TypeError and ValueError for arguments of the wrong kind; a
    failed open leaves no shard open and no file it created.
    """

    def __init__(self, client, shards, *, metric="cosine", dimension=None, index=None, placement=None):
        self._closed = True
        if not isinstance(client, Client):
            raise TypeError(messages.NOT_A_CLIENT.format(arguments.type_name(client)))
        if client.asynchronous:
            raise TypeError(messages.ASYNCHRONOUS_CLIENT)
        self._client = client
        self._paths = arguments.shard_paths(shards)
        self._index = index
        self._options = {"metric": metric, "dimension": dimension, "index": arguments.config_fields(index)}
        workers = self._placement(placement)
        # Guards the shard table; a first write into a collection without a
        # dimension holds `_first_write`, so that one write settles it.
        self._lock = threading.Lock()
        self._first_write = threading.Lock()
        self._shards = self._open_actors(list(range(len(self._paths))), workers)
        try:
            self._settle_collection()
        except BaseException:
            self._discard(self._shards)
            raise
        self._closed = False

    # --- opening ------------------------------------------------------------

    def _live_workers(self):
        """The addresses of the cluster's workers, asked of the scheduler now."""
        return sorted(self._client.sync(self._client.scheduler.identity)["workers"])

    def _placement(self, placement):
        workers = self._live_workers()
        count = len(self._paths)
        if placement is None:
            if not workers:
                raise ValueError(messages.NO_WORKERS)
            return [workers[number % len(workers)] for number in range(count)]
        if isinstance(placement, str) or not hasattr(type(placement), "__getitem__"):
            raise TypeError(messages.PLACEMENT_NOT_ADDRESSES.format(arguments.type_name(placement)))
        placement = list(placement)
        if len(placement) != count:
            raise ValueError(messages.PLACEMENT_COUNT.format(len(placement), count))
        for address in placement:
            if address not in workers:
                raise ValueError(messages.UNKNOWN_WORKER.format(address))
        return placement

    def _open_actors(self, numbers, workers):
        """Opens the shards `numbers` on `workers`; raises the failure of
        the lowest-numbered shard that failed, after closing the others."""
        count = len(self._paths)
        futures = [self._client.submit(ShardActor, self._paths[number], number, count, self._options, actor=True,
                                       workers=[worker], allow_other_workers=False, pure=False,
                                       key=f"quorvel-shard-{number}-{uuid.uuid4().hex}")
                   for number, worker in zip(numbers, workers)]
        shards = [_Shard(number, self._paths[number], worker, future)
                  for number, worker, future in zip(numbers, workers, futures)]
        left = self._await_actors(shards)
        opened = [shard for shard in shards if shard.future.status == "finished" and shard.number not in left]
        if len(opened) == len(shards):
            return shards
        self._discard(opened)
        failed = next(shard for shard in shards if shard not in opened)
        if failed.number in left:
            error = ShardUnavailableError(messages.WORKER_LEFT.format(number=failed.number, path=failed.path,
                                                                      worker=failed.worker), [failed.number])
        else:
            error = failed.future.exception()
        for shard in shards:
            if shard not in opened:
                shard.future.cancel()
        raise error

    def _await_actors(self, shards):
        """Waits until every actor has opened or failed; returns the numbers
        of the shards whose worker left the cluster before that."""
        left = set()
        while True:
            waiting = [shard for shard in shards if shard.future.status == "pending" and shard.number not in left]
            if not waiting:
                return left
            try:
                wait_for_futures([shard.future for shard in waiting], timeout=PLACEMENT_CHECK)
            except DaskTimeoutError:
                live = set(self._live_workers())
                left.update(shard.number for shard in waiting if shard.worker not in live)

    def _discard(self, shards):
        """Closes the actors of `shards` that can be reached, removing the
        database files they created and left empty, and lets them go."""
        reachable = [shard for shard in shards if shard.future.status not in GONE]
        call_all(self._client, [(shard.future, shard.worker, "close", (True,)) for shard in reachable])
        for shard in shards:
            shard.future.release()

    def _describe(self, shards):
        return self._values([(shard, "describe", ()) for shard in shards])

    def _settle_collection(self):
        """Checks that the shards are one collection in this order, makes
        the new ones part of it, and reads the collection's metric and
        dimension."""
        shards = self._shards
        descriptions = self._describe(shards)
        self._metric = descriptions[0]["metric"]
        self._larger_is_closer = LARGER_IS_CLOSER[self._metric]
        collection, first = None, None
        for shard, description in zip(shards, descriptions):
            found = description["manifest"]
            if found is None:
                continue
            self._check_manifest(shard, found)
            if collection is None:
                collection, first = found["collection"], shard.number
            elif found["collection"] != collection:
                raise CollectionError(messages.OTHER_COLLECTION.format(
                    number=shard.number, path=shard.path, theirs=found["collection"], first=first, ours=collection))
        holding = any(description["records"] > 0 for description in descriptions)
        joining = []
        for shard, description in zip(shards, descriptions):
            if description["manifest"] is not None:
                continue
            if description["records"] > 0:
                raise CollectionError(messages.NOT_A_SHARD.format(number=shard.number, path=shard.path,
                                                                  records=description["records"]))
            if holding:
                raise CollectionError(messages.LOST_MANIFEST.format(number=shard.number, path=shard.path))
            joining.append(shard)
        # A new collection, or one whose creation stopped before every
        # manifest was written (no record is written before that).
        self._collection = collection or uuid.uuid4().hex
        self._values([(shard, "adopt", (self._collection,)) for shard in joining])
        self._dimension = self._common_dimension(shards, descriptions)

    def _check_manifest(self, shard, found):
        if found["routing"] != ROUTING:
            raise CollectionError(messages.OTHER_ROUTING.format(number=shard.number, path=shard.path,
                                                                theirs=found["routing"], ours=ROUTING))
        if found["shard"] != shard.number or found["shards"] != len(self._paths):
            raise CollectionError(messages.OTHER_PLACE.format(
                number=shard.number, path=shard.path, their_number=found["shard"], their_count=found["shards"],
                count=len(self._paths)))

    @staticmethod
    def _common_dimension(shards, descriptions):
        known = [(shard.number, description["dimension"]) for shard, description in zip(shards, descriptions)
                 if description["dimension"] is not None]
        for number, dimension in known[1:]:
            if dimension != known[0][1]:
                raise CollectionError(messages.DIMENSIONS_DIFFER.format(
                    first=known[0][0], first_dimension=known[0][1], second=number, second_dimension=dimension))
        return known[0][1] if known else None

    # --- calls to the shards --------------------------------------------------

    def _table(self):
        """The shards as they stand; EngineClosedError after close()."""
        with self._lock:
            if self._closed:
                raise quorvel_engine.EngineClosedError(messages.CLOSED.format(self._paths[0]))
            return list(self._shards)

    def _outcomes(self, calls):
        """Runs every (shard, method, args) call at once; raises
        ShardUnavailableError naming every shard that could not be
        reached, else returns the outcomes in order."""
        outcomes = call_all(self._client, [(shard.future, shard.worker, method, args)
                                           for shard, method, args in calls])
        unreached = [(shard, outcome) for (shard, _, _), outcome in zip(calls, outcomes) if not outcome.reached]
        if unreached:
            lines = [messages.UNAVAILABLE.format(number=shard.number, path=shard.path, worker=shard.worker)
                     for shard, _ in unreached]
            raise ShardUnavailableError("\n".join(lines), [shard.number for shard, _ in unreached]) \
                from unreached[0][1].unavailable
        return outcomes

    def _values(self, calls):
        """The calls' results; the first call's error (in shard order) is
        raised as the engine raised it."""
        outcomes = self._outcomes(calls)
        for outcome in outcomes:
            if outcome.error is not None:
                raise outcome.error
        return [outcome.value for outcome in outcomes]

    def _route(self, id):
        return shard_of(id, len(self._paths))

    def _on_owner(self, id, method, *args):
        shards = self._table()
        id = arguments.plain_id(id)
        shard = shards[self._route(id)]
        return self._values([(shard, method, (id, *args))])[0]

    # --- writes ---------------------------------------------------------------

    def insert(self, id, vector, metadata=None, *, timestamp=None):
        """Stores a record in its shard, replacing the one stored under
        `id`, in one synced commit of that shard."""
        shards = self._table()
        id = arguments.plain_id(id)
        shard = shards[self._route(id)]
        call = lambda dimension: [(shard, "insert", (id, vector, metadata, timestamp, dimension))]
        if self._dimension is None:
            with self._first_write:
                if self._dimension is None:
                    self._dimension = self._values(call(None))[0]
                    return
        self._values(call(self._dimension))

    def insert_many(self, ids, vectors, metadatas=None, *, timestamps=None):
        """Stores many records: each shard's part in one transaction of
        that shard, all of the part or none of it. The parts commit
        independently: when one fails, the others may be stored. The
        exception names a refused record by its place in `ids`."""
        shards = self._table()
        ids = arguments.items(ids, "ids")
        rows = arguments.Rows(vectors)
        columns = {"metadatas": metadatas, "timestamps": timestamps}
        for name, column in columns.items():
            if column is not None:
                columns[name] = arguments.items(column, name)
        for name, given in (("vectors", len(rows)), *((name, len(column)) for name, column in columns.items()
                                                     if column is not None)):
            if given != len(ids):
                raise quorvel_engine.RefusedValueError(messages.COUNTS_DIFFER.format(name, given, len(ids)))
        positions = {}
        plain = []
        for place, id in enumerate(ids):
            try:
                id = arguments.plain_id(id)
                number = self._route(id)
            except TypeError as error:
                raise _renumbered(error, place) from None
            plain.append(id)
            positions.setdefault(number, []).append(place)
        if not positions:
            return

        def part(number):
            places = positions[number]
            taken = lambda column: None if column is None else [column[place] for place in places]
            return (shards[number], places,
                    ([plain[place] for place in places], rows.take(places), taken(columns["metadatas"]),
                     taken(columns["timestamps"])))

        parts = [part(number) for number in sorted(positions)]
        if self._dimension is None:
            with self._first_write:
                if self._dimension is None:
                    # The shard of the first record goes first: the length
                    # of that record is the collection's, as in one engine.
                    owner = self._route(plain[0])
                    leading = [p for p in parts if p[0].number == owner]
                    self._dimension = self._write_parts(leading, None)
                    parts = [p for p in parts if p[0].number != owner]
        self._write_parts(parts, self._dimension)

    def _write_parts(self, parts, dimension):
        """Sends each (shard, places, columns) part to its shard; raises
        the refusal of the lowest place refused. Returns the dimension the
        shards report."""
        if not parts:
            return dimension
        outcomes = self._outcomes([(shard, "insert_many", (*columns, dimension)) for shard, _, columns in parts])
        refused = []
        for (shard, places, _), outcome in zip(parts, outcomes):
            if outcome.error is not None:
                error = outcome.error
                index = getattr(error, "index", None)
                place = places[index] if isinstance(index, int) and 0 <= index < len(places) else None
                refused.append((place is None, place if place is not None else shard.number, error, index))
        if refused:
            _, place, error, index = min(refused, key=lambda entry: entry[:2])
            raise _renumbered(error, place, index) if index is not None else error
        return outcomes[0].value

    def delete(self, id):
        """Removes the record stored under `id` from its shard; whether
        there was one."""
        return self._on_owner(id, "delete")

    # --- reads ------------------------------------------------------------------

    def get(self, id):
        """The record stored under `id` (a quorvel_engine.Record), or None."""
        return self._on_owner(id, "get")

    def __contains__(self, id):
        if not isinstance(id, str):
            self._table()
            return False
        return self._on_owner(id, "contains")

    def __len__(self):
        shards = self._table()
        return sum(self._values([(shard, "length", ()) for shard in shards]))

    def __iter__(self):
        """The ids of every record: shard by shard, each shard's in its
        engine's order, as they stood when the call began."""
        shards = self._table()
        lists = self._values([(shard, "ids", ()) for shard in shards])
        return (id for ids in lists for id in ids)

    def search(self, query, k=10, *, where=None, decay=None, now=None):
        """The k records closest to `query` in the whole collection, best
        first, as a list of quorvel_engine.Hit: by score in the metric's
        direction, equal scores by id. The options are the engine's; with
        `decay` and no `now`, the client's clock gives every shard the same
        `now`."""
        shards = self._table()
        k = arguments.k_argument(k)
        options = _search_options(where, decay, now)
        lists = self._values([(shard, "search", (query, k, options)) for shard in shards])
        return [quorvel_engine.Hit(candidate) for candidate in merge(lists, k, self._larger_is_closer)]

    def search_many(self, queries, k=10, *, where=None, decay=None, now=None):
        """search() of every query (a 2-D array or a sequence of vectors):
        each shard answers all of them in one call."""
        shards = self._table()
        k = arguments.k_argument(k)
        options = _search_options(where, decay, now)
        answers = self._values([(shard, "search_many", (queries, k, options)) for shard in shards])
        return [[quorvel_engine.Hit(candidate) for candidate in merge(lists, k, self._larger_is_closer)]
                for lists in zip(*answers)]

    # --- shards -----------------------------------------------------------------

    def shard_of(self, id):
        """The number of the shard that holds (or would hold) `id`."""
        return self._route(arguments.plain_id(id))

    def reopen_shard(self, shard, *, worker=None):
        """Opens shard number `shard` again from its file, on `worker` (an
        address) or else on the live worker that holds the fewest of this
        collection's shards. For a shard whose worker died: its committed
        records are all there. While another actor still holds the file,
        the engine's lock refuses the open (FileInUseError) and the shard
        stays as it was."""
        shards = self._table()
        if not isinstance(shard, int):
            raise TypeError(messages.SHARD_NOT_INT.format(arguments.type_name(shard)))
        if not 0 <= shard < len(shards):
            raise ValueError(messages.SHARD_RANGE.format(len(shards) - 1, shard))
        old = shards[shard]
        live = self._live_workers()
        if worker is None:
            candidates = [address for address in live if address != old.worker] or live
            if not candidates:
                raise ValueError(messages.NO_WORKERS)
            load = {address: 0 for address in candidates}
            for other in shards:
                if other.number != shard and other.future.status not in GONE and other.worker in load:
                    load[other.worker] += 1
            worker = min(candidates, key=lambda address: (load[address], address))
        elif worker not in live:
            raise ValueError(messages.UNKNOWN_WORKER.format(worker))
        (opened,) = self._open_actors([shard], [worker])
        try:
            (description,) = self._describe([opened])
            found = description["manifest"]
            if found is None:
                raise CollectionError(messages.LOST_MANIFEST.format(number=shard, path=opened.path))
            self._check_manifest(opened, found)
            if found["collection"] != self._collection:
                raise CollectionError(messages.OTHER_COLLECTION.format(
                    number=shard, path=opened.path, theirs=found["collection"], first=shard, ours=self._collection))
            if None not in (description["dimension"], self._dimension) and \
                    description["dimension"] != self._dimension:
                raise CollectionError(messages.DIMENSIONS_DIFFER.format(
                    first=shard, first_dimension=description["dimension"], second="the rest",
                    second_dimension=self._dimension))
        except BaseException:
            self._discard([opened])
            raise
        with self._lock:
            self._shards[shard] = opened
        old.future.release()

    # --- the collection ---------------------------------------------------------

    @property
    def paths(self):
        """The shards' database paths, in shard order."""
        return tuple(self._paths)

    @property
    def workers(self):
        """The address of the worker that holds each shard's actor."""
        return tuple(shard.worker for shard in self._table())

    @property
    def collection(self):
        """The collection's identity, written in every shard's manifest."""
        return self._collection

    @property
    def metric(self):
        return self._metric

    @property
    def dimension(self):
        """The length of every vector of the collection, or None before the
        first record."""
        return self._dimension

    @property
    def index(self):
        """The HnswConfig every shard's engine builds its index with, or None."""
        return self._index

    @property
    def closed(self):
        return self._closed

    def close(self):
        """Releases every shard's file (the shards that can be reached close
        at once) and the actors. Later calls raise EngineClosedError."""
        with self._lock:
            if self._closed:
                return
            self._closed = True
            shards = list(self._shards)
        reachable = [shard for shard in shards if shard.future.status not in GONE]
        call_all(self._client, [(shard.future, shard.worker, "close", ()) for shard in reachable])
        for shard in shards:
            shard.future.release()

    def __enter__(self):
        self._table()
        return self

    def __exit__(self, kind, value, traceback):
        self.close()
        return False

    def __repr__(self):
        state = "closed" if self._closed else f"{len(self._paths)} shards"
        return f"<quorvel_dask.ShardedEngine {self._paths[0]}...: {state}>"


def _search_options(where, decay, now):
    options = {}
    if where is not None:
        options["where"] = where
    if decay is not None:
        options["decay"] = decay
        options["now"] = int(time.time()) if now is None else now
    elif now is not None:
        options["now"] = now
    return options


def _renumbered(error, place, index=None):
    """`error` as the engine words it for the record at `place` of the
    whole call: a shard's "record 3: ..." becomes "record 17: ...", with
    the exception's index."""
    text = str(error)
    prefix = messages.RECORD_PREFIX.format(index) if index is not None else ""
    if not text.startswith(prefix) or not (type(error) in (TypeError, ValueError, OverflowError)
                                           or isinstance(error, quorvel_engine.Error)):
        return error
    renumbered = type(error)(messages.RECORD_PREFIX.format(place) + text[len(prefix):])
    renumbered.index = place
    renumbered.__cause__ = error
    return renumbered
