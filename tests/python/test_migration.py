"""Migration transactions from Python: stepping through versions, reading
the objects as the previous schema stored them, writing their new form and
finishing into a database; ending instead leaves the file as it was."""

import subprocess
import sys
import textwrap

import pytest

import deziro._native as native
from deziro._errors import VevaDuzor
from deziro._native import Layout, NativeDatabase, NativeSchema, NativeTransaction, parse_query


def field(name, kind, role="optional", default=None, indexed=False, unique=False):
    return (name, kind, role, default, indexed, unique)


V1 = NativeSchema(1, [
    ("items", [field("id", "int", "key"), field("price", "int", "required", indexed=True)]),
    ("logs", [field("id", "int", "key"), field("line", "string", "required", indexed=True)]),
])
# Version 3: `price` becomes a float (a replaced field, so the old ints are
# read only through `previous`) and `logs` is gone.
V3 = NativeSchema(3, [("items", [field("id", "int", "key"), field("price", "float", indexed=True)])])
class Priced:
    pass


PRICED = Layout(Priced, [("id", "id", "int"), ("price", "price", "float")])
MIGRATIONS = [(2, [], [], [], []), (3, [], [], ["logs"], [("items", "price")])]


@pytest.fixture
def path(tmp_path):
    file = str(tmp_path / "shop.dz")
    db = native.open(file, schema=V1)
    tx = db.begin_write()
    for i in (3, 1, 2):
        tx.insert("items", None, {"id": i, "price": i * 10})
        tx.insert("logs", None, {"id": i, "line": f"l{i}"})
    tx.commit(False)
    db.close()
    return file


def error_of(call):
    with pytest.raises(VevaDuzor) as raised:
        call()
    return raised.value.args


def test_int_to_float_through_dicts_then_finish(path):
    tx = native.open(path, schema=V3, migrations=MIGRATIONS)
    assert isinstance(tx, NativeTransaction)
    assert (tx.previous_version, tx.version) == (1, 3)
    assert tx.without_schema() is None
    assert tx.previous_keys("items") == [1, 2, 3]
    assert tx.previous("items", 2) == {"id": 2, "price": 20}
    for key in tx.previous_keys("items"):
        # An int for the new float field is widened by the new schema.
        assert tx.update("items", None, key, {"price": tx.previous("items", key)["price"]})
    # Keys are still listed after writes to the same tree.
    assert tx.previous_keys("items") == [1, 2, 3]
    assert tx.get("items", None, 3) == {"id": 3, "price": 30.0}
    # A layout is matched against the schema the migration leads to.
    assert [vars(o) for o in tx.find("items", PRICED, parse_query("price < 25.0 SORT BY id"), ())] == [
        {"id": 1, "price": 10.0}, {"id": 2, "price": 20.0}]
    assert tx.count("items", parse_query("price > 15.0"), ()) == 2
    db = tx.finish()
    assert isinstance(db, NativeDatabase) and not tx.is_open
    assert db.stored_schema["version"] == 3
    assert [c["name"] for c in db.stored_schema["collections"]] == ["items"]
    assert [o["price"] for o in db.begin_read().find("items", None, parse_query("SORT BY price"), ())] == [
        10.0, 20.0, 30.0]
    assert error_of(lambda: tx.previous("items", 1)) == ("CLOSED", "the database has been closed")
    db.close()


def test_steps_end_and_reopen_offer_the_same_migration(path):
    tx = native.open(path, schema=V3, migrations=MIGRATIONS)
    assert [tx.next_step(), tx.next_step(), tx.next_step(), tx.next_step()] == [2, 3, None, None]
    # A deleted collection stays readable until finish.
    assert tx.previous("logs", 2) == {"id": 2, "line": "l2"}
    assert tx.previous_keys("logs") == [1, 2, 3]
    assert tx.previous("logs", 9) is None
    assert error_of(lambda: tx.previous("gone", 1)) == (
        "INVALID_ARGUMENT", "the schema has no collection called `gone`")
    assert error_of(lambda: tx.get("logs", None, 2))[0] == "INVALID_ARGUMENT"
    tx.update("items", None, 1, {"price": 1.0})
    tx.end()
    again = native.open(path, schema=V3, migrations=MIGRATIONS)
    assert again.previous_version == 1
    assert again.previous("items", 1) == {"id": 1, "price": 10}
    db = again.finish()
    assert error_of(lambda: again.finish()) == ("CLOSED", "the transaction has ended")
    assert db.begin_read().get("items", None, 1) == {"id": 1, "price": None}
    db.close()


