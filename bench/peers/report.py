#!/usr/bin/python3
"""Writes docs/benchmarks.md and its plots from a results file of run.py.

    /usr/bin/python3 bench/peers/report.py bench/results/latest.json docs

run.py calls `write` at the end of each run; this command redraws a report
from saved results. The hand-written reading of the figures, findings.md
beside this file, is included as it stands.
"""

import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import plots  # noqa: E402

FLOOR = plots.FLOOR
OURS = "quorvel"
IMAGES = {
    "exact": "benchmarks-exact-search.png",
    "writes": "benchmarks-writes.png",
    "reopen": "benchmarks-reopen-memory.png",
    "ann": "benchmarks-recall-qps.png",
}


def table(header: list[str], rows: list[list[str]]) -> str:
    lines = ["| " + " | ".join(header) + " |", "|" + "|".join("---" if i == 0 else "---:" for i in range(len(header))) + "|"]
    lines += ["| " + " | ".join(row) + " |" for row in rows]
    return "\n".join(lines)


def number(value: float, digits: int = 3) -> str:
    """`digits` significant digits, thousands separated."""
    if value == 0:
        return "0"
    magnitude = len(str(int(abs(value)))) if abs(value) >= 1 else 0
    decimals = max(digits - magnitude, 0)
    return f"{value:,.{decimals}f}"


def why(entry: dict) -> str:
    """What a cell shows when there is no figure."""
    error = entry.get("error", "")
    if entry.get("unsupported"):
        return "n/a"
    if error.startswith("skipped"):
        return "skipped"
    return "failed"


def sizes_of(section: dict) -> list[str]:
    return sorted(section, key=int)


def labels_of(results: dict, floor: bool = False) -> list[str]:
    return [label for label, entry in results["contenders"].items()
            if entry.get("available") and (floor or label != FLOOR)]


def latency_ms(entry: dict, label: str) -> float | None:
    """A contender's median; the floor's fastest pass, as a shared machine can
    only add time to a bound set by the hardware."""
    return entry.get("min_ms" if label == FLOOR else "median_ms")


def exact_section(results: dict) -> str:
    sizes = sizes_of(results["exact"])
    rows = []
    for label in labels_of(results, floor=True):
        row = [label]
        for size in sizes:
            entry = results["exact"][size].get(label) or results["bulk"].get(size, {}).get(label, {"error": "failed"})
            if "median_ms" in entry:
                agreement = f" ({entry['agreement']:.2f})" if "agreement" in entry else ""
                row.append(f"{number(latency_ms(entry, label))}{agreement}")
            else:
                row.append(why(entry))
        rows.append(row)
    ratios = []
    for size in sizes:
        ours = results["exact"][size].get(OURS, {}).get("median_ms")
        floor = results["exact"][size].get(FLOOR, {}).get("min_ms")
        ratios.append(f"{ours / floor:.2f}" if ours and floor else "–")
    rows.append([f"{OURS} / floor"] + ratios)
    return table(["median ms (top-10 agreement with numpy)"] + [f"N = {int(s):,}" for s in sizes], rows)


def writes_section(results: dict) -> str:
    sizes = sizes_of(results["bulk"])
    rows = []
    for label in labels_of(results):
        single = results["writes"].get(label, {})
        syncs = results["durability"].get(label, {})
        row = [label,
               number(single["records_per_s"]) if "records_per_s" in single else why(single) if single else "–",
               number(syncs["syncs_per_insert"], 2) if "syncs_per_insert" in syncs else "–"]
        for size in sizes:
            entry = results["bulk"][size].get(label, {})
            if "records_per_s" in entry:
                row.append(f"{number(entry['seconds'])} s ({number(entry['records_per_s'])}/s)")
            elif "seeded" in entry:
                row.append("seeded¹")
            else:
                row.append(why(entry) if entry else "–")
        rows.append(row)
    return table(["", "durable single inserts /s", "syncs per insert (strace)"]
                 + [f"bulk load N = {int(s):,}" for s in sizes], rows)


def reopen_section(results: dict) -> str:
    sizes = sizes_of(results["reopen"])
    rows = []
    for label in labels_of(results):
        row = [label]
        for size in sizes:
            entry = results["reopen"][size].get(label) or results["bulk"][size].get(label, {"error": "failed"})
            row.append(f"{number(entry['total_s'])} s ({number(entry['open_s'] + entry['first_query_s'])} s)"
                       if "total_s" in entry else why(entry))
        rows.append(row)
    return table(["fresh process to first answer (of which open + first query)"]
                 + [f"N = {int(s):,}" for s in sizes], rows)


