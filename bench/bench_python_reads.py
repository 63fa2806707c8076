"""Reads through Python: gets by primary key, an index range and a top-10
sort, through deziro beside sqlite3 and the lmdb package in the same run.

Run with the interpreter that has deziro installed (bench/run does, when
.venv exists). Prints one JSON object per line: bench, workload, engine,
ops, ns_per_op; rows_per_s where a read returns several rows.
"""

import heapq
import json
import os
import random
import sqlite3
import struct
import sys
import tempfile
import time

import deziro._native as native
from deziro._native import Layout, NativeSchema, parse_query

try:
    import lmdb
except ImportError:  # the peer is optional
    lmdb = None

COUNT = 20_000
GETS = 20_000
RANGE_ROWS = 100
RANGES = 200
TOPS = 20
RECORD = struct.Struct("<qq16s")


class Item:
    pass


ITEM = Layout(Item, [("id", "id", "int"), ("score", "score", "int"), ("rank", "rank", "int"),
                     ("name", "name", "str")])
SCHEMA = NativeSchema(1, [("items", [
    ("id", "int", "key", None, False, False),
    ("score", "int", "required", None, True, False),
    ("rank", "int", "required", None, False, False),
    ("name", "string", "required", None, False, False),
])])


def rows():
    rng = random.Random(7)
    return [(i, rng.randrange(COUNT), rng.randrange(1 << 40), f"name-{i:08d}") for i in range(COUNT)]


def report(workload, engine, ops, seconds, rows=None):
    line = {"bench": "python_reads", "workload": workload, "engine": engine, "ops": ops,
            "ns_per_op": round(seconds * 1e9 / ops, 1)}
    if rows is not None:
        line["rows_per_s"] = round(rows / seconds)
    print(json.dumps(line), flush=True)


def timed(work):
    start = time.perf_counter()
    result = work()
    return time.perf_counter() - start, result


def bench_deziro(folder, data, keys, lows):
    db = native.open(os.path.join(folder, "bench.dz"), schema=SCHEMA)
    tx = db.begin_write()
    tx.insert_many("items", None, [{"id": i, "score": s, "rank": r, "name": n} for i, s, r, n in data])
    tx.commit(False)
    read = db.begin_read()
    for layout, engine in ((None, "deziro-dict"), (ITEM, "deziro-layout")):
        seconds, _ = timed(lambda: [read.get("items", layout, k) for k in keys])
        report("get_by_key", engine, len(keys), seconds)
        span = parse_query(f"score >= $0 AND score < $1")
        seconds, found = timed(lambda: sum(len(read.find("items", layout, span, (lo, lo + RANGE_ROWS)))
                                           for lo in lows))
        report("index_range", engine, len(lows), seconds, found)
        top = parse_query("SORT BY rank DESC LIMIT 10")
        seconds, found = timed(lambda: sum(len(read.find("items", layout, top, ())) for _ in range(TOPS)))
        report("top10_sort", engine, TOPS, seconds, found)
    read.end()
    db.close()


def bench_sqlite(folder, data, keys, lows):
    con = sqlite3.connect(os.path.join(folder, "bench.sqlite"))
    con.execute("CREATE TABLE items (id INTEGER PRIMARY KEY, score INTEGER NOT NULL, rank INTEGER NOT NULL, "
                "name TEXT NOT NULL)")
    con.execute("CREATE INDEX items_score ON items (score)")
    con.executemany("INSERT INTO items VALUES (?, ?, ?, ?)", data)
    con.commit()
    cur = con.cursor()
    seconds, _ = timed(lambda: [cur.execute("SELECT * FROM items WHERE id = ?", (k,)).fetchone() for k in keys])
    report("get_by_key", "sqlite3", len(keys), seconds)
    seconds, found = timed(lambda: sum(len(cur.execute(
        "SELECT * FROM items WHERE score >= ? AND score < ?", (lo, lo + RANGE_ROWS)).fetchall()) for lo in lows))
    report("index_range", "sqlite3", len(lows), seconds, found)
    seconds, found = timed(lambda: sum(len(cur.execute(
        "SELECT * FROM items ORDER BY rank DESC LIMIT 10").fetchall()) for _ in range(TOPS)))
    report("top10_sort", "sqlite3", TOPS, seconds, found)
    con.close()


def bench_lmdb(folder, data, keys, lows):
    env = lmdb.open(os.path.join(folder, "bench.lmdb"), map_size=1 << 30, max_dbs=2)
    main = env.open_db(b"items")
    by_score = env.open_db(b"score", dupsort=True)
    key = struct.Struct(">q")
    with env.begin(write=True) as txn:
        for i, s, r, n in data:
            txn.put(key.pack(i), RECORD.pack(s, r, n.encode()), db=main)
            txn.put(key.pack(s), key.pack(i), db=by_score)

    def decode(raw, i):
        s, r, n = RECORD.unpack(raw)
        return {"id": i, "score": s, "rank": r, "name": n.decode()}

    with env.begin() as txn:
        seconds, _ = timed(lambda: [decode(txn.get(key.pack(k), db=main), k) for k in keys])
        report("get_by_key", "lmdb", len(keys), seconds)

        def span(lo):
            out = []
            cursor = txn.cursor(db=by_score)
            if cursor.set_range(key.pack(lo)):
                for s, i in cursor:
                    if key.unpack(s)[0] >= lo + RANGE_ROWS:
                        break
                    k = key.unpack(i)[0]
                    out.append(decode(txn.get(i, db=main), k))
            return out

        seconds, found = timed(lambda: sum(len(span(lo)) for lo in lows))
        report("index_range", "lmdb", len(lows), seconds, found)

        def top():
            cursor = txn.cursor(db=main)
            best = heapq.nlargest(10, cursor, key=lambda kv: RECORD.unpack(kv[1])[1])
            return [decode(v, key.unpack(k)[0]) for k, v in best]

        seconds, found = timed(lambda: sum(len(top()) for _ in range(TOPS)))
        report("top10_sort", "lmdb", TOPS, seconds, found)
    env.close()


def main():
    data = rows()
    rng = random.Random(11)
    keys = [rng.randrange(COUNT) for _ in range(GETS)]
    lows = [rng.randrange(COUNT - RANGE_ROWS) for _ in range(RANGES)]
    with tempfile.TemporaryDirectory() as folder:
        bench_deziro(folder, data, keys, lows)
        bench_sqlite(folder, data, keys, lows)
        if lmdb is not None:
            bench_lmdb(folder, data, keys, lows)
        else:
            print("lmdb is not installed; `pip install lmdb` to compare with it", file=sys.stderr)


if __name__ == "__main__":
    main()
