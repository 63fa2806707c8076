"""The binding's own machinery, through the test-only probe module: the call
frame that keeps C++ exceptions out of the interpreter, the internal-failure
exception, the argument converters, releasing the interpreter lock, and
classes made from specs."""

import sys

import hypothesis
import hypothesis.strategies as st
import pytest

import deziro._native as native


def test_cpp_exception_becomes_internal_failure(probe):
    with pytest.raises(BaseException) as raised:
        probe.throw_cpp("logic")
    assert type(raised.value) is probe.internal_failure_class()
    assert raised.value.args == ("the probe broke an invariant",)


def test_internal_failure_is_not_caught_as_an_ordinary_exception(probe):
    cls = probe.internal_failure_class()
    assert issubclass(cls, BaseException)
    assert not issubclass(cls, Exception)
    assert cls.__module__ == "deziro._native"
    assert cls.__name__ == "InternalFailure"
    assert cls is probe.internal_failure_class()


def test_internal_failure_class_is_not_a_module_attribute():
    assert not hasattr(native, "InternalFailure")


def test_exhausted_memory_is_memory_error(probe):
    with pytest.raises(MemoryError):
        probe.throw_cpp("memory")


def test_exception_of_no_standard_type_is_internal_failure(probe):
    with pytest.raises(probe.internal_failure_class()):
        probe.throw_cpp("other")


def test_exception_thrown_without_the_lock_takes_it_back_first(probe):
    with pytest.raises(probe.internal_failure_class()):
        probe.throw_cpp("released")
    # The interpreter goes on normally: the lock is held again.
    assert probe.convert(u32=7) == [7]


def test_failure_without_an_exception_is_internal_failure(probe):
    with pytest.raises(probe.internal_failure_class()) as raised:
        probe.fail_silently()
    assert raised.value.args == ("a call failed without setting an exception",)


def test_engine_work_lets_other_threads_run(fresh_python):
    # The probe blocks in read() with the lock released; only then can the
    # main thread write the byte it waits for. Holding the lock would hang.
    out = fresh_python(
        """
        import os, threading, deziro_probe
        r, w = os.pipe()
        got = []
        t = threading.Thread(target=lambda: got.append(deziro_probe.read_byte_without_gil(r)))
        t.start()
        while t.is_alive() and not got:
            os.write(w, b'!')
            t.join(0.05)
        t.join()
        print(got)
        """,
        timeout=30,
    )
    assert out.strip() == "[b'!']"


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
def test_a_daemon_thread_whose_call_returns_while_the_interpreter_exits_does_not_abort(
    fresh_python,
):
    # The worker is blocked in read() with the lock released when the
    # interpreter starts to exit; an object dropped while it finalizes lets
    # the read return and waits until the worker is blocked elsewhere or
    # gone. The process must end as the exit would have ended it.
    fresh_python(
        """
        import builtins, os, threading, deziro_probe

        r, w = os.pipe()
        started = threading.Event()
        task = []

        def worker():
            task.append(threading.get_native_id())
            started.set()
            deziro_probe.read_byte_without_gil(r)

        threading.Thread(target=worker, daemon=True).start()
        started.wait()

        def state(task, fd=r, open=open, FileNotFoundError=FileNotFoundError):
            # "read" while the thread is in a system call on `fd` (its first
            # argument), "running", another system call's fields, or None
            # once the thread is gone.
            try:
                with open(f"/proc/self/task/{task}/syscall") as f:
                    fields = f.read().split()
            except FileNotFoundError:
                return None
            if fields[0] == "running":
                return "running"
            return "read" if int(fields[1], 16) == fd else fields

        while state(task[0]) != "read":
            pass

        class AtFinalization:
            def __init__(self, write, state, task, fd):
                self.write, self.state, self.task, self.fd = write, state, task, fd

            def __del__(self):
                self.write(self.fd, b"x")
                while self.state(self.task) in ("read", "running"):
                    pass

        builtins._at_finalization = AtFinalization(os.write, state, task[0], w)
        """
    )


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
def test_a_daemon_thread_waiting_for_the_lock_when_the_interpreter_exits_does_not_abort(
    fresh_python,
):
    # The worker's read returns before the interpreter starts to exit, but the
    # main thread keeps the lock from then on (a switch interval so long that
    # the worker never asks for it) until finalization has begun, which ends a
    # thread that takes the lock. An object dropped while it finalizes lets the
    # lock go and waits until the worker is blocked elsewhere or gone. The
    # process must end as the exit would have ended it.
    fresh_python(
        """
        import builtins, os, sys, threading, deziro_probe

        r, w = os.pipe()
        started = threading.Event()
        task = []

        def worker():
            task.append(threading.get_native_id())
            started.set()
            deziro_probe.read_byte_without_gil(r)

        threading.Thread(target=worker, daemon=True).start()
        started.wait()

        def call_of(task, open=open, FileNotFoundError=FileNotFoundError):
            # The system call the thread is blocked in, "running", or None once
            # the thread is gone.
            try:
                with open(f"/proc/self/task/{task}/syscall") as f:
                    return f.read().split()[0]
            except FileNotFoundError:
                return None

        while call_of(task[0]) in (None, "running"):
            pass

        class AtFinalization:
            def __init__(self, call_of, task):
                self.call_of, self.task, self.waiting = call_of, task, None

            def __del__(self):
                while self.call_of(self.task) in (self.waiting, "running"):
                    pass

        builtins._at_finalization = AtFinalization(call_of, task[0])
        sys.setswitchinterval(1e6)
        builtins._at_finalization.waiting = deziro_probe.wake_holding_the_lock(w, task[0])
        """
    )