def footprint_section(results: dict) -> str:
    sizes = sizes_of(results["reopen"])
    rows = []
    for label in labels_of(results):
        row = [label]
        for size in sizes:
            reopened = results["reopen"][size].get(label, {})
            bulk = results["bulk"][size].get(label, {})
            memory = f"{reopened['rss_kib'] / 1024:,.0f} MiB" if "rss_kib" in reopened else "–"
            disk = (f"{bulk['disk_bytes'] / 2**20:,.0f} MiB ({bulk['disk_bytes'] / bulk['raw_bytes']:.2f}x)"
                    if "disk_bytes" in bulk else "–")
            row.append(f"{memory} / {disk}")
        rows.append(row)
    return table(["resident after open / on disk (x the raw vectors)"] + [f"N = {int(s):,}" for s in sizes], rows)


def fetch_section(results: dict) -> str:
    sizes = sizes_of(results["fetch"])
    rows = []
    for label in labels_of(results):
        row = [label]
        for size in sizes:
            entry = results["fetch"][size].get(label) or results["bulk"][size].get(label, {"error": "failed"})
            row.append(number(entry["median_us"]) if "median_us" in entry else why(entry))
        rows.append(row)
    return table(["median µs per fetch"] + [f"N = {int(s):,}" for s in sizes], rows)


def ann_section(results: dict) -> str:
    parts = []
    for name, data in results["ann"].items():
        efs = results["plan"]["efs"]
        rows = []
        for label, entry in data["indexes"].items():
            if "points" not in entry:
                if entry.get("unsupported"):
                    continue
                rows.append([label, "–"] + [why(entry)] * len(efs))
                continue
            by_ef = {p["ef"]: p for p in entry["points"]}
            rows.append([label, f"{number(entry['build_s'])} s"]
                        + [f"{by_ef[ef]['recall']:.3f} / {number(by_ef[ef]['qps'])}" if ef in by_ef else "–"
                           for ef in efs])
        parts.append(f"**{name}** (N = {data['n']:,}, d = {data['d']}, {data['queries']:,} queries), "
                     f"recall@10 / queries per second:\n\n"
                     + table(["index", "build"] + [f"ef = {ef}" for ef in efs], rows))
    return "\n\n".join(parts)


def contenders_section(results: dict) -> str:
    rows = []
    for label, entry in results["contenders"].items():
        if label == FLOOR:
            continue
        if not entry.get("available"):
            rows.append([label, f"**missing**: {entry.get('error', '')}", "", "", ""])
            continue
        info = entry["info"]
        rows.append([label, info.get("version", ""), info.get("durable", ""), info.get("bulk", ""),
                     f"exact: {info.get('exact', '')}; fetch: {info.get('fetch', '')}; "
                     f"approximate: {info.get('ann', 'none')}"])
    return table(["contender", "version", "a durable single write is", "bulk path", "calls measured"], rows)


