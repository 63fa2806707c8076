"""Queries from Python: Param, compile_query and parse_query, and the
parameters of a call bound into a compiled query."""

import gc
import os
import struct
import subprocess
import sys
import threading

import hypothesis
import hypothesis.strategies as st
import pytest

import deziro._native as native
from deziro._errors import VevaDuzor
from deziro._native import Param, compile_query, parse_query


def invalid(message):
    return ("INVALID_QUERY", message)


def framed(message):
    return ("INVALID_QUERY", f"invalid query: {message}")


def compile_filter(filter_):
    return compile_query("c", filter_, [], 0, None)


# ------------------------------------------------------------ Param


def test_param_indexes_span_32_bits():
    assert Param(0).index == 0
    assert Param(4294967295).index == 4294967295
    assert Param(index=5).index == 5
    with pytest.raises(TypeError, match="index"):
        Param(1.5)
    with pytest.raises(TypeError):
        Param()


OUT_OF_RANGE = "out of range integral type conversion attempted"
# Beyond the signed 64-bit range the interpreter's own OverflowError stands.
BEYOND_64_BITS = None


@pytest.mark.parametrize("call", [
    lambda n: Param(n),
    lambda n: compile_filter((0, 4, ("a",), (Param(n),))),
    lambda n: native.open("never-made.db", page_size=n),
    lambda n: native.open("never-made.db", password_hashing=(19456, n, 1)),
])
@pytest.mark.parametrize("n,message", [
    (-1, OUT_OF_RANGE), (2**32, OUT_OF_RANGE), (2**63 - 1, OUT_OF_RANGE),
    (-(2**63), OUT_OF_RANGE), (2**63, BEYOND_64_BITS), (-(2**70), BEYOND_64_BITS),
])
def test_unsigned_32_bit_arguments_out_of_range(call, n, message):
    with pytest.raises(OverflowError) as raised:
        call(n)
    if message is BEYOND_64_BITS:
        assert "int too" in str(raised.value) and OUT_OF_RANGE not in str(raised.value)
    else:
        assert str(raised.value) == message


def test_param_equality_and_ordering():
    assert Param(3) == Param(3)
    assert Param(3) != Param(4)
    assert not (Param(3) != Param(3))
    assert (Param(3) == 3) is False
    assert Param(3) != 3

    class Mine(Param):
        pass

    assert Mine(3) == Param(3)
    with pytest.raises(TypeError):
        Param(1) < Param(2)
    with pytest.raises(TypeError):
        Param(1) >= Param(2)


def test_param_index_is_read_only_and_repr_names_it():
    with pytest.raises(AttributeError):
        Param(1).index = 2
    assert repr(Param(7)) == "param(7)"
    assert type(Param).__name__ == "type" and Param.__module__ == "deziro._native"
    assert Param.index.__doc__ == "The parameter's number, from 0."


@pytest.mark.parametrize(
    "index, expected",
    [
        (0, -3737345886862931216),
        (3, 568126464209439262),
        (7, -4529750858472280086),
        (4294967295, 5963905586759915234),
    ],
)
def test_param_hash_is_siphash13_of_the_index(index, expected):
    assert hash(Param(index)) == expected
    assert {Param(index): 1}[Param(index)] == 1


def oracle_hashes(blobs):
    """hash() of bytes in an interpreter whose hash key is zero."""
    code = "import sys; print([hash(bytes.fromhex(h)) for h in sys.argv[1:]])"
    env = dict(os.environ, PYTHONHASHSEED="0")
    out = subprocess.run(
        [sys.executable, "-c", code, *[blob.hex() for blob in blobs]],
        capture_output=True, text=True, env=env, check=True,
    ).stdout
    return eval(out)


def signed(word):
    return word - 2**64 if word >= 2**63 else word


def test_siphash13_agrees_with_the_interpreter_at_every_length(values_probe):
    blobs = [bytes((i * 37 + n) % 256 for i in range(n)) for n in range(1, 40)]
    expected = oracle_hashes(blobs)
    got = [signed(values_probe.siphash13(0, 0, blob)) for blob in blobs]
    assert got == [-2 if h == -1 else h for h in expected]


