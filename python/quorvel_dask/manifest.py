"""The manifest beside each shard's database file: which collection the
shard belongs to, its number, the collection's shard count and the routing
function. It is what makes a set of files one collection: opening shards in
another order, in another number or from two collections is refused.

The manifest of the shard file `shop-0.db` is `shop-0.db.shard.json`, a JSON
object such as
  {"collection": "5d0c...", "format": 1, "routing": "blake2b-8", "shard": 0, "shards": 4}
written once, when the collection is created, and never changed.
"""

import json
import os

FORMAT = 1
SUFFIX = ".shard.json"
FIELDS = {"collection": str, "format": int, "routing": str, "shard": int, "shards": int}


def path_of(database_path):
    """The manifest's path beside the database file `database_path`."""
    return database_path + SUFFIX


def read(path):
    """The manifest at `path` as a dict, or None when there is no file.
    Raises ValueError when the file is not a manifest of this format, and
    OSError when it cannot be read."""
    try:
        with open(path, "rb") as file:
            text = file.read()
    except FileNotFoundError:
        return None
    content = json.loads(text)
    if not isinstance(content, dict) or set(content) != set(FIELDS) or any(
            type(content[name]) is not kind for name, kind in FIELDS.items()):
        raise ValueError(f"not a manifest: the fields must be {', '.join(sorted(FIELDS))}")
    if content["format"] != FORMAT:
        raise ValueError(f"format {content['format']}, which this version does not read")
    return content


def write(path, collection, routing, shard, shards):
    """Writes a manifest to `path` whole or not at all: into a file beside
    it, synced, renamed over `path`, and the folder synced, so that a crash
    leaves either no manifest or this one."""
    content = {"collection": collection, "format": FORMAT, "routing": routing, "shard": shard, "shards": shards}
    staging = path + ".new"
    with open(staging, "w", encoding="utf-8") as file:
        json.dump(content, file, sort_keys=True)
        file.write("\n")
        file.flush()
        os.fsync(file.fileno())
    os.replace(staging, path)
    folder = os.open(os.path.dirname(os.path.abspath(path)), os.O_RDONLY)
    try:
        os.fsync(folder)
    finally:
        os.close(folder)
