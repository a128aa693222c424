"""The exceptions that quorvel_dask adds to quorvel_engine's. Both derive
from quorvel_engine.Error, so one except clause catches every failure."""

import quorvel_engine


class ShardUnavailableError(quorvel_engine.Error):
    """A call needed shards whose actors cannot be reached: their workers
    died, left the cluster or do not answer. `shards` holds their numbers;
    reopen_shard() opens a shard again on a live worker, from its file."""

    def __init__(self, message, shards=()):
        super().__init__(message)
        self.shards = tuple(shards)

    def __reduce__(self):
        return (type(self), (str(self), self.shards))


class CollectionError(quorvel_engine.ConfigError):
    """The shards given are not one collection in the order given: a
    manifest names another shard number, shard count or collection, a
    database holds records but is no shard, or shards hold vectors of
    different lengths."""
