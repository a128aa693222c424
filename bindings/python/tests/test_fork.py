"""Forks and threads: a forked child reads but neither writes nor closes the
parent's files, its searches finish, and threads can share an instance.

QUORVEL_FORKS sets how many forks are made during searches (100 here;
`make test-reliability` makes 1,000).
"""

import json
import os
import random
import threading

import quorvel
from conftest import run_python

FORKS = int(os.environ.get("QUORVEL_FORKS", "100"))

CHILD_SEARCHES_AND_EXITS = ("import os, signal, sys, quorvel\n"
                            "db = quorvel.Quorvel(sys.argv[1])\n"
                            "for i in range(30):\n"
                            "    db.insert(f'before{i}', [1.0, float(i)])\n"
                            "pid = os.fork()\n"
                            "if pid == 0:\n"
                            "    db.search([1.0, 0.0], 3)\n"
                            "    sys.exit(0)  # a normal exit, which drops the instance\n"
                            "os.waitpid(pid, 0)\n"
                            "for i in range(30):\n"
                            "    db.insert(f'after{i}', [1.0, float(i)])\n"
                            "os.kill(os.getpid(), signal.SIGKILL)\n")


def test_a_child_that_exits_leaves_the_parents_log_alone(db_path):
    result = run_python(CHILD_SEARCHES_AND_EXITS, db_path)
    assert result.returncode == -9, result.stderr
    # Every change the parent made after the child's exit survives its crash.
    ids = {id_ for id_, _ in quorvel.Quorvel(db_path).get_all()}
    assert ids == {f"{when}{i}" for when in ("before", "after") for i in range(30)}


CHILD_WRITES = ("import os, sys, quorvel\n"
                "db = quorvel.Quorvel(sys.argv[1])\n"
                "db.insert('a', [1.0], '{\"k\":1}')\n"
                "pid = os.fork()\n"
                "if pid == 0:\n"
                "    print(db.get('a'), db.search([1.0], 1), db.get_all(), flush=True)\n"
                "    for call in (lambda: db.insert('child', [1.0]), lambda: db.delete('a')):\n"
                "        try:\n"
                "            call()\n"
                "            print('acknowledged', flush=True)\n"
                "        except RuntimeError as error:\n"
                "            print(error, flush=True)\n"
                "    os._exit(0)\n"
                "os.waitpid(pid, 0)\n"
                "db.insert('b', [2.0])\n"
                "print(db.get_all())\n")


def test_a_child_reads_but_its_writes_are_refused(db_path):
    result = run_python(CHILD_WRITES, db_path)
    assert result.returncode == 0, result.stderr
    refusal = ("Storage error: Transaction error: the database was opened by another process; a forked child "
               "can read it but not change it")
    assert result.stdout.splitlines() == [
        "{\"k\":1} [('a', 1.0, '{\"k\":1}')] [('a', '{\"k\":1}')]",
        refusal,
        refusal,
        "[('a', '{\"k\":1}'), ('b', None)]",
    ]
    assert [id_ for id_, _ in quorvel.Quorvel(db_path).get_all()] == ["a", "b"]


FORK_DURING_SEARCHES = ("import os, sys, threading, time, quorvel\n"
                        "db = quorvel.Quorvel(sys.argv[1])\n"
                        "for i in range(400):\n"
                        "    db.insert(f'r{i}', [float((i * 7) % 13)] * 256)\n"
                        "query = [1.0] * 256\n"
                        "expected = db.search(query, 5)\n"
                        "stop = False\n"
                        "def search_on():\n"
                        "    while not stop:\n"
                        "        db.search(query, 5)\n"
                        "searcher = threading.Thread(target=search_on)\n"
                        "searcher.start()\n"
                        "hung = wrong = 0\n"
                        "for fork in range(int(sys.argv[2])):\n"
                        "    pid = os.fork()\n"
                        "    if pid == 0:\n"
                        "        ok = db.search(query, 5) == expected\n"
                        "        if fork % 2:\n"
                        "            os._exit(0 if ok else 1)\n"
                        "        sys.exit(0 if ok else 1)  # a normal exit tears the interpreter down\n"
                        "    deadline = time.monotonic() + 20\n"
                        "    while True:\n"
                        "        done, status = os.waitpid(pid, os.WNOHANG)\n"
                        "        if done:\n"
                        "            wrong += status != 0\n"
                        "            break\n"
                        "        if time.monotonic() > deadline:\n"
                        "            os.kill(pid, 9)\n"
                        "            os.waitpid(pid, 0)\n"
                        "            hung += 1\n"
                        "            break\n"
                        "        time.sleep(0.001)\n"
                        "stop = True\n"
                        "searcher.join()\n"
                        "print(hung, wrong)\n")


def test_searches_in_children_forked_during_searches_finish(db_path):
    result = run_python(FORK_DURING_SEARCHES, db_path, str(FORKS), timeout=60 + FORKS)
    assert result.returncode == 0, result.stderr
    assert result.stdout == "0 0\n"  # no child hung, every child found the same answer


def test_threads_share_an_instance(db_path):
    """Each thread works on ids of its own; in the end the instance holds
    exactly what the threads left, in memory and after a reopen."""
    db = quorvel.Quorvel(db_path)
    threads_count, steps = 4, 150
    models = [{} for _ in range(threads_count)]
    errors = []

    def call(function, *args):
        while True:  # a call may meet another thread's borrow; it is refused at once, so try again
            try:
                return function(*args)
            except RuntimeError as error:
                if not str(error).startswith("Already"):
                    raise

    def work(t):
        rng = random.Random(t)
        try:
            for step in range(steps):
                id_ = f"t{t}-{rng.randrange(20)}"
                action = rng.random()
                if action < 0.5:
                    text = json.dumps({"step": step, "t": t}, separators=(",", ":"))  # keys in byte order
                    call(db.insert, id_, [float(t), float(step)], text)
                    models[t][id_] = text
                elif action < 0.7:
                    call(db.delete, id_)
                    models[t].pop(id_, None)
                elif action < 0.85:
                    assert call(db.get, id_) == models[t].get(id_)
                else:
                    assert len(call(db.search, [1.0, 0.0], 5)) <= 5
        except Exception as error:  # reported by the main thread
            errors.append(error)

    threads = [threading.Thread(target=work, args=(t,)) for t in range(threads_count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []
    expected = {id_: text for model in models for id_, text in model.items()}
    assert dict(db.get_all()) == expected
    del db
    assert dict(quorvel.Quorvel(db_path).get_all()) == expected
