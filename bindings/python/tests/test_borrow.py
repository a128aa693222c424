"""The borrow flag: many readers or one writer, and never a wait.

Python code runs under a held borrow only while arguments are converted, so
the conflicts are provoked from __float__ and __index__.
"""

import threading

import pytest

import quorvel


class Calls:
    """A number whose conversion first calls `action` and keeps its outcome."""

    def __init__(self, action, value=1.0):
        self.action = action
        self.value = value
        self.outcome = None

    def __float__(self):
        self.outcome = self.action()
        return self.value

    def __index__(self):
        self.outcome = self.action()
        return int(self.value)


# (outer call, call made from inside its argument conversion, message).
CONFLICTS = [
    ("insert", lambda db: db.get("kept"), "Already mutably borrowed"),
    ("insert", lambda db: db.get_all(), "Already mutably borrowed"),
    ("insert", lambda db: db.search([1.0], 1), "Already mutably borrowed"),
    ("insert", lambda db: db.insert("inner", [1.0]), "Already borrowed"),
    ("insert", lambda db: db.delete("kept"), "Already borrowed"),
    ("search", lambda db: db.insert("inner", [1.0]), "Already borrowed"),
    ("search", lambda db: db.delete("kept"), "Already borrowed"),
    ("search k", lambda db: db.delete("kept"), "Already borrowed"),
]


@pytest.mark.parametrize("outer, inner, message", CONFLICTS)
def test_conflicting_nested_call_fails_at_once(db, outer, inner, message):
    db.insert("kept", [1.0], '{"k": 1}')
    element = Calls(lambda: inner(db))
    with pytest.raises(RuntimeError) as raised:
        if outer == "insert":
            db.insert("outer", [element])
        elif outer == "search":
            db.search([element], 1)
        else:
            db.search([1.0], element)
    assert str(raised.value) == message
    # Nothing was stored and the flag is free again.
    assert db.get_all() == [("kept", '{"k":1}')]
    db.insert("after", [1.0])
    db.delete("after")


def test_shared_borrows_nest(db):
    db.insert("kept", [1.0], '{"k": 1}')
    inner = Calls(lambda: (db.get("kept"), db.get_all(), db.search([1.0], 1)))
    assert db.search([inner], 5) == [("kept", 1.0, '{"k":1}')]
    assert inner.outcome == ('{"k":1}', [("kept", '{"k":1}')], [("kept", 1.0, '{"k":1}')])
    nested_k = Calls(lambda: db.search([Calls(lambda: db.get("kept"))], 1))
    assert db.search([1.0], nested_k) == [("kept", 1.0, '{"k":1}')]
    db.insert("after", [1.0])  # every shared borrow was given back


def test_instances_have_their_own_flags(tmp_path):
    first = quorvel.Quorvel(str(tmp_path / "first.db"))
    second = quorvel.Quorvel(str(tmp_path / "second.db"))
    element = Calls(lambda: second.insert("from first", [2.0]))
    first.insert("a", [element])
    assert first.get_all() == [("a", None)]
    assert second.get_all() == [("from first", None)]


def test_another_thread_meets_the_held_borrow(db):
    db.insert("kept", [1.0])
    inside = threading.Event()
    leave = threading.Event()

    def hold():
        inside.set()
        leave.wait(timeout=30)

    failures = []
    writer = threading.Thread(target=lambda: db.insert("slow", [Calls(hold)]))
    writer.start()
    try:
        assert inside.wait(timeout=30)
        for call, message in [(lambda: db.get("kept"), "Already mutably borrowed"),
                              (lambda: db.search([1.0], 1), "Already mutably borrowed"),
                              (lambda: db.get_all(), "Already mutably borrowed"),
                              (lambda: db.insert("x", [1.0]), "Already borrowed"),
                              (lambda: db.delete("kept"), "Already borrowed")]:
            try:
                call()
                failures.append("no conflict")
            except RuntimeError as error:
                failures.append(str(error) == message or str(error))
    finally:
        leave.set()
        writer.join(timeout=30)
    assert failures == [True] * 5
    assert db.get_all() == [("kept", None), ("slow", None)]


def test_threads_share_an_instance(db):
    errors = []

    def work(thread):
        try:
            for i in range(50):
                id_ = f"{thread}-{i}"
                db.insert(id_, [float(thread), float(i)], f'{{"t": {thread}}}')
                if db.get(id_) != f'{{"t":{thread}}}':
                    errors.append(("get", id_))
                db.search([1.0, 1.0], 3)
                if i % 10 == 0:
                    db.get_all()
                if i % 2 == 0:
                    db.delete(id_)
        except Exception as error:  # collected for the main thread
            errors.append(error)

    threads = [threading.Thread(target=work, args=(t,)) for t in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []
    remaining = sorted(id_ for id_, _ in db.get_all())
    assert remaining == sorted(f"{t}-{i}" for t in range(8) for i in range(1, 50, 2))
