"""The three engines of the Python benchmark behind one small interface.

Every engine stores the same small objects `Item(id, score, rank, name)`:
`id` is the primary key, `score` has a plain index, `rank` has none. Each
read answers `Item` instances (the object built), so every engine pays for
decoding its values into Python objects.
"""

import os
import sqlite3
import struct

import deziro

try:
    import lmdb
except ImportError:  # the peer is optional outside `bench/run python`
    lmdb = None


class Item:
    def __init__(self, id, score, rank, name):
        self.id, self.score, self.rank, self.name = id, score, rank, name

    def row(self):
        return (self.id, self.score, self.rank, self.name)


def rows_of(items):
    return [item.row() for item in items]


class DeziroEngine:
    name = "deziro"
    SCHEMA = deziro.NativeSchema(1, [("items", [
        ("id", "int", "key", None, False, False),
        ("score", "int", "required", None, True, False),
        ("rank", "int", "required", None, False, False),
        ("name", "string", "required", None, False, False),
    ])])
    ITEM = deziro.Layout(Item, [("id", "id", "int"), ("score", "score", "int"),
                                ("rank", "rank", "int"), ("name", "name", "str")])
    RANGE = deziro.parse_query("score >= $0 AND score < $1")
    BELOW_RANK = deziro.parse_query("rank < $0")
    ALL = deziro.parse_query("")
    TOP = deziro.parse_query("SORT BY score LIMIT 10")

    def __init__(self, folder):
        self.path = os.path.join(folder, "bench.dz")
        self.db = deziro.open(self.path, schema=self.SCHEMA)
        self.reader = None

    def load(self, items):
        tx = self.db.begin_write()
        tx.insert_many("items", self.ITEM, items)
        tx.commit(False)

    def load_dicts(self, dicts):
        tx = self.db.begin_write()
        tx.insert_many("items", None, dicts)
        tx.commit(False)

    def commit_one(self, item):
        tx = self.db.begin_write()
        tx.insert("items", self.ITEM, item)
        tx.commit(False)

    def begin_reads(self):
        self.reader = self.db.begin_read()

    def end_reads(self):
        self.reader.end()
        self.reader = None

    def get_many(self, keys):
        get, layout = self.reader.get, self.ITEM
        return [get("items", layout, k) for k in keys]

    def get_dicts(self, keys):
        get = self.reader.get
        return [get("items", None, k) for k in keys]

    def range(self, low, high):
        return self.reader.find("items", self.ITEM, self.RANGE, (low, high))

    def below_rank(self, cut):
        return self.reader.find("items", self.ITEM, self.BELOW_RANK, (cut,))

    def count_all(self):
        return self.reader.count("items", self.ALL, ())

    def top10(self):
        return self.reader.find("items", self.ITEM, self.TOP, ())

    def delete(self, keys):
        tx = self.db.begin_write()
        for key in keys:
            tx.delete("items", key)
        tx.commit(False)

    def compact(self):
        self.db.compact()

    def close(self):
        self.db.close()

    def size(self):
        return os.path.getsize(self.path)

    @classmethod
    def reopen(cls, path):
        """Opens the file and reads one object, which it answers: the time
        until a first answer."""
        db = deziro.open(path, schema=cls.SCHEMA)
        tx = db.begin_read()
        item = tx.get("items", cls.ITEM, 1)
        tx.end()
        db.close()
        return item

    @classmethod
    def read_keys(cls, path, keys, ready):
        """Opens the file and answers what `ready` makes of the work of
        reading `keys` (a list of `Item`)."""
        db = deziro.open(path, schema=cls.SCHEMA)
        tx = db.begin_read()
        get, layout = tx.get, cls.ITEM
        answer = ready(lambda: [get("items", layout, k) for k in keys])
        tx.end()
        db.close()
        return answer


