"""Type information for the extension module quorvel.

An embedded vector database: records of an id, a vector of 32-bit floats and
optional JSON metadata, kept in one SQLite file and searched by cosine
similarity.
"""

from typing import List, Optional, Sequence, SupportsFloat, SupportsIndex, Tuple, Union, final

__all__ = ["Quorvel"]

# Any element that float() accepts: float, int, bool, or an object with
# __float__ or __index__.
_Number = Union[SupportsFloat, SupportsIndex]

@final
class Quorvel:
    """One open database file; the file stays locked until the instance is gone.

    Methods raise TypeError for arguments of the wrong kind, RuntimeError for
    a failed change to the file ("Storage error: ...") and for a conflicting
    call on the same instance made while another one is converting its
    arguments ("Already borrowed", "Already mutably borrowed").
    """

    def __new__(cls, path: str) -> "Quorvel":
        """Opens or creates the database file at `path`. Every path names a
        file, ":memory:" and "file:..." included.

        RuntimeError when the file cannot be opened, is not a database, or is
        held open by another instance in this or another process; ValueError
        when `path` holds a NUL character.
        """
    def insert(self, id: str, vector: Sequence[_Number], metadata: Optional[str] = None) -> None:
        """Stores a record, replacing the one stored under `id`, if any.

        `metadata` is JSON text (ValueError when it is not). RuntimeError
        when the file cannot be changed, or the vector holds NaN or infinity.
        """
    def search(self, query: Sequence[_Number], k: SupportsIndex) -> List[Tuple[str, float, Optional[str]]]:
        """The `k` records most similar to `query` by cosine similarity, best
        first, as (id, score, metadata) tuples. OverflowError for a negative k.
        """
    def get(self, id: str) -> Optional[str]:
        """The metadata of the record `id` as compact JSON text, or None when
        there is no such record or it has no metadata.
        """
    def get_all(self) -> List[Tuple[str, Optional[str]]]:
        """Every record as an (id, metadata) tuple: in id byte order as loaded,
        then in insertion order.
        """
    def delete(self, id: str) -> None:
        """Removes the record `id`; does nothing when there is none."""
