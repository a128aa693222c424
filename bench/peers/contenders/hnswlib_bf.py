"""hnswlib: BFIndex (brute force, cosine) for exact search, Index (HNSW) for
approximate search; whole-index files through save_index / load_index."""

import os

import hnswlib
import numpy as np

from contenders.base import Peer as BasePeer, debian_package, fsync_file, replace_durably

INITIAL_CAPACITY = 1024


class Peer(BasePeer):
    def info(self):
        version = getattr(hnswlib, "__version__", None)
        if version is None:
            from importlib.metadata import version as distribution_version
            version = distribution_version("hnswlib")
        return {
            "version": f"hnswlib {version} (Debian {debian_package('python3-hnswlib')})",
            "durable": "Index (HNSW, as BFIndex cannot grow) add_items, then save_index of the whole index to a new file, fsync, rename",
            "bulk": "BFIndex.add_items of all rows, save_index, fsync",
            "exact": "BFIndex.knn_query (space 'cosine')",
            "fetch": "BFIndex has no call that returns a stored vector",
            "ann": "Index (HNSW, space 'cosine'), set_ef(ef)",
            "stored": "one index file",
        }

    def create(self, directory, rows):
        os.makedirs(directory, exist_ok=True)
        index = hnswlib.BFIndex(space="cosine", dim=rows.shape[1])
        index.init_index(max_elements=len(rows))
        index.add_items(rows, np.arange(len(rows)))
        index.save_index(os.path.join(directory, "bf.hnswlib"))

    def open(self, directory, d):
        self.index = hnswlib.BFIndex(space="cosine", dim=d)
        self.index.load_index(os.path.join(directory, "bf.hnswlib"))

    def search(self, query, k):
        labels, _ = self.index.knn_query(query, k)
        return labels[0].tolist()

    def create_empty(self, directory, d):
        os.makedirs(directory, exist_ok=True)
        self.path = os.path.join(directory, "hnsw.hnswlib")
        self.index = hnswlib.Index(space="cosine", dim=d)
        self.index.init_index(max_elements=INITIAL_CAPACITY)
        fsync_file(directory)

    def insert(self, key, vector):
        if self.index.element_count == self.index.max_elements:
            self.index.resize_index(2 * self.index.max_elements)
        self.index.add_items(vector.reshape(1, -1), [key])
        replace_durably(self.index.save_index, self.path)

    def ann_build(self, directory, rows, params):
        self.ann = hnswlib.Index(space="cosine", dim=rows.shape[1])
        self.ann.init_index(max_elements=len(rows), M=params["m"],
                            ef_construction=params["ef_construction"])
        self.ann.add_items(rows, np.arange(len(rows)))

    def ann_set_ef(self, ef):
        self.ann.set_ef(ef)

    def ann_search(self, query, k):
        labels, _ = self.ann.knn_query(query, k)
        return labels[0].tolist()
