"""The harness's own faults that a benchmark run would not show plainly: a
report that breaks on a missing or failed contender, a missing contender that
stops the run, a misread strace summary, a failed request taken for an
answer, a wrong reference answer."""

import os
import sys

import numpy as np
import pytest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

import datasets  # noqa: E402
import report  # noqa: E402
import workloads  # noqa: E402
from run import probe  # noqa: E402
from workers import Contender, WorkerFailed  # noqa: E402


def test_a_contender_that_cannot_start_is_reported_missing(tmp_path):
    ghost = Contender("ghost", "python", "no_such_contender")
    available, described = probe([ghost], str(tmp_path), log=lambda message: None)
    assert available == []
    assert described["ghost"]["available"] is False
    assert "No module named" in described["ghost"]["error"]


@pytest.mark.parametrize("summary, expected", [
    # strace -c with and without an errors column, and a call it does not count
    ("% time     seconds  usecs/call     calls    errors syscall\n"
     "------ ----------- ----------- --------- --------- ----------------\n"
     " 90.00    0.000900          45        20           fdatasync\n"
     " 10.00    0.000100          50         2         1 fsync\n"
     "  0.00    0.000000           0         3           write\n"
     "------ ----------- ----------- --------- --------- ----------------\n"
     "100.00    0.001000          45        25         1 total\n",
     {"fdatasync": 20, "fsync": 2}),
    ("", {}),
])
def test_sync_calls_are_read_from_the_strace_summary(tmp_path, summary, expected):
    path = tmp_path / "summary"
    path.write_text(summary)
    assert workloads._count_syncs(str(path)) == expected


class ScriptedWorker:
    """Answers every request with one outcome, or raises it."""

    def __init__(self, outcome):
        self.outcome = outcome

    def call(self, op, timeout, **arguments):
        if isinstance(self.outcome, Exception):
            raise self.outcome
        return self.outcome


@pytest.mark.parametrize("outcome, expected", [
    ({"ok": True, "times": [0.5]}, ({"ok": True, "times": [0.5]}, None)),
    ({"ok": False, "error": "no index", "unsupported": True}, (None, {"error": "no index", "unsupported": True})),
    (WorkerFailed("no answer within 5 s"), (None, {"error": "no answer within 5 s", "unsupported": False})),
])
def test_a_request_gives_its_answer_or_the_reason_it_has_none(outcome, expected):
    assert workloads.ask(ScriptedWorker(outcome), "search", 5, rows=[0]) == expected


def test_slices_cover_every_item_once_in_order():
    for count, parts in [(10, 3), (2, 5), (0, 4), (60, 5)]:
        pieces = workloads.slices(list(range(count)), parts)
        assert [i for piece in pieces for i in piece] == list(range(count))
        assert all(pieces) and len(pieces) <= parts


def test_the_reference_answer_ranks_by_cosine():
    # Row 2 is row 0 scaled: the same cosine, so the smaller id comes first.
    base = np.array([[1, 0], [0, 1], [3, 0], [1, 1], [-1, 0]], dtype=np.float32)
    queries = np.array([[1, 0.1], [0, -1]], dtype=np.float32)
    answer = datasets.exact_top_k(datasets.Dataset("t", base, queries), k=3)
    assert answer.tolist() == [[0, 2, 3], [0, 2, 4]]


