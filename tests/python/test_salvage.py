"""deziro.salvage: the figures of a rescue, the objects it brings back from a
damaged file, and the arguments and sources it refuses without leaving a
file behind."""

import os

import pytest

import deziro
from deziro._errors import VevaDuzor

SCHEMA = deziro.NativeSchema(1, [
    ("docs", [("id", "int", "key", None, False, False),
              ("body", "bytes", "required", None, False, False)]),
])
KEY = bytes(range(32))
KEYS = ["whole", "commit_id", "pages_scanned", "pages_damaged", "pages_unread",
        "entries_recovered", "values_lost", "objects_dropped", "trees", "entries", "bytes"]


def make_source(path, **secret):
    db = deziro.open(str(path), schema=SCHEMA, password_hashing=(64, 1, 1), **secret)
    tx = db.begin_write()
    for i in range(200):
        tx.put("docs", None, {"id": i, "body": bytes([i % 251]) * 100})
    tx.commit(True)
    db.close()


def error_of(call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except VevaDuzor as error:
        return error.args
    return None


def test_intact_file_is_rescued_whole(tmp_path):
    make_source(tmp_path / "s.db", key=KEY)
    figures = deziro.salvage(tmp_path / "s.db", str(tmp_path / "t.db"), key=KEY)
    assert list(figures) == KEYS
    assert figures["whole"] is True
    assert figures["pages_unread"] == figures["values_lost"] == figures["objects_dropped"] == 0
    assert figures["bytes"] == os.path.getsize(tmp_path / "t.db")
    db = deziro.open(str(tmp_path / "t.db"), schema=SCHEMA, key=KEY)
    assert db.check()["ok"]


def test_broken_commit_records_still_give_the_objects(tmp_path):
    make_source(tmp_path / "s.db")
    intact = deziro.salvage(str(tmp_path / "s.db"), str(tmp_path / "intact.db"))
    with open(tmp_path / "s.db", "r+b") as f:
        for slot in range(3):
            f.seek(512 + 512 * slot + 20)
            f.write(b"\x77\x77")
    figures = deziro.salvage(str(tmp_path / "s.db"), str(tmp_path / "t.db"))
    assert (figures["whole"], figures["commit_id"]) == (False, None)
    assert (figures["trees"], figures["entries"]) == (intact["trees"], intact["entries"])
    assert figures["entries"] > 200
    assert deziro.open(str(tmp_path / "t.db"), schema=SCHEMA).check()["ok"]


@pytest.mark.parametrize("arguments, code", [
    ({"key": KEY, "password": "p"}, "INVALID_ARGUMENT"),
    ({}, "KEY_REQUIRED"),
    ({"key": bytes(32)}, "WRONG_KEY"),
    ({"key": KEY, "busy_timeout": -1.0}, "INVALID_ARGUMENT"),
])
def test_refused_salvage_leaves_no_file(tmp_path, arguments, code):
    make_source(tmp_path / "s.db", key=KEY)
    assert error_of(deziro.salvage, str(tmp_path / "s.db"), str(tmp_path / "t.db"),
                    **arguments)[0] == code
    assert sorted(os.listdir(tmp_path)) == ["s.db"]


def test_source_open_here_is_busy_and_an_existing_target_refused(tmp_path):
    make_source(tmp_path / "s.db")
    db = deziro.open(str(tmp_path / "s.db"), schema=SCHEMA)
    assert error_of(deziro.salvage, str(tmp_path / "s.db"), str(tmp_path / "t.db"),
                    busy_timeout=30.0)[0] == "BUSY"
    db.close()
    (tmp_path / "t.db").write_bytes(b"mine")
    assert error_of(deziro.salvage, str(tmp_path / "s.db"), str(tmp_path / "t.db")) == (
        "INVALID_ARGUMENT",
        f"`{tmp_path / 't.db'}` exists already, and salvage never replaces a file")
    assert (tmp_path / "t.db").read_bytes() == b"mine"


@pytest.mark.parametrize("offset, rescued", [(300, True), (500, True), (0, False), (20, False)])
def test_damaged_published_record_is_read_from_its_pages_or_reported_lost(
        tmp_path, offset, rescued):
    db = deziro.open(str(tmp_path / "s.db"), schema=SCHEMA)
    tx = db.begin_write()
    for i in range(100):
        tx.put("docs", None, {"id": i, "body": b"x"})
    tx.commit(True)
    tx = db.begin_write()
    for i in range(0, 100, 2):
        tx.delete("docs", i)
    tx.commit(True)
    db.close()
    newest = deziro.salvage(str(tmp_path / "s.db"), str(tmp_path / "intact.db"))["commit_id"]
    with open(tmp_path / "s.db", "r+b") as f:
        f.seek(64)
        at = 512 + 512 * (f.read(1)[0] & 3) + offset
        f.seek(at)
        flipped = f.read(1)[0] ^ 0x5A
        f.seek(at)
        f.write(bytes([flipped]))
    figures = deziro.salvage(str(tmp_path / "s.db"), str(tmp_path / "t.db"))
    assert (figures["whole"], figures["commit_id"]) == (rescued, newest if rescued else newest - 1)
    count = deziro.open(str(tmp_path / "t.db"), schema=SCHEMA).begin_read().count(
        "docs", deziro.parse_query(""), ())
    assert count == (50 if rescued else 100)
