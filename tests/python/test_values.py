"""Python values into engine values: the free-standing road, primary keys,
the by-name road of dicts, and the way back into Python."""

import enum
import gc
import tracemalloc

import hypothesis
import hypothesis.strategies as st
import pytest

from deziro._errors import VevaDuzor

INT64_MIN = -(2**63)
INT64_MAX = 2**63 - 1


def refused(code, message):
    """A context that expects VevaDuzor(code, message)."""

    class Expect:
        def __enter__(self):
            self.raised = pytest.raises(VevaDuzor)
            self.info = self.raised.__enter__()
            return self.info

        def __exit__(self, *exc):
            handled = self.raised.__exit__(*exc)
            assert self.info.value.args == (code, message)
            return handled

    return Expect()


class Colour(enum.IntEnum):
    RED = 7


class Precise(float):
    pass


class Text(str):
    pass


# ------------------------------------------------------------ free-standing


@pytest.mark.parametrize(
    "given, expected",
    [
        (None, "Null"),
        (True, "Bool(true)"),
        (False, "Bool(false)"),
        (0, "Int(0)"),
        (Colour.RED, "Int(7)"),
        (1.5, "Float(1.5)"),
        (Precise(2.5), "Float(2.5)"),
        ("é", 'String("é")'),
        (Text("a"), 'String("a")'),
        (b"\x00A", "Bytes([0, 65])"),
        ((1, "a", None), 'List([Int(1), String("a"), Null])'),
        ([[True]], "List([List([Bool(true)])])"),
    ],
)
def test_each_python_type_takes_its_variant(values_probe, given, expected):
    assert values_probe.value(given) == expected


def test_bool_is_never_read_as_an_int(values_probe):
    assert values_probe.value(True) == "Bool(true)"
    assert values_probe.value([True, 1]) == "List([Bool(true), Int(1)])"


def test_64_bit_limits_are_kept_and_one_beyond_is_refused(values_probe):
    assert values_probe.value(INT64_MAX) == f"Int({INT64_MAX})"
    assert values_probe.value(INT64_MIN) == f"Int({INT64_MIN})"
    with refused("INVALID_ARGUMENT", "9223372036854775808 is beyond a 64-bit int"):
        values_probe.value(2**63)
    with refused("INVALID_ARGUMENT", "-9223372036854775809 is beyond a 64-bit int"):
        values_probe.value(INT64_MIN - 1)


def test_bytearray_and_memoryview_become_their_bytes(values_probe):
    assert values_probe.value(bytearray(b"ab")) == values_probe.value(b"ab")
    assert values_probe.value(memoryview(b"xyz")[1:]) == values_probe.value(b"yz")


@pytest.mark.parametrize(
    "given, phrase", [({}, "a dict"), ({1}, "a set"), (object(), "a object"), (1j, "a complex")]
)
def test_unstorable_values_are_named_with_the_article_a(values_probe, given, phrase):
    with refused("INVALID_ARGUMENT", f"DeziRO cannot store {phrase}"):
        values_probe.value(given)


def test_a_failing_item_ends_the_list(values_probe):
    with refused("INVALID_ARGUMENT", "DeziRO cannot store a dict"):
        values_probe.value([1, 2, {}])


def test_lone_surrogate_passes_the_encoding_error_on(values_probe):
    with pytest.raises(UnicodeEncodeError):
        values_probe.value("\udc80")


def test_self_referential_list_raises_recursion_error_instead_of_crashing(values_probe):
    loop = []
    loop.append(loop)
    with pytest.raises(RecursionError):
        values_probe.value(loop)
    deep = {}
    for _ in range(100_000):
        deep = {"a": deep}
    with pytest.raises(RecursionError):
        values_probe.by_name(deep, None)


def test_a_tuple_subclass_iterator_that_raises_passes_it_on(values_probe):
    class Bad(list):
        def __iter__(self):
            raise ValueError("no iteration today")

    with pytest.raises(ValueError, match="no iteration today"):
        values_probe.value(Bad([1]))


scalars = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(INT64_MIN, INT64_MAX),
    st.floats(allow_nan=False),
    st.text(alphabet=st.characters(blacklist_categories=("Cs",))),
    st.binary(),
)
values = st.recursive(scalars, lambda inner: st.lists(inner, max_size=4), max_leaves=20)


@hypothesis.given(values)
def test_values_survive_the_way_there_and_back(values_probe, value):
    assert values_probe.round_trip(value) == value