def results_with_gaps() -> dict:
    """A small run: one contender missing, one failing its bulk load, one
    seeded, one offering no exact search, and one offering no index."""
    info = {"version": "v", "durable": "d", "bulk": "b", "exact": "e", "fetch": "f"}
    contenders = {label: {"available": True, "info": info} for label in ("quorvel", "numpy", "sqlite3", "LanceDB")}
    contenders["sqlite3"] = {"available": True, "info": {**info, "first answer": "a fetch"}}
    contenders["Chroma"] = {"available": False, "error": "node_modules missing"}
    contenders["memory floor"] = {"available": True, "info": info}
    opened = {"startup_s": 0.1, "open_s": 0.2, "first_query_s": 0.01, "total_s": 0.31, "rss_kib": 50_000}
    return {
        "mode": "quick", "commit": "abc", "date": "2026-12-10T00:00:00+00:00", "command": "run.py",
        "seconds": 60, "load_start": [1.0], "load_end": [1.0],
        "machine": {"processor": "cpu", "cores": 2, "memory_gib": 24, "kernel": "k", "python": "3", "node": "v20"},
        "plan": {"k": 10, "rounds": 2, "reopen_rounds": 2, "writes_per_round": 5, "strace_inserts": 5,
                 "fetch_repeat": 3, "fetch_ids": 10, "efs": [16, 64], "hnsw_m": 16, "hnsw_ef_construction": 200},
        "contenders": contenders,
        "writes": {"quorvel": {"records_per_s": 2000.0}, "numpy": {"records_per_s": 900.0},
                   "LanceDB": {"error": "worker ended", "unsupported": False}},
        "durability": {"quorvel": {"syncs_per_insert": 1.0}, "sqlite3": {"error": "x", "unsupported": True}},
        "bulk": {"1000": {
            "quorvel": {"seconds": 1.0, "records_per_s": 1000.0, "disk_bytes": 3000, "raw_bytes": 1000},
            "numpy": {"seconds": 0.1, "disk_bytes": 1000, "raw_bytes": 1000, "seeded": "seeded"},
            "sqlite3": {"seconds": 0.5, "records_per_s": 2000.0, "disk_bytes": 5000, "raw_bytes": 1000},
            "LanceDB": {"error": "no answer within 60 s", "unsupported": False},
            "memory floor": {"seconds": 0.01, "records_per_s": 1e5, "disk_bytes": 1000, "raw_bytes": 1000}}},
        "reopen": {"1000": {"quorvel": {**opened, "total_s": 0.30}, "numpy": opened,
                            "sqlite3": {**opened, "total_s": 0.05}, "memory floor": opened}},
        "exact": {"1000": {"quorvel": {"median_ms": 1.0, "min_ms": 0.9, "agreement": 1.0},
                           "numpy": {"median_ms": 1.2, "min_ms": 1.0, "agreement": 1.0},
                           "sqlite3": {"error": "no exact search", "unsupported": True},
                           "memory floor": {"median_ms": 0.9, "min_ms": 0.8}}},
        "fetch": {"1000": {"quorvel": {"median_us": 0.2}, "numpy": {"median_us": 0.3},
                           "sqlite3": {"median_us": 9.0}}},
        "ann": {"clustered": {"n": 1000, "d": 8, "queries": 10, "indexes": {
            "quorvel": {"error": "no index in the module", "unsupported": True},
            "numpy": {"error": "no approximate index", "unsupported": True},
            "LanceDB": {"build_s": 1.0, "points": [{"ef": 16, "recall": 0.9, "qps": 500.0},
                                                   {"ef": 64, "recall": 0.97, "qps": 300.0}]}}}},
    }


def test_the_report_shows_every_gap_and_draws_every_plot(tmp_path):
    report.write(results_with_gaps(), str(tmp_path))
    page = (tmp_path / "benchmarks.md").read_text()
    assert "Chroma is missing: node_modules missing" in page
    assert "bulk, N = 1,000, LanceDB: no answer within 60 s" in page
    assert "writes, LanceDB: worker ended" in page
    assert "seeded¹" in page
    approximate = page[page.index("## Approximate search"):page.index("## Contenders")]
    assert "| LanceDB | 1.00 s | 0.900 / 500 | 0.970 / 300 |" in approximate
    assert "| quorvel |" not in approximate and "| numpy |" not in approximate  # no index to show
    assert "| sqlite3 | n/a |" in page
    # A first answer that is a fetch stands beside the reopen verdict, not in it.
    verdict = next(line for line in page.splitlines() if line.startswith("| reopen, N = 1,000"))
    assert "fastest other numpy" in verdict and "sqlite3 (first answer a fetch)" in verdict
    assert verdict.endswith("| met |")
    for image in report.IMAGES.values():
        assert (tmp_path / image).stat().st_size > 10_000
        assert f"]({image})" in page
