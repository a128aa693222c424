"""quorvel_dask: one quorvel collection spread over several database files,
each served by a Dask actor holding a quorvel_engine.Engine on a worker of a
Dask cluster. Writes go to the shard that owns the id; searches ask every
shard for its best k and merge them into what one engine holding every
record would answer, ties broken by id.

    from dask.distributed import Client
    from quorvel_dask import ShardedEngine

    with ShardedEngine(Client("tcp://scheduler:8786"), [f"/data/shop-{i}.db" for i in range(4)],
                       metric="cosine") as shop:
        shop.insert_many(ids, vectors, metadatas)
        hits = shop.search(query, 10)

It needs Dask's distributed scheduler; without it the import stops with an
ImportError that says so.
"""

from .messages import NEEDS_DASK

try:
    import distributed  # noqa: F401
except ImportError as missing:
    raise ImportError(NEEDS_DASK.format(cause=missing)) from missing

from .errors import CollectionError, ShardUnavailableError  # noqa: E402
from .routing import ROUTING, shard_of  # noqa: E402
from .sharded_engine import ShardedEngine  # noqa: E402

__all__ = ["ShardedEngine", "ShardUnavailableError", "CollectionError", "shard_of", "ROUTING"]
