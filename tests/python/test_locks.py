"""Locks beside other descriptors and other processes: a writer keeps its
lock while the file is read through a descriptor of its own, `sync` and
`close` beside a writer, and waits that leave the interpreter lock free."""
import fcntl
import subprocess
import sys
import textwrap
import threading

import pytest

import deziro
from deziro._errors import VevaDuzor

WRITE_LOCK = 2**62 + 1
LONG_WAITING_WRITER = 2**62 + 3
SELECTOR_OFFSET = 64
DEFERRED_BIT = 0x80


@pytest.fixture
def path(tmp_path):
    return str(tmp_path / "t.db")


def start_python(code):
    return subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)


def finish(process):
    process.stdin.write("go\n")
    process.stdin.flush()
    out, _ = process.communicate(timeout=60)
    assert process.returncode == 0
    return out


def selector_is_deferred(path):
    # Read through a descriptor of its own, closed at once.
    with open(path, "rb") as file:
        head = file.read(SELECTOR_OFFSET + 1)
    return bool(head[SELECTOR_OFFSET] & DEFERRED_BIT)


def commit_deferred(db):
    db.begin_write().commit(True)


WRITER_PROBE = """
    import deziro
    from deziro._errors import VevaDuzor
    try:
        deziro.open({path!r}, busy_timeout=0.2).begin_write().commit(False)
        print("committed")
    except VevaDuzor as error:
        print(error.code)
"""


def test_a_writer_keeps_its_lock_while_the_file_is_read_through_another_descriptor(path):
    db = deziro.open(path)
    tx = db.begin_write()
    with open(path, "rb") as file:
        file.read(100)
    probe = subprocess.run([sys.executable, "-c", textwrap.dedent(WRITER_PROBE.format(path=path))],
                           capture_output=True, text=True, timeout=60)
    assert probe.stdout.strip() == "BUSY", probe.stderr
    tx.commit(False)
    db.close()


def test_sync_and_close_make_a_deferred_commit_durable_beside_this_handles_writer(path):
    db = deziro.open(path, busy_timeout=0.3)
    commit_deferred(db)
    assert selector_is_deferred(path)
    tx = db.begin_write()
    db.sync()
    assert not selector_is_deferred(path)
    tx.commit(True)
    assert selector_is_deferred(path)
    tx = db.begin_write()
    db.close()
    assert not db.is_open
    assert not selector_is_deferred(path)
    tx.end()


# Holds the write lock byte the way any other process's writer would, but
# without making anything durable, until a line comes on stdin; with
# `report_waiter`, it first says so once another writer waits for the lock.
LOCK_HOLDER = """
    import fcntl, os, struct, sys
    fd = os.open({path!r}, os.O_RDWR)
    fcntl.lockf(fd, fcntl.LOCK_EX | fcntl.LOCK_NB, 1, {write_lock}, 0)
    print("holding", flush=True)
    if {report_waiter}:
        query = struct.pack("@hhqqi4x", fcntl.F_WRLCK, 0, {long_waiting}, 1, 0)
        while struct.unpack("@hhqqi4x", fcntl.fcntl(fd, fcntl.F_GETLK, query))[0] == fcntl.F_UNLCK:
            pass
        print("waited for", flush=True)
    sys.stdin.readline()
"""


def hold_write_lock(path, report_waiter=False):
    holder = start_python(LOCK_HOLDER.format(path=path, write_lock=WRITE_LOCK,
                                             long_waiting=LONG_WAITING_WRITER,
                                             report_waiter=report_waiter))
    assert holder.stdout.readline().strip() == "holding"
    return holder


def test_a_close_that_cannot_make_its_commit_durable_raises_and_stays_open(path):
    db = deziro.open(path, busy_timeout=0.3)
    commit_deferred(db)
    holder = hold_write_lock(path)
    with pytest.raises(VevaDuzor) as raised:
        db.close()
    assert raised.value.code == "BUSY"
    assert db.is_open
    db.begin_read().end()
    finish(holder)
    db.close()
    assert not db.is_open
    assert not selector_is_deferred(path)


DEFERRED_THEN_WRITING = """
    import sys, deziro
    db = deziro.open({path!r})
    db.begin_write().commit(True)
    tx = db.begin_write()
    print("writing", flush=True)
    sys.stdin.readline()
    tx.end()
    db.close()
"""


def test_a_handle_without_a_commit_of_its_own_closes_beside_another_process_writer(path):
    deziro.open(path).close()
    other = start_python(DEFERRED_THEN_WRITING.format(path=path))
    assert other.stdout.readline().strip() == "writing"
    db = deziro.open(path, busy_timeout=0.3)
    db.begin_read().end()
    db.close()
    finish(other)


def test_dropping_the_last_handle_waits_for_the_writer_without_the_interpreter_lock(path):
    db = deziro.open(path, busy_timeout=5)
    commit_deferred(db)
    holder = hold_write_lock(path, report_waiter=True)
    handles = [db]
    del db
    # The file closes in another thread, waiting for the write lock to make
    # the commit durable; this thread must be able to run meanwhile and let
    # the lock go. Were the interpreter lock held through the wait, the
    # close would give up at the busy timeout and leave the commit deferred.
    dropping = threading.Thread(target=handles.clear)
    dropping.start()
    assert holder.stdout.readline().strip() == "waited for"
    finish(holder)
    dropping.join()
    assert not selector_is_deferred(path)
