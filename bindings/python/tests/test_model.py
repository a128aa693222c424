"""Random sequences of calls, with reopens, against a plain model of what
the module promises: re-inserts replace in place, new ids go last, a reopen
orders records by the bytes of their ids, and metadata text `null` reads
back as None after a reopen. Reopens load from the companion file beside
the database, replaying the changes appended to it, or, when the sequence
deletes it first, read the rows.

QUORVEL_MODEL_EXAMPLES sets the number of sequences (40 here; `make
test-reliability` runs 1,000).
"""

import os
import shutil
import tempfile

import numpy as np
from hypothesis import HealthCheck, settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, rule

import quorvel

EXAMPLES = int(os.environ.get("QUORVEL_MODEL_EXAMPLES", "40"))

IDS = st.sampled_from(["a", "b", "B", "ab", "a\0z", "\u00e9", "", "k" * 40])
# Small whole numbers: every sum is exact, so ties are common and the model's
# scores are the engine's bit for bit.
VECTORS = st.lists(st.integers(-4, 4).map(float), max_size=10)
# Metadata texts and the compact form they come back in.
METADATA = st.sampled_from([
    (None, None), ("null", "null"), ("1", "1"), ("-2", "-2"), ("1.0", "1.0"), ('"t\\u00e9"', '"t\u00e9"'),
    ("[1, [true, null]]", "[1,[true,null]]"), ('{"b": 1, "a": {"c": []}}', '{"a":{"c":[]},"b":1}'),
])


def f32_cosine(query, vector):
    """The engine's cosine: eight running sums over blocks of eight, then
    the tail, all in 32-bit floats."""
    n = min(len(query), len(vector))
    q = np.array(query[:n], dtype=np.float32)
    v = np.array(vector[:n], dtype=np.float32)

    def total(terms):
        blocks = n - n % 8
        lanes = [np.float32(0)] * 8
        for i in range(blocks):
            lanes[i % 8] = np.float32(lanes[i % 8] + terms[i])
        result = np.float32(np.float32(np.float32(lanes[0] + lanes[1]) + lanes[2]) + lanes[3])
        result = np.float32(result + np.float32(np.float32(np.float32(lanes[4] + lanes[5]) + lanes[6]) + lanes[7]))
        for i in range(blocks, n):
            result = np.float32(result + terms[i])
        return result

    dot, qq, vv = total(q * v), total(q * q), total(v * v)
    if qq == 0 or vv == 0:
        return 0.0
    return float(np.float32(dot / np.float32(np.sqrt(qq) * np.sqrt(vv))))


class Database(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.directory = tempfile.mkdtemp(prefix="quorvel-model-")
        self.path = os.path.join(self.directory, "model.db")
        self.db = quorvel.Quorvel(self.path)
        self.records = []  # [id, vector, metadata text as it reads back]

    def teardown(self):
        del self.db
        shutil.rmtree(self.directory)

    def position(self, id_):
        return next((i for i, record in enumerate(self.records) if record[0] == id_), None)

    @rule(id_=IDS, vector=VECTORS, metadata=METADATA)
    def insert(self, id_, vector, metadata):
        text, compact = metadata
        self.db.insert(id_, vector, text)
        at = self.position(id_)
        if at is None:
            self.records.append([id_, vector, compact])
        else:
            self.records[at] = [id_, vector, compact]

    @rule(id_=IDS)
    def delete(self, id_):
        self.db.delete(id_)
        self.records = [record for record in self.records if record[0] != id_]

    @rule(without_companion=st.booleans())
    def reopen(self, without_companion):
        del self.db
        if without_companion and os.path.exists(self.path + "-snapshot"):
            os.remove(self.path + "-snapshot")
        self.db = quorvel.Quorvel(self.path)
        self.records.sort(key=lambda record: record[0].encode())
        for record in self.records:
            if record[2] == "null":  # stored as JSON null, which reads back as no metadata
                record[2] = None

    @rule(id_=IDS)
    def get(self, id_):
        at = self.position(id_)
        assert self.db.get(id_) == (None if at is None else self.records[at][2])

    @rule()
    def get_all(self):
        assert self.db.get_all() == [(id_, text) for id_, _, text in self.records]

    @rule(query=VECTORS, k=st.integers(0, 10))
    def search(self, query, k):
        scored = [(id_, f32_cosine(query, vector), text) for id_, vector, text in self.records]
        expected = sorted(scored, key=lambda result: -result[1])[:k]  # stable: ties keep list order
        assert self.db.search(query, k) == expected


Database.TestCase.settings = settings(max_examples=EXAMPLES, stateful_step_count=30, deadline=None, database=None,
                                      suppress_health_check=[HealthCheck.too_slow])
TestDatabase = Database.TestCase