def targets_section(results: dict) -> str:
    rows = []
    exact_sizes = sizes_of(results["exact"])
    if exact_sizes:
        size = exact_sizes[-1]
        entries = results["exact"][size]
        ours = entries.get(OURS, {}).get("median_ms")
        others = {label: e["median_ms"] for label, e in entries.items()
                  if "median_ms" in e and label not in (OURS, FLOOR)}
        floor = entries.get(FLOOR, {}).get("min_ms")
        if ours and others and floor:
            best = min(others, key=others.get)
            met = ours <= others[best] and ours <= 1.2 * floor
            rows.append([f"exact search, N = {int(size):,}: the fastest, within 1.2x of the floor",
                         f"{number(ours)} ms; fastest other {best} {number(others[best])} ms "
                         f"({ours / others[best]:.2f}x); floor {number(floor)} ms ({ours / floor:.2f}x)",
                         "met" if met else "not met"])
    fetch_sizes = sizes_of(results["fetch"])
    if fetch_sizes:
        size = fetch_sizes[-1]
        entries = results["fetch"][size]
        ours = entries.get(OURS, {}).get("median_us")
        others = {label: e["median_us"] for label, e in entries.items() if "median_us" in e and label != OURS}
        if ours and others:
            best = min(others, key=others.get)
            rows.append([f"fetch by id, N = {int(size):,}: the fastest that persists",
                         f"{number(ours)} µs; fastest other {best} {number(others[best])} µs "
                         f"({ours / others[best]:.2f}x)", "met" if ours <= others[best] else "not met"])
    reopen_sizes = sizes_of(results["reopen"])
    if reopen_sizes:
        size = "100000" if "100000" in reopen_sizes else reopen_sizes[-1]
        entries = results["reopen"][size]
        ours = entries.get(OURS, {}).get("total_s")
        # A contender without a search answers its first query with a fetch,
        # which is not the same work: it is shown beside the verdict, not in it.
        fetching = {label for label, entry in results["contenders"].items()
                    if "first answer" in entry.get("info", {})}
        others = {label: e["total_s"] for label, e in entries.items()
                  if "total_s" in e and label not in (OURS, FLOOR) and label not in fetching}
        if ours and others:
            best = min(others, key=others.get)
            aside = "".join(f"; {label} (first answer a fetch) {number(entries[label]['total_s'])} s"
                            for label in sorted(fetching) if "total_s" in entries.get(label, {}))
            rows.append([f"reopen, N = {int(size):,}: faster than every contender that searches a file",
                         f"{number(ours)} s; fastest other {best} {number(others[best])} s "
                         f"({ours / others[best]:.2f}x){aside}", "met" if ours < others[best] else "not met"])
    return table(["target (ratios in this run)", "figures", "verdict"], rows)


def problems_section(results: dict) -> str:
    lines = []
    for label, entry in results["contenders"].items():
        if not entry.get("available"):
            lines.append(f"- {label} is missing: {entry.get('error', '')}")
    for section in ("bulk", "reopen", "exact", "fetch"):
        for size, entries in results.get(section, {}).items():
            for label, entry in entries.items():
                if "error" in entry and not entry.get("unsupported") and not entry["error"].startswith("skipped: failed"):
                    lines.append(f"- {section}, N = {int(size):,}, {label}: {entry['error']}")
                if "seeded" in entry:
                    lines.append(f"- ¹ {section}, N = {int(size):,}, {label}: {entry['seeded']}")
    for section in ("writes", "durability"):
        for label, entry in results.get(section, {}).items():
            if "error" in entry and not entry.get("unsupported"):
                lines.append(f"- {section}, {label}: {entry['error']}")
    for name, data in results.get("ann", {}).items():
        for label, entry in data["indexes"].items():
            if "error" in entry and not entry.get("unsupported"):
                lines.append(f"- approximate search on {name}, {label}: {entry['error']}")
    lines += [f"- {note}" for note in results.get("notes", [])]
    return "\n".join(lines) if lines else "None: every contender ran every workload it offers."


