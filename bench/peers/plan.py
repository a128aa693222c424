"""How much each mode measures: `quick` checks the whole harness in under two
minutes; `full` gives the figures of the report."""

from dataclasses import dataclass


@dataclass(frozen=True)
class Plan:
    mode: str
    sizes: tuple[int, ...]          # N of the Gaussian sets (d = 384)
    queries: int                    # exact-search queries per size, spread over the rounds
    rounds: int                     # alternating rounds of every workload that has them
    reopen_rounds: int
    fetch_ids: int                  # ids fetched per contender and size, spread over the rounds
    fetch_repeat: int               # calls per id (their mean is one sample)
    writes_per_round: int           # durable single inserts per contender and round
    strace_inserts: int             # inserts traced per contender for the durability check
    fashion_n: int | None           # Fashion-MNIST training images (None: all 60,000)
    clustered_n: int
    ann_queries: int
    efs: tuple[int, ...]
    time_limit: float               # seconds one request may take before the run gives up on it
    k: int = 10
    hnsw_m: int = 16
    hnsw_ef_construction: int = 200


PLANS = {
    "quick": Plan(mode="quick", sizes=(5_000,), queries=20, rounds=4, reopen_rounds=2,
                  fetch_ids=60, fetch_repeat=3, writes_per_round=20, strace_inserts=10,
                  fashion_n=3_000, clustered_n=3_000, ann_queries=100, efs=(16, 64), time_limit=60),
    "full": Plan(mode="full", sizes=(10_000, 100_000, 1_000_000), queries=60, rounds=5, reopen_rounds=3,
                 fetch_ids=200, fetch_repeat=3, writes_per_round=200, strace_inserts=50,
                 fashion_n=None, clustered_n=100_000, ann_queries=1000,
                 efs=(10, 20, 40, 80, 160, 320), time_limit=900),
}
