"""The workloads. Each drives every contender that offers it, in alternating
rounds (every contender takes its turn in each round, the order rotating from
round to round), and keeps medians; each returns plain dicts for the JSON
results. A contender that fails or exceeds the time limit is recorded with the
reason, and the others go on."""

import os
import re
import shutil
import statistics
import tempfile
from dataclasses import dataclass, field

import numpy as np

from plan import Plan
from workers import Contender, Worker, WorkerFailed

REFERENCE = "numpy"
SYNC_CALLS = ("fsync", "fdatasync", "sync_file_range", "msync")


@dataclass
class Session:
    plan: Plan
    scratch: str
    contenders: list[Contender]
    log: callable
    seeds: dict = field(default_factory=dict)  # label -> whether it can write its stored form directly
    notes: list[str] = field(default_factory=list)

    def directory(self, *parts: str) -> str:
        name = "-".join(re.sub(r"[^A-Za-z0-9]+", "_", part) for part in parts)
        return os.path.join(self.scratch, "db", name)

    def rotated(self, contenders, round_number: int):
        """The contenders in the order of this round."""
        shift = round_number % len(contenders) if contenders else 0
        return contenders[shift:] + contenders[:shift]


def slices(items: list, parts: int) -> list[list]:
    """`items` cut into `parts` consecutive pieces of nearly equal length."""
    bounds = np.linspace(0, len(items), parts + 1).round().astype(int)
    return [items[bounds[i]:bounds[i + 1]] for i in range(parts) if bounds[i] < bounds[i + 1]]


def disk_bytes(directory: str) -> int:
    return sum(os.path.getsize(os.path.join(root, name))
               for root, _, names in os.walk(directory) for name in names)


def failure(error: Exception | dict) -> dict:
    if isinstance(error, dict):
        return {"error": error.get("error", "failed"), "unsupported": error.get("unsupported", False)}
    return {"error": str(error), "unsupported": False}


def ask(worker: Worker, op: str, time_limit: float, **arguments) -> tuple[dict | None, dict | None]:
    """(the answer, None) to one request, or (None, the failure entry) when
    the worker refused it, failed or did not answer in time."""
    try:
        answer = worker.call(op, time_limit, **arguments)
    except WorkerFailed as error:
        return None, failure(error)
    return (answer, None) if answer["ok"] else (None, failure(answer))


def start(session: Session, contender: Contender, directory: str, op: str,
          **arguments) -> tuple[Worker | None, dict | None, dict | None]:
    """A new worker for `contender` and its answer to a first request:
    (worker, answer, None), or (None, None, the failure entry) with the
    worker stopped."""
    limit = session.plan.time_limit
    try:
        worker = Worker(contender, session.scratch, directory, timeout=limit)
    except WorkerFailed as error:
        return None, None, failure(error)
    answer, failed = ask(worker, op, limit, **arguments)
    if failed:
        worker.stop()
        return None, None, failed
    return worker, answer, None


def bulk_load(session: Session, contenders: list[Contender], size: int, base: str, d: int,
              previous: dict) -> dict:
    """Loads the N records into a new database by each contender's fastest bulk
    path; its time (files flushed to disk included) and the size on disk. A
    contender whose load at a smaller N, scaled to this one, exceeds the time
    limit is skipped."""
    results = {}
    limit = session.plan.time_limit
    for contender in contenders:
        label = contender.label
        earlier = previous.get(label, {})
        estimate = earlier["seconds"] * size / earlier["n"] if "records_per_s" in earlier else 0
        op = "create"
        if estimate > limit and not session.seeds.get(label):
            results[label] = {"error": f"skipped: about {estimate:.0f} s expected from N = {earlier['n']:,}, "
                                       f"over the {limit:.0f} s limit", "unsupported": False}
            continue
        if estimate > limit:
            op = "seed"
        if "error" in earlier and not earlier.get("unsupported"):
            results[label] = {"error": f"skipped: failed at a smaller N ({earlier['error']})", "unsupported": False}
            continue
        directory = session.directory(label, str(size))
        shutil.rmtree(directory, ignore_errors=True)
        session.log(f"bulk load N={size:,}: {label}")
        worker, answer, failed = start(session, contender, directory, op, dir=directory, vectors=base, d=d)
        if failed:
            results[label] = failed
            continue
        worker.stop()
        results[label] = {"n": size, "seconds": answer["seconds"], "disk_bytes": disk_bytes(directory),
                          "raw_bytes": size * d * 4, "notes": answer.get("notes", {})}
        if op == "seed":
            results[label]["seeded"] = (f"its load path, about {estimate:.0f} s here, exceeds the "
                                        f"{limit:.0f} s limit: the file was written on a memory file system "
                                        f"and copied")
        else:
            results[label]["records_per_s"] = size / answer["seconds"]
    return results


