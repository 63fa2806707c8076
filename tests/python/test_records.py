"""Matching a layout against a collection, and records into objects.

Records are encoded by the engine (through the probe) from dicts, then read
back through layouts into instances made without __init__.
"""

import pytest

import deziro._native as native
from deziro._errors import VevaDuzor

PATH = "/db/points.dz"


def mismatch(message):
    return ("INVALID_ARGUMENT", f"the class does not match the collection `points` the database holds: {message}")


def damaged(fault):
    return ("CORRUPTED", f"`{PATH}` is damaged: an object of `points`: {fault}")


class Point:
    def __init__(self):
        raise AssertionError("__init__ must not run when a record is read")


class Inner:
    pass


@pytest.fixture
def layouts(values_probe):
    Layout = values_probe.Layout
    inner = Layout(Inner, [("a", "a", "int"), ("b", "b", "str")])
    return Layout, inner


FLAT = [("id", "int"), ("name", "str"), ("score", "float"), ("ok", "bool"), ("blob", "bytes")]


def flat_layout(Layout):
    return Layout(Point, [("id", "id", "int"), ("name", "name", "str"), ("score", "score", "float"),
                          ("ok", "ok", "bool"), ("blob", "blob", "bytes")])


def test_flat_record_becomes_an_instance_without_init(values_probe, layouts):
    Layout, _ = layouts
    record = values_probe.encode(FLAT, {"id": -5, "name": "zoë", "score": 2.5, "ok": True, "blob": b"\0x"})
    [point] = values_probe.decode(flat_layout(Layout), FLAT, [record])
    assert type(point) is Point
    assert vars(point) == {"id": -5, "name": "zoë", "score": 2.5, "ok": True, "blob": b"\0x"}


def test_same_record_reads_as_a_dict_in_name_order(values_probe):
    record = values_probe.encode(FLAT, {"id": 1, "name": "n", "score": 0.5, "ok": False, "blob": b""})
    as_dict = values_probe.to_dict(FLAT, record)
    assert as_dict == {"id": 1, "name": "n", "score": 0.5, "ok": False, "blob": b""}
    assert list(as_dict) == ["blob", "id", "name", "ok", "score"]


def test_attribute_names_differ_from_stored_names(values_probe):
    layout = values_probe.Layout(Point, [("size", "id", "int")])
    record = values_probe.encode([("id", "int")], {"id": 9})
    [point] = values_probe.decode(layout, [("id", "int")], [record])
    assert vars(point) == {"size": 9}


NESTED = [("id", "int"), ("inner", ("object", [("a", "int"), ("b", "str")]))]


def test_nested_layout_becomes_a_nested_instance(values_probe, layouts):
    Layout, inner = layouts
    outer = Layout(Point, [("id", "id", "int"), ("inner", "inner", inner)])
    record = values_probe.encode(NESTED, {"id": 1, "inner": {"a": 2, "b": "x"}})
    [point] = values_probe.decode(outer, NESTED, [record])
    assert type(point.inner) is Inner
    assert vars(point.inner) == {"a": 2, "b": "x"}
    assert values_probe.to_dict(NESTED, record) == {"id": 1, "inner": {"a": 2, "b": "x"}}


ITEM = ("object", [("a", "int"), ("b", "str")])
LISTS = [("id", "int"), ("tags", ("list", "str")), ("items", ("list", ITEM)),
         ("grid", ("list", ("list", ITEM)))]


def test_lists_of_scalars_and_of_embedded_objects(values_probe, layouts):
    Layout, inner = layouts
    given = {"id": 1, "tags": ["p", "q"], "items": [{"a": 1, "b": "u"}, {"a": 2, "b": "v"}],
             "grid": [[], [{"a": 3, "b": "w"}]]}
    record = values_probe.encode(LISTS, given)
    assert values_probe.to_dict(LISTS, record) == given
    layout = Layout(Point, [("id", "id", "int"), ("tags", "tags", ("list", "str")),
                            ("items", "items", ("list", inner)),
                            ("grid", "grid", ("list", ("list", inner)))])
    [point] = values_probe.decode(layout, LISTS, [record])
    assert point.tags == ["p", "q"]
    assert [type(item) for item in point.items] == [Inner, Inner]
    assert [vars(item) for item in point.items] == given["items"]
    assert point.grid[0] == [] and [vars(item) for item in point.grid[1]] == given["grid"][1]


