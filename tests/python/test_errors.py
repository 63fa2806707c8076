"""Failures raised to Python: VevaDuzor(code, message) for engine errors and
for the binding's own, the lazy once-per-process lookup of the class, and
what is raised when that lookup fails.

The raising helpers are driven through the test-only probe module, built
from the same sources as deziro._native."""

import pickle

import pytest

from deziro._errors import VevaDuzor

CODES = [
    "IO",
    "NOT_FOUND",
    "NOT_A_DATABASE",
    "UNSUPPORTED_FORMAT_VERSION",
    "CORRUPTED",
    "INVALID_ARGUMENT",
    "CLOSED",
    "BUSY",
    "SYNC_FAILED",
    "KEY_REQUIRED",
    "WRONG_KEY",
    "UNSUPPORTED_FILE_SYSTEM",
    "SCHEMA_MISMATCH",
    "SCHEMA_TOO_NEW",
    "DUPLICATE_KEY",
    "INVALID_QUERY",
    "MIGRATION_FAILED",
    "INTERNAL",
]

# The probe's sample error of each kind, with "x.db" as its path or message.
MESSAGES = [
    "I/O error on `x.db`: Permission denied (os error 13)",
    "no database exists at `x.db`",
    "`x.db` is not a DeziRO database",
    "`x.db` uses format version 9, which this build does not read; the newest it reads is 6",
    "`x.db` is damaged: page 7 fails its check",
    "x.db",
    "the database has been closed",
    "`x.db` stayed busy for longer than the busy timeout: another write transaction held it, "
    "another process was recovering it, or salvage needed it alone",
    "a sync of `x.db` failed, so the last commit's outcome is unknown; open the database again: "
    "Input/output error (os error 5)",
    "`x.db` is encrypted; open it with its key or password",
    "the key or password does not open `x.db`",
    "`x.db` is on a network file system, or on one whose file locks do not work; a database "
    "has to be on a local disk",
    "x.db",
    "the file holds schema version 4, newer than the version 3 declared",
    "x.db",
    "invalid query: x.db",
    "migration failed: x.db",
    "internal error, which is a bug in DeziRO: x.db",
]


@pytest.mark.parametrize("kind", range(18), ids=CODES)
def test_engine_error_becomes_veva_duzor_with_code_and_display_text(probe, kind):
    with pytest.raises(VevaDuzor) as raised:
        probe.raise_engine_error(kind, b"x.db")
    assert type(raised.value) is VevaDuzor
    assert raised.value.args == (CODES[kind], MESSAGES[kind])
    assert all(type(arg) is str for arg in raised.value.args)


def test_path_that_is_not_utf8_still_raises_the_engine_error(probe):
    with pytest.raises(VevaDuzor) as raised:
        probe.raise_engine_error(1, b"/tmp/caf\xe9.db")
    assert raised.value.args == ("NOT_FOUND", "no database exists at `/tmp/caf\ufffd.db`")


@pytest.mark.parametrize(
    "code,message",
    [
        (6, "the database is closed"),
        (6, "the transaction has ended"),
        (5, "give a key or a password, not both"),
        (15, "the filter nests more than 24 levels deep"),
    ],
)
def test_binding_error_carries_its_code_and_message_unchanged(probe, code, message):
    with pytest.raises(VevaDuzor) as raised:
        probe.raise_dazi_error(code, message)
    assert raised.value.args == (CODES[code], message)
    assert raised.value.code == CODES[code]
    assert raised.value.message == message
    assert str(raised.value) == f"{CODES[code]}: {message}"


def test_veva_duzor_is_an_ordinary_exception_that_survives_pickling(probe):
    with pytest.raises(Exception) as raised:
        probe.raise_dazi_error(6, "the database is closed")
    copy = pickle.loads(pickle.dumps(raised.value))
    assert type(copy) is VevaDuzor
    assert copy.args == ("CLOSED", "the database is closed")


def test_first_raise_imports_the_errors_module(fresh_python):
    out = fresh_python(
        """
        import sys, deziro_probe
        print('deziro._errors' in sys.modules)
        try:
            deziro_probe.raise_dazi_error(6, 'the database is closed')
        except BaseException as e:
            import deziro._errors
            print(type(e) is deziro._errors.VevaDuzor, e.args)
        """
    )
    assert out.splitlines() == ["False", "True ('CLOSED', 'the database is closed')"]


