"""NativeDatabase.compact and backup: their figures, what the copy opens
with, and the arguments they refuse before any file is made."""

import os
import signal
import subprocess
import sys
import time

import pytest

import deziro
from deziro._errors import VevaDuzor

SCHEMA = deziro.NativeSchema(1, [
    ("docs", [("id", "int", "key", None, False, False),
              ("body", "bytes", "required", None, False, False)]),
])
KEY = bytes(range(32))
CHEAP = (64, 1, 1)


def fill(db, count, size):
    tx = db.begin_write()
    for i in range(count):
        tx.put("docs", None, {"id": i, "body": bytes([i % 251]) * size})
    tx.commit(True)


def error_of(call, *args, **kwargs):
    try:
        return call(*args, **kwargs)
    except VevaDuzor as error:
        return error.args


def test_compact_gives_back_what_shrunk_values_left(tmp_path):
    path = str(tmp_path / "c.db")
    db = deziro.open(path, schema=SCHEMA)
    fill(db, 3000, 1500)
    fill(db, 3000, 10)
    figures = db.compact()
    assert list(figures) == ["bytes_before", "bytes_after", "pages_moved"]
    assert figures["bytes_after"] == os.path.getsize(path)
    assert figures["bytes_after"] * 4 < figures["bytes_before"]
    assert db.compact()["pages_moved"] == 0
    db.close()
    assert error_of(db.compact) == ("CLOSED", "the database is closed")


def test_backup_under_a_new_password_opens_with_it_only(tmp_path):
    source = deziro.open(str(tmp_path / "s.db"), schema=SCHEMA, key=KEY)
    fill(source, 500, 100)
    copy = str(tmp_path / "copy.db")
    figures = source.backup(copy, password="new", password_hashing=CHEAP)
    assert list(figures) == ["commit_id", "trees", "entries", "bytes"]
    assert figures["bytes"] == os.path.getsize(copy)
    assert figures["entries"] >= 500
    assert error_of(deziro.open, copy, schema=SCHEMA, key=KEY)[0] == "WRONG_KEY"
    again = deziro.open(copy, schema=SCHEMA, password="new")
    assert again.is_encrypted
    # A copy of the copy holds the same trees and entries.
    second = again.backup(str(tmp_path / "second.db"))
    assert (second["trees"], second["entries"]) == (figures["trees"], figures["entries"])


EXISTS = "`{}` exists already, and a backup never replaces a file"


@pytest.mark.parametrize("arguments,error", [
    ({"key": KEY, "password": "p"}, ("INVALID_ARGUMENT", "give a key or a password, not both")),
    ({"password": ""}, ("INVALID_ARGUMENT", "the password is empty")),
    ({"password": "p", "password_hashing": (64, 1, 0)},
     ("INVALID_ARGUMENT", "the password hashing parallelism must be from 1 to 64")),
    ({"key": b"short"}, ("INVALID_ARGUMENT", "a key is 32 bytes, not 5")),
    ({"password_hashing": (1, 2)}, ValueError),
    ({"existing": True}, ("INVALID_ARGUMENT", EXISTS)),
])
def test_refused_backup_makes_no_file(tmp_path, arguments, error):
    db = deziro.open(str(tmp_path / "s.db"), schema=SCHEMA)
    fill(db, 10, 10)
    target = str(tmp_path / "t.db")
    if arguments.pop("existing", False):
        with open(target, "wb") as f:
            f.write(b"old")
    before = sorted(os.listdir(tmp_path))
    if isinstance(error, type):
        with pytest.raises(error):
            db.backup(target, **arguments)
    else:
        code, message = error
        assert error_of(db.backup, target, **arguments) == (code, message.format(target))
    assert sorted(os.listdir(tmp_path)) == before
    db.close()
    assert error_of(db.backup, target) == ("CLOSED", "the database is closed")


KILLED_CHILD = """
import sys
import deziro
source, target, how = sys.argv[1:]
if how == "backup":
    deziro.open(source).backup(target)
else:
    deziro.salvage(source, target)
"""


def new_file_of(pid, folder, source):
    """The size of a file in `folder`, other than `source`, that process
    `pid` has open, or None."""
    fds = f"/proc/{pid}/fd"
    try:
        names = os.listdir(fds)
    except FileNotFoundError:
        return None
    for name in names:
        try:
            where = os.readlink(os.path.join(fds, name))
            if where.startswith(folder + os.sep) and where != source:
                return os.stat(os.path.join(fds, name)).st_size
        except OSError:
            continue
    return None


@pytest.mark.parametrize("how", ["backup", "salvage"])
def test_killed_copy_leaves_nothing_beside_the_target(tmp_path, how):
    source = str(tmp_path / "s.db")
    db = deziro.open(source, schema=SCHEMA)
    for part in range(8):
        tx = db.begin_write()
        for i in range(part * 4000, (part + 1) * 4000):
            tx.put("docs", None, {"id": i, "body": bytes([i % 251]) * 2000})
        tx.commit(True)
    db.close()
    child = subprocess.Popen([sys.executable, "-c", KILLED_CHILD, source,
                              str(tmp_path / "t.db"), how])
    try:
        # Killed once the new file holds a few MiB: well inside the copy.
        deadline = time.monotonic() + 60
        while (new_file_of(child.pid, str(tmp_path), source) or 0) < 4 << 20:
            assert child.poll() is None, "the copy ended before it could be killed"
            assert time.monotonic() < deadline
    finally:
        child.kill()
        child.wait()
    assert child.returncode == -signal.SIGKILL
    assert os.listdir(tmp_path) == ["s.db"]
