"""Not a contender: the memory-bandwidth floor of an exact search. Its
"search" reads the N x d float32 matrix once on every core (stream_floor.c,
compiled here with the system's C compiler), so that it is measured in the
same rounds as the searches it bounds."""

import ctypes
import os
import subprocess

import numpy as np

from contenders.base import Peer as BasePeer

SOURCE = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "stream_floor.c")
FLAGS = ["-O3", "-march=native", "-fopenmp", "-shared", "-fPIC"]


def load_library() -> ctypes.CDLL:
    """The compiled floor, built into QUORVEL_BENCH_SCRATCH when it is missing or stale."""
    scratch = os.environ.get("QUORVEL_BENCH_SCRATCH", "/tmp")
    library = os.path.join(scratch, "stream_floor.so")
    if not os.path.exists(library) or os.path.getmtime(library) < os.path.getmtime(SOURCE):
        os.makedirs(scratch, exist_ok=True)
        subprocess.run(["cc", *FLAGS, "-o", library, SOURCE], check=True)
    loaded = ctypes.CDLL(library)
    loaded.stream_words.restype = ctypes.c_uint64
    loaded.stream_words.argtypes = [ctypes.c_void_p, ctypes.c_size_t]
    return loaded


class Peer(BasePeer):
    def __init__(self):
        self.library = load_library()

    def info(self):
        return {
            "version": f"stream_floor.c, cc {' '.join(FLAGS)}, {os.cpu_count()} threads",
            "exact": "one pass over the N x d float32 matrix on every core (64-bit words, OR-combined)",
        }

    def create(self, directory, rows):
        os.makedirs(directory, exist_ok=True)
        np.ascontiguousarray(rows).tofile(os.path.join(directory, "vectors.f32"))

    def open(self, directory, d):
        self.words = np.fromfile(os.path.join(directory, "vectors.f32"), dtype=np.uint64)

    def search(self, query, k):
        self.library.stream_words(self.words.ctypes.data, self.words.size)
        return []