def read_through(directory: str) -> None:
    """Reads every file under `directory`, so that a fresh process finds them
    in the page cache: at 1,000,000 records the stores of all contenders
    together outgrow the memory, and the last ones written push the others
    out. The largest files go first, so that what is read last, and stays
    when memory runs short, is the small files an open tends to need
    (quorvel's companion beside its rows, an index beside its data)."""
    paths = [os.path.join(root, name) for root, _, names in os.walk(directory) for name in names]
    paths = [path for path in paths if os.path.isfile(path)]
    for path in sorted(paths, key=os.path.getsize, reverse=True):
        with open(path, "rb", buffering=0) as file:
            while file.read(8 << 20):
                pass


def reopen(session: Session, size: int, queries: str, d: int, loaded: list[Contender]):
    """A fresh process per contender and round opens the database and answers
    its first query, the database's files read through just before, so that
    the first answer does not wait on the disk. Returns the figures and the
    workers of the last round, still open, for the searches that follow."""
    plan = session.plan
    samples = {c.label: [] for c in loaded}
    resident = {}
    workers = {}
    errors = {}
    for round_number in range(plan.reopen_rounds):
        last = round_number == plan.reopen_rounds - 1
        for contender in session.rotated(loaded, round_number):
            label = contender.label
            if label in errors:
                continue
            session.log(f"reopen N={size:,} round {round_number + 1}: {label}")
            directory = session.directory(label, str(size))
            read_through(directory)
            worker, answer, failed = start(session, contender, directory, "open", dir=directory, d=d,
                                           queries=queries, k=plan.k)
            if failed:
                errors[label] = failed
                continue
            samples[label].append((worker.ready_s, answer["open_s"], answer["first_query_s"]))
            resident[label] = worker.resident_kib()
            if last:
                workers[label] = worker
            else:
                worker.stop()
    results = dict(errors)
    for label, rows in samples.items():
        if label in errors or not rows:
            continue
        startup, opened, first = (statistics.median(column) for column in zip(*rows))
        results[label] = {"startup_s": startup, "open_s": opened, "first_query_s": first,
                          "total_s": statistics.median(sum(row) for row in rows),
                          "rss_kib": resident[label], "rounds": len(rows)}
    return results, workers


def exact_search(session: Session, workers: dict, queries: str, d: int) -> dict:
    """Every query once per contender, one at a time, spread over the rounds;
    the median latency and the share of numpy's top-k each answer has."""
    plan = session.plan
    times = {label: [] for label in workers}
    answers = {label: {} for label in workers}
    errors = {}
    labels = list(workers)
    for round_number, rows in enumerate(slices(list(range(plan.queries)), plan.rounds)):
        for label in session.rotated(labels, round_number):
            if label in errors:
                continue
            answer, failed = ask(workers[label], "search", plan.time_limit, queries=queries, d=d, rows=rows,
                                 k=plan.k)
            if failed:
                errors[label] = failed
                continue
            times[label] += answer["times"]
            answers[label].update(zip(rows, answer["ids"]))
    reference = answers.get(REFERENCE, {})
    results = dict(errors)
    for label in labels:
        if label in errors:
            continue
        entry = {"median_ms": 1e3 * statistics.median(times[label]), "min_ms": 1e3 * min(times[label]),
                 "queries": len(times[label])}
        if reference and answers[label] and any(answers[label].values()):
            overlaps = [len(set(answers[label][row]) & set(reference[row])) / plan.k for row in reference]
            entry["agreement"] = float(np.mean(overlaps))
        results[label] = entry
    return results


