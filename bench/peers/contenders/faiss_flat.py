"""faiss: IndexFlatIP over normalised vectors for exact search, IndexHNSWFlat
for approximate search; whole-index files through write_index / read_index."""

import os

import faiss

from contenders.base import Peer as BasePeer, debian_package, fsync_file, normalised, replace_durably


def simd_level() -> str:
    """Which distance loops this faiss build was compiled with."""
    options = (faiss.get_compile_options() if hasattr(faiss, "get_compile_options") else "").strip()
    if "AVX" in options:
        return options
    return f"{options or 'generic'}: no AVX2 / AVX-512 kernels"


def single_query_threads() -> None:
    """faiss spreads a search over the queries, so one query uses one thread
    anyway; with one OpenMP thread it also skips the team's start and barrier,
    which on a shared 2-core machine cost several times the search itself."""
    faiss.omp_set_num_threads(1)


class Peer(BasePeer):
    def info(self):
        return {
            "version": f"faiss {faiss.__version__} (Debian {debian_package('python3-faiss')}; "
                       f"compile options {simd_level()})",
            "durable": "add, then write_index of the whole index to a new file, fsync, rename",
            "bulk": "add of all rows, write_index, fsync",
            "exact": "IndexFlatIP.search of the normalised query",
            "fetch": "reconstruct(id)",
            "ann": "IndexHNSWFlat (inner product on normalised vectors), hnsw.efSearch = ef",
            "stored": "one index file",
        }

    def prepare_query(self, row):
        return normalised(row).reshape(1, -1)

    def create(self, directory, rows):
        os.makedirs(directory, exist_ok=True)
        index = faiss.IndexFlatIP(rows.shape[1])
        index.add(normalised(rows))
        faiss.write_index(index, os.path.join(directory, "flat.faiss"))

    def open(self, directory, d):
        self.index = faiss.read_index(os.path.join(directory, "flat.faiss"))
        single_query_threads()

    def search(self, query, k):
        _, labels = self.index.search(query, k)
        return labels[0].tolist()

    def fetch(self, key):
        return self.index.reconstruct(key)

    def create_empty(self, directory, d):
        os.makedirs(directory, exist_ok=True)
        self.path = os.path.join(directory, "flat.faiss")
        self.index = faiss.IndexFlatIP(d)
        fsync_file(directory)

    def prepare_vector(self, row):
        return normalised(row).reshape(1, -1)

    def insert(self, key, vector):
        self.index.add(vector)  # record numbers are positions: key == ntotal here
        replace_durably(lambda path: faiss.write_index(self.index, path), self.path)

    def ann_build(self, directory, rows, params):
        faiss.omp_set_num_threads(os.cpu_count())  # the build adds in parallel
        self.ann = faiss.IndexHNSWFlat(rows.shape[1], params["m"], faiss.METRIC_INNER_PRODUCT)
        self.ann.hnsw.efConstruction = params["ef_construction"]
        self.ann.add(normalised(rows))

    def ann_set_ef(self, ef):
        single_query_threads()
        self.ann.hnsw.efSearch = ef

    def ann_search(self, query, k):
        _, labels = self.ann.search(query, k)
        return labels[0].tolist()