def test_list_element_layout_mismatch_names_the_field(values_probe):
    Layout = values_probe.Layout
    short = Layout(Inner, [("a", "a", "int")])
    layout = Layout(Point, [("id", "id", "int"), ("items", "items", ("list", short))])
    with pytest.raises(VevaDuzor) as info:
        values_probe.match(layout, [("id", "int"), ("items", ("list", ITEM))])
    assert info.value.args == mismatch("`points.items` has a field `b` that the class does not")


def inner_with(b_kind):
    """An embedded layout whose field `b` has the kind `b_kind`."""
    return lambda Layout: Layout(Inner, [("a", "a", "int"), ("b", "b", b_kind)])


def built(kind, Layout):
    if callable(kind):
        return kind(Layout)
    return ("list", built(kind[1], Layout)) if isinstance(kind, tuple) else kind


def kind_read_as_stored(stored):
    """The layout kind that reads a field of the stored kind `stored`."""
    if stored == ITEM:
        return inner_with("str")
    if isinstance(stored, tuple):
        return "key" if stored[0] == "link" else ("list", kind_read_as_stored(stored[1]))
    return stored


def plain(value):
    if isinstance(value, list):
        return [plain(item) for item in value]
    return vars(value) if isinstance(value, Inner) else value


@pytest.mark.parametrize(
    "stored, kind, value, path, words",
    [
        ("float", "int", 2.5, "v", ("a float", "an int")),
        ("int", "float", 3, "v", ("an int", "a float")),
        ("str", "bytes", "x", "v", ("a string", "bytes")),
        ("bytes", "str", b"x", "v", ("bytes", "a string")),
        ("bool", "int", True, "v", ("a bool", "an int")),
        (("link", 0), "int", 7, "v", ("a link", "an int")),
        ("int", "key", 7, "v", ("an int", "a link")),
        (("list", "int"), ("list", "str"), [1], "v", ("a list of ints", "a list of strings")),
        (("list", "int"), "int", [1], "v", ("a list of ints", "an int")),
        ("int", ("list", "int"), 1, "v", ("an int", "a list of ints")),
        (("list", ("list", "int")), ("list", "int"), [[1]], "v", ("a list of lists of ints", "a list of ints")),
        (("list", ITEM), ("list", "int"), [{"a": 1, "b": "u"}], "v",
         ("a list of embedded objects", "a list of ints")),
        (("list", "int"), ("list", inner_with("str")), [5], "v",
         ("a list of ints", "a list of embedded objects")),
        (ITEM, inner_with("int"), {"a": 1, "b": "u"}, "v.b", ("a string", "an int")),
        (("list", ITEM), ("list", inner_with("bytes")), [{"a": 1, "b": "u"}], "v.b",
         ("a string", "bytes")),
    ],
)
def test_a_layout_kind_the_file_does_not_store_is_refused_as_the_class_not_the_file(
        values_probe, stored, kind, value, path, words):
    # The record is sound: it holds the value of the stored kind. The class
    # reads another, which is the caller's mistake and is refused by the
    # match, before any record, not reported as damage when one is read.
    fields = [("id", "int"), ("v", stored)]
    layout = values_probe.Layout(Point, [("id", "id", "int"), ("v", "v", built(kind, values_probe.Layout))])
    record = values_probe.encode(fields, {"id": 1, "v": value})
    expected = mismatch(f"`points.{path}` holds {words[0]}, which the class reads as {words[1]}")
    with pytest.raises(VevaDuzor) as info:
        values_probe.decode(layout, fields, [record])
    assert info.value.args == expected
    with pytest.raises(VevaDuzor) as info:
        values_probe.decode(layout, fields, [])
    assert info.value.args == expected
    # The class of the stored kinds reads the same record.
    right = values_probe.Layout(Point, [("id", "id", "int"),
                                        ("v", "v", built(kind_read_as_stored(stored), values_probe.Layout))])
    [point] = values_probe.decode(right, fields, [record])
    assert plain(point.v) == value


