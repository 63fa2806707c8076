"""NativeTransaction: its states, commit and end, dropping, durability of
deferred commits, threads, and writing objects through layouts and dicts."""

import os
import select
import signal
import subprocess
import sys
import textwrap
import threading
import time

import pytest

import deziro
from deziro._errors import VevaDuzor

ITEM_FIELDS = [
    ("sku", "string", "key", None, False, False),
    ("price", "float", "required", None, False, False),
    ("code", "bytes", "optional", None, False, True),
    ("n", "int", "optional", None, False, False),
]
SCHEMA = deziro.NativeSchema(1, [
    ("items", ITEM_FIELDS),
    ("counted", [("label", "string", "required", None, False, False)]),
    ("prices", ITEM_FIELDS[:2]),
])


class Item:
    def __init__(self, sku, price=1.0, code=None, n=None):
        self.sku, self.price, self.code, self.n = sku, price, code, n


class SubItem(Item):
    pass


ITEM = deziro.Layout(Item, [("sku", "sku", "str"), ("price", "price", "float"),
                            ("code", "code", "bytes"), ("n", "n", "int")])

CLOSED = ("CLOSED", "the database has been closed")
ENDED = ("CLOSED", "the transaction has ended")
DUPLICATE_CODE = ("DUPLICATE_KEY",
                  "another object of `items` holds this value of its unique field `code`")


def error_of(call, *args):
    """The args of the VevaDuzor that `call` raises, or its result."""
    try:
        return call(*args)
    except VevaDuzor as error:
        return error.args


@pytest.fixture
def path(tmp_path):
    return str(tmp_path / "t.db")


@pytest.fixture
def db(path):
    database = deziro.open(path, schema=SCHEMA, busy_timeout=0.2)
    yield database
    database.close()


def stored(db, sku):
    """Whether `items` holds `sku`, seen by a new write transaction."""
    tx = db.begin_write()
    try:
        tx.insert("items", None, {"sku": sku, "price": 0.0})
        return False
    except VevaDuzor as error:
        assert error.code == "DUPLICATE_KEY"
        return True
    finally:
        tx.end()


def run_python(code):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=60)


# ------------------------------------------------------------ states

def ended(db, commit):
    tx = db.begin_write()
    tx.commit(True) if commit else tx.end()
    return tx


NOTHING_TO_COMMIT = ("INVALID_ARGUMENT", "a read transaction has nothing to commit")
DOES_NOT_WRITE = ("INVALID_ARGUMENT", "a read transaction does not write")

# state, is_open, insert, without_schema, commit(False), second commit
STATE_MATRIX = [
    (lambda db: db.begin_read(), True, DOES_NOT_WRITE, None, NOTHING_TO_COMMIT, ENDED),
    (lambda db: db.begin_write(), True, "a", None, None, ENDED),
    (lambda db: ended(db, commit=False), False, CLOSED, None, ENDED, ENDED),
    (lambda db: ended(db, commit=True), False, CLOSED, None, ENDED, ENDED),
]


@pytest.mark.parametrize("make,is_open,insert,without_schema,commit,again", STATE_MATRIX)
def test_members_in_every_state(db, make, is_open, insert, without_schema, commit, again):
    tx = make(db)
    assert tx.is_open is is_open
    assert error_of(tx.insert, "items", None, {"sku": "a", "price": 1.0}) == insert
    assert error_of(tx.without_schema) == without_schema
    assert error_of(tx.commit, False) == commit
    assert tx.is_open is False
    assert error_of(tx.commit, True) == again
    assert tx.end() is None and tx.end() is None
    with pytest.raises(TypeError):
        tx.commit(0)


def test_without_schema_in_a_database_without_one(path):
    db = deziro.open(path)
    schemaless = ("INVALID_ARGUMENT",
                  "the database was opened without a schema, and the file holds none, so it has "
                  "no collections; declare one with `OpenOptions::schema`")
    for tx in (db.begin_read(), db.begin_write()):
        assert error_of(tx.without_schema) == schemaless
        tx.end()
        assert error_of(tx.without_schema) == CLOSED
    tx = db.begin_write()
    assert error_of(tx.insert, "c", None, {}) == schemaless
    tx.commit(False)
    db.close()