def test_failed_import_raises_its_own_exception_and_the_next_raise_retries(fresh_python):
    out = fresh_python(
        """
        import sys, deziro_probe
        sys.modules['deziro._errors'] = None  # makes the import fail
        for attempt in range(2):
            try:
                deziro_probe.raise_engine_error(6, b'')
            except ImportError as e:
                print('ImportError')
        del sys.modules['deziro._errors']
        try:
            deziro_probe.raise_engine_error(6, b'')
        except Exception as e:
            print(type(e).__name__, e.args)
        """
    )
    assert out.splitlines() == [
        "ImportError",
        "ImportError",
        "VevaDuzor ('CLOSED', 'the database has been closed')",
    ]


def test_missing_class_raises_attribute_error_and_the_next_raise_retries(fresh_python):
    out = fresh_python(
        """
        import sys, types, deziro_probe
        sys.modules['deziro._errors'] = types.ModuleType('deziro._errors')
        try:
            deziro_probe.raise_engine_error(6, b'')
        except AttributeError:
            print('AttributeError')
        del sys.modules['deziro._errors']
        try:
            deziro_probe.raise_engine_error(6, b'')
        except Exception as e:
            print(type(e).__name__)
        """
    )
    assert out.splitlines() == ["AttributeError", "VevaDuzor"]


def test_attribute_that_is_not_a_class_gives_type_error(fresh_python):
    out = fresh_python(
        """
        import sys, types, deziro_probe
        fake = types.ModuleType('deziro._errors')
        fake.VevaDuzor = lambda code, message: None
        sys.modules['deziro._errors'] = fake
        try:
            deziro_probe.raise_engine_error(6, b'')
        except TypeError:
            print('TypeError')
        del sys.modules['deziro._errors']
        try:
            deziro_probe.raise_engine_error(6, b'')
        except Exception as e:
            print(type(e).__name__)
        """
    )
    assert out.splitlines() == ["TypeError", "VevaDuzor"]


def test_class_not_derived_from_base_exception_gives_type_error_on_every_raise(fresh_python):
    out = fresh_python(
        """
        import sys, types, deziro_probe
        fake = types.ModuleType('deziro._errors')
        class VevaDuzor:
            def __init__(self, code, message):
                pass
        fake.VevaDuzor = VevaDuzor
        sys.modules['deziro._errors'] = fake
        for attempt in range(2):
            try:
                deziro_probe.raise_engine_error(6, b'')
            except TypeError as e:
                print(e)
        # The class was found, so it is kept for the life of the process.
        del sys.modules['deziro._errors']
        try:
            deziro_probe.raise_engine_error(6, b'')
        except TypeError as e:
            print(e)
        """
    )
    assert out.splitlines() == ["exceptions must derive from BaseException"] * 3


def test_class_is_looked_up_once_per_process(fresh_python):
    out = fresh_python(
        """
        import sys, deziro_probe
        import deziro._errors
        first = deziro._errors.VevaDuzor
        try:
            deziro_probe.raise_engine_error(6, b'')
        except first:
            pass
        class Other(Exception):
            pass
        deziro._errors.VevaDuzor = Other
        try:
            deziro_probe.raise_engine_error(6, b'')
        except Exception as e:
            print(type(e) is first)
        """
    )
    assert out.split() == ["True"]


def test_threads_raising_their_first_errors_together_get_one_class(fresh_python):
    out = fresh_python(
        """
        import importlib.abc, importlib.util, sys, threading, time, deziro_probe

        # A slow deziro._errors, so that the threads meet inside the lookup.
        class SlowFinder(importlib.abc.MetaPathFinder, importlib.abc.Loader):
            def find_spec(self, name, path, target=None):
                if name == 'deziro._errors':
                    return importlib.util.spec_from_loader(name, self)
            def create_module(self, spec):
                return None
            def exec_module(self, module):
                time.sleep(0.2)
                class VevaDuzor(Exception):
                    pass
                module.VevaDuzor = VevaDuzor
        sys.meta_path.insert(0, SlowFinder())
        import deziro

        barrier = threading.Barrier(8)
        seen = []
        def raise_one():
            barrier.wait()
            try:
                deziro_probe.raise_engine_error(6, b'')
            except Exception as e:
                seen.append(type(e))
        threads = [threading.Thread(target=raise_one) for _ in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        print(len(seen), len(set(seen)), seen[0] is sys.modules['deziro._errors'].VevaDuzor)
        """
    )
    assert out.split() == ["8", "1", "True"]
