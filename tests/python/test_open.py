"""open and NativeDatabase: option checks and their order, timeouts, keys and
passwords, format upgrade, close and fork, and the stored schema."""

import math
import os
import subprocess
import sys
import textwrap
import threading

import pytest

import deziro
from deziro._errors import VevaDuzor

FAST_HASHING = (8, 1, 1)
KEY = bytes(range(32))


def refused(code, message, call, *args, **kwargs):
    with pytest.raises(VevaDuzor) as caught:
        call(*args, **kwargs)
    assert caught.value.args == (code, message)


def run_python(code, timeout=60):
    """Runs `code` in a new interpreter; returns the finished process."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True, text=True, timeout=timeout,
    )


def start_python(code):
    return subprocess.Popen(
        [sys.executable, "-c", textwrap.dedent(code)],
        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
    )


@pytest.fixture
def path(tmp_path):
    return str(tmp_path / "test.db")


# ------------------------------------------------------------ option checks

V3 = deziro.NativeSchema(3, [("c", [("n", "int", "key", None, False, False)])])
INVALID = "INVALID_ARGUMENT"
REFUSED_OPENS = [
    # Key and password together come before the timeout and the key.
    (dict(key=b"short", password="pw", busy_timeout=-1), INVALID,
     "give a key or a password, not both"),
    (dict(busy_timeout=-1, key=b"short"), INVALID, "a timeout is a number of seconds, not -1"),
    (dict(key=b"short", password=None), INVALID, "a key is 32 bytes, not 5"),
    (dict(key="x" * 32), INVALID, "a key is 32 bytes"),
    (dict(key=bytes(31)), INVALID, "a key is 32 bytes, not 31"),
    (dict(password=5), INVALID, "a password is a str or bytes"),
    (dict(password=""), INVALID, "the password is empty"),
    (dict(page_size=5000), INVALID,
     "the page size must be a power of two from 4096 to 65536, not 5000"),
    (dict(password_hashing=(19456, 2, 0)), INVALID,
     "the password hashing parallelism must be from 1 to 64"),
    (dict(password_hashing=(16, 2, 4)), INVALID,
     "the password hashing memory must be from 8 KiB per lane to 1 GiB, in KiB"),
    (dict(migrations=[(2, [], [], [], [])]), INVALID,
     "migrations are declared without a schema to migrate to"),
    (dict(schema=V3, migrations=[(1, [], [], [], [])]), INVALID,
     "a migration to version 1 does not lead from version 1 up to the declared version 3"),
    (dict(create=False), "NOT_FOUND", "no database exists at `{path}`"),
]


@pytest.mark.parametrize("options,code,message", REFUSED_OPENS)
def test_refused_open_says_why_and_creates_nothing(path, options, code, message):
    refused(code, message.format(path=path), deziro.open, path, **options)
    assert not os.path.exists(path)


@pytest.mark.parametrize("options,error", [
    (dict(page_size=-1), OverflowError),
    (dict(cache_size=-1), OverflowError),
    (dict(password_hashing=[19456, 2, 1]), TypeError),
    (dict(password_hashing=(19456, 2, 2**32)), OverflowError),
    (dict(migrations=None), TypeError),
    (dict(migrations=[(2, [], [])]), ValueError),
    (dict(create=1), TypeError),
    (dict(schema="not a schema"), TypeError),
    (dict(path=b"bytes.db"), TypeError),
    (dict(password="\ud800"), UnicodeEncodeError),
])
def test_argument_shapes_raise_the_framework_errors(path, options, error):
    with pytest.raises(error):
        deziro.open(**{"path": path, **options})
    assert not os.path.exists(path)


def test_a_new_file_has_the_defaults(tmp_path):
    db = deziro.open(tmp_path / "p.db")
    assert (db.page_size, db.format_version, db.is_encrypted) == (4096, 6, False)
    db.close()


# ------------------------------------------------------------ paths with a NUL

# Each call gets a path that a NUL would end early, where the system would
# reach the file named before it; `old` is a database in the folder `d`.
NUL_PATHS = [
    lambda d, old: deziro.open(str(d / "new.db") + "\x00.bak"),
    lambda d, old: deziro.open(str(old) + "\x00x", create=False),
    lambda d, old: deziro.open(old).backup(str(d / "bk") + "\x00zz"),
    lambda d, old: deziro.salvage(str(old), str(d / "rescued") + "\x00zz"),
    lambda d, old: deziro.salvage(str(old) + "\x00x", str(d / "rescued")),
]


@pytest.mark.parametrize("call", NUL_PATHS)
def test_a_path_with_a_nul_is_refused_before_any_file_is_touched(tmp_path, call):
    old = tmp_path / "old.db"
    deziro.open(old).close()

    def folder():
        return {p.name: p.read_bytes() for p in tmp_path.iterdir()}

    before = folder()
    with pytest.raises(ValueError, match="^embedded null byte$"):
        call(tmp_path, old)
    assert folder() == before


# ------------------------------------------------------------ timeouts

@pytest.mark.parametrize("seconds,shown", [
    (-1, "-1"), (-0.5, "-0.5"), (-math.inf, "-inf"), (math.inf, "inf"), (math.nan, "NaN"),
    # The shortest digits that read back, never the exact binary value.
    (2.0**64, "18446744073709552000"), (2.0**70, "1180591620717411300000"),
    (1e300, "1" + "0" * 300), (-1e300, "-1" + "0" * 300), (-123.456, "-123.456"),
    (-0.1, "-0.1"), (-1.5e-7, "-0.00000015"), (-1e-300, "-" + "0." + "0" * 299 + "1"),
    (-5e-324, "-0." + "0" * 323 + "5"), (-1.7976931348623157e308, "-17976931348623157" + "0" * 292),
])
def test_refused_timeouts_show_their_shortest_decimal(path, seconds, shown):
    refused("INVALID_ARGUMENT", f"a timeout is a number of seconds, not {shown}",
            deziro.open, path, busy_timeout=seconds)


@pytest.mark.parametrize("seconds", [0, -0.0, 1e-12, 2.0**64 - 2**11])
def test_timeouts_from_zero_to_below_two_to_the_64_are_taken(tmp_path, seconds):
    deziro.open(tmp_path / "t.db", busy_timeout=seconds).close()


def test_a_huge_timeout_waits_instead_of_failing_at_once(path):
    # A deadline that overflowed the clock would give BUSY at once, while the
    # holder still has the write: begin_write raises then.
    db = deziro.open(path, busy_timeout=1e15)
    holder = db.begin_write()
    release = threading.Timer(0.05, holder.end)
    release.start()
    db.begin_write().end()
    release.join()
    db.close()


# ------------------------------------------------------------ keys and passwords

def test_keys_and_passwords_open_only_their_files(tmp_path):
    keyed, plain = str(tmp_path / "k.db"), str(tmp_path / "p.db")
    db = deziro.open(keyed, key=bytearray(KEY))
    assert db.is_encrypted
    db.close()
    deziro.open(keyed, key=memoryview(KEY)).close()
    refused("KEY_REQUIRED", f"`{keyed}` is encrypted; open it with its key or password",
            deziro.open, keyed)
    refused("WRONG_KEY", f"the key or password does not open `{keyed}`",
            deziro.open, keyed, key=bytes(32))
    deziro.open(plain).close()
    refused("INVALID_ARGUMENT", f"`{plain}` is not encrypted, so it cannot be opened with a key",
            deziro.open, plain, key=KEY)


def test_set_key_and_set_password_replace_the_old_secret(tmp_path):
    path = str(tmp_path / "s.db")
    db = deziro.open(path, password="old", password_hashing=FAST_HASHING)
    db.set_key(KEY)
    db.close()
    refused("WRONG_KEY", f"the key or password does not open `{path}`",
            deziro.open, path, password="old", password_hashing=FAST_HASHING)
    db = deziro.open(path, key=KEY, password_hashing=FAST_HASHING)
    refused("INVALID_ARGUMENT", "a password is a str or bytes", db.set_password, 7)
    refused("INVALID_ARGUMENT", "the password is empty", db.set_password, "")
    db.set_password("new \u00e9")
    db.close()
    refused("WRONG_KEY", f"the key or password does not open `{path}`",
            deziro.open, path, key=KEY)
    deziro.open(path, password="new \u00e9".encode(), password_hashing=FAST_HASHING).close()

    plain = str(tmp_path / "plain.db")
    db = deziro.open(plain)
    refused("INVALID_ARGUMENT", "a key is 32 bytes, not 3", db.set_key, b"abc")
    refused("INVALID_ARGUMENT",
            f"`{plain}` is not encrypted; copying it into an encrypted database is the way to "
            "encrypt it", db.set_key, KEY)
    db.close()


def test_no_secret_reaches_a_message(path):
    deziro.open(path, password="hunter2", password_hashing=FAST_HASHING).close()
    for attempt in (dict(password="hunter2x"), dict(key=b"hunter2")):
        with pytest.raises(VevaDuzor) as caught:
            deziro.open(path, password_hashing=FAST_HASHING, **attempt)
        assert "hunter2" not in str(caught.value)


# ------------------------------------------------------------ format upgrade

def test_format_five_file_is_upgraded_once(path):
    db = deziro.open(path, upgrade_format=False)
    assert db.format_version == 5
    assert db.upgrade_format() is True
    assert db.format_version == 6
    assert db.upgrade_format() is False
    tx = db.begin_write()
    tx.commit(False)
    db.close()
    assert deziro.open(path, upgrade_format=False).format_version == 6


def test_upgrade_is_busy_while_another_process_has_the_file(path):
    deziro.open(path, upgrade_format=False).close()
    other = start_python(f"""
        import sys, deziro
        db = deziro.open({path!r}, upgrade_format=False)
        print("open", flush=True)
        sys.stdin.readline()
    """)
    assert other.stdout.readline().strip() == "open"
    db = deziro.open(path, upgrade_format=False, busy_timeout=0.2)
    refused("BUSY", f"`{path}` stayed busy for longer than the busy timeout: another write "
            "transaction held it, another process was recovering it, or salvage needed it alone",
            db.upgrade_format)
    assert db.format_version == 5
    # Still usable, and still sharing the file with the other process.
    tx = db.begin_write()
    tx.commit(False)
    other.stdin.write("\n")
    other.stdin.close()
    assert other.wait(timeout=30) == 0
    assert db.upgrade_format() is True
    db.close()


# ------------------------------------------------------------ close and fork

def test_close_is_final_for_the_handle_but_not_for_its_transactions(path):
    db = deziro.open(path)
    other = deziro.open(path)
    tx = db.begin_write()
    db.close()
    db.close()
    assert db.is_open is False
    for member in ("page_size", "format_version", "is_encrypted", "stored_schema"):
        refused("CLOSED", "the database is closed", getattr, db, member)
    for method in (db.begin_read, db.begin_write, db.sync, db.upgrade_format,
                   db.without_schema):
        refused("CLOSED", "the database is closed", method)
    refused("CLOSED", "the database is closed", db.set_key, KEY)
    tx.commit(False)
    assert other.is_open and other.page_size == 4096
    other.begin_read().end()
    other.close()


WRITER_PROBE = """
import deziro
from deziro._errors import VevaDuzor
try:
    deziro.open({path!r}, busy_timeout=0.1).begin_write()
    print("free")