def test_a_migration_writes_by_its_new_schema_and_commits_only_by_finishing(path):
    v1 = deziro.NativeSchema(1, [("c", [("n", "int", "key", None, False, False)])])
    v2 = deziro.NativeSchema(2, [("c", [("n", "int", "key", None, False, False),
                                        ("x", "float", "optional", None, False, False)])])
    deziro.open(path, schema=v1).close()
    tx = deziro.open(path, schema=v2, migrations=[(2, [], [], [], [])])
    assert isinstance(tx, deziro.NativeTransaction) and tx.is_open
    assert tx.without_schema() is None
    # An int for a float field is widened by the schema the migration leads to.
    assert tx.put("c", None, {"n": 1, "x": 3}) == 1
    assert error_of(tx.commit, False) == ("INVALID_ARGUMENT",
                                          "a migration commits when it finishes")
    again = deziro.open(path, schema=v2, migrations=[(2, [], [], [], [])])
    assert isinstance(again, deziro.NativeTransaction)
    again.end()


# ------------------------------------------------------------ forked children

def answers_in_a_forked_child(probe, tx, calls):
    """Forks while another thread of this process is inside a member of `tx`
    (holding its mutex); the child makes `calls` and reports what each
    answered. A child that does not end within a generous deadline hangs."""
    entered_r, entered_w = os.pipe()
    release_r, release_w = os.pipe()
    report_r, report_w = os.pipe()
    holder = threading.Thread(target=probe.hold_transaction, args=(tx, entered_w, release_r))
    holder.start()
    try:
        assert os.read(entered_r, 1) == b"!"
        pid = os.fork()
        if pid == 0:
            answers = []
            try:
                for call in calls:
                    answers.append(error_of(call))
            except BaseException as error:
                answers.append(repr(error))
            os.write(report_w, repr(answers).encode())
            os._exit(0)
        os.close(report_w)
        report_w = None
        child = os.pidfd_open(pid)
        try:
            ended_in_time = bool(select.select([child], [], [], 60)[0])
        finally:
            os.close(child)
        if not ended_in_time:
            os.kill(pid, signal.SIGKILL)
        os.waitpid(pid, 0)
        assert ended_in_time, "the forked child hangs"
        report = b""
        while chunk := os.read(report_r, 65536):
            report += chunk
        return report.decode()
    finally:
        os.write(release_w, b"!")
        holder.join()
        for fd in (entered_r, entered_w, release_r, release_w, report_r, report_w):
            if fd is not None:
                os.close(fd)


MIGRATION_V1 = deziro.NativeSchema(1, [("c", [("n", "int", "key", None, False, False)])])
MIGRATION_V2 = deziro.NativeSchema(2, [("c", [("n", "int", "key", None, False, False),
                                              ("x", "float", "optional", None, False, False)])])


def migration_of(path):
    deziro.open(path, schema=MIGRATION_V1).close()
    return deziro.open(path, schema=MIGRATION_V2, migrations=[(2, [], [], [], [])])


def read_calls(tx):
    return [lambda: tx.get("items", None, "a"),
            lambda: tx.find("items", None, deziro.parse_query("sku == $0"), ("a",)),
            lambda: tx.find_one("items", None, deziro.parse_query("sku == $0"), ("a",)),
            lambda: tx.count("items", deziro.parse_query("sku == $0"), ("a",))]


def write_calls(tx):
    return [lambda: tx.insert("items", None, {"sku": "b", "price": 1.0}),
            lambda: tx.put("items", None, {"sku": "b", "price": 1.0}),
            lambda: tx.insert_many("items", None, [{"sku": "c", "price": 1.0}]),
            lambda: tx.update("items", None, "a", {"price": 2.0}),
            lambda: tx.delete("items", "a")]


def migration_calls(tx):
    return [lambda: tx.version, lambda: tx.previous_version, tx.next_step,
            lambda: tx.previous("c", 1), lambda: tx.previous_keys("c"),
            lambda: tx.put("c", None, {"n": 2}), tx.finish]