class SqliteEngine:
    """sqlite3 in WAL mode with synchronous FULL: every commit is durable."""

    name = "sqlite3"
    COLUMNS = "id, score, rank, name"

    def __init__(self, folder):
        self.path = os.path.join(folder, "bench.sqlite")
        self.db = self.connect(self.path)
        self.db.execute("CREATE TABLE items (id INTEGER PRIMARY KEY, score INTEGER NOT NULL, "
                        "rank INTEGER NOT NULL, name TEXT NOT NULL)")
        self.db.execute("CREATE INDEX items_score ON items (score)")
        self.db.commit()

    @staticmethod
    def connect(path):
        db = sqlite3.connect(path, isolation_level="DEFERRED")
        db.execute("PRAGMA journal_mode=WAL")
        db.execute("PRAGMA synchronous=FULL")
        return db

    def load(self, rows):
        with self.db:
            self.db.executemany("INSERT INTO items VALUES (?, ?, ?, ?)", rows)

    def commit_one(self, row):
        with self.db:
            self.db.execute("INSERT INTO items VALUES (?, ?, ?, ?)", row)

    def begin_reads(self):
        # One read transaction, as the other engines read one snapshot.
        self.db.execute("BEGIN")
        self.cursor = self.db.cursor()

    def end_reads(self):
        self.db.rollback()

    def get_many(self, keys):
        execute, select = self.cursor.execute, f"SELECT {self.COLUMNS} FROM items WHERE id = ?"
        return [Item(*execute(select, (k,)).fetchone()) for k in keys]

    def _items(self, sql, args=()):
        return [Item(*row) for row in self.cursor.execute(sql, args)]

    def range(self, low, high):
        return self._items(f"SELECT {self.COLUMNS} FROM items WHERE score >= ? AND score < ?",
                           (low, high))

    def below_rank(self, cut):
        return self._items(f"SELECT {self.COLUMNS} FROM items WHERE rank < ?", (cut,))

    def count_all(self):
        return self.cursor.execute("SELECT COUNT(*) FROM items").fetchone()[0]

    def top10(self):
        return self._items(f"SELECT {self.COLUMNS} FROM items ORDER BY score LIMIT 10")

    def delete(self, keys):
        with self.db:
            self.db.executemany("DELETE FROM items WHERE id = ?", ((k,) for k in keys))

    def compact(self):
        self.db.execute("VACUUM")
        self.db.execute("PRAGMA wal_checkpoint(TRUNCATE)")

    def close(self):
        self.db.close()

    def size(self):
        """The database file and its write-ahead log."""
        wal = self.path + "-wal"
        return os.path.getsize(self.path) + (os.path.getsize(wal) if os.path.exists(wal) else 0)

    @classmethod
    def reopen(cls, path):
        db = cls.connect(path)
        item = Item(*db.execute(f"SELECT {cls.COLUMNS} FROM items WHERE id = 1").fetchone())
        db.close()
        return item

    @classmethod
    def read_keys(cls, path, keys, ready):
        db = cls.connect(path)
        db.execute("BEGIN")
        execute, select = db.cursor().execute, f"SELECT {cls.COLUMNS} FROM items WHERE id = ?"
        answer = ready(lambda: [Item(*execute(select, (k,)).fetchone()) for k in keys])
        db.close()
        return answer