@hypothesis.given(st.integers())
def test_ints_convert_exactly_when_they_fit_in_64_bits(values_probe, number):
    if INT64_MIN <= number <= INT64_MAX:
        assert values_probe.round_trip(number) == number
    else:
        with refused("INVALID_ARGUMENT", f"{number} is beyond a 64-bit int"):
            values_probe.value(number)


# ------------------------------------------------------------ keys


@pytest.mark.parametrize(
    "given, expected",
    [(5, "Int(5)"), ("k", 'String("k")'), (b"k", "Bytes([107])"), (bytearray(b"k"), "Bytes([107])")],
)
def test_keys_are_ints_strs_or_bytes(values_probe, given, expected):
    assert values_probe.key(given) == expected


@pytest.mark.parametrize(
    "given, phrase",
    [(True, "a bool"), (2**63, "a int"), ({}, "a dict"), (None, "a NoneType"), (1.0, "a float"),
     ([1], "a list")],
)
def test_other_keys_are_refused_with_the_key_message(values_probe, given, phrase):
    with refused("INVALID_ARGUMENT", f"a primary key is an int, a str or bytes, not {phrase}"):
        values_probe.key(given)


# ------------------------------------------------------------ by name


def test_dict_keeps_none_and_unknown_names(values_probe):
    fields = [("price", "float")]
    assert (
        values_probe.by_name({"price": None, "other": 3}, fields)
        == 'Object({"other": Int(3), "price": Null})'
    )


def test_exact_int_widens_for_a_float_field_only(values_probe):
    fields = [("f", "float"), ("i", "int")]
    assert values_probe.by_name({"f": 3, "i": 3}, fields) == 'Object({"f": Float(3.0), "i": Int(3)})'
    assert values_probe.by_name({"f": True}, fields) == 'Object({"f": Bool(true)})'
    assert values_probe.by_name({"f": Colour.RED}, fields) == 'Object({"f": Int(7)})'
    with pytest.raises(OverflowError):
        values_probe.by_name({"f": 10**400}, fields)


def test_lists_take_element_kinds_and_any_iterable(values_probe):
    fields = [("xs", ("list", "float"))]
    assert (
        values_probe.by_name({"xs": (n for n in (1, 2.5, None))}, fields)
        == 'Object({"xs": List([Float(1.0), Float(2.5), Null])})'
    )


@pytest.mark.parametrize("given, phrase", [("ab", "a str"), (b"ab", "a bytes"), (5, "a int")])
def test_list_field_refuses_text_bytes_and_non_iterables(values_probe, given, phrase):
    with refused("INVALID_ARGUMENT", f"a list field holds a list, not {phrase}"):
        values_probe.by_name({"xs": given}, [("xs", ("list", "int"))])


def test_embedded_object_is_a_dict_and_a_nested_dict_becomes_an_object(values_probe):
    fields = [("at", ("object", [("x", "float")]))]
    assert values_probe.by_name({"at": {"x": 1}}, fields) == 'Object({"at": Object({"x": Float(1.0)})})'
    assert values_probe.by_name({"n": {"x": 1}}, fields) == 'Object({"n": Object({"x": Int(1)})})'
    with refused(
        "INVALID_ARGUMENT", "an object of a collection reached by name is a dict, not a list"
    ):
        values_probe.by_name({"at": [1]}, fields)


def test_by_name_refuses_non_dicts_and_non_str_names(values_probe):
    with refused(
        "INVALID_ARGUMENT", "an object of a collection reached by name is a dict, not a tuple"
    ):
        values_probe.by_name((), None)
    with refused("INVALID_ARGUMENT", "a field's name is a str, not a int"):
        values_probe.by_name({1: 2}, None)


def test_later_duplicate_wins_and_map_is_in_name_order(values_probe):
    assert values_probe.by_name({"b": 1, "a": 2}, None) == 'Object({"a": Int(2), "b": Int(1)})'


# ------------------------------------------------------------ leaks


def test_conversions_in_a_loop_do_not_grow_memory(values_probe):
    sample = [1, "two", b"three", [4.0, None, (True,)]]
    for _ in range(200):
        values_probe.round_trip(sample)
        with pytest.raises(VevaDuzor):
            values_probe.value([1, {}])
    gc.collect()
    tracemalloc.start()
    before = tracemalloc.take_snapshot()
    for _ in range(5000):
        values_probe.round_trip(sample)
        values_probe.by_name({"a": sample}, None)
        try:
            values_probe.key(None)
        except VevaDuzor:
            pass
    gc.collect()
    after = tracemalloc.take_snapshot()
    tracemalloc.stop()
    grown = sum(stat.size_diff for stat in after.compare_to(before, "filename"))
    assert grown < 64 * 1024
