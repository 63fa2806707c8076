"""The surface of deziro._native: its names, their order, docstrings and
text signatures, and what importing it does and does not do."""

import importlib.metadata
import inspect
import subprocess
import sys
import textwrap

import pytest

import deziro
import deziro._native as native

# Every name of the module, in the order the exec step adds them.
ORDER = [
    "engine_version",
    "FORMAT_VERSION",
    "Layout",
    "NativeSchema",
    "Param",
    "NativeQuery",
    "compile_query",
    "parse_query",
    "NativeDatabase",
    "open",
    "salvage",
    "NativeTransaction",
]

FUNCTIONS = {
    "engine_version": ("()", "The version of the engine inside the package."),
    "compile_query": (
        "(collection, filter, sort, offset, limit)",
        "The query on `collection` of `filter`, `sort`, `offset` and `limit`.",
    ),
    "parse_query": (
        "(text)",
        "A query in the query language, with `$0`, `$1` and on for its parameters.",
    ),
    "open": (
        "(path, *, create=None, page_size=None, busy_timeout=None, cache_size=None, "
        "schema=None, migrations=..., key=None, password=None, password_hashing=None, "
        "upgrade_format=None)",
        "Opens the database at `path`. Returns the database, or the transaction\n"
        "of the migration under way when the file holds an older schema.",
    ),
    "salvage": (
        "(source, target, *, key=None, password=None, busy_timeout=None)",
        "Rescues what it can of the damaged database at `source` into a new one at\n`target`.",
    ),
}

CLASSES = {
    "NativeTransaction": (False, "A transaction, until it commits or ends."),
    "NativeQuery": (False, "A query the engine has read, on one collection."),
    "Param": (
        True,
        "A parameter in place of a value, in a query that is prepared: each run\n"
        "gives its value. `Param(0)` is the first.",
    ),
    "NativeSchema": (True, "A schema, ready to open a file with."),
    "Layout": (
        True,
        "A Python class as a collection's objects or an embedded object: its\n"
        "fields, in the order the class declares them.",
    ),
    "NativeDatabase": (False, "An open database, until it is closed."),
}

CLASS_SIGNATURES = {
    "Param": "(index)",
    "NativeSchema": "(version, collections)",
    "Layout": "(class, fields)",
}

# What the interpreter puts on every extension module by itself.
INTERPRETER_ATTRIBUTES = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"}


def present(name):
    if name not in native.__all__:
        pytest.skip(f"{name} is not in the module yet")
    return getattr(native, name)


def test_all_keeps_the_fixed_order():
    assert isinstance(native.__all__, list)
    assert native.__all__[:2] == ["engine_version", "FORMAT_VERSION"]
    assert native.__all__ == [name for name in ORDER if name in native.__all__]


def test_module_has_no_attributes_beyond_its_names():
    extra = set(vars(native)) - set(native.__all__) - {"__all__"} - INTERPRETER_ATTRIBUTES
    assert extra == set()


def test_every_listed_name_exists():
    for name in native.__all__:
        assert hasattr(native, name), name


def test_module_docstring_is_empty():
    assert native.__doc__ == ""


def test_engine_version_is_the_release():
    assert native.engine_version() == "1.3.0"


def test_engine_version_matches_the_installed_distribution():
    assert importlib.metadata.version("deziro") == native.engine_version()


@pytest.mark.parametrize("args,kwargs", [((1,), {}), ((), {"x": 1})])
def test_engine_version_refuses_arguments(args, kwargs):
    with pytest.raises(TypeError):
        native.engine_version(*args, **kwargs)


def test_format_version_is_six():
    assert type(native.FORMAT_VERSION) is int
    assert native.FORMAT_VERSION == 6


@pytest.mark.parametrize("name", sorted(FUNCTIONS))
def test_function_carries_its_signature_and_docstring(name):
    function = present(name)
    signature, doc = FUNCTIONS[name]
    assert function.__name__ == name
    assert function.__module__ == "deziro._native"
    assert function.__text_signature__ == signature
    assert function.__doc__ == doc
    inspect.signature(function)  # introspection can read it


def test_open_takes_path_positionally_and_the_rest_by_keyword():
    parameters = list(inspect.signature(present("open")).parameters.values())
    assert parameters[0].name == "path"
    assert parameters[0].kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
    assert all(p.kind is inspect.Parameter.KEYWORD_ONLY for p in parameters[1:])


@pytest.mark.parametrize("name", sorted(CLASSES))
def test_class_belongs_to_the_module(name):
    cls = present(name)
    creatable, doc = CLASSES[name]
    assert isinstance(cls, type)
    assert cls.__module__ == "deziro._native"
    assert cls.__qualname__ == name
    assert inspect.cleandoc(cls.__doc__) == doc
    assert cls.__text_signature__ == CLASS_SIGNATURES.get(name)
    if not creatable:
        with pytest.raises(TypeError):
            cls()


def test_package_reexports_the_module():
    for name in native.__all__:
        assert getattr(deziro, name) is getattr(native, name)
    assert deziro.__all__ == [*native.__all__, "VevaDuzor"]


def test_module_is_built_for_the_stable_abi():
    assert native.__file__.endswith(".abi3.so")


def run_fresh(code):
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    return result.stdout


def test_importing_the_module_leaves_errors_unimported():
    out = run_fresh(
        "import sys, deziro._native\n"
        "print('deziro._errors' in sys.modules)\n"
    )
    assert out.split() == ["False"]


def test_package_imports_errors_only_when_veva_duzor_is_asked_for():
    out = run_fresh(
        "import sys, deziro\n"
        "print('deziro._errors' in sys.modules)\n"
        "cls = deziro.VevaDuzor\n"
        "print('deziro._errors' in sys.modules, cls is sys.modules['deziro._errors'].VevaDuzor)\n"
    )
    assert out.split() == ["False", "True", "True"]


def test_package_refuses_unknown_attributes():
    with pytest.raises(AttributeError):
        deziro.no_such_name


ONE_INTERPRETER = (
    "deziro._native is in use in another interpreter of this process, "
    "and serves one interpreter per process"
)


def test_a_subinterpreter_cannot_import_the_module_the_main_interpreter_uses():
    # The module's classes are kept once per process, for the interpreter
    # that imported it first. A subinterpreter that raised the first error
    # would have its VevaDuzor class kept, which the main interpreter's
    # `except VevaDuzor` misses.
    pytest.importorskip("_xxsubinterpreters")
    out = run_fresh(textwrap.dedent(
        """
        import importlib, sys
        import _xxsubinterpreters as interpreters
        import deziro._native as native
        from deziro._errors import VevaDuzor

        sub = interpreters.create(isolated=False)
        try:
            interpreters.run_string(sub, '''
        import deziro._native as native
        try:
            native.open("/nonexistent-dir/x.dz")
        except Exception:
            pass
        ''')
        except interpreters.RunFailedError as failure:
            print(failure)
        else:
            print("imported")
        interpreters.destroy(sub)

        try:
            native.open("/nonexistent-dir/x.dz")
        except VevaDuzor as error:
            print("caught", error.code)
        # The interpreter that uses the module may import it again.
        del sys.modules["deziro._native"]
        print(importlib.import_module("deziro._native").open is not native.open)
        """
    ))
    refusal, caught, again = out.splitlines()
    assert "ImportError" in refusal and refusal.endswith(ONE_INTERPRETER)
    assert caught == "caught IO"
    assert again == "True"