class LmdbEngine:
    """The lmdb package: a main table of id -> struct-packed (score, rank) and
    the name's UTF-8, and a sorted duplicate table score -> id as the index."""

    name = "lmdb"
    KEY = struct.Struct(">q")
    HEAD = struct.Struct("<qq")
    MAP_SIZE = 1 << 34

    def __init__(self, folder):
        self.folder = folder
        self.path = os.path.join(folder, "bench.lmdb")
        self.env, self.main, self.by_score = self.connect(self.path)

    @classmethod
    def connect(cls, path, readonly=False):
        env = lmdb.open(path, map_size=cls.MAP_SIZE, max_dbs=2, readonly=readonly, sync=True)
        return env, env.open_db(b"items"), env.open_db(b"score", dupsort=True)

    def _put(self, txn, row):
        key = self.KEY.pack(row[0])
        txn.put(key, self.HEAD.pack(row[1], row[2]) + row[3].encode(), db=self.main)
        txn.put(self.KEY.pack(row[1]), key, db=self.by_score)

    def load(self, rows):
        with self.env.begin(write=True) as txn:
            for row in rows:
                self._put(txn, row)

    def commit_one(self, row):
        with self.env.begin(write=True) as txn:
            self._put(txn, row)

    def begin_reads(self):
        self.txn = self.env.begin()

    def end_reads(self):
        self.txn.abort()

    @classmethod
    def decode(cls, key, raw):
        score, rank = cls.HEAD.unpack_from(raw)
        return Item(key, score, rank, raw[16:].decode())

    @classmethod
    def gets(cls, txn, main, keys):
        get, pack, decode = txn.get, cls.KEY.pack, cls.decode
        return [decode(k, get(pack(k), db=main)) for k in keys]

    def get_many(self, keys):
        return self.gets(self.txn, self.main, keys)

    def range(self, low, high):
        found = []
        cursor = self.txn.cursor(db=self.by_score)
        if not cursor.set_range(self.KEY.pack(low)):
            return found
        end, get, unpack = self.KEY.pack(high), self.txn.get, self.KEY.unpack
        for score, key in cursor:
            if score >= end:
                break
            found.append(self.decode(unpack(key)[0], get(key, db=self.main)))
        return found

    def below_rank(self, cut):
        unpack_head, unpack_key = self.HEAD.unpack_from, self.KEY.unpack
        found = []
        for key, raw in self.txn.cursor(db=self.main):
            score, rank = unpack_head(raw)
            if rank < cut:
                found.append(Item(unpack_key(key)[0], score, rank, raw[16:].decode()))
        return found

    def count_all(self):
        return self.txn.stat(self.main)["entries"]

    def top10(self):
        found, get, unpack = [], self.txn.get, self.KEY.unpack
        for _, key in self.txn.cursor(db=self.by_score):
            found.append(self.decode(unpack(key)[0], get(key, db=self.main)))
            if len(found) == 10:
                break
        return found

    def delete(self, keys):
        with self.env.begin(write=True) as txn:
            for k in keys:
                key = self.KEY.pack(k)
                raw = txn.pop(key, db=self.main)
                txn.delete(self.KEY.pack(self.HEAD.unpack_from(raw)[0]), key, db=self.by_score)

    def compact(self):
        # LMDB has no compaction in place: a compacting copy replaces the file.
        copy = os.path.join(self.folder, "bench-compact.lmdb")
        os.mkdir(copy)
        self.env.copy(copy, compact=True)
        self.env.close()
        for name in os.listdir(self.path):
            os.remove(os.path.join(self.path, name))
        os.rmdir(self.path)
        os.rename(copy, self.path)
        self.env, self.main, self.by_score = self.connect(self.path)

    def close(self):
        self.env.close()

    def size(self):
        return os.path.getsize(os.path.join(self.path, "data.mdb"))

    @classmethod
    def reopen(cls, path):
        env, main, _ = cls.connect(path, readonly=True)
        with env.begin() as txn:
            item = cls.gets(txn, main, [1])[0]
        env.close()
        return item

    @classmethod
    def read_keys(cls, path, keys, ready):
        env, main, _ = cls.connect(path, readonly=True)
        with env.begin() as txn:
            answer = ready(lambda: cls.gets(txn, main, keys))
        env.close()
        return answer


ENGINES = {engine.name: engine for engine in (DeziroEngine, SqliteEngine, LmdbEngine)}


def available():
    """The names of the engines this interpreter can run."""
    return [name for name in ENGINES if name != "lmdb" or lmdb is not None]
