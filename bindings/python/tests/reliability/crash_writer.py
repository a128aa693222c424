"""A writer to be killed: inserts, re-inserts and deletes records for ever.

Usage: crash_writer.py DB LOG SEED FIRST_SEQ

Before each call it appends "B <seq> insert <id> <length>" or
"B <seq> delete <id>" to LOG, and "E <seq>" once the call has returned, so
that whoever kills it knows which changes were acknowledged and which one
was in flight. Each inserted vector starts with its sequence number, and
the metadata is {"seq": <seq>}. The first line, "open", says that the
database is open.
"""

import json
import os
import random
import sys

import quorvel

IDS = 400
LENGTHS = (8, 384, 2000)  # mixed sizes, so that the log grows across pages


def main():
    db_path, log_path, seed, seq = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    rng = random.Random(seed)
    log = os.open(log_path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
    db = quorvel.Quorvel(db_path)
    os.write(log, b"open\n")
    while True:
        seq += 1
        id_ = f"id{rng.randrange(IDS)}"
        if rng.random() < 0.75:
            length = rng.choice(LENGTHS)
            vector = [float(seq)] + [rng.random() for _ in range(length - 1)]
            os.write(log, f"B {seq} insert {id_} {length}\n".encode())
            db.insert(id_, vector, json.dumps({"seq": seq}))
        else:
            os.write(log, f"B {seq} delete {id_}\n".encode())
            db.delete(id_)
        os.write(log, f"E {seq}\n".encode())


if __name__ == "__main__":
    main()
