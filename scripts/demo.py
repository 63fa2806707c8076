"""A short tour of DeziRO, run by scripts/demo.

    python scripts/demo.py [PATH]

Builds a small library: authors and 100 000 books (with a link to their
author, a list of tags, an embedded shelf, a unique and a plain index),
queries it, changes it, shows a snapshot standing still while a writer
commits, then checks, compacts and backs the file up. PATH is the database
file (it must not exist yet); without one the file lives in a temporary
folder that is removed afterwards.
"""

import os
import random
import sys
import tempfile
import threading
import time

import deziro

BOOKS = 100_000
AUTHORS = 1_000
ROOMS = ["north", "south", "east", "west"]
TAGS = ["novel", "poetry", "history", "science", "travel", "children"]


class Author:
    def __init__(self, name, country):
        self.name, self.country = name, country


class Shelf:
    def __init__(self, room, row):
        self.room, self.row = room, row


class Book:
    def __init__(self, isbn, title, year, price, author, tags, shelf, id=None):
        self.id, self.isbn, self.title, self.year = id, isbn, title, year
        self.price, self.author, self.tags, self.shelf = price, author, tags, shelf


def field(name, kind, role="required", indexed=False, unique=False):
    return (name, kind, role, None, indexed, unique)


SCHEMA = deziro.NativeSchema(1, [
    ("authors", [field("name", "string", "key"), field("country", "string")]),
    # No key field: books get an auto-increment `id`.
    ("books", [
        field("isbn", "string", indexed=True, unique=True),
        field("title", "string"),
        field("year", "int", indexed=True),
        field("price", "float"),
        field("author", ("link", "authors")),
        field("tags", ("list", "string"), "optional"),
        field("shelf", ("object", [field("room", "string"), field("row", "int")])),
    ]),
])
AUTHOR = deziro.Layout(Author, [("name", "name", "str"), ("country", "country", "str")])
SHELF = deziro.Layout(Shelf, [("room", "room", "str"), ("row", "row", "int")])
BOOK = deziro.Layout(Book, [
    ("id", "id", "int"), ("isbn", "isbn", "str"), ("title", "title", "str"), ("year", "year", "int"),
    ("price", "price", "float"), ("author", "author", "key"), ("tags", "tags", ("list", "str")),
    ("shelf", "shelf", SHELF),
])


class Report:
    """Prints each step with the time it took."""

    def __init__(self):
        self.started = time.perf_counter()

    def step(self, text, work, *args):
        start = time.perf_counter()
        result = work(*args)
        elapsed = time.perf_counter() - start
        shown = (f"{elapsed * 1e6:9.0f} µs" if elapsed < 1e-3 else
                 f"{elapsed * 1e3:9.1f} ms" if elapsed < 10 else f"{elapsed:9.1f} s ")
        print(f"  {shown}  {text(result) if callable(text) else text}", flush=True)
        return result


def make_books(rng):
    for n in range(BOOKS):
        yield Book(isbn=f"978-{n:09d}", title=f"Book number {n}", year=rng.randrange(1900, 2025),
                   price=round(rng.uniform(2, 80), 2), author=f"author-{rng.randrange(AUTHORS):04d}",
                   tags=rng.sample(TAGS, rng.randrange(4)),
                   shelf=Shelf(rng.choice(ROOMS), rng.randrange(1, 41)))


def load(db):
    """Inserts the authors and the books in one write transaction, with a
    progress line, and commits durably."""
    rng = random.Random(2026)
    tx = db.begin_write()
    tx.insert_many("authors", AUTHOR, [Author(f"author-{n:04d}", rng.choice(["NO", "SE", "DK", "FI"]))
                                        for n in range(AUTHORS)])
    books, chunk, done = make_books(rng), 10_000, 0
    while done < BOOKS:
        batch = [next(books) for _ in range(min(chunk, BOOKS - done))]
        tx.insert_many("books", BOOK, batch)
        done += len(batch)
        print(f"\r  inserting books: {done:7,} / {BOOKS:,}", end="", flush=True)
    print("\r" + " " * 40 + "\r", end="")
    tx.commit(False)
    return done + AUTHORS


