"""Which shard holds a record: a function of the id's UTF-8 bytes and the
shard count alone, so that every machine and every Python version agrees,
and a collection's files stay readable. Python's hash() is salted per
process and is never used."""

import hashlib

# The name under which a collection's manifests record this function.
ROUTING = "blake2b-8"


def shard_of(id: str, count: int) -> int:
    """The number, from 0 to count - 1, of the shard that holds the record
    `id` in a collection of `count` shards: the BLAKE2b hash with an 8-byte
    digest (no key, salt or personalisation) of the id's UTF-8 bytes, read
    as a big-endian unsigned integer, modulo `count`. Raises
    UnicodeEncodeError for an id holding a lone surrogate, which no record
    can have."""
    digest = hashlib.blake2b(id.encode("utf-8"), digest_size=8).digest()
    return int.from_bytes(digest, "big") % count