def fetch_by_id(session: Session, workers: dict, size: int) -> dict:
    plan = session.plan
    ids = np.random.default_rng(size).choice(size, size=min(plan.fetch_ids, size), replace=False).tolist()
    times = {label: [] for label in workers}
    errors = {}
    labels = list(workers)
    for round_number, part in enumerate(slices(ids, plan.rounds)):
        for label in session.rotated(labels, round_number):
            if label in errors:
                continue
            answer, failed = ask(workers[label], "fetch", plan.time_limit, ids=part, repeat=plan.fetch_repeat)
            if failed:
                errors[label] = failed
                continue
            times[label] += answer["times"]
    results = dict(errors)
    for label in labels:
        if label not in errors:
            results[label] = {"median_us": 1e6 * statistics.median(times[label]), "ids": len(times[label])}
    return results


def single_writes(session: Session, vectors: str, d: int) -> dict:
    """Durable single inserts into a new, empty database, one call a record,
    in alternating rounds; records per second over all rounds."""
    plan = session.plan
    workers, results, totals = {}, {}, {}
    for contender in session.contenders:
        directory = session.directory(contender.label, "writes")
        shutil.rmtree(directory, ignore_errors=True)
        worker, _, failed = start(session, contender, directory, "create_empty", dir=directory, d=d)
        if failed:
            results[contender.label] = failed
            continue
        workers[contender.label] = worker
        totals[contender.label] = []
    labels = list(workers)
    for round_number in range(plan.rounds):
        first = round_number * plan.writes_per_round
        rows = list(range(first, first + plan.writes_per_round))
        for label in session.rotated(labels, round_number):
            if label in results:
                continue
            session.log(f"durable inserts round {round_number + 1}: {label}")
            answer, failed = ask(workers[label], "insert", plan.time_limit, vectors=vectors, d=d, rows=rows,
                                 first_id=first)
            if failed:
                results[label] = failed
                continue
            totals[label].append((answer["count"], answer["seconds"]))
    for label, worker in workers.items():
        worker.stop()
        if label in results:
            continue
        count = sum(c for c, _ in totals[label])
        seconds = sum(s for _, s in totals[label])
        results[label] = {"records_per_s": count / seconds, "count": count,
                          "round_rates": [c / s for c, s in totals[label]],
                          "median_round_rate": statistics.median(c / s for c, s in totals[label]),
                          "disk_bytes": disk_bytes(session.directory(label, "writes"))}
    return results


def _count_syncs(summary_file: str) -> dict:
    counts = {}
    if os.path.exists(summary_file):
        with open(summary_file) as summary:
            for line in summary:
                fields = line.split()
                if fields and fields[-1] in SYNC_CALLS and len(fields) >= 5:
                    counts[fields[-1]] = int(fields[3])
    return counts


