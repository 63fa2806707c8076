"""Layout: making one, its argument checks and kinds, the instance check,
reading objects through it, and its part in garbage collection."""

import gc
import weakref

import pytest

import deziro._native as native
from deziro._errors import VevaDuzor


Layout = native.Layout


@pytest.fixture
def ProbeLayout(values_probe):
    # The probe reads only layouts of its own class, which behaves as the
    # module's does; the surface tests below use the module's own.
    return values_probe.Layout


class Point:
    def __init__(self, x=1, y=2):
        self.x = x
        self.y = y


class Special(Point):
    pass


def args_of(raised):
    return raised.value.args


def test_layout_of_plain_kinds_is_flat(values_probe, ProbeLayout):
    Layout = ProbeLayout
    _, flat, _, shape = values_probe.layout_info(Layout(Point, [("x", "x", "int")]))
    assert flat is True
    assert shape == [("x", None)]


def test_layout_with_a_list_or_no_fields_is_not_flat(values_probe, ProbeLayout):
    Layout = ProbeLayout
    assert values_probe.layout_info(Layout(Point, [("x", "x", ("list", "int"))]))[1] is False
    assert values_probe.layout_info(Layout(Point, []))[1] is False
    assert values_probe.layout_info(Layout(Point, [("x", "x", "key")]))[1] is False


def test_layout_ids_are_never_reused(values_probe, ProbeLayout):
    Layout = ProbeLayout
    ids = [values_probe.layout_info(Layout(Point, []))[0] for _ in range(3)]
    assert ids == sorted(ids) and len(set(ids)) == 3 and ids[0] >= 1


def test_an_attribute_named_twice_maps_to_its_later_position(values_probe, ProbeLayout):
    Layout = ProbeLayout
    layout = Layout(Point, [("a", "x", "int"), ("a", "y", "str")])
    _, _, positions, shape = values_probe.layout_info(layout)
    assert positions == {"a": 1}
    assert shape == [("x", None), ("y", None)]


def test_nested_layout_carries_its_shape(values_probe, ProbeLayout):
    Layout = ProbeLayout
    inner = Layout(Point, [("x", "px", "float")])
    outer = Layout(Point, [("x", "at", inner), ("y", "many", ("list", inner))])
    # A list of layouts has no nested shape of its own, but carries its
    # element's, so that it can be read back as a list of objects.
    assert values_probe.layout_info(outer)[3] == [
        ("at", [("px", None)]),
        ("many", None, [("px", None)]),
    ]
    deeper = Layout(Point, [("x", "grid", ("list", ("list", inner)))])
    assert values_probe.layout_info(deeper)[3] == [("grid", None, [("px", None)])]


def test_class_must_be_a_type():
    with pytest.raises(TypeError, match="class"):
        Layout(5, [])


@pytest.mark.parametrize(
    "fields, error",
    [
        ("abc", TypeError),
        (5, TypeError),
        ({"x": 1}, TypeError),
        ([("a", "a")], ValueError),
        ([["a", "a", "int"]], TypeError),
        ([(1, "a", "int")], TypeError),
        ([("a", 2, "int")], TypeError),
    ],
)
def test_fields_of_the_wrong_shape_are_argument_errors(fields, error):
    with pytest.raises(error, match="fields"):
        Layout(Point, fields)


def test_an_iteration_that_raises_passes_on():
    def fields():
        yield ("x", "x", "int")
        raise KeyError("gone")

    class Fields(list):
        def __iter__(self):
            return fields()

    with pytest.raises(KeyError):
        Layout(Point, Fields())


def test_missing_or_unknown_arguments_are_type_errors():
    with pytest.raises(TypeError):
        Layout(Point)
    with pytest.raises(TypeError):
        Layout(Point, [], [])
    assert Layout(fields=[], **{"class": Point}) is not None


@pytest.mark.parametrize(
    "kind, message",
    [
        ("Int", "an unknown kind of field: Int"),
        ("string", "an unknown kind of field: string"),
        (("set", "int"), "a field's kind is a name, a list of a kind or a layout"),
        (("list",), "a field's kind is a name, a list of a kind or a layout"),
        (("list", "int", "x"), "a field's kind is a name, a list of a kind or a layout"),
        (int, "a field's kind is a name, a list of a kind or a layout"),
        (("list", ("list", "Int")), "an unknown kind of field: Int"),
    ],
)
def test_kinds_that_are_refused(kind, message):
    with pytest.raises(VevaDuzor) as raised:
        Layout(Point, [("x", "x", kind)])
    assert args_of(raised) == ("INVALID_ARGUMENT", message)


def test_a_list_kind_whose_head_is_not_a_str_is_a_type_error():
    with pytest.raises(TypeError):
        Layout(Point, [("x", "x", (1, "int"))])


def test_reading_through_a_layout_uses_stored_names_and_leaves_none_out(values_probe, ProbeLayout):
    Layout = ProbeLayout
    layout = Layout(Point, [("x", "ex", "int"), ("y", "why", "str")])
    assert values_probe.read(layout, Point(5, None)) == 'Object({"ex": Int(5)})'


def test_a_subclass_passes_the_instance_check_and_an_int_does_not(values_probe, ProbeLayout):
    Layout = ProbeLayout
    layout = Layout(Point, [("x", "x", "int")])
    assert values_probe.read(layout, Special(3)) == 'Object({"x": Int(3)})'
    with pytest.raises(VevaDuzor) as raised:
        values_probe.read(layout, 5)
    assert args_of(raised) == ("INVALID_ARGUMENT", "expected a Point, not a int")