def test_reading_a_sound_file_through_a_class_of_other_kinds_blames_the_class(tmp_path):
    schema = native.NativeSchema(1, [("points", [("id", "int", "key", None, False, False),
                                                 ("score", "float", "required", None, False, False)])])
    db = native.open(str(tmp_path / "kinds.dz"), schema=schema)
    try:
        tx = db.begin_write()
        tx.insert("points", None, {"id": 1, "score": 2.5})
        tx.commit(False)
        wrong = native.Layout(Point, [("id", "id", "int"), ("score", "score", "int")])
        reader = db.begin_read()
        expected = mismatch("`points.score` holds a float, which the class reads as an int")
        with pytest.raises(VevaDuzor) as info:
            reader.get("points", wrong, 1)
        assert info.value.args == expected
        with pytest.raises(VevaDuzor) as info:
            reader.find("points", wrong, native.parse_query("id == 9"), ())
        assert info.value.args == expected
        right = native.Layout(Point, [("id", "id", "int"), ("score", "score", "float")])
        assert vars(reader.get("points", right, 1)) == {"id": 1, "score": 2.5}
        reader.end()
        # A write through the class is refused alike, as the match is shared.
        tx = db.begin_write()
        written = object.__new__(Point)
        written.id, written.score = 2, None
        with pytest.raises(VevaDuzor) as info:
            tx.insert("points", wrong, written)
        assert info.value.args == expected
        tx.end()
        assert db.check()["ok"] is True
    finally:
        db.close()


def test_one_slot_list_serves_many_records(values_probe, layouts):
    Layout, _ = layouts
    fields = [("id", "int"), ("note", "str", {"optional": True})]
    layout = Layout(Point, [("id", "id", "int"), ("note", "note", "str")])
    records = [values_probe.encode(fields, {"id": 1, "note": "a"}), values_probe.encode(fields, {"id": 2})]
    first, second = values_probe.decode(layout, fields, records)
    assert vars(first) == {"id": 1, "note": "a"}
    assert vars(second) == {"id": 2, "note": None}


def test_absent_field_takes_its_default_or_none(values_probe, layouts):
    Layout, _ = layouts
    old = [("id", "int")]
    new = [("id", "int"), ("level", "int", {"default": 7}), ("note", "str", {"optional": True})]
    layout = Layout(Point, [("id", "id", "int"), ("level", "level", "int"), ("note", "note", "str")])
    record = values_probe.encode(old, {"id": 3})
    [point] = values_probe.decode(layout, new, [record])
    assert vars(point) == {"id": 3, "level": 7, "note": None}


def test_absent_required_field_is_damage(values_probe, layouts):
    Layout, _ = layouts
    new = [("id", "int"), ("level", "int")]
    layout = Layout(Point, [("id", "id", "int"), ("level", "level", "int")])
    record = values_probe.encode([("id", "int")], {"id": 3})
    with pytest.raises(VevaDuzor) as info:
        values_probe.decode(layout, new, [record])
    assert info.value.args == damaged("a record lacks a required field")


def test_fields_the_collection_lost_are_skipped(values_probe):
    # The record holds field 2, which the collection of one field no longer has.
    record = values_probe.encode([("id", "int"), ("gone", "str")], {"id": 4, "gone": "x"})
    layout = values_probe.Layout(Point, [("id", "id", "int")])
    [point] = values_probe.decode(layout, [("id", "int")], [record])
    assert vars(point) == {"id": 4}