def test_migration_members_refuse_other_transactions(path):
    db = native.open(path, schema=V1)
    read = db.begin_read()
    for member in (lambda t: t.version, lambda t: t.next_step(), lambda t: t.previous("items", 1),
                   lambda t: t.previous_keys("items")):
        assert error_of(lambda: member(read)) == ("INVALID_ARGUMENT", "the transaction is not a migration's")
    write = db.begin_write()
    assert error_of(write.finish) == ("INVALID_ARGUMENT", "the transaction is not a migration's")
    # That write transaction was aborted, so the writer is free.
    db.begin_write().end()
    db.close()


def test_a_reader_in_another_process_keeps_the_old_commit(path):
    tx = native.open(path, schema=V3, migrations=MIGRATIONS)
    tx.update("items", None, 1, {"price": 99.5})
    reader = textwrap.dedent(f"""
        import deziro._native as native
        db = native.open({path!r})
        snapshot = db.begin_read()
        print(db.stored_schema["version"], snapshot.get("items", None, 1), snapshot.get("logs", None, 1))
    """)
    run = lambda: subprocess.run([sys.executable, "-c", reader], capture_output=True, text=True, timeout=60)
    during = run()
    assert during.returncode == 0, during.stderr
    assert during.stdout.split("\n")[0] == "1 {'id': 1, 'price': 10} {'id': 1, 'line': 'l1'}"
    tx.finish().close()
    after = subprocess.run([sys.executable, "-c", reader.replace(", snapshot.get(\"logs\", None, 1)", "")],
                           capture_output=True, text=True, timeout=60)
    assert after.returncode == 0, after.stderr
    assert after.stdout.split("\n")[0] == "3 {'id': 1, 'price': 99.5}"


# Version 2 replaces both `a` and `b` (ints become floats) and deletes
# `note`; a migration that converts them one at a time must still read `b`
# and `note` as they were stored after it has rewritten the object for `a`.
PAIR_V1 = NativeSchema(1, [("pairs", [field("id", "int", "key"), field("a", "int", "required"),
                                      field("b", "int", "required"), field("note", "string")])])
PAIR_V2 = NativeSchema(2, [("pairs", [field("id", "int", "key"), field("a", "float"), field("b", "float")])])
PAIR_MIGRATIONS = [(2, [], [], [], [("pairs", "a"), ("pairs", "b")])]


class Pair:
    pass


PAIR = Layout(Pair, [("id", "id", "int"), ("a", "a", "float"), ("b", "b", "float")])


def pair_object(tx, key, **changes):
    stored = tx.get("pairs", None, key)
    return {**{k: v for k, v in stored.items() if v is not None}, **changes}


def pair_as_layout(tx, key, **changes):
    pair = Pair()
    pair.__dict__.update({"a": None, "b": None, **pair_object(tx, key, **changes)})
    return pair


REWRITES = {
    "update": lambda tx, key, name, value: tx.update("pairs", None, key, {name: value}),
    "put a dict": lambda tx, key, name, value: tx.put("pairs", None, pair_object(tx, key, **{name: value})),
    "put through a layout": lambda tx, key, name, value: tx.put(
        "pairs", PAIR, pair_as_layout(tx, key, **{name: value})),
}


@pytest.mark.parametrize("rewrite", REWRITES.values(), ids=REWRITES.keys())
def test_a_rewritten_object_keeps_its_previous_values_until_finish(tmp_path, rewrite):
    path = str(tmp_path / "pairs.dz")
    db = native.open(path, schema=PAIR_V1)
    tx = db.begin_write()
    for i in (1, 2, 3):
        tx.insert("pairs", None, {"id": i, "a": i, "b": 10 * i, "note": f"n{i}"})
    tx.commit(False)
    db.close()

    tx = native.open(path, schema=PAIR_V2, migrations=PAIR_MIGRATIONS)
    for name in ("a", "b"):
        for key in tx.previous_keys("pairs"):
            rewrite(tx, key, name, float(tx.previous("pairs", key)[name]))
    # The previous schema still reads every value it stored, and the new one
    # the converted values.
    assert tx.previous("pairs", 2) == {"id": 2, "a": 2, "b": 20, "note": "n2"}
    assert tx.get("pairs", None, 2) == {"id": 2, "a": 2.0, "b": 20.0}
    # An object the migration added reads through the previous schema too,
    # without the fields that schema required and the object lacks.
    tx.insert("pairs", None, {"id": 4, "a": 4.0})
    assert tx.previous("pairs", 4) == {"id": 4, "a": None, "b": None, "note": None}
    db = tx.finish()
    assert db.begin_read().find("pairs", None, parse_query("SORT BY id"), ()) == [
        {"id": 1, "a": 1.0, "b": 10.0}, {"id": 2, "a": 2.0, "b": 20.0}, {"id": 3, "a": 3.0, "b": 30.0},
        {"id": 4, "a": 4.0, "b": None}]
    report = db.check()
    assert (report["ok"], report["objects_checked"], report["problems"]) == (True, 4, [])
    db.close()
