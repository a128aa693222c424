"""The vectors every contender is given: random Gaussian, Fashion-MNIST (from
Debian's dataset-fashion-mnist) and Gaussian clusters, each as a base set and
a query set, and the exact cosine top-k of each query (the reference that
approximate answers are scored against)."""

import gzip
import os
from dataclasses import dataclass

import numpy as np

FASHION_MNIST = "/usr/share/datasets/fashion-mnist"


@dataclass
class Dataset:
    name: str
    base: np.ndarray     # N x d float32: record i is row i
    queries: np.ndarray  # Q x d float32

    @property
    def d(self) -> int:
        return self.base.shape[1]

    def write(self, directory: str) -> tuple[str, str]:
        """The base and query rows as raw float32 files, the form the workers read."""
        os.makedirs(directory, exist_ok=True)
        base = os.path.join(directory, f"{self.name}-{len(self.base)}.f32")
        queries = os.path.join(directory, f"{self.name}-{len(self.base)}-queries.f32")
        self.base.tofile(base)
        self.queries.tofile(queries)
        return base, queries


def gaussian(n: int, queries: int, d: int = 384, seed: int = 13) -> Dataset:
    """Independent standard normal components. The same seed gives the same
    first rows whatever n is, so the sizes are prefixes of one set."""
    rng = np.random.default_rng(seed)
    base = np.empty((n, d), dtype=np.float32)
    for first in range(0, n, 100_000):  # in slices: the same rows whatever n is
        base[first:first + 100_000] = rng.standard_normal((min(100_000, n - first), d), dtype=np.float32)
    query_rng = np.random.default_rng(seed + 1)
    return Dataset("gaussian", base, query_rng.standard_normal((queries, d), dtype=np.float32))


def clustered(n: int, queries: int, d: int = 384, clusters: int = 1000, spread: float = 0.5,
              seed: int = 17) -> Dataset:
    """Points around `clusters` Gaussian centres, each component off its centre
    by a normal deviate of `spread`; the queries are drawn the same way."""
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((clusters, d), dtype=np.float32)

    def draw(count):
        return (centres[rng.integers(0, clusters, count)]
                + spread * rng.standard_normal((count, d), dtype=np.float32)).astype(np.float32)

    return Dataset("clustered", draw(n), draw(queries))


def _idx_images(path: str) -> np.ndarray:
    with gzip.open(path, "rb") as stream:
        data = stream.read()
    count, rows, columns = (int.from_bytes(data[i:i + 4], "big") for i in (4, 8, 12))
    return np.frombuffer(data, dtype=np.uint8, offset=16).reshape(count, rows * columns).astype(np.float32)


def fashion_mnist(n: int | None = None, queries: int | None = None) -> Dataset:
    """The training images (pixel values 0..255 as floats) as the base set and
    the test images as queries, optionally only the first n and `queries`."""
    base = _idx_images(os.path.join(FASHION_MNIST, "train-images-idx3-ubyte.gz"))[:n]
    test = _idx_images(os.path.join(FASHION_MNIST, "t10k-images-idx3-ubyte.gz"))[:queries]
    return Dataset("fashion-mnist", np.ascontiguousarray(base), np.ascontiguousarray(test))


def exact_top_k(dataset: Dataset, k: int, batch: int = 64) -> np.ndarray:
    """The ids of the k records most cosine-similar to each query, best first,
    equal scores in id order (computed in float64, so that it does not depend
    on any library's order of summation)."""
    base = dataset.base.astype(np.float64)
    base /= np.maximum(np.linalg.norm(base, axis=1, keepdims=True), 1e-300)
    answers = []
    for first in range(0, len(dataset.queries), batch):
        queries = dataset.queries[first:first + batch].astype(np.float64)
        scores = queries @ base.T
        best = np.argpartition(-scores, k, axis=1)[:, :k]
        best_scores = np.take_along_axis(scores, best, axis=1)
        for row in range(len(best)):
            best[row] = best[row][np.lexsort((best[row], -best_scores[row]))]
        answers.append(best)
    return np.concatenate(answers)