@hypothesis.settings(max_examples=30)
@hypothesis.given(st.lists(st.integers(0, 2**32 - 1), min_size=1, max_size=20))
def test_param_hash_agrees_with_hash_of_its_packed_index(indexes):
    expected = oracle_hashes([struct.pack("<I", n) for n in indexes])
    assert [hash(Param(n)) for n in indexes] == expected


# ------------------------------------------------------------ compile_query


def test_query_without_anything(values_probe):
    query = values_probe.compile_query("c", None, [], 0, None)
    assert values_probe.query_info(query) == (False, False, [], 0, None)
    assert type(compile_query("c", None, [], 0, None)) is native.NativeQuery


def test_native_query_cannot_be_made_and_has_no_members():
    with pytest.raises(TypeError):
        native.NativeQuery()
    assert [name for name in vars(native.NativeQuery) if not name.startswith("__")] == []


@pytest.mark.parametrize(
    "filter_, text",
    [
        ((0, 4, ("age",), (30,)), "age == 30"),
        ((0, 5, ["age"], (30,)), "age != 30"),
        ((0, 10, ("age",), (18, 65)), "age BETWEEN 18 AND 65"),
        ((0, 11, ("tag",), ()), "tag IN []"),
        ((0, 11, ("tag",), ("a", "b")), 'tag IN ["a", "b"]'),
        ((0, 15, ("nickname",), ()), "nickname IS NULL"),
        ((3, (0, 15, ("nickname",), ())), "nickname IS NOT NULL"),
        ((0, 4, ("address", "city"), ("Oslo",)), 'address.city == "Oslo"'),
        ((1, ((0, 6, ("a",), (1,)), (0, 8, ("b",), (True,)))), "a < 1 AND b > TRUE"),
        ((2, ((0, 12, ("s",), ("x",)), (0, 13, ("s",), ("y",)))), 's CONTAINS "x" OR s STARTSWITH "y"'),
        ((0, 14, ("s",), ("z",)), 's ENDSWITH "z"'),
        ((0, 7, ("n",), (1.5,)), "n <= 1.5"),
        ((0, 9, ("n",), (2,)), "n >= 2"),
    ],
)
def test_tuples_compile_to_the_query_their_text_parses_to(values_probe, filter_, text):
    compiled = values_probe.compile_query("c", filter_, [], 0, None)
    assert values_probe.same_query(compiled, values_probe.parse_query(text))


def test_bytes_like_operands_are_bytes(values_probe):
    a = values_probe.compile_query("c", (0, 4, ("b",), (b"xy",)), [], 0, None)
    for same in (bytearray(b"xy"), memoryview(b"_xy")[1:]):
        b = values_probe.compile_query("c", (0, 4, ("b",), (same,)), [], 0, None)
        assert values_probe.same_query(a, b)


def test_sort_offset_and_limit(values_probe):
    query = values_probe.compile_query("c", None, [(("name",), False), (("age",), True)], 5, 0)
    assert values_probe.query_info(query) == (False, False, [(("name",), False), (("age",), True)], 5, 0)
    assert values_probe.same_query(query, values_probe.parse_query("SORT BY name, age DESC LIMIT 0 OFFSET 5"))
    clamped = values_probe.compile_query("c", None, (), 2**64 - 1, 2**64 - 1)
    assert values_probe.query_info(clamped)[3:] == (2**63 - 1, 2**63 - 1)


@pytest.mark.parametrize(
    "filter_, message",
    [
        ((4, ()), "a filter holds something that is not a condition"),
        ((255, ()), "a filter holds something that is not a condition"),
        ([0, 4, ("a",), (1,)], "a filter holds something that is not a condition"),
        ((1, ((0, 4, ("a",), (1,)), "x")), "a filter holds something that is not a condition"),
        ((0, 4, ("age",), (None,)), "a query compares with single values, not None"),
        ((0, 4, ("age",), ([1, 2],)), "a query compares with single values, not [1, 2]"),
        ((0, 4, ("age",), ({},)), "a query compares with single values, not {}"),
        ((0, 4, ("age",), (2**63,)), "9223372036854775808 is beyond a 64-bit int"),
        ((0, 4, ("age",), (-(2**63) - 1,)), "-9223372036854775809 is beyond a 64-bit int"),
    ],
)
def test_the_binding_s_own_refusals_are_unframed(filter_, message):
    with pytest.raises(VevaDuzor) as raised:
        compile_filter(filter_)
    assert raised.value.args == invalid(message)