def durability(session: Session, vectors: str, d: int) -> dict:
    """The sync calls (fsync, fdatasync, sync_file_range, msync) of each
    contender's durable insert, counted by strace -f over a run of M inserts
    and over a run of none; their difference over M is the count per insert.
    Chroma's server, which does the writing, is traced too."""
    if shutil.which("strace") is None:
        session.notes.append("strace is not installed: durability was not checked")
        return {}
    plan = session.plan
    results = {}
    for contender in session.contenders:
        counts = {}
        session.log(f"durability under strace: {contender.label}")
        try:
            for inserts in (0, plan.strace_inserts):
                directory = session.directory(contender.label, "strace", str(inserts))
                shutil.rmtree(directory, ignore_errors=True)
                traced = tempfile.mkdtemp(dir=session.scratch, prefix="strace-")
                # --seccomp-bpf stops the tracee at the traced calls only, not at every call.
                trace = ["strace", "-f", "--seccomp-bpf", "-c", "-e", "trace=" + ",".join(SYNC_CALLS)]
                worker = Worker(contender, session.scratch, directory,
                                prefix=[*trace, "-o", os.path.join(traced, "worker")],
                                server_prefix=[*trace, "-o", os.path.join(traced, "server")],
                                timeout=plan.time_limit)
                answer = worker.call("create_empty", plan.time_limit, dir=directory, d=d)
                if answer["ok"] and inserts:
                    answer = worker.call("insert", plan.time_limit, vectors=vectors, d=d,
                                         rows=list(range(inserts)), first_id=0)
                worker.stop()
                if not answer["ok"] and answer.get("unsupported"):
                    raise LookupError(answer["error"])
                if not answer["ok"]:
                    raise WorkerFailed(answer["error"])
                total = {}
                for part in ("worker", "server"):
                    for call, number in _count_syncs(os.path.join(traced, part)).items():
                        total[call] = total.get(call, 0) + number
                counts[inserts] = total
                shutil.rmtree(traced, ignore_errors=True)
        except LookupError as unsupported:
            results[contender.label] = {"error": str(unsupported), "unsupported": True}
            continue
        except WorkerFailed as error:
            results[contender.label] = failure(error)
            continue
        per_insert = {call: (counts[plan.strace_inserts].get(call, 0) - counts[0].get(call, 0)) / plan.strace_inserts
                      for call in SYNC_CALLS}
        results[contender.label] = {"inserts": plan.strace_inserts, "per_insert": per_insert,
                                    "syncs_per_insert": sum(per_insert.values()),
                                    "calls_without_inserts": counts[0],
                                    "calls_with_inserts": counts[plan.strace_inserts]}
    return results


def approximate_search(session: Session, name: str, base: str, queries: str, d: int, truth: np.ndarray) -> dict:
    """Builds each contender's graph index once, then answers the queries at
    each ef, one at a time, the contenders alternating within each ef;
    recall@k against the exact answer and queries per second."""
    plan = session.plan
    params = {"m": plan.hnsw_m, "ef_construction": plan.hnsw_ef_construction}
    workers, results = {}, {}
    for contender in session.contenders:
        directory = session.directory(contender.label, "ann", name)
        shutil.rmtree(directory, ignore_errors=True)
        session.log(f"index build on {name}: {contender.label}")
        worker, answer, failed = start(session, contender, directory, "ann_build", dir=directory, vectors=base,
                                       d=d, params=params)
        if failed:
            results[contender.label] = failed
            continue
        workers[contender.label] = worker
        results[contender.label] = {"build_s": answer["seconds"], "points": []}
    by_label = {c.label: c for c in session.contenders}
    labels = list(workers)
    rows = list(range(len(truth)))
    for ef in plan.efs:
        found = {label: {} for label in labels}
        seconds = {label: 0.0 for label in labels}
        for label in labels:
            if workers[label].info.get("ef_needs_restart") and "error" not in results[label]:
                try:
                    workers[label].call("ann_set_ef", plan.time_limit, ef=ef)
                    workers[label].stop()
                    workers[label] = Worker(by_label[label], session.scratch,
                                            session.directory(label, "ann", name), timeout=plan.time_limit)
                except WorkerFailed as error:
                    results[label] = failure(error)
        for round_number, part in enumerate(slices(rows, plan.rounds)):
            for label in session.rotated(labels, round_number):
                if "error" in results[label]:
                    continue
                answer, failed = ask(workers[label], "ann_search", plan.time_limit, queries=queries, d=d,
                                     rows=part, k=plan.k, ef=ef)
                if failed:
                    results[label] = failed
                    continue
                seconds[label] += answer["seconds"]
                found[label].update(zip(part, answer["ids"]))
        for label in labels:
            if "error" in results[label]:
                continue
            recall = np.mean([len(set(found[label][row]) & set(truth[row].tolist())) / plan.k for row in rows])
            results[label]["points"].append({"ef": ef, "recall": float(recall), "qps": len(rows) / seconds[label]})
            session.log(f"{name} ef={ef} {label}: recall {recall:.3f}, {len(rows) / seconds[label]:.0f} q/s")
    for worker in workers.values():
        if worker.process.poll() is None:
            worker.stop()
    return results