except VevaDuzor as error:
    print(error.code)
"""


def test_a_forked_child_answers_closed_and_releases_nothing(path):
    script = f"""
        import os, sys, deziro
        from deziro._errors import VevaDuzor
        db = deziro.open({path!r})
        writer = db.begin_write()
        pid = os.fork()
        if pid == 0:
            answers = [db.is_open, db.page_size, writer.is_open]
            for call in (db.begin_read, db.sync, db.close, lambda: writer.commit(False)):
                try:
                    call()
                    answers.append("no error")
                except VevaDuzor as error:
                    answers.append(error.args)
            writer.end()
            del writer, db
            print(answers, flush=True)
            os._exit(0)
        os.waitpid(pid, 0)
        # The parent still holds the writer: another process cannot have it.
        import subprocess
        probe = {WRITER_PROBE.format(path=path)!r}
        print(subprocess.run([sys.executable, "-c", probe], capture_output=True,
                             text=True).stdout.strip())
        writer.commit(False)
        db.close()
    """
    result = run_python(script)
    assert result.returncode == 0, result.stderr
    child, other = result.stdout.splitlines()
    closed = ("CLOSED", "the database has been closed")
    assert child == str([True, 4096, True, closed, closed, closed, closed])
    assert other == "BUSY"


# ------------------------------------------------------------ stored schema

def test_stored_schema_shows_links_lists_embedded_objects_and_defaults(tmp_path):
    point = [("x", "float", "required", None, False, False),
             ("label", "string", "optional", None, False, False)]
    schema = deziro.NativeSchema(4, [
        ("owners", [("name", "string", "key", None, False, False)]),
        ("items", [
            ("owner", ("link", "owners"), "required", None, True, False),
            ("tags", ("list", "string"), "optional", None, False, False),
            ("at", ("object", point), "required", None, False, False),
            ("count", "int", "default", 7, False, True),
        ]),
    ])
    path = tmp_path / "s.db"
    deziro.open(path, schema=schema).close()
    db = deziro.open(path)
    assert db.stored_schema == {
        "version": 4,
        "collections": [
            {"name": "owners", "key": "name", "auto_increment": False,
             "fields": [{"name": "name", "type": {"kind": "string"}, "optional": False}],
             "indexes": []},
            {"name": "items", "key": "id", "auto_increment": True,
             "fields": [
                 {"name": "owner", "type": {"collection": "owners", "kind": "link"},
                  "optional": False},
                 {"name": "tags", "type": {"element": {"kind": "string"}, "kind": "list"},
                  "optional": True},
                 {"name": "at", "type": {"fields": [
                     {"name": "x", "type": {"kind": "float"}, "optional": False},
                     {"name": "label", "type": {"kind": "string"}, "optional": True}],
                     "kind": "object"}, "optional": False},
                 {"name": "count", "type": {"kind": "int"}, "optional": False, "default": 7},
             ],
             "indexes": [{"field": "owner", "unique": False}, {"field": "count", "unique": True}]},
        ],
    }
    db.without_schema()
    db.close()


def test_a_database_without_schema_says_so(path):
    db = deziro.open(path)
    assert db.stored_schema is None
    refused("INVALID_ARGUMENT",
            "the database was opened without a schema, and the file holds none, so it has no "
            "collections; declare one with `OpenOptions::schema`", db.without_schema)
    db.close()