@pytest.mark.parametrize(
    "filter_, message",
    [
        ((0, 4, ("age",), ()), "the IR holds `==` with the wrong operands"),
        ((0, 10, ("age",), (1,)), "the IR holds `BETWEEN` with the wrong operands"),
        ((0, 15, ("age",), (1,)), "the IR holds `IS NULL` with the wrong operands"),
        ((0, 16, ("age",), (1,)), "the IR holds the unknown operator 16"),
        ((0, 0, ("age",), (1,)), "the IR holds the unknown operator 0"),
        ((0, -1, ("age",), (1,)), "the IR holds the unknown operator -1"),
        ((0, 1, ("age",), ()), "the IR holds `AND`, `OR` or `NOT` with a path or values"),
        ((0, 4, (), (1,)), "the IR holds an empty path"),
    ],
)
def test_the_ir_reader_s_refusals_are_framed(filter_, message):
    with pytest.raises(VevaDuzor) as raised:
        compile_filter(filter_)
    assert raised.value.args == framed(message)


def test_python_errors_of_a_filter_pass_on():
    with pytest.raises(IndexError):
        compile_filter(())
    with pytest.raises(IndexError):
        compile_filter((0, 4, ("a",)))
    with pytest.raises(TypeError):
        compile_filter(("x", ()))
    for kind in (256, -1, 2**63, -(2**70)):
        with pytest.raises(OverflowError, match=f"^{OUT_OF_RANGE}$"):
            compile_filter((kind, ()))
    with pytest.raises(OverflowError):
        compile_filter((0, 2**63, ("a",), (1,)))
    with pytest.raises(TypeError):
        compile_filter((1, []))
    with pytest.raises(TypeError):
        compile_filter((0, 4, "age", (1,)))
    with pytest.raises(TypeError):
        compile_filter((0, 4, ("age", 1), (1,)))
    with pytest.raises(TypeError):
        compile_filter((0, 4, ("age",), [1]))
    with pytest.raises(UnicodeEncodeError):
        compile_filter((0, 4, ("age",), ("\udc80",)))


def test_empty_conjunction_and_not_of_anything_single(values_probe):
    assert values_probe.query_info(values_probe.compile_query("c", (1, ()), [], 0, None))[1] is True
    with pytest.raises(VevaDuzor) as raised:
        compile_filter((3, "not a tuple"))
    assert raised.value.args == invalid("a filter holds something that is not a condition")


def nested_nots(count):
    filter_ = (0, 4, ("a",), (1,))
    for _ in range(count):
        filter_ = (3, filter_)
    return filter_


def test_filters_nest_at_most_24_levels():
    compile_filter(nested_nots(23))
    with pytest.raises(VevaDuzor) as raised:
        compile_filter(nested_nots(24))
    assert raised.value.args == invalid("the filter nests more than 24 levels deep")
    # The depth is checked before the object is looked at.
    deep = "not a condition"
    for _ in range(24):
        deep = (3, deep)
    with pytest.raises(VevaDuzor) as raised:
        compile_filter(deep)
    assert raised.value.args == invalid("the filter nests more than 24 levels deep")


def test_argument_errors_of_compile_query():
    with pytest.raises(TypeError, match="collection"):
        compile_query(1, None, [], 0, None)
    with pytest.raises(TypeError, match="sort"):
        compile_query("c", None, "name", 0, None)
    with pytest.raises(ValueError, match="sort"):
        compile_query("c", None, [(("a",), False, 1)], 0, None)
    with pytest.raises(TypeError, match="sort"):
        compile_query("c", None, [("a", False)], 0, None)
    with pytest.raises(TypeError, match="sort"):
        compile_query("c", None, [(("a",), 1)], 0, None)
    with pytest.raises(TypeError, match="offset"):
        compile_query("c", None, [], None, None)
    with pytest.raises(OverflowError, match="offset"):
        compile_query("c", None, [], -1, None)
    with pytest.raises(OverflowError, match="limit"):
        compile_query("c", None, [], 0, 2**64)
    with pytest.raises(TypeError):
        compile_query("c", None, [], 0)
    compile_query(collection="c", filter=None, sort=[], offset=0, limit=None)