def test_float_field_widens_an_exact_int_only(values_probe, ProbeLayout):
    Layout = ProbeLayout
    layout = Layout(Point, [("x", "x", "float")])
    assert values_probe.read(layout, Point(3)) == 'Object({"x": Float(3.0)})'
    assert values_probe.read(layout, Point(True)) == 'Object({"x": Bool(true)})'


def test_list_field_takes_iterables_and_keeps_none_items(values_probe, ProbeLayout):
    Layout = ProbeLayout
    layout = Layout(Point, [("x", "x", ("list", "int"))])
    assert values_probe.read(layout, Point([1, None])) == 'Object({"x": List([Int(1), Null])})'
    assert values_probe.read(layout, Point(n for n in (4, 5))) == 'Object({"x": List([Int(4), Int(5)])})'
    for given, phrase in (("ab", "a str"), (5, "a int"), (bytearray(), "a bytearray")):
        with pytest.raises(VevaDuzor) as raised:
            values_probe.read(layout, Point(given))
        assert args_of(raised) == ("INVALID_ARGUMENT", f"a list field holds a list, not {phrase}")


def test_a_plain_field_refuses_a_dict(values_probe, ProbeLayout):
    Layout = ProbeLayout
    layout = Layout(Point, [("x", "x", "int")])
    with pytest.raises(VevaDuzor) as raised:
        values_probe.read(layout, Point({"a": 1}))
    assert args_of(raised) == ("INVALID_ARGUMENT", "DeziRO cannot store a dict")


def test_embedded_layout_reads_the_nested_object(values_probe, ProbeLayout):
    Layout = ProbeLayout
    inner = Layout(Point, [("x", "x", "int")])
    outer = Layout(Point, [("x", "at", inner)])
    assert values_probe.read(outer, Point(Point(4))) == 'Object({"at": Object({"x": Int(4)})})'
    with pytest.raises(VevaDuzor) as raised:
        values_probe.read(outer, Point(7))
    assert args_of(raised) == ("INVALID_ARGUMENT", "expected a Point, not a int")


def test_attribute_errors_and_property_errors_pass_on(values_probe, ProbeLayout):
    Layout = ProbeLayout

    class Prop(Point):
        def __init__(self):
            pass

        @property
        def y(self):
            raise ValueError("no y")

    with pytest.raises(AttributeError):
        values_probe.read(Layout(Point, [("z", "z", "int")]), Point())
    with pytest.raises(ValueError, match="no y"):
        values_probe.read(Layout(Point, [("y", "y", "int")]), Prop())


def test_a_failing_isinstance_passes_on(values_probe, ProbeLayout):
    Layout = ProbeLayout

    class Meta(type):
        def __instancecheck__(cls, instance):
            raise RuntimeError("cannot tell")

    class Odd(metaclass=Meta):
        pass

    with pytest.raises(RuntimeError, match="cannot tell"):
        values_probe.read(Layout(Odd, []), 1)


@pytest.mark.parametrize("module_layout", [True, False])
def test_a_class_holding_its_own_layout_is_collected(ProbeLayout, module_layout):
    Layout = native.Layout if module_layout else ProbeLayout
    class Holder:
        pass

    Holder.layout = Layout(Holder, [("x", "x", "int")])
    Holder.nested = Layout(Holder, [("x", "x", ("list", Holder.layout))])
    gone = weakref.ref(Holder)
    del Holder
    gc.collect()
    assert gone() is None


def test_making_layouts_in_a_loop_leaves_no_objects_behind():
    inner = Layout(Point, [("x", "x", "int")])
    gc.collect()
    before = len(gc.get_objects())
    for _ in range(2000):
        Layout(Point, [("x", "x", inner), ("y", "y", ("list", "str"))])
    gc.collect()
    assert len(gc.get_objects()) - before < 50


def test_layout_has_no_attributes_and_its_docstring_holds_the_signature():
    assert Layout.__text_signature__ == "(class, fields)"
    assert Layout.__doc__.endswith(
        "A Python class as a collection's objects or an embedded object: its\n"
        "fields, in the order the class declares them."
    )
    assert Layout.__module__ == "deziro._native"
    assert [name for name in vars(Layout) if not name.startswith("__")] == []


# ------------------------------------------------------------ instances


def test_instances_are_made_without_init_and_filled_through_dict(values_probe, ProbeLayout):
    class Loud:
        def __new__(cls, *args):
            raise AssertionError("own __new__ ran")

        def __init__(self):
            raise AssertionError("__init__ ran")

    layout = ProbeLayout(Loud, [("a", "a", "int"), ("b", "b", "str"), ("c", "c", "int")])
    made = values_probe.make(layout, [1, None])
    assert type(made) is Loud
    assert vars(made) == {"a": 1, "b": None}


def test_the_later_of_two_fields_with_one_attribute_wins(values_probe, ProbeLayout):
    layout = ProbeLayout(Point, [("x", "x", "int"), ("x", "y", "int")])
    assert vars(values_probe.make(layout, [1, 2])) == {"x": 2}


def test_a_class_without_dict_gives_attribute_error(values_probe, ProbeLayout):
    class Slotted:
        __slots__ = ("x",)

    with pytest.raises(AttributeError):
        values_probe.make(ProbeLayout(Slotted, [("x", "x", "int")]), [1])


def test_a_dict_that_is_no_dict_gives_type_error(values_probe, ProbeLayout):
    class Odd:
        @property
        def __dict__(self):
            return [1]

    with pytest.raises(TypeError):
        values_probe.make(ProbeLayout(Odd, [("x", "x", "int")]), [1])