# how the transaction begins, the members that reach its state, how it ends
# in the child
FORKED_STATES = [
    (lambda db, path: db.begin_read(), read_calls, lambda tx: tx.commit(False)),
    (lambda db, path: db.begin_write(), lambda tx: read_calls(tx) + write_calls(tx),
     lambda tx: tx.commit(False)),
    (lambda db, path: db.begin_write(), write_calls, lambda tx: tx.commit(True)),
    (lambda db, path: migration_of(path + ".m"), migration_calls, lambda tx: tx.finish()),
]


@pytest.mark.parametrize("begin,members,finish", FORKED_STATES)
def test_a_forked_child_answers_at_once_while_the_parent_was_inside_a_member(
        probe, db, path, begin, members, finish):
    tx = begin(db, path)
    calls = members(tx)
    child_calls = ([lambda: tx.is_open] + calls + [lambda: finish(tx), lambda: tx.is_open,
                   tx.end, lambda: db.is_open, lambda: db.page_size, db.begin_read])
    expected = [True] + [CLOSED] * len(calls) + [CLOSED, False, None,
                                                            True, 4096, CLOSED]
    assert answers_in_a_forked_child(probe, tx, child_calls) == repr(expected)
    # The parent's transaction is untouched by what the child did.
    assert tx.is_open
    tx.end()


# ------------------------------------------------------------ ending and dropping

def test_a_dropped_write_transaction_frees_the_writer_at_once(path):
    db = deziro.open(path, schema=SCHEMA, busy_timeout=0.05)
    tx = db.begin_write()
    tx.insert("items", None, {"sku": "gone", "price": 1.0})
    del tx
    assert not stored(db, "gone")
    db.close()


def test_a_transaction_outlives_the_close_of_its_handle(path):
    db = deziro.open(path, schema=SCHEMA)
    tx = db.begin_write()
    db.close()
    tx.insert("items", ITEM, Item("kept"))
    tx.commit(False)
    db = deziro.open(path, schema=SCHEMA)
    assert stored(db, "kept")
    db.close()


DEFERRED_THEN_KILLED = """
    import os, signal, deziro
    from deziro._errors import VevaDuzor
    schema = deziro.NativeSchema(1, [("items", {fields!r})])
    db = deziro.open({path!r}, schema=schema)
    tx = db.begin_write()
    tx.insert("items", None, {{"sku": "late", "price": 2.0}})
    tx.commit(True)
    probe = db.begin_write()
    try:
        probe.insert("items", None, {{"sku": "late", "price": 2.0}})
        print("invisible", flush=True)
    except VevaDuzor as error:
        print(error.code, flush=True)
    probe.end()
    db.{finish}()
    os.kill(os.getpid(), signal.SIGKILL)
"""


@pytest.mark.parametrize("finish", ["sync", "close"])
def test_a_deferred_commit_is_visible_at_once_and_durable_after_sync_or_close(path, finish):
    result = run_python(DEFERRED_THEN_KILLED.format(path=path, fields=ITEM_FIELDS, finish=finish))
    assert result.returncode == -9, result.stderr
    assert result.stdout.split() == ["DUPLICATE_KEY"]
    db = deziro.open(path)
    assert stored(db, "late")
    db.close()


def test_a_commit_from_another_thread_waits_for_a_running_batch_or_ends_it_first(db):
    # The commit meets the batch at the transaction's mutex: either the batch
    # holds it and the commit waits for the whole batch, or the commit takes
    # it first and the batch is refused as on any ended transaction. Which
    # comes first is the scheduler's choice; neither may half-store the batch.
    tx = db.begin_write()
    taken = threading.Event()
    outcome = {}

    def objects():
        for i in range(100_000):
            yield Item(f"k{i:06}", float(i))
        taken.set()

    def committer():
        taken.wait()
        outcome["commit"] = error_of(tx.commit, False)
        outcome["open"] = tx.is_open

    thread = threading.Thread(target=committer)
    thread.start()
    keys = error_of(tx.insert_many, "items", ITEM, objects())
    thread.join()
    assert outcome == {"commit": None, "open": False}
    if keys == CLOSED:
        assert not stored(db, "k000000") and not stored(db, "k099999")
    else:
        assert len(keys) == 100_000 and keys[-1] == "k099999"
        assert stored(db, "k000000") and stored(db, "k099999")