def test_an_empty_sort_path_is_framed():
    with pytest.raises(VevaDuzor) as raised:
        compile_query("c", None, [((), False)], 0, None)
    assert raised.value.args == framed("the IR holds an empty path")


def test_parse_query_errors_are_invalid_query():
    with pytest.raises(VevaDuzor) as raised:
        parse_query("age ==")
    assert raised.value.args[0] == "INVALID_QUERY"
    assert raised.value.args[1].startswith("invalid query: at character")
    with pytest.raises(TypeError, match="text"):
        parse_query(5)


# Equivalent queries from both front ends: a generated filter, written as
# tuples and as text.
names = st.sampled_from(["a", "b", "size", "name"])
scalars = st.one_of(
    st.integers(-(2**63), 2**63 - 1),
    st.booleans(),
    st.text(alphabet="abcxyz019 ", max_size=6),
    st.integers(0, 9).map(lambda n: ("param", n)),
)


def with_params(filter_, param_class):
    """The filter with each ("param", n) operand made a parameter of the
    given class (the probe compiles with its own)."""
    if filter_[0] == 0:
        operands = tuple(
            param_class(v[1]) if isinstance(v, tuple) else v for v in filter_[3]
        )
        return (0, filter_[1], filter_[2], operands)
    if filter_[0] == 3:
        return (3, with_params(filter_[1], param_class))
    return (filter_[0], tuple(with_params(child, param_class) for child in filter_[1]))


def literal(value):
    if isinstance(value, tuple):
        return f"${value[1]}"
    if value is True:
        return "TRUE"
    if value is False:
        return "FALSE"
    if isinstance(value, str):
        return f'"{value}"'
    return str(value)


@st.composite
def single_tests(draw):
    name = draw(names)
    op = draw(st.sampled_from(["==", "!=", "<", "<=", ">", ">=", "BETWEEN", "IN", "CONTAINS",
                               "STARTSWITH", "ENDSWITH", "IS NULL", "IS NOT NULL"]))
    if op == "IS NULL":
        return (0, 15, (name,), ()), f"{name} IS NULL"
    if op == "IS NOT NULL":
        return (3, (0, 15, (name,), ())), f"{name} IS NOT NULL"
    if op == "BETWEEN":
        low, high = draw(scalars), draw(scalars)
        return (0, 10, (name,), (low, high)), f"{name} BETWEEN {literal(low)} AND {literal(high)}"
    if op == "IN":
        items = draw(st.lists(scalars, max_size=3))
        return (0, 11, (name,), tuple(items)), f"{name} IN [{', '.join(map(literal, items))}]"
    number = {"==": 4, "!=": 5, "<": 6, "<=": 7, ">": 8, ">=": 9, "CONTAINS": 12,
              "STARTSWITH": 13, "ENDSWITH": 14}[op]
    value = draw(scalars)
    return (0, number, (name,), (value,)), f"{name} {op} {literal(value)}"


def combine(children):
    kinds = st.sampled_from(["AND", "OR", "NOT"])

    @st.composite
    def node(draw):
        kind = draw(kinds)
        if kind == "NOT":
            child, text = draw(children)
            return (3, child), f"NOT ({text})"
        parts = draw(st.lists(children, min_size=2, max_size=3))
        joined = f" {kind} ".join(f"({text})" for _, text in parts)
        return (1 if kind == "AND" else 2, tuple(p for p, _ in parts)), joined

    return node()


filters = st.recursive(single_tests(), combine, max_leaves=8)