@pytest.mark.parametrize(
    "cut, fault",
    [
        (lambda r: r[:-1], "a record ends early"),
        (lambda r: r + b"\0", "a record has bytes after its last field"),
        (lambda r: b"\x09" + r[1:], "a record counts more than it holds"),
    ],
)
def test_damaged_record_names_file_and_collection(values_probe, cut, fault):
    fields = [("id", "int"), ("name", "str")]
    record = values_probe.encode(fields, {"id": 300, "name": "abc"})
    layout = values_probe.Layout(Point, [("id", "id", "int"), ("name", "name", "str")])
    with pytest.raises(VevaDuzor) as info:
        values_probe.decode(layout, fields, [cut(record)])
    assert info.value.args == damaged(fault)


def test_value_of_another_type_and_bad_utf8_are_damage(values_probe):
    record = values_probe.encode([("id", "int"), ("name", "bytes")], {"id": 1, "name": b"\xff"})
    layout = values_probe.Layout(Point, [("id", "id", "int"), ("name", "name", "str")])
    with pytest.raises(VevaDuzor) as info:
        values_probe.decode(layout, [("id", "int"), ("name", "str")], [record])
    assert info.value.args == damaged("a record holds a value of another type than its field")
    as_text = record.replace(b"\x07\x01\xff", b"\x06\x01\xff")
    with pytest.raises(VevaDuzor) as info:
        values_probe.decode(layout, [("id", "int"), ("name", "str")], [as_text])
    assert info.value.args == damaged("a record holds a string that is not UTF-8")


def test_layout_field_missing_from_collection(values_probe):
    layout = values_probe.Layout(Point, [("id", "id", "int"), ("x", "x", "int")])
    with pytest.raises(VevaDuzor) as info:
        values_probe.match(layout, [("id", "int")])
    assert info.value.args == mismatch("the class has a field `x` that `points` does not")


def test_collection_field_missing_from_layout(values_probe):
    layout = values_probe.Layout(Point, [("id", "id", "int")])
    with pytest.raises(VevaDuzor) as info:
        values_probe.match(layout, [("id", "int"), ("f", "str")])
    assert info.value.args == mismatch("`points` has a field `f` that the class does not")


def test_embedded_object_read_without_a_layout(values_probe):
    layout = values_probe.Layout(Point, [("id", "id", "int"), ("inner", "inner", "int")])
    with pytest.raises(VevaDuzor) as info:
        values_probe.match(layout, NESTED)
    assert info.value.args == mismatch(
        "`points.inner` is an embedded object, which the class does not read as one")


def test_layout_for_a_field_that_is_no_embedded_object(values_probe, layouts):
    Layout, inner = layouts
    layout = Layout(Point, [("id", "id", "int"), ("p", "p", inner)])
    with pytest.raises(VevaDuzor) as info:
        values_probe.match(layout, [("id", "int"), ("p", "int")])
    assert info.value.args == mismatch("`points.p` is not an embedded object")


def test_nested_mismatch_names_the_nested_path(values_probe):
    Layout = values_probe.Layout
    inner = Layout(Inner, [("a", "a", "int")])
    layout = Layout(Point, [("id", "id", "int"), ("inner", "inner", inner)])
    with pytest.raises(VevaDuzor) as info:
        values_probe.match(layout, NESTED)
    assert info.value.args == mismatch("`points.inner` has a field `b` that the class does not")


def test_a_match_is_computed_once_per_layout(values_probe):
    layout = values_probe.Layout(Point, [("id", "id", "int")])
    assert values_probe.match(layout, [("id", "int")], 3) is True


def test_second_attribute_of_one_stored_name_stays_none(values_probe):
    layout = values_probe.Layout(Point, [("a", "id", "int"), ("b", "id", "int")])
    [point] = values_probe.decode(layout, [("id", "int")], [values_probe.encode([("id", "int")], {"id": 9})])
    assert vars(point) == {"a": 9, "b": None}


def test_class_without_dict_passes_its_error_on(values_probe):
    class Slotted:
        __slots__ = ("id",)

    layout = values_probe.Layout(Slotted, [("id", "id", "int")])
    with pytest.raises(AttributeError):
        values_probe.decode(layout, [("id", "int")], [values_probe.encode([("id", "int")], {"id": 1})])