# ------------------------------------------------------------ writing

def test_keys_of_each_kind_come_back(db):
    tx = db.begin_write()
    assert tx.insert("counted", None, {"label": "a"}) == 1
    assert tx.insert_many("counted", None, [{"label": "b"}, {"label": "c"}]) == [2, 3]
    assert tx.insert("items", ITEM, SubItem("s")) == "s"
    assert tx.put("items", ITEM, Item("s", 2.0)) == "s"
    assert tx.put_many("items", None, [{"sku": "s", "price": 3.0}, {"sku": "t", "price": 1}]) \
        == ["s", "t"]
    assert error_of(tx.insert, "items", ITEM, Item("s"))[0] == "DUPLICATE_KEY"
    tx.commit(False)


def test_an_int_for_a_float_field_is_stored_as_a_float_on_both_roads(db):
    tx = db.begin_write()
    assert tx.insert("items", ITEM, Item("row", 3)) == "row"
    assert tx.insert("items", None, {"sku": "map", "price": 3}) == "map"
    if hasattr(tx, "get"):
        for sku in ("row", "map"):
            price = tx.get("items", None, sku)["price"]
            assert price == 3.0 and type(price) is float
    tx.commit(False)


@pytest.mark.parametrize("layout", [ITEM, None])
def test_bytes_like_values_are_copied_before_the_write(db, layout):
    code = bytearray(b"abc")
    tx = db.begin_write()
    first = Item("a", code=code) if layout else {"sku": "a", "price": 1.0, "code": code}
    tx.insert("items", layout, first)
    code[:] = b"xyz"
    assert error_of(tx.insert, "items", None, {"sku": "b", "price": 1.0, "code": b"abc"}) \
        == DUPLICATE_CODE
    assert tx.insert("items", None, {"sku": "c", "price": 1.0, "code": memoryview(b"xyz")}) == "c"
    tx.commit(False)


def test_an_iterator_that_raises_writes_nothing(db):
    def objects():
        yield Item("a")
        yield Item("b")
        raise RuntimeError("the source failed")

    tx = db.begin_write()
    with pytest.raises(RuntimeError, match="the source failed"):
        tx.insert_many("items", ITEM, objects())
    assert tx.insert_many("items", ITEM, [Item("a"), Item("b")]) == ["a", "b"]
    tx.commit(False)


@pytest.mark.parametrize("layout", [ITEM, None])
def test_a_refused_object_stops_the_batch_and_keeps_the_ones_before(db, layout):
    objects = [Item("a"), Item("b"), Item("a"), Item("z")]
    if layout is None:
        objects = [vars(o) for o in objects]
    tx = db.begin_write()
    assert error_of(tx.insert_many, "items", layout, objects)[0] == "DUPLICATE_KEY"
    tx.commit(False)
    assert stored(db, "a") and stored(db, "b") and not stored(db, "z")


class Counting:
    reads = 0

    def __init__(self, sku, price):
        self.sku, self._price = sku, price

    @property
    def price(self):
        Counting.reads += 1
        return self._price


COUNTING = deziro.Layout(Counting, [("sku", "sku", "str"), ("price", "price", "float")])


@pytest.mark.parametrize("price,reads,result", [
    (2.5, 1, "k"),                                   # the row road reads once
    (True, 2, ("INVALID_ARGUMENT", None)),           # a bool for a float: the map road decides
    ([1.0], 2, ("INVALID_ARGUMENT", None)),          # a list gives the row road up
    ({1.0}, 1, ("INVALID_ARGUMENT", "DeziRO cannot store a set")),
])
def test_the_row_road_and_when_it_gives_up(db, price, reads, result):
    Counting.reads = 0
    tx = db.begin_write()
    got = error_of(tx.insert, "prices", COUNTING, Counting("k", price))
    if isinstance(result, tuple) and result[1] is None:
        got = (got[0], None)
    assert (got, Counting.reads) == (result, reads)
    tx.end()


