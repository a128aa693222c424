#!/usr/bin/python3
"""Draws the HNSW comparison written by hnsw_fashion_mnist and hnsw_clustered
with --csv: for each set of vectors, recall@10 against queries per second
for both libraries (one point per ef), and our queries per second over
hnswlib's at each ef.

Usage: bench/plot_hnsw.py RESULTS.csv OUTPUT_DIR "machine caption"
writes one picture per set in the file into OUTPUT_DIR (see SETS).
"""

import csv
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


def read(path):
    """Rows per set: {set: {"build": (ours, peer), "points": [(ef, r_ours, r_peer, q_ours, q_peer)]}}."""
    sets = defaultdict(lambda: {"build": None, "points": []})
    with open(path, newline="") as file:
        for name, ef, recall_ours, recall_peer, ours, peer in csv.reader(file):
            if ef == "build":
                sets[name]["build"] = (float(ours), float(peer))
            else:
                sets[name]["points"].append(
                    (int(ef), float(recall_ours), float(recall_peer), float(ours), float(peer))
                )
    return sets


def draw(name, data, caption, output):
    points = sorted(data["points"])
    efs = [p[0] for p in points]
    figure, (curves, ratios) = plt.subplots(1, 2, figsize=(12, 5), gridspec_kw={"width_ratios": [3, 2]})

    for label, recall_at, qps_at, style in (
        ("quorvel HnswIndex", 1, 3, "o-"),
        ("hnswlib 0.6.2 (-march=native)", 2, 4, "s--"),
    ):
        recalls = [p[recall_at] for p in points]
        qps = [p[qps_at] for p in points]
        curves.plot(recalls, qps, style, label=label)
        for ef, recall, rate in zip(efs, recalls, qps):
            curves.annotate(f"ef {ef}", (recall, rate), textcoords="offset points", xytext=(4, 4), fontsize=7)
    curves.set_yscale("log")
    curves.set_xlabel("recall@10")
    curves.set_ylabel("queries per second, one thread (log scale)")
    curves.set_title("recall against speed")
    curves.grid(True, which="both", alpha=0.3)
    curves.legend(loc="lower left")

    ratio = [p[3] / p[4] for p in points]
    positions = range(len(efs))
    ratios.bar(positions, ratio, color="tab:blue")
    ratios.axhline(1.3, color="tab:red", linestyle="--", label="1.3x")
    ratios.axhline(1.0, color="grey", linewidth=0.8)
    for position, value in zip(positions, ratio):
        ratios.annotate(f"{value:.2f}", (position, value), textcoords="offset points", xytext=(0, 3), ha="center")
    ratios.set_xticks(list(positions), [str(ef) for ef in efs])
    ratios.set_xlabel("ef")
    ratios.set_ylabel("quorvel QPS / hnswlib QPS at equal ef")
    title = "queries per second, ours over hnswlib"
    if data["build"]:
        ours, peer = data["build"]
        title += f"\nbuild: ours {ours:.1f} s, hnswlib {peer:.1f} s ({ours / peer:.2f}x)"
    ratios.set_title(title)
    ratios.legend(loc="lower right")

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
