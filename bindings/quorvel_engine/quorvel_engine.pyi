"""Type information for the extension module quorvel_engine.

The whole quorvel engine for Python: four metrics, an HNSW index, metadata
filters, decay by age, timestamps, bulk inserts in one transaction and numpy
arrays, over the same database files as the module quorvel.
"""

import os
from array import array
from types import TracebackType
from typing import (Any, Dict, Iterator, List, NamedTuple, Optional, Sequence, SupportsFloat, SupportsIndex, Type,
                    Union, final)

__all__ = ["Engine", "HnswConfig", "Hit", "Record", "Error", "StorageError", "FileInUseError", "DamagedFileError",
           "ForkedChildError", "RefusedValueError", "ConfigError", "EngineClosedError"]

__version__: str

# A vector: a 1-D numpy array of float32 or float64 (read in bulk), an
# array.array('f' or 'd'), a memoryview, or any sequence of numbers.
_Vector = Union[Sequence[Union[SupportsFloat, SupportsIndex]], Any]
# Many vectors: a 2-D numpy array (a row a vector) or a sequence of vectors.
_Vectors = Union[Sequence[_Vector], Any]
# Metadata: what JSON holds, as Python values.
_Metadata = Union[None, bool, int, float, str, List[Any], tuple, Dict[str, Any]]

class Error(Exception):
    """The base class of every error that quorvel_engine raises."""

class StorageError(Error):
    """The database file cannot be opened, read or changed."""

class FileInUseError(StorageError):
    """Another engine, in this process or another, holds the database file."""

class DamagedFileError(StorageError):
    """The database file, or a record in it, does not read back."""

class ForkedChildError(StorageError):
    """A change asked of an engine in a forked child: a child reads, only the parent writes."""

class RefusedValueError(Error, ValueError):
    """A value the database cannot hold. From insert_many and search_many the
    message names the record or query, whose position is `index`."""

    index: int

class ConfigError(Error, ValueError):
    """Options that cannot work."""

class EngineClosedError(Error):
    """A call on an engine after its close()."""

class Hit(NamedTuple):
    """One result of a search."""

    id: str
    score: float
    metadata: _Metadata

class Record(NamedTuple):
    """One stored record, a copy."""

    id: str
    vector: "array[float]"
    metadata: _Metadata
    timestamp: Optional[int]

@final
class HnswConfig:
    """The configuration of an HNSW index; omitted fields take the defaults
    that m gives (m_max = m, m_max0 = 2 * m, ml = 1 / ln(m), 1 when m <= 1),
    and the rest the plain index's (closest neighbours, unseeded levels,
    rebuilds on delete, one build thread)."""

    def __init__(self, m: int = 16, ef_construction: int = 200, ef_search: int = 64, m_max: Optional[int] = None,
                 m_max0: Optional[int] = None, ml: Optional[float] = None, *, selection: str = "closest",
                 keep_pruned: bool = False, seed: Optional[int] = None, retire_deleted: bool = False,
                 retired_share: float = 0.2, build_threads: int = 1) -> None: ...
    @property
    def m(self) -> int: ...
    @property
    def ef_construction(self) -> int: ...
    @property
    def ef_search(self) -> int: ...
    @property
    def m_max(self) -> int: ...
    @property
    def m_max0(self) -> int: ...
    @property
    def ml(self) -> float: ...
    @property
    def selection(self) -> str: ...
    @property
    def keep_pruned(self) -> bool: ...
    @property
    def seed(self) -> Optional[int]: ...
    @property
    def retire_deleted(self) -> bool: ...
    @property
    def retired_share(self) -> float: ...
    @property
    def build_threads(self) -> int: ...

@final
class Engine:
    """One open database file; it stays locked until close() or the end of a
    with block. Safe to share between threads."""

    def __init__(self, path: Union[str, "os.PathLike[str]"], *, metric: str = "cosine",
                 dimension: Optional[int] = None, index: Optional[HnswConfig] = None,
                 workers: Optional[int] = None) -> None: ...
    def insert(self, id: str, vector: _Vector, metadata: _Metadata = None, *, timestamp: Optional[int] = None) -> None:
        """Stores a record, replacing the one stored under `id`."""
    def insert_many(self, ids: Sequence[str], vectors: _Vectors, metadatas: Optional[Sequence[_Metadata]] = None, *,
                    timestamps: Optional[Sequence[Optional[int]]] = None) -> None:
        """Stores many records in one transaction: all of them, or none."""
    def get(self, id: str, /) -> Optional[Record]:
        """The record stored under `id`, or None."""
    def delete(self, id: str, /) -> bool:
        """Removes the record stored under `id`; whether there was one."""
    def search(self, query: _Vector, k: int = 10, *, where: Optional[Dict[str, _Metadata]] = None,
               decay: Optional[float] = None, now: Optional[int] = None,
               filter_through_index: bool = False) -> List[Hit]:
        """The `k` records closest to `query`, best first."""
    def search_many(self, queries: _Vectors, k: int = 10, *, where: Optional[Dict[str, _Metadata]] = None,
                    decay: Optional[float] = None, now: Optional[int] = None,
                    filter_through_index: bool = False) -> List[List[Hit]]:
        """search() of every query, spread over the engine's workers."""
    def attach_index(self, config: HnswConfig) -> None:
        """Builds an HNSW index over every record and attaches it."""
    def compact_index(self) -> None:
        """Drops the retired nodes of an index with retire_deleted now."""
    def detach_index(self) -> None:
        """Drops the attached index."""
    @property
    def has_index(self) -> bool: ...
    @property
    def index(self) -> Optional[HnswConfig]: ...
    @property
    def ef_search(self) -> Optional[int]: ...
    @ef_search.setter
    def ef_search(self, value: int) -> None: ...
    @property
    def metric(self) -> str: ...
    @property
    def dimension(self) -> Optional[int]: ...
    @property
    def path(self) -> str: ...
    @property
    def closed(self) -> bool: ...
    def close(self) -> None:
        """Releases the file at once."""
    def __enter__(self) -> "Engine": ...
    def __exit__(self, type: Optional[Type[BaseException]], value: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> bool: ...
    def __len__(self) -> int: ...
    def __contains__(self, id: object) -> bool: ...
    def __iter__(self) -> Iterator[str]: ...
