#!/usr/bin/python3
"""Draws the HNSW comparison written by hnsw_fashion_mnist and hnsw_clustered
with --csv: for each set of vectors, recall@10 against queries per second
for our index with closest and with diverse neighbour selection and for
hnswlib (one point per ef), and the speed of each of ours over hnswlib's at
equal recall (interpolated between ef, as the programs print it).

Usage: bench/plot_hnsw.py RESULTS.csv OUTPUT_DIR "machine caption"
writes one picture per set in the file into OUTPUT_DIR (see SETS).
"""

import csv
import math
import sys
from collections import defaultdict

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402  (the backend is chosen first)

# Title and file name of each set the benchmark programs write.
SETS = {
    "fashion-mnist": ("Fashion-MNIST: 60,000 images of 784 floats, Euclidean", "hnsw_fashion_mnist.png"),
    "clustered-384": ("Clustered: 100,000 vectors of 384 floats, Euclidean", "hnsw_clustered.png"),
}
# How each library is drawn: label and style.
LIBRARIES = {
    "ours-closest": ("quorvel HnswIndex, closest neighbours", "o-"),
    "ours-diverse": ("quorvel HnswIndex, diverse neighbours", "D-"),
    "hnswlib": ("hnswlib 0.6.2 (-march=native)", "s--"),
}
TARGETS = (0.90, 0.95, 0.97, 0.98, 0.99, 0.995)


def read(path):
    """Per set: {"build": {library: seconds}, "curves": {library: [(ef, recall, qps)]}}."""
    sets = defaultdict(lambda: {"build": {}, "curves": defaultdict(list)})
    with open(path, newline="") as file:
        for name, library, ef, recall, value in csv.reader(file):
            if ef == "build":
                sets[name]["build"][library] = float(value)
            else:
                sets[name]["curves"][library].append((int(ef), float(recall), float(value)))
    return sets


def qps_at(curve, target):
    """Queries per second at `target` recall: linear in recall, logarithmic in
    speed between the two points that enclose it; None outside the curve."""
    for (_, r0, q0), (_, r1, q1) in zip(curve, curve[1:]):
        if r0 <= target <= r1:
            if r1 == r0:
                return q0
            t = (target - r0) / (r1 - r0)
            return math.exp(math.log(q0) + t * (math.log(q1) - math.log(q0)))
    return None


def draw(name, data, caption, output):
    figure, (curves, ratios) = plt.subplots(1, 2, figsize=(13, 5.5), gridspec_kw={"width_ratios": [3, 2]})
    for library, points in data["curves"].items():
        label, style = LIBRARIES.get(library, (library, "x-"))
        points.sort()
        curves.plot([p[1] for p in points], [p[2] for p in points], style, label=label, markersize=4)
        for ef, recall, rate in points:
            curves.annotate(str(ef), (recall, rate), textcoords="offset points", xytext=(3, 3), fontsize=6)
    curves.set_yscale("log")
    curves.set_xlabel("recall@10")
    curves.set_ylabel("queries per second, one thread (log scale)")
    curves.set_title("recall against speed (points: ef)")
    curves.grid(True, which="both", alpha=0.3)
    curves.legend(loc="lower left", fontsize=8)

    peer = sorted(data["curves"].get("hnswlib", []))
    width = 0.38
    labelled = set()
    for offset, library, colour in ((-width / 2, "ours-closest", "tab:blue"), (width / 2, "ours-diverse", "tab:orange")):
        ours = sorted(data["curves"].get(library, []))
        for i, target in enumerate(TARGETS):
            mine, theirs = qps_at(ours, target), qps_at(peer, target)
            if mine is None or theirs is None:
                continue
            ratios.bar(i + offset, mine / theirs, width, color=colour,
                       label=None if library in labelled else LIBRARIES[library][0])
            labelled.add(library)
            ratios.annotate(f"{mine / theirs:.2f}", (i + offset, mine / theirs), textcoords="offset points",
                            xytext=(0, 3), ha="center", fontsize=7)
    ratios.axhline(1.2, color="tab:red", linestyle="--", label="1.2x")
    ratios.axhline(1.0, color="grey", linewidth=0.8)
    ratios.set_xticks(range(len(TARGETS)), [f"{t:g}" for t in TARGETS])
    ratios.set_xlabel("recall@10")
    ratios.set_ylabel("our QPS / hnswlib QPS at equal recall")
    title = "speed at equal recall, ours over hnswlib"
    if data["build"]:
        title += "\nbuild, one thread: " + ", ".join(f"{library} {seconds:.1f} s"
                                                     for library, seconds in data["build"].items())
    ratios.set_title(title, fontsize=9)
    ratios.legend(loc="lower right", fontsize=7)

    figure.suptitle(SETS[name][0] if name in SETS else name)
    figure.text(0.5, 0.01, caption, ha="center", fontsize=8)
    figure.tight_layout(rect=(0, 0.04, 1, 0.95))
    figure.savefig(output, dpi=110)
    plt.close(figure)


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    path, output_dir, caption = sys.argv[1:]
    for name, data in read(path).items():
        file_name = SETS[name][1] if name in SETS else f"hnsw_{name}.png"
        draw(name, data, caption, f"{output_dir}/{file_name}")


if __name__ == "__main__":
    main()
