"""What travels between the client and a shard's actor.

Dask serialises each element of a list, tuple or dict that it is handed on
its own, so a query of 384 Python floats would make 384 pickles and a
search's k results k pickles. An Envelope is one object: it is pickled
whole, in one pass, and the numpy arrays inside it travel as raw buffers
beside the pickle (pickle protocol 5, as Dask pickles)."""


class Envelope:
    """Holds `contents`: a call's method name and arguments, or its result."""

    __slots__ = ("contents",)

    def __init__(self, contents):
        self.contents = contents

    def __reduce__(self):
        return (Envelope, (self.contents,))
