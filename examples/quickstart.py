#!/usr/bin/env python3
"""Similar-image search on Fashion-MNIST with quorvel.

Stores the training images of Fashion-MNIST in a quorvel database (vector:
the 784 pixel values of a 28x28 image; metadata: its label and number), then
searches with test images: prints the nearest stored images of a few of them,
the accuracy of labelling test images by a vote of their nearest neighbours,
and the median search latency.

The database file is kept: a second run reuses it (and completes it, when a
run with more training images is asked for) instead of storing everything
again.

    python3 examples/quickstart.py --db fashion-mnist.db
"""

import argparse
import gzip
import json
import statistics
import struct
import sys
import time
from collections import Counter
from pathlib import Path

import quorvel

try:
    from tqdm import tqdm
except ImportError:  # the progress bar is a nicety, not a requirement
    def tqdm(iterable, **_):
        return iterable

DATA = Path("/usr/share/datasets/fashion-mnist")
LABELS = ["T-shirt/top", "Trouser", "Pullover", "Dress", "Coat",
          "Sandal", "Shirt", "Sneaker", "Bag", "Ankle boot"]
PIXELS = 28 * 28


def read_images(path):
    """The images of an IDX file, each as 784 bytes (one per pixel)."""
    with gzip.open(path, "rb") as file:
        data = file.read()
    magic, count, rows, columns = struct.unpack(">IIII", data[:16])
    if magic != 2051 or rows * columns != PIXELS:
        sys.exit(f"{path}: not a file of 28x28 images")
    return [data[16 + i * PIXELS:16 + (i + 1) * PIXELS] for i in range(count)]


def read_labels(path):
    """The labels of an IDX file, as numbers 0 to 9."""
    with gzip.open(path, "rb") as file:
        data = file.read()
    magic, count = struct.unpack(">II", data[:8])
    if magic != 2049:
        sys.exit(f"{path}: not a file of labels")
    return list(data[8:8 + count])


def image_id(number):
    return f"train-{number:05d}"


def store_training_images(db, images, labels, count):
    """Inserts the first `count` training images that the database lacks."""
    present = {id_ for id_, _ in db.get_all()}
    missing = [i for i in range(count) if image_id(i) not in present]
    if not missing:
        print(f"Reusing the {len(present)} images already in the database.")
        return
    for i in tqdm(missing, desc="Storing training images", unit="image"):
        metadata = json.dumps({"label": LABELS[labels[i]], "image": i})
        # A bytes object is a sequence of numbers: each pixel becomes one float.
        db.insert(image_id(i), images[i], metadata)


def vote(results):
    """The most frequent label among the results; a tie goes to the label
    that appears first, that is the one of the nearer neighbour."""
    labels = [json.loads(metadata)["label"] for _, _, metadata in results]
    counts = Counter(labels)
    return max(labels, key=lambda label: (counts[label], -labels.index(label)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--db", default="fashion-mnist.db", help="database file (default: %(default)s)")
    parser.add_argument("--train", type=int, default=10000,
                        help="training images to store, at most 60000 (default: %(default)s)")
    parser.add_argument("--queries", type=int, default=1000,
                        help="test images to label by their neighbours (default: %(default)s)")
    parser.add_argument("--k", type=int, default=10, help="neighbours per search (default: %(default)s)")
    parser.add_argument("--data", type=Path, default=DATA, help="Fashion-MNIST directory (default: %(default)s)")
    args = parser.parse_args()

    train_images = read_images(args.data / "train-images-idx3-ubyte.gz")
    train_labels = read_labels(args.data / "train-labels-idx1-ubyte.gz")
    test_images = read_images(args.data / "t10k-images-idx3-ubyte.gz")
    test_labels = read_labels(args.data / "t10k-labels-idx1-ubyte.gz")
    train_count = min(args.train, len(train_images))
    query_count = min(args.queries, len(test_images))

    db = quorvel.Quorvel(args.db)
    store_training_images(db, train_images, train_labels, train_count)

    print()
    for number in range(3):
        print(f"Test image {number} ({LABELS[test_labels[number]]}), its nearest stored images:")
        for id_, score, metadata in db.search(test_images[number], 5):
            print(f"  {id_}  {json.loads(metadata)['label']:<12} similarity {score:.4f}")
        print()

    correct = 0
    latencies = []
    for number in tqdm(range(query_count), desc="Labelling test images", unit="search"):
        start = time.perf_counter()
        results = db.search(test_images[number], args.k)
        latencies.append(time.perf_counter() - start)
        correct += vote(results) == LABELS[test_labels[number]]

    records = len(db.get_all())
    print(f"{args.k}-nearest-neighbour accuracy over {query_count} test images: "
          f"{correct / query_count:.1%}")
    print(f"Median search latency over {records} records: {statistics.median(latencies) * 1e3:.2f} ms")


if __name__ == "__main__":
    main()
