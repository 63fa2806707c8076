"""Writes through Python: insert_many of 100 000 small objects in one write
transaction, through a Layout (the row road) and as dicts (the map road),
beside sqlite3's executemany of the same rows.

Run with the interpreter that has deziro installed (bench/run does, when
.venv exists). Prints one JSON object per line: bench, workload, engine,
ops, ns_per_op and objects_per_s; the time includes the durable commit.
"""

import json
import os
import sqlite3
import tempfile
import time

import deziro._native as native
from deziro._native import Layout, NativeSchema

COUNT = 100_000
ROUNDS = 3


class Item:
    __slots__ = ("id", "score", "price", "name")

    def __init__(self, id, score, price, name):
        self.id, self.score, self.price, self.name = id, score, price, name


ITEM = Layout(Item, [("id", "id", "int"), ("score", "score", "int"), ("price", "price", "float"),
                     ("name", "name", "str")])
SCHEMA = NativeSchema(1, [("items", [
    ("id", "int", "key", None, False, False),
    ("score", "int", "required", None, False, False),
    ("price", "float", "required", None, False, False),
    ("name", "string", "required", None, False, False),
])])


def rows():
    return [(i, i * 7 % 1000, i / 4, f"name-{i:08d}") for i in range(COUNT)]


def report(workload, engine, seconds):
    print(json.dumps({"bench": "python_writes", "workload": workload, "engine": engine,
                      "ops": COUNT, "ns_per_op": round(seconds * 1e9 / COUNT, 1),
                      "objects_per_s": round(COUNT / seconds)}), flush=True)


def best_of(setup, work):
    """The fastest of ROUNDS runs of `work(setup())`, each on a new file."""
    best = None
    for _ in range(ROUNDS):
        state = setup()
        start = time.perf_counter()
        work(state)
        elapsed = time.perf_counter() - start
        best = elapsed if best is None else min(best, elapsed)
    return best


def bench_deziro(folder, data):
    objects = [Item(*row) for row in data]
    dicts = [{"id": i, "score": s, "price": p, "name": n} for i, s, p, n in data]
    counter = iter(range(1_000_000))

    def fresh():
        return native.open(os.path.join(folder, f"w{next(counter)}.dz"), schema=SCHEMA)

    def write(layout, batch):
        def run(db):
            tx = db.begin_write()
            tx.insert_many("items", layout, batch)
            tx.commit(False)
            db.close()
        return run

    report("insert_many", "deziro-layout", best_of(fresh, write(ITEM, objects)))
    report("insert_many", "deziro-dict", best_of(fresh, write(None, dicts)))


def bench_sqlite(folder, data):
    counter = iter(range(1_000_000))

    def fresh():
        db = sqlite3.connect(os.path.join(folder, f"s{next(counter)}.sqlite"))
        db.execute("PRAGMA journal_mode=WAL")
        db.execute("PRAGMA synchronous=FULL")
        db.execute("CREATE TABLE items (id INTEGER PRIMARY KEY, score INTEGER NOT NULL, "
                   "price REAL NOT NULL, name TEXT NOT NULL)")
        db.commit()
        return db

    def run(db):
        with db:
            db.executemany("INSERT INTO items VALUES (?, ?, ?, ?)", data)
        db.close()

    report("insert_many", "sqlite3", best_of(fresh, run))


def main():
    data = rows()
    with tempfile.TemporaryDirectory() as folder:
        bench_deziro(folder, data)
        bench_sqlite(folder, data)


if __name__ == "__main__":
    main()
