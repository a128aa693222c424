"""Every message text that quorvel_dask owns, in one place. Texts with
fields are completed with str.format by the code that raises them. Texts
that mirror quorvel_engine's own say the same as the engine does."""

# Importing the package without Dask (ImportError).
NEEDS_DASK = ("quorvel_dask needs Dask's distributed scheduler, which this interpreter cannot import ({cause}): "
              "install Debian's python3-distributed, or the distributed package from PyPI")

# Arguments of the wrong kind (TypeError).
NOT_A_CLIENT = "client must be a dask.distributed.Client, not '{}'"
ASYNCHRONOUS_CLIENT = "a ShardedEngine needs a synchronous dask.distributed.Client, not an asynchronous one"
SHARDS_NOT_PATHS = "shards must be a sequence of paths, one per shard, not '{}'"
PATH_NOT_TEXT = "shard {}: a path must be a str or an os.PathLike, not '{}'"
PLACEMENT_NOT_ADDRESSES = "placement must be a sequence of worker addresses, one per shard, not '{}'"
SHARD_NOT_INT = "shard must be an int, not '{}'"
# The same texts as quorvel_engine's.
ID_NOT_TEXT = "an id must be a str, not '{}'"
NOT_A_SEQUENCE = "{} must be a sequence, not '{}'"
NOT_AN_INT = "{} must be an int, not '{}'"
INDEX_NOT_CONFIG = "index must be a quorvel_engine.HnswConfig or None, not '{}'"

# Values refused (ValueError; RefusedValueError where quorvel_engine raises it).
NO_SHARDS = "a collection needs at least one shard"
SAME_PATH = "shards {} and {} have the same path {}"
PLACEMENT_COUNT = "placement names {} workers for {} shards"
UNKNOWN_WORKER = "the cluster has no worker {}"
NO_WORKERS = "the cluster has no workers"
SHARD_RANGE = "shard must be from 0 to {}, got {}"
# The same texts as quorvel_engine's.
COUNTS_DIFFER = "{} has {} items, ids has {}"
MATRIX_DIMENSIONS = "{} must have two dimensions (a row a vector), not {}"
K_RANGE = "k must be an int from 0 to 2**64 - 1, got {}"
RECORD_PREFIX = "record {}: "

# A shard whose actor cannot be reached (ShardUnavailableError); one line a shard.
UNAVAILABLE = ("shard {number} ({path}) is unavailable: its worker {worker} is gone or cannot be reached; "
               "reopen_shard({number}) opens it on another worker")
WORKER_LEFT = "shard {number} ({path}) could not be opened: its worker {worker} left the cluster"

# Shards that are not one collection (CollectionError).
OTHER_PLACE = ("shard {number} ({path}) is shard {their_number} of a collection of {their_count} shards, "
               "not shard {number} of {count}")
OTHER_COLLECTION = "shard {number} ({path}) belongs to collection {theirs}, shard {first} to collection {ours}"
OTHER_ROUTING = "shard {number} ({path}) routes ids by {theirs}, which this version does not know (it routes by {ours})"
NOT_A_SHARD = "shard {number} ({path}) holds {records} records but no manifest: it is no shard of a collection"
LOST_MANIFEST = ("shard {number} ({path}) has no manifest while the collection holds records: "
                 "its files were lost or replaced")
MISSING_DATABASE = "shard {number} ({path}): the database file is missing, though its manifest {manifest} is there"
DAMAGED_MANIFEST = "shard {number} ({path}): the manifest {manifest} cannot be read: {cause}"
DIMENSIONS_DIFFER = "shard {first} holds vectors of {first_dimension} floats, shard {second} of {second_dimension}"

# A call after close() (quorvel_engine.EngineClosedError).
CLOSED = "the sharded engine of {} is closed"
