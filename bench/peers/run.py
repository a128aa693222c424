#!/usr/bin/python3
"""Measures quorvel against the tools a user would pick instead, side by side
on the same vectors, and writes the results (JSON), the report and its plots.

    /usr/bin/python3 bench/peers/run.py --mode quick   # the whole harness, small: under two minutes
    /usr/bin/python3 bench/peers/run.py --mode full    # the report's figures: N up to 1,000,000

`make bench-peers` and `make bench-peers-quick` run these after installing
what the contenders need. Every contender runs in a worker process of its own
(worker.py, node/worker.mjs); this file only decides what runs when.
"""

import argparse
import dataclasses
import datetime
import json
import os
import platform
import shlex
import shutil
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import datasets  # noqa: E402
import report  # noqa: E402
import workloads  # noqa: E402
from plan import PLANS  # noqa: E402
from workers import REPOSITORY, Contender, Worker, WorkerFailed, stop_all  # noqa: E402

CONTENDERS = [
    Contender("quorvel", "python", "quorvel_db"),
    Contender("quorvel, diverse", "python", "quorvel_diverse"),
    Contender("numpy", "python", "numpy_matrix"),
    Contender("faiss", "python", "faiss_flat"),
    Contender("hnswlib", "python", "hnswlib_bf"),
    Contender("sqlite3", "python", "sqlite_json"),
    Contender("LanceDB", "node", "lancedb"),
    Contender("usearch", "node", "usearch"),
    Contender("Chroma", "node", "chroma", server=True),
]
FLOOR = Contender("memory floor", "python", "memory_floor", floor=True)


def machine() -> dict:
    model = "unknown processor"
    with open("/proc/cpuinfo") as cpuinfo:
        for line in cpuinfo:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as meminfo:
        memory_kib = int(meminfo.readline().split()[1])
    return {"processor": model, "cores": os.cpu_count(), "memory_gib": round(memory_kib / 2**20, 1),
            "kernel": platform.release(), "python": platform.python_version(),
            "node": subprocess.run(["node", "--version"], capture_output=True, text=True).stdout.strip()
            if shutil.which("node") else None}


def commit() -> str:
    answer = subprocess.run(["git", "-C", REPOSITORY, "rev-parse", "--short", "HEAD"], capture_output=True, text=True)
    return answer.stdout.strip() or "unknown"