def test_an_exit_hook_may_wait_for_a_thread_that_uses_the_database(fresh_python, tmp_path):
    # The hook, registered before the binding's first engine call, runs while
    # the interpreter is still whole: the worker's engine call must return to
    # it as at any other time.
    out = fresh_python(
        f"""
        import atexit, threading, deziro

        go = threading.Event()
        done = []

        def worker():
            go.wait()
            db.begin_read().end()
            done.append("read")

        worker_thread = threading.Thread(target=worker, daemon=True)

        def stop_worker():
            go.set()
            worker_thread.join()
            print(done, flush=True)

        atexit.register(stop_worker)
        db = deziro.open({str(tmp_path / "t.db")!r})
        worker_thread.start()
        """
    )
    assert out.strip() == "['read']"


@pytest.mark.parametrize(
    "kwargs,expected",
    [
        ({"u64": 0}, [0]),
        ({"u64": 2**64 - 1}, [2**64 - 1]),
        ({"u32": 2**32 - 1}, [2**32 - 1]),
        ({"i64": -(2**63)}, [-(2**63)]),
        ({"i64": 2**63 - 1}, [2**63 - 1]),
        ({"f64": 3}, [3.0]),
        ({"flag": False}, [False]),
        ({"text": "caf\u00e9 \U0001f600"}, ["caf\u00e9 \U0001f600"]),
        ({"u64": True}, [1]),
    ],
)
def test_converters_accept_their_range(probe, kwargs, expected):
    assert probe.convert(**kwargs) == expected


@pytest.mark.parametrize(
    "kwargs,error",
    [
        ({"u64": -1}, OverflowError),
        ({"u64": 2**64}, OverflowError),
        ({"i64": 2**63}, OverflowError),
        ({"i64": -(2**63) - 1}, OverflowError),
        ({"u64": "1"}, TypeError),
        ({"u64": 1.0}, TypeError),
        ({"i64": b"1"}, TypeError),
        ({"f64": "1.0"}, TypeError),
        ({"flag": 1}, TypeError),
        ({"text": b"x"}, TypeError),
    ],
)
def test_converters_name_the_argument_they_refuse(probe, kwargs, error):
    (name,) = kwargs
    with pytest.raises(error) as raised:
        probe.convert(**kwargs)
    assert type(raised.value) is error
    assert f"'{name}'" in str(raised.value)


@pytest.mark.parametrize("value", [2**32, -1, 2**63 - 1, -(2**63)])
def test_an_unsigned_32_bit_int_out_of_range_has_the_one_text(probe, value):
    with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
        probe.convert(u32=value)


def test_lone_surrogate_passes_the_interpreters_error_through(probe):
    with pytest.raises(UnicodeEncodeError):
        probe.convert(text="\ud800")


def test_exception_from_the_object_itself_passes_through(probe):
    class Index:
        def __index__(self):
            raise ValueError("mine")

    with pytest.raises(ValueError, match="^mine$"):
        probe.convert(u64=Index())


@hypothesis.given(st.integers())
def test_u64_converter_takes_exactly_the_unsigned_64_bit_ints(probe, value):
    if 0 <= value < 2**64:
        assert probe.convert(u64=value) == [value]
    else:
        with pytest.raises(OverflowError):
            probe.convert(u64=value)


@pytest.mark.parametrize(
    "args,kwargs",
    [
        ((), {}),
        ((1, 2, 3), {}),
        ((1,), {"unknown": 1}),
        ((1,), {"first": 1}),
    ],
    ids=["missing", "too many", "unknown keyword", "repeated"],
)
def test_wrong_argument_shape_is_type_error(probe, args, kwargs):
    with pytest.raises(TypeError):
        probe.shape(*args, **kwargs)


def test_arguments_by_position_and_keyword(probe):
    assert probe.shape(1) == (1, None, None)
    assert probe.shape(1, 2, third=3) == (1, 2, 3)
    assert probe.shape(second=2, first=1) == (1, 2, None)


def test_class_made_from_a_spec_is_made_once_and_cannot_be_called(probe):
    cls = probe.sealed_class()
    assert cls is probe.sealed_class()
    assert cls.__module__ == "deziro_probe"
    assert cls.__qualname__ == "Sealed"
    assert cls.__text_signature__ == "(index)"
    assert cls.__doc__ == "A class that only the module makes."
    with pytest.raises(TypeError):
        cls()