def queries(db):
    tx = db.begin_read()
    show = Report()
    in_range = deziro.parse_query("year >= $0 AND year < $1")
    show.step(lambda n: f"index range: {n:,} books from the 1960s",
              lambda: len(tx.find("books", BOOK, in_range, (1960, 1970))))
    dearest = deziro.parse_query("SORT BY price DESC LIMIT 10")
    show.step(lambda top: f"top-10 sort by price: {top[0].title!r} at {top[0].price}, ..., {top[-1].price}",
              lambda: tx.find("books", BOOK, dearest, ()))
    everything = deziro.parse_query("")
    show.step(lambda n: f"count of all books: {n:,}", lambda: tx.count("books", everything, ()))
    poetry_in = deziro.parse_query('tags CONTAINS "poetry" AND shelf.room == $0')
    show.step(lambda counts: "count, a full scan: poetry by room " + ", ".join(f"{r} {n:,}" for r, n in counts),
              lambda: [(room, tx.count("books", poetry_in, (room,))) for room in ROOMS])
    # One compiled query, reused with other parameters: the same as
    # "year == $0 SORT BY price LIMIT 3" in text.
    cheapest_of = deziro.compile_query("books", (0, 4, ("year",), (deziro.Param(0),)),
                                       [(("price",), False)], 0, 3)
    years = list(range(1990, 2000))
    show.step(lambda found: f"a parameterised query for {len(years)} years: cheapest of 1995 at "
                            f"{found[5][0].price}",
              lambda: [tx.find("books", BOOK, cheapest_of, (year,)) for year in years])
    by_isbn = deziro.parse_query("isbn == $0")
    show.step(lambda book: f"unique index lookup: {book.isbn} is {book.title!r} by {book.author}",
              lambda: tx.find_one("books", BOOK, by_isbn, ("978-000012345",)))
    show.step(lambda author: f"following a link: {author.name} lives in {author.country}",
              lambda: tx.get("authors", AUTHOR, tx.get("books", BOOK, 1).author))
    tx.end()


def change(db):
    """Raises the prices of the 1960s, deletes the books before 1910."""
    tx = db.begin_write()
    old = deziro.parse_query("year < $0")
    sixties = deziro.parse_query("year BETWEEN $0 AND $1")
    raised = sum(tx.update("books", None, book.id, {"price": round(book.price * 1.1, 2)})
                 for book in tx.find("books", BOOK, sixties, (1960, 1969)))
    gone = sum(tx.delete("books", book.id) for book in tx.find("books", BOOK, old, (1910,)))
    tx.commit(False)
    return raised, gone


def snapshot_stands_still(db):
    """A reader keeps its snapshot while a writer in another thread commits."""
    everything = deziro.parse_query("")
    reader = db.begin_read()
    before = reader.count("books", everything, ())

    def writer():
        tx = db.begin_write()
        tx.insert_many("books", BOOK, [Book(f"979-{n:09d}", "A new book", 2026, 9.5, "author-0001", [],
                                            Shelf("north", 1)) for n in range(1000)])
        tx.commit(False)

    thread = threading.Thread(target=writer)
    thread.start()
    thread.join()
    during = reader.count("books", everything, ())
    reader.end()
    after = db.begin_read().count("books", everything, ())
    return before, during, after


def maintenance(db, path):
    show = Report()
    report = show.step(lambda r: f"check: ok={r['ok']}, {r['objects_checked']:,} objects and "
                                 f"{r['pages_checked']:,} pages checked, {len(r['problems'])} problems",
                       db.check)
    tx = db.begin_write()
    for book in tx.find("books", BOOK, deziro.parse_query("year < $0"), (1960,)):
        tx.delete("books", book.id)
    tx.commit(False)
    show.step(lambda r: f"compact after deleting the books before 1960: {r['bytes_before']:,} -> "
                        f"{r['bytes_after']:,} bytes, {r['pages_moved']:,} pages moved", db.compact)
    copy = path + ".backup"
    show.step(lambda r: f"backup to {os.path.basename(copy)}: {r['entries']:,} entries in {r['trees']} trees, "
                        f"{r['bytes']:,} bytes", db.backup, copy)
    return report["ok"]


def main(path):
    print(f"DeziRO {deziro.engine_version()}, file format {deziro.FORMAT_VERSION}: {path}")
    show = Report()
    db = show.step("open with a schema of two collections", lambda: deziro.open(path, schema=SCHEMA))
    show.step(lambda n: f"inserted {n:,} objects through layouts, one durable commit", load, db)
    print("queries on a snapshot:")
    queries(db)
    show.step(lambda r: f"updated {r[0]:,} books and deleted {r[1]:,}, one durable commit", change, db)
    show.step(lambda r: f"a snapshot counted {r[0]:,} books before and {r[1]:,} after a writer committed "
                        f"1,000 more; a new one counts {r[2]:,}", snapshot_stands_still, db)
    print("maintenance:")
    ok = maintenance(db, path)
    db.close()
    print(f"  total {time.perf_counter() - show.started:.1f} s, file {os.path.getsize(path):,} bytes")
    return 0 if ok else 1


if __name__ == "__main__":
    if len(sys.argv) > 2:
        sys.exit("usage: demo.py [PATH]")
    if len(sys.argv) == 2:
        if os.path.lexists(sys.argv[1]):
            sys.exit(f"{sys.argv[1]} exists already: the demonstration makes a new database")
        sys.exit(main(os.path.abspath(sys.argv[1])))
    with tempfile.TemporaryDirectory() as folder:
        sys.exit(main(os.path.join(folder, "library.dz")))