def probe(contenders: list[Contender], scratch: str, log) -> tuple[list[Contender], dict]:
    """Starts each contender's worker once: those that start are available,
    the others are reported missing with the reason."""
    available, described = [], {}
    for contender in contenders:
        try:
            worker = Worker(contender, scratch)
            described[contender.label] = {"available": True, "info": worker.info, "kind": contender.kind}
            worker.stop()
            available.append(contender)
        except WorkerFailed as error:
            described[contender.label] = {"available": False, "error": str(error), "kind": contender.kind}
            log(f"missing: {contender.label}: {error}")
    return available, described


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--mode", choices=sorted(PLANS), default="quick")
    parser.add_argument("--out", help="results file (default: bench/results/latest.json for the full mode, "
                                      "the scratch directory's results.json otherwise)")
    parser.add_argument("--docs", help="where the report and plots go (default: docs/ for the full mode, "
                                       "the scratch directory's docs/ otherwise)")
    parser.add_argument("--scratch", help="databases and data files (default: build/bench-peers/MODE)")
    parser.add_argument("--only", action="append", help="run only this contender (repeatable)")
    parser.add_argument("--skip", choices=["writes", "exact", "ann"], action="append", default=[],
                        help="leave out a group of workloads (repeatable)")
    parser.add_argument("--sizes", help="N of the Gaussian sets, comma-separated (default: the mode's)")
    arguments = parser.parse_args()

    plan = PLANS[arguments.mode]
    if arguments.sizes:
        plan = dataclasses.replace(plan, sizes=tuple(int(size) for size in arguments.sizes.split(",")))
    scratch = os.path.abspath(arguments.scratch or os.path.join(REPOSITORY, "build", "bench-peers", plan.mode))
    full = plan.mode == "full"
    out = arguments.out or (os.path.join(REPOSITORY, "bench", "results", "latest.json") if full
                            else os.path.join(scratch, "results.json"))
    docs = arguments.docs or (os.path.join(REPOSITORY, "docs") if full else os.path.join(scratch, "docs"))
    shutil.rmtree(os.path.join(scratch, "db"), ignore_errors=True)
    os.makedirs(scratch, exist_ok=True)
    started = time.perf_counter()

    def log(message: str) -> None:
        print(f"[{time.perf_counter() - started:7.1f} s] {message}", file=sys.stderr, flush=True)

    chosen = [c for c in CONTENDERS if not arguments.only or c.label in arguments.only]
    available, described = probe(chosen + [FLOOR], scratch, log)
    floor_ready = FLOOR in available
    contenders = [c for c in available if not c.floor]
    session = workloads.Session(plan, scratch, contenders, log,
                                seeds={label: entry.get("info", {}).get("seeds", False)
                                       for label, entry in described.items()})
    results = {
        "mode": plan.mode, "plan": plan.__dict__, "commit": commit(),
        "date": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
        "command": "/usr/bin/python3 bench/peers/run.py " + " ".join(shlex.quote(a) for a in sys.argv[1:]),
        "machine": machine(), "load_start": os.getloadavg(), "contenders": described,
        "writes": {}, "durability": {}, "exact": {}, "bulk": {}, "reopen": {}, "fetch": {}, "ann": {},
    }

    def save() -> None:
        """Writes the results so far: a run stopped midway keeps what it measured."""
        results["notes"] = session.notes
        results["seconds"] = time.perf_counter() - started
        results["load_end"] = os.getloadavg()
        os.makedirs(os.path.dirname(out), exist_ok=True)
        with open(out, "w") as stream:
            json.dump(results, stream, indent=1)

    if "writes" not in arguments.skip:
        writes = datasets.gaussian(plan.writes_per_round * plan.rounds, 1)
        base, _ = writes.write(os.path.join(scratch, "data"))
        results["writes"] = workloads.single_writes(session, base, writes.d)
        log("durability check under strace")
        results["durability"] = workloads.durability(session, base, writes.d)
        save()

    if "exact" not in arguments.skip:
        previous = {}
        for size in plan.sizes:
            log(f"N = {size:,}: generating the vectors")
            data = datasets.gaussian(size, plan.queries)
            base, queries = data.write(os.path.join(scratch, "data"))
            measured = contenders + ([FLOOR] if floor_ready else [])
            bulk = workloads.bulk_load(session, measured, size, base, data.d, previous)
            previous.update({label: entry for label, entry in bulk.items()})
            loaded = [c for c in measured if "seconds" in bulk[c.label]]
            reopened, workers = workloads.reopen(session, size, queries, data.d, loaded)
            log(f"N = {size:,}: exact search")
            exact = workloads.exact_search(session, workers, queries, data.d)
            log(f"N = {size:,}: fetch by id")
            fetched = workloads.fetch_by_id(session, {k: w for k, w in workers.items() if k != FLOOR.label}, size)
            for worker in workers.values():
                worker.stop()
            key = str(size)
            results["bulk"][key], results["reopen"][key] = bulk, reopened
            results["exact"][key], results["fetch"][key] = exact, fetched
            save()
            del data
            shutil.rmtree(os.path.join(scratch, "db"), ignore_errors=True)
            os.remove(base)

    if "ann" not in arguments.skip:
        for data in (datasets.fashion_mnist(plan.fashion_n, plan.ann_queries),
                     datasets.clustered(plan.clustered_n, plan.ann_queries)):
            log(f"{data.name}: exact answers for recall")
            truth = datasets.exact_top_k(data, plan.k)
            base, queries = data.write(os.path.join(scratch, "data"))
            indexes = workloads.approximate_search(session, data.name, base, queries, data.d, truth)
            results["ann"][data.name] = {"n": len(data.base), "d": data.d, "queries": len(data.queries),
                                         "indexes": indexes}
            save()
            shutil.rmtree(os.path.join(scratch, "db"), ignore_errors=True)

    save()
    log(f"results: {out}")
    report.write(results, docs)
    log(f"report: {os.path.join(docs, 'benchmarks.md')}")


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, lambda number, frame: sys.exit(128 + number))
    try:
        main()
    finally:
        stop_all()
