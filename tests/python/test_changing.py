"""Changing and deleting stored objects by primary key: update and delete,
what they refuse, and what a refusal leaves behind."""

import pytest

import deziro._native as native
from deziro._errors import VevaDuzor
from deziro._native import Layout, NativeSchema, parse_query

PEOPLE = NativeSchema(1, [("people", [
    ("id", "int", "key", None, False, False),
    ("email", "string", "required", None, True, True),
    ("nick", "string", "optional", None, False, False),
    ("level", "int", "default", 1, True, False),
    ("weight", "float", "optional", None, False, False),
])])


class Person:
    pass


# The attribute `mail` is stored as `email`.
PERSON = Layout(Person, [("id", "id", "int"), ("mail", "email", "str"), ("nick", "nick", "str"),
                         ("level", "level", "int"), ("weight", "weight", "float")])


@pytest.fixture
def db(tmp_path):
    handle = native.open(str(tmp_path / "people.dz"), schema=PEOPLE)
    tx = handle.begin_write()
    for i in range(3):
        tx.insert("people", None, {"id": i, "email": f"e{i}", "nick": f"n{i}", "level": 5})
    tx.commit(False)
    yield handle
    handle.close()


def error_of(call):
    with pytest.raises(VevaDuzor) as raised:
        call()
    return raised.value.args


def by_email(tx, email):
    return [p["id"] for p in tx.find("people", None, parse_query("email == $0"), (email,))]


def test_missing_keys_change_nothing_even_with_changes_that_would_be_refused(db):
    tx = db.begin_write()
    assert tx.update("people", None, 9, {"email": None, "nope": 1}) is False
    assert tx.delete("people", 9) is False
    assert tx.delete("people", 1) is True
    assert tx.delete("people", 1) is False
    tx.commit(False)
    assert db.begin_read().count("people", parse_query(""), ()) == 2


NAMED = NativeSchema(1, [
    ("by_str", [("k", "string", "key", None, False, False), ("v", "int", "optional", None, False, False)]),
    ("by_bytes", [("k", "bytes", "key", None, False, False), ("v", "int", "optional", None, False, False)]),
])


# With 4 KiB pages a key is at most 957 bytes, 954 of a str or bytes once
# encoded.
@pytest.mark.parametrize("collection,longest,too_long", [
    ("by_str", "b" * 954, "b" * 955),
    ("by_str", "b" * 954, "b" * 1000),
    ("by_bytes", b"b" * 954, b"b" * 955),
    ("by_bytes", b"b" * 954, b"\xff" * 5000),
])
def test_a_key_longer_than_the_file_allows_is_missing(tmp_path, collection, longest, too_long):
    handle = native.open(str(tmp_path / "keys.dz"), schema=NAMED)
    tx = handle.begin_write()
    tx.insert(collection, None, {"k": longest, "v": 1})
    tx.commit(False)
    tx = handle.begin_write()
    assert tx.get(collection, None, too_long) is None
    assert tx.delete(collection, too_long) is False
    assert tx.update(collection, None, too_long, {"v": 2}) is False
    assert tx.update(collection, None, too_long, {"v": "refused if it were there"}) is False
    code, message = error_of(lambda: tx.insert(collection, None, {"k": too_long}))
    assert code == "INVALID_ARGUMENT" and "at most 957 bytes" in message
    # The transaction goes on as after any missing key.
    assert tx.update(collection, None, longest, {"v": 3}) is True
    tx.commit(False)
    read = handle.begin_read()
    assert read.count(collection, parse_query(""), ()) == 1
    assert read.get(collection, None, longest)["v"] == 3
    read.end()
    handle.close()


def test_update_by_attribute_or_stored_name_and_none_per_role(db):
    tx = db.begin_write()
    assert tx.update("people", PERSON, 0, {"mail": "x0", "weight": 2, "nick": None}) is True
    assert tx.update("people", None, 1, {"email": "x1", "weight": 3, "level": None}) is True
    assert vars(tx.get("people", PERSON, 0)) == {"id": 0, "mail": "x0", "nick": None, "level": 5, "weight": 2.0}
    # A required field with a default takes it back.
    assert tx.get("people", None, 1) == {"id": 1, "email": "x1", "nick": "n1", "level": 1, "weight": 3.0}
    assert error_of(lambda: tx.update("people", PERSON, 0, {"email": "y"})) == (
        "INVALID_ARGUMENT", "Person has no field email")
    with pytest.raises(TypeError):
        tx.update("people", PERSON, 0, [("mail", "y")])
    tx.commit(False)


def test_refused_updates_leave_object_indexes_and_transaction_intact(db):
    tx = db.begin_write()
    refusals = [
        ({"email": "e2"}, ("DUPLICATE_KEY", "another object of `people` holds this value of its unique field `email`")),
        ({"email": None}, ("INVALID_ARGUMENT", "an object of `people`: `email` is required")),
        ({"id": 7}, ("INVALID_ARGUMENT", "an update of an object of `people` cannot change its primary key; "
                                         "delete the object and insert it again")),
        ({"level": "high"}, None),
    ]
    for changes, expected in refusals:
        args = error_of(lambda: tx.update("people", None, 0, changes))
        if expected:
            assert args == expected
    assert error_of(lambda: tx.update("people", None, "0", {})) == (
        "INVALID_ARGUMENT", 'String("0") is not a primary key of `people`')
    assert tx.update("people", None, 0, {"id": 0}) is True
    assert tx.get("people", None, 0)["email"] == "e0"
    assert by_email(tx, "e0") == [0] and by_email(tx, "e2") == [2]
    tx.commit(False)
    read = db.begin_read()
    assert read.get("people", None, 0) == {"id": 0, "email": "e0", "nick": "n0", "level": 5, "weight": None}
    assert read.count("people", parse_query("level == 5"), ()) == 3


def test_unique_values_moved_by_update_or_freed_by_delete_are_free_again(db):
    tx = db.begin_write()
    assert tx.update("people", None, 0, {"email": "moved"})
    tx.insert("people", None, {"id": 10, "email": "e0"})
    assert error_of(lambda: tx.insert("people", None, {"id": 11, "email": "moved"}))[0] == "DUPLICATE_KEY"
    assert tx.delete("people", 1)
    tx.insert("people", None, {"id": 12, "email": "e1"})
    tx.commit(False)
    read = db.begin_read()
    assert by_email(read, "e0") == [10] and by_email(read, "moved") == [0] and by_email(read, "e1") == [12]
    assert read.count("people", parse_query("level == 1"), ()) == 2


def test_state_errors(db):
    read = db.begin_read()
    for call in (lambda t: t.update("people", None, 0, {}), lambda t: t.delete("people", 0)):
        assert error_of(lambda: call(read)) == ("INVALID_ARGUMENT", "a read transaction does not write")
    tx = db.begin_write()
    tx.end()
    assert error_of(lambda: tx.delete("people", 0)) == ("CLOSED", "the database has been closed")