def markdown(results: dict, images: dict) -> str:
    machine = results["machine"]
    plan = results["plan"]
    findings_path = os.path.join(HERE, "findings.md")
    findings = open(findings_path).read().strip() if os.path.exists(findings_path) else ""
    load_start, load_end = results.get("load_start", [0])[0], results.get("load_end", [0])[0]
    sections = [
        "# quorvel against the tools users would pick instead",
        "",
        f"Measured on {results['date'][:10]} ({results['mode']} run, commit {results['commit']}, "
        f"{results['seconds'] / 60:.0f} minutes) on {machine['processor']}, {machine['cores']} cores, "
        f"{machine['memory_gib']} GiB, Linux {machine['kernel']}, Python {machine['python']}, "
        f"Node {machine['node']}; load average {load_start:.1f} at the start and {load_end:.1f} at the end "
        "(the machine was shared: the figures are medians of alternating rounds, but absolute times carry "
        "that noise).",
        "",
        f"This run: `{results['command']}`. Reproduce with `make bench-peers` (the full run: N up to "
        "1,000,000, about an hour on this 2-core machine, writing `bench/results/latest.json` and this page) or "
        "`make bench-peers-quick` (the whole harness on small sizes in under two minutes, written to "
        "build/bench-peers/quick). `bench/peers/report.py RESULTS DOCS` redraws the page from saved results.",
        "",
        f"Every workload asks one query or one record at a time, k = {plan['k']}, in alternating rounds "
        f"({plan['rounds']} rounds; the order of the contenders rotates from round to round) and keeps "
        "medians. Each contender runs in a process of its own. The vectors are random Gaussian (d = 384) "
        "unless a section says otherwise.",
        "",
        "## Targets",
        "",
        targets_section(results),
        "",
    ]
    if findings:
        sections += ["## Reading the figures", "", findings, ""]
    sections += ["## Exact search", "",
                 "Median latency of one query; in brackets the share of numpy's top-10 (cosine) that the "
                 "answer holds. The floor is one pass over the N x d float32 matrix on every core, "
                 "measured in the same rounds; its figure is its fastest pass, since a shared machine can "
                 "only add time to a bound the hardware sets.", ""]
    if "exact" in images:
        sections += [f"![exact search latency against N]({images['exact']})", ""]
    sections += [exact_section(results), "",
                 "## Writes", "",
                 f"Durable single inserts: one call a record into a new database, {plan['writes_per_round']} "
                 f"records a round; \"syncs per insert\" counts fsync, fdatasync, sync_file_range and msync "
                 f"under `strace -f` over {plan['strace_inserts']} inserts, less a run without inserts "
                 "(Chroma's server traced too). Bulk load: each contender's fastest path into a new "
                 "database, files flushed to disk included (once per size).", ""]
    if "writes" in images:
        sections += [f"![writes per second]({images['writes']})", ""]
    sections += [writes_section(results), "",
                 "## Reopen, memory and disk", "",
                 f"A fresh process opens the database and answers its first query (sqlite3: its first "
                 f"fetch), {plan['reopen_rounds']} rounds; the file is in the page cache. Memory is the "
                 "resident size of the process (and of Chroma's server) after that first answer.", ""]
    if "reopen" in images:
        sections += [f"![reopen time and memory]({images['reopen']})", ""]
    sections += [reopen_section(results), "", footprint_section(results), "",
                 "## Fetch by id", "",
                 f"One record by its id, {plan['fetch_repeat']} calls per id averaged, "
                 f"{plan['fetch_ids']} random ids per size. What each call returns is in the contenders "
                 "table below.", "",
                 fetch_section(results), ""]
    if results.get("ann"):
        sections += ["## Approximate search", ""]
        if results.get("ann_run"):
            run = results["ann_run"]
            sections += [f"These figures come from a later run of this part alone: {run['date'][:10]}, commit "
                         f"{run['commit']}, `{run['command']}`, load average {run['load_start'][0]:.1f} at its "
                         f"start and {run['load_end'][0]:.1f} at its end (the machine was shared with other "
                         "work: compare the contenders with each other, not with the times of other runs).", ""]
        sections += [f"Graph indexes built with M = {plan['hnsw_m']}, ef_construction = "
                     f"{plan['hnsw_ef_construction']} (LanceDB: its IVF_HNSW_SQ index), cosine; recall@10 "
                     "against the exact cosine answer; queries one at a time. Random Gaussian vectors in 384 "
                     "dimensions defeat every graph index, so the sets are Fashion-MNIST (training images as "
                     "records, test images as queries) and Gaussian clusters.", ""]
        if "ann" in images:
            sections += [f"![recall against queries per second]({images['ann']})", ""]
        sections += [ann_section(results), ""]
    sections += ["## Contenders", "", contenders_section(results), "",
                 "## Missing, skipped and failed", "", problems_section(results), ""]
    return "\n".join(sections)


def write(results: dict, docs: str) -> None:
    os.makedirs(docs, exist_ok=True)
    images = {}
    if results.get("exact"):
        plots.exact_latency(results, os.path.join(docs, IMAGES["exact"]))
        images["exact"] = IMAGES["exact"]
    if results.get("writes") or results.get("bulk"):
        plots.writes(results, os.path.join(docs, IMAGES["writes"]))
        images["writes"] = IMAGES["writes"]
    if results.get("reopen"):
        sizes = sizes_of(results["reopen"])
        plots.reopen_and_memory(results, "100000" if "100000" in sizes else sizes[-1],
                                os.path.join(docs, IMAGES["reopen"]))
        images["reopen"] = IMAGES["reopen"]
    if results.get("ann"):
        plots.recall_qps(results, os.path.join(docs, IMAGES["ann"]))
        images["ann"] = IMAGES["ann"]
    with open(os.path.join(docs, "benchmarks.md"), "w") as out:
        out.write(markdown(results, images))


if __name__ == "__main__":
    import json

    if len(sys.argv) != 3:
        sys.exit(__doc__)
    with open(sys.argv[1]) as stream:
        write(json.load(stream), sys.argv[2])
