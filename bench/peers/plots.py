"""The report's pictures, drawn with matplotlib from the results dict."""

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

FLOOR = "memory floor"
COLOURS = {
    "quorvel": "#d62728", "quorvel index": "#d62728", "quorvel, diverse": "#ff7f0e", "numpy": "#1f77b4", "faiss": "#2ca02c", "hnswlib": "#9467bd",
    "sqlite3": "#8c564b", "LanceDB": "#e377c2", "usearch": "#17becf", "Chroma": "#bcbd22",
    FLOOR: "#000000",
}


def colour(label: str) -> str:
    return COLOURS.get(label, "#7f7f7f")


def caption(figure, results: dict) -> None:
    machine = results["machine"]
    load = results.get("load_start", [0])[0]
    figure.text(0.5, 0.005,
                f"{machine['processor']}, {machine['cores']} cores, {machine['memory_gib']} GiB; "
                f"{results['date'][:10]}, {results['mode']} run, load average {load:.1f} at the start; "
                f"{results['command']}",
                ha="center", va="bottom", fontsize=7, color="#555555", wrap=True)


def finish(figure, results: dict, path: str) -> None:
    caption(figure, results)
    figure.tight_layout(rect=(0, 0.04, 1, 1))
    figure.savefig(path, dpi=110)
    plt.close(figure)


def exact_latency(results: dict, path: str) -> None:
    figure, axes = plt.subplots(figsize=(8, 5.5))
    sizes = sorted(results["exact"], key=int)
    for label in results["contenders"]:  # the run's order, the floor last
        # The floor's fastest pass: a shared machine only adds time to a hardware bound.
        key = "min_ms" if label == FLOOR else "median_ms"
        points = [(int(size), results["exact"][size][label][key]) for size in sizes
                  if key in results["exact"][size].get(label, {})]
        if not points:
            continue
        xs, ys = zip(*points)
        floor = label == FLOOR
        axes.plot(xs, ys, "--" if floor else "-o", color=colour(label), label=label,
                  linewidth=2.5 if floor or label == "quorvel" else 1.5, markersize=5)
    axes.set_xscale("log")
    axes.set_yscale("log")
    axes.set_xlabel("records N (random Gaussian vectors, d = 384)")
    axes.set_ylabel("median latency of one query, k = 10 (ms); floor: fastest pass")
    axes.set_title("Exact search: one query at a time, against the memory-bandwidth floor")
    axes.grid(True, which="both", alpha=0.3)
    axes.legend(fontsize=8)
    finish(figure, results, path)


def _bulk_rate(results: dict, label: str):
    """The bulk load rate at the largest N where it was measured, and that N."""
    best = None
    for size in sorted(results["bulk"], key=int):
        entry = results["bulk"][size].get(label, {})
        if "records_per_s" in entry:
            best = (entry["records_per_s"], int(size))
    return best


def writes(results: dict, path: str) -> None:
    labels = [label for label, entry in results["contenders"].items()
              if entry.get("available") and label != FLOOR
              and (results["writes"].get(label, {}).get("records_per_s") or _bulk_rate(results, label))]
    figure, axes = plt.subplots(figsize=(9, 5.5))
    width = 0.38
    for i, label in enumerate(labels):
        single = results["writes"].get(label, {}).get("records_per_s")
        bulk = _bulk_rate(results, label)
        if single:
            axes.bar(i - width / 2, single, width, color=colour(label), edgecolor="black")
            axes.text(i - width / 2, single, f"{single:,.0f}", ha="center", va="bottom", fontsize=7)
        if bulk:
            single_calls = results["contenders"][label]["info"].get("bulk_is_single_calls")
            axes.bar(i + width / 2, bulk[0], width, color=colour(label), edgecolor="black", hatch="//", alpha=0.6)
            axes.text(i + width / 2, bulk[0], f"{bulk[0]:,.0f}\nN={bulk[1]:,}" + ("\nsingle calls" if single_calls else ""),
                      ha="center", va="bottom", fontsize=6)
    axes.set_xticks(range(len(labels)), labels)
    axes.set_yscale("log")
    axes.set_ylabel("records per second (log scale)")
    axes.set_title("Writes: durable single inserts (solid) and the fastest bulk load (hatched)")
    axes.grid(True, axis="y", which="both", alpha=0.3)
    finish(figure, results, path)


def reopen_and_memory(results: dict, size: str, path: str) -> None:
    entries = {label: entry for label, entry in results["reopen"][size].items()
               if "total_s" in entry and label != FLOOR}
    labels = list(entries)
    figure, (left, right) = plt.subplots(1, 2, figsize=(11, 5.5))
    startup = [entries[label]["startup_s"] for label in labels]
    opened = [entries[label]["open_s"] + entries[label]["first_query_s"] for label in labels]
    colours = [colour(label) for label in labels]
    left.bar(labels, startup, color="#dddddd", edgecolor="black", label="process start and library import")
    left.bar(labels, opened, bottom=startup, color=colours, edgecolor="black", label="open and first query")
    left.set_ylabel("seconds (median of rounds)")
    left.set_title(f"Reopen at N = {int(size):,}: a fresh process's first answer")
    left.legend(fontsize=8)
    left.tick_params(axis="x", rotation=30)
    resident = [entries[label]["rss_kib"] / 1024 for label in labels]
    right.bar(labels, resident, color=colours, edgecolor="black")
    raw = int(size) * 384 * 4 / 2**20
    right.axhline(raw, color="black", linestyle="--", linewidth=1, label=f"the raw vectors: {raw:,.0f} MiB")
    right.set_ylabel("resident memory after open and first query (MiB)")
    right.set_title(f"Memory at N = {int(size):,} (server included for Chroma)")
    right.legend(fontsize=8)
    right.tick_params(axis="x", rotation=30)
    for axes in (left, right):
        axes.grid(True, axis="y", alpha=0.3)
    finish(figure, results, path)


def recall_qps(results: dict, path: str) -> None:
    sets = list(results["ann"])
    figure, panels = plt.subplots(1, max(len(sets), 1), figsize=(6 * max(len(sets), 1), 5.5), squeeze=False)
    for axes, name in zip(panels[0], sets):
        data = results["ann"][name]
        for label, entry in data["indexes"].items():
            points = entry.get("points") or []
            if not points:
                continue
            axes.plot([p["recall"] for p in points], [p["qps"] for p in points], "-o", color=colour(label),
                      label=label, markersize=4, linewidth=2.5 if label.startswith("quorvel") else 1.5)
            for p in points:
                axes.annotate(str(p["ef"]), (p["recall"], p["qps"]), fontsize=6, xytext=(2, 2),
                              textcoords="offset points")
        axes.set_yscale("log")
        axes.set_xlabel("recall@10 against the exact answer")
        axes.set_ylabel("queries per second, one at a time (log scale)")
        axes.set_title(f"{name}: N = {data['n']:,}, d = {data['d']}, {data['queries']:,} queries")
        axes.grid(True, which="both", alpha=0.3)
        axes.legend(fontsize=8, title="index (points: ef)", title_fontsize=8)
    ours = [entry for data in results["ann"].values() for label, entry in data["indexes"].items()
            if label.startswith("quorvel") and entry.get("points")]
    figure.suptitle("Approximate search (quorvel: the engine's index through quorvel_engine)"
                    if ours else "Approximate search (no curve for quorvel: no index of it was measured)", fontsize=11)
    finish(figure, results, path)