@hypothesis.settings(max_examples=200, deadline=None)
@hypothesis.given(
    filters,
    st.lists(st.tuples(names, st.booleans()), max_size=3),
    st.integers(0, 2**63 - 1),
    st.none() | st.integers(0, 2**63 - 1),
)
def test_compile_query_and_parse_query_agree(values_probe, filter_and_text, sort, offset, limit):
    filter_, text = filter_and_text
    clauses = [text]
    if sort:
        clauses.append("SORT BY " + ", ".join(f"{n} {'DESC' if d else 'ASC'}" for n, d in sort))
    if limit is not None:
        clauses.append(f"LIMIT {limit}")
    clauses.append(f"OFFSET {offset}")
    filter_ = with_params(filter_, values_probe.Param)
    compiled = values_probe.compile_query("c", filter_, [((n,), d) for n, d in sort], offset, limit)
    parsed = values_probe.parse_query(" ".join(clauses))
    assert values_probe.same_query(compiled, parsed)
    assert values_probe.query_info(compiled)[0] == values_probe.query_info(parsed)[0]


# ------------------------------------------------------------ parameters


def test_parameters_convert_like_free_standing_values(values_probe):
    assert values_probe.params((None, True, 1, 1.5, "s", b"b", [1, (2,)])) == [
        "Null", "Bool(true)", "Int(1)", "Float(1.5)", 'String("s")', "Bytes([98])",
        "List([Int(1), List([Int(2)])])",
    ]


@pytest.mark.parametrize(
    "item, shown",
    [({"a": 1}, "{'a': 1}"), (2**64, "18446744073709551616"), ([1, {2}], "[1, {2}]"),
     ("\udc80", "\\udc80")],
)
def test_a_parameter_that_does_not_convert_is_named_whole(values_probe, item, shown):
    with pytest.raises(VevaDuzor) as raised:
        values_probe.params((1, item))
    assert raised.value.args == invalid(f"a query compares with single values, not {shown}")


def test_binding_checks_placeholders_only_when_there_are_some(values_probe):
    prepared = values_probe.parse_query("a == $0 OR b == $1")
    with pytest.raises(VevaDuzor) as raised:
        values_probe.bind(prepared, (1,), False)
    assert raised.value.args == framed("`$1` names a parameter, and 1 were given")
    assert values_probe.bind(prepared, (1, 2), False) == (None, 2)
    gapped = values_probe.compile_query("c", (1, ((0, 4, ("a",), (values_probe.Param(0),)), (0, 4, ("b",), (values_probe.Param(2),)))), [], 0, None)
    with pytest.raises(VevaDuzor):
        values_probe.bind(gapped, (1, 2), False)
    assert values_probe.bind(gapped, (1, 2, 3), False) == (None, 3)
    plain = values_probe.parse_query("a == 1")
    assert values_probe.bind(plain, (1, 2, 3), False) == (None, 0)


def test_find_one_limits_a_copy(values_probe):
    for text, bound in (("a == $0 LIMIT 0", 0), ("a == $0 LIMIT 10", 1), ("a == $0", 1), ("LIMIT 7", 1)):
        query = values_probe.parse_query(text)
        limit_before = values_probe.query_info(query)[4]
        assert values_probe.bind(query, (1,), True)[0] == bound
        assert values_probe.query_info(query)[4] == limit_before
        assert values_probe.bind(query, (1,), False)[0] == limit_before


def test_one_query_bound_from_eight_threads(values_probe):
    query = values_probe.compile_query("c", (0, 4, ("a",), (values_probe.Param(0),)), [], 0, 10)
    failures = []

    def run(n):
        try:
            for i in range(300):
                assert values_probe.bind(query, (n, i), i % 2 == 0) == (1 if i % 2 == 0 else 10, 2)
        except BaseException as error:  # noqa: BLE001 - reported below
            failures.append(error)

    threads = [threading.Thread(target=run, args=(n,)) for n in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []
    assert values_probe.query_info(query) == (True, True, [], 0, 10)


def test_compiling_in_a_loop_leaves_no_objects_behind():
    filter_ = (1, ((0, 4, ("a",), (Param(0),)), (0, 11, ("b",), ("x", b"y", 1.5))))
    gc.collect()
    before = len(gc.get_objects())
    for _ in range(2000):
        compile_query("c", filter_, [(("a",), True)], 1, 2)
        parse_query("a == $0 SORT BY b")
        with pytest.raises(VevaDuzor):
            compile_filter((0, 4, ("a",), (None,)))
    gc.collect()
    assert len(gc.get_objects()) - before < 50
