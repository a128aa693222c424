"""numpy: the normalised matrix in a .npy file, a matrix-vector product and
argpartition. What a user writes who needs no database."""

import os

import numpy as np

from contenders.base import Peer as BasePeer, debian_package, fsync_file, normalised


class Peer(BasePeer):
    def info(self):
        from threadpoolctl import threadpool_info
        blas = [f"{p['internal_api']} {p['version']} ({p.get('architecture', '?')} kernels, "
                f"{p['num_threads']} threads)" for p in threadpool_info() if p["user_api"] == "blas"]
        return {
            "version": f"numpy {np.__version__} (Debian {debian_package('python3-numpy')}), "
                       + (blas[0] if blas else "reference BLAS"),
            "durable": "the row and its id appended to two files, each fsync'ed",
            "bulk": "np.save of the normalised matrix, then fsync",
            "exact": "normalised matrix @ normalised query, argpartition, sort of the k best",
            "fetch": "the row of the id (a dict from id to row), as a view",
            "stored": "vectors.npy (float32) and ids.npy",
        }

    def create(self, directory, rows):
        os.makedirs(directory, exist_ok=True)
        np.save(os.path.join(directory, "vectors.npy"), normalised(rows))
        np.save(os.path.join(directory, "ids.npy"), np.arange(len(rows), dtype=np.int64))

    def open(self, directory, d):
        self.matrix = np.load(os.path.join(directory, "vectors.npy"))
        ids = np.load(os.path.join(directory, "ids.npy"))
        self.ids = ids
        self.row_of = {int(i): row for row, i in enumerate(ids.tolist())}

    def search(self, query, k):
        scores = self.matrix @ normalised(query)
        k = min(k, len(scores))
        best = np.argpartition(scores, -k)[-k:]
        return self.ids[best[np.argsort(-scores[best], kind="stable")]].tolist()

    def fetch(self, key):
        return self.matrix[self.row_of[key]]

    def create_empty(self, directory, d):
        os.makedirs(directory, exist_ok=True)
        self.vectors = open(os.path.join(directory, "vectors.f32"), "ab", buffering=0)
        self.id_file = open(os.path.join(directory, "ids.i64"), "ab", buffering=0)
        fsync_file(directory)

    def insert(self, key, vector):
        self.vectors.write(normalised(vector).tobytes())
        self.id_file.write(np.int64(key).tobytes())
        os.fsync(self.vectors.fileno())
        os.fsync(self.id_file.fileno())