BATCH_REFUSALS = [
    (None, 5, "a batch is an iterable of objects, not 5"),
    (ITEM, "ab", "expected a Item, not a str"),
    (None, "ab", "an object of a collection reached by name is a dict, not a str"),
    (ITEM, [3], "expected a Item, not a int"),
]


@pytest.mark.parametrize("layout,objects,message", BATCH_REFUSALS)
def test_refused_batches_say_why(db, layout, objects, message):
    tx = db.begin_write()
    assert error_of(tx.insert_many, "items", layout, objects) == ("INVALID_ARGUMENT", message)
    assert tx.insert("items", None, {"sku": "still", "price": 1.0}) == "still"
    tx.commit(False)


FIELDLESS = deziro.Layout(Item, [])


@pytest.mark.parametrize("layout", [None, ITEM, FIELDLESS])
def test_an_empty_batch_still_meets_the_state_and_collection_checks(db, layout):
    read = db.begin_read()
    assert error_of(read.insert_many, "items", layout, []) == DOES_NOT_WRITE
    read.end()
    tx = db.begin_write()
    assert error_of(tx.put_many, "nope", layout, []) == (
        "INVALID_ARGUMENT", "the schema has no collection called `nope`")
    assert tx.insert_many("items", layout, []) == []
    tx.end()


def test_conversion_errors_come_before_the_state(db):
    tx = db.begin_write()
    tx.end()
    assert error_of(tx.insert, "items", ITEM, Item("a", n=2**63)) == (
        "INVALID_ARGUMENT", "9223372036854775808 is beyond a 64-bit int")
    assert error_of(tx.insert, "items", ITEM, Item("a")) == CLOSED
    with pytest.raises(TypeError):
        tx.insert(5, None, {})
    with pytest.raises(TypeError):
        tx.insert("items", "not a layout", {})


# ------------------------------------------------------------ snapshots

needs_count = pytest.mark.skipif(not hasattr(deziro.NativeTransaction, "count"),
                                 reason="reading members are not in the module yet")
EVERYTHING = deziro.compile_query("items", None, [], 0, None)


def write_pairs(db, commits):
    for i in range(commits):
        tx = db.begin_write()
        tx.insert_many("items", None, [{"sku": f"{i}-a", "price": 1.0},
                                       {"sku": f"{i}-b", "price": 2.0}])
        tx.commit(i % 2 == 0)


@needs_count
def test_snapshots_in_other_threads_never_see_half_a_commit(db):
    counts = []
    stop = threading.Event()

    def reader():
        while not stop.is_set():
            tx = db.begin_read()
            first = tx.count("items", EVERYTHING, ())
            counts.append((first, tx.count("items", EVERYTHING, ())))
            tx.end()

    readers = [threading.Thread(target=reader) for _ in range(3)]
    for thread in readers:
        thread.start()
    write_pairs(db, 60)
    stop.set()
    for thread in readers:
        thread.join()
    assert counts and all(a == b and a % 2 == 0 for a, b in counts)


SNAPSHOT_READER = """
    import deziro
    db = deziro.open({path!r})
    query = deziro.compile_query("items", None, [], 0, None)
    print("ready", flush=True)
    odd = 0
    while True:
        tx = db.begin_read()
        n = tx.count("items", query, ())
        tx.end()
        odd += n % 2
        if n >= 120:
            break
    print(odd, flush=True)
"""


@needs_count
def test_snapshots_in_another_process_never_see_half_a_commit(db, path):
    reader = subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(SNAPSHOT_READER.format(path=path))],
        stdout=subprocess.PIPE, text=True)
    assert reader.stdout.readline().strip() == "ready"
    write_pairs(db, 60)
    db.sync()
    assert reader.stdout.readline().strip() == "0"
    assert reader.wait(timeout=60) == 0
