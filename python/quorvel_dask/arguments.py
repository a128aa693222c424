"""The client's reading of its arguments: what it must know itself to route
records and split a bulk insert. Everything else is left to each shard's
engine, which checks it with quorvel_engine's own messages; the checks here
raise those same messages."""

import os

import quorvel_engine

from . import messages
from .ranking import K_MAX

try:
    import numpy
except ImportError:  # numpy is optional: without it a bulk insert sends rows as they come
    numpy = None

# Buffer formats that quorvel_engine reads as a block of floats.
FLOAT_FORMATS = frozenset({"f", "d", "<f", "<d", "=f", "=d", "@f", "@d"})


def type_name(value):
    """The name that the interpreter's messages give the type of `value`
    (a built-in's or a Python class's bare name, else module.name)."""
    kind = type(value)
    if kind.__flags__ & (1 << 9) or kind.__module__ == "builtins":  # a class written in Python
        return kind.__name__
    return f"{kind.__module__}.{kind.__name__}"


def plain_id(id):
    """`id` as an exact str (a str subclass may not exist where the shards
    run); TypeError for any other type."""
    if not isinstance(id, str):
        raise TypeError(messages.ID_NOT_TEXT.format(type_name(id)))
    return id if type(id) is str else str.__str__(id)


def items(value, name):
    """A sequence argument as a tuple of its items (a str is no sequence
    here, nor a dict)."""
    if isinstance(value, (str, dict)) or not hasattr(type(value), "__getitem__"):
        raise TypeError(messages.NOT_A_SEQUENCE.format(name, type_name(value)))
    return tuple(value)


def shard_paths(shards):
    """The shard paths, as str, from a sequence of str or path-like."""
    if isinstance(shards, (str, bytes, os.PathLike)) or not hasattr(type(shards), "__getitem__"):
        raise TypeError(messages.SHARDS_NOT_PATHS.format(type_name(shards)))
    paths = []
    for number, path in enumerate(shards):
        if not isinstance(path, (str, os.PathLike)):
            raise TypeError(messages.PATH_NOT_TEXT.format(number, type_name(path)))
        path = os.fspath(path)
        if not isinstance(path, str):
            raise TypeError(messages.PATH_NOT_TEXT.format(number, type_name(path)))
        if path in paths:
            raise ValueError(messages.SAME_PATH.format(paths.index(path), number, path))
        paths.append(path)
    if not paths:
        raise ValueError(messages.NO_SHARDS)
    return paths


def config_fields(index):
    """The fields of an index configuration, which the shards rebuild it
    from (a configuration does not pickle), or None."""
    if index is None:
        return None
    if not isinstance(index, quorvel_engine.HnswConfig):
        raise TypeError(messages.INDEX_NOT_CONFIG.format(type_name(index)))
    return {name: getattr(index, name) for name in dir(index)
            if not name.startswith("_") and not callable(getattr(index, name))}


def k_argument(k):
    """k as a plain int, checked as the engine checks it."""
    if not isinstance(k, int):
        raise TypeError(messages.NOT_AN_INT.format("k", type_name(k)))
    if not 0 <= k <= K_MAX:
        raise quorvel_engine.RefusedValueError(messages.K_RANGE.format(k))
    return int(k)


class Rows:
    """The vectors of a bulk insert, to be split among shards: a 2-D float
    array is split by rows into arrays (the shards receive them as raw
    buffers, not element by element), anything else into lists of rows."""

    def __init__(self, vectors):
        if isinstance(vectors, (str, dict)) or not hasattr(type(vectors), "__getitem__"):
            raise TypeError(messages.NOT_A_SEQUENCE.format("vectors", type_name(vectors)))
        self._array = None
        self._rows = None
        dimensions = float_block_dimensions(vectors)
        if dimensions is not None and dimensions != 2:
            raise quorvel_engine.RefusedValueError(messages.MATRIX_DIMENSIONS.format("vectors", dimensions))
        if dimensions == 2 and numpy is not None:
            self._array = numpy.asarray(vectors)
        elif dimensions == 2:
            self._rows = tuple(memoryview(vectors).tolist())
        else:
            self._rows = tuple(vectors)

    def __len__(self):
        return len(self._array) if self._array is not None else len(self._rows)

    def take(self, positions):
        """The rows at `positions`, in that order."""
        if self._array is not None:
            return self._array[numpy.asarray(positions, dtype=numpy.intp)]
        return [self._rows[position] for position in positions]


def float_block_dimensions(value):
    """The number of dimensions of `value` when the engine reads it as a
    block of floats (a buffer of float32 or float64), else None."""
    if isinstance(value, (list, tuple)):
        return None
    try:
        view = memoryview(value)
    except TypeError:
        return None
    with view:
        return view.ndim if view.format in FLOAT_FORMATS else None
