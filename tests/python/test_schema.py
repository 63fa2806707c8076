"""NativeSchema: declaring a schema from tuples, its refusals, and the
stored_schema dicts that show a declared schema."""

import gc

import pytest

import deziro._native as native
from deziro._errors import VevaDuzor

NativeSchema = native.NativeSchema


@pytest.fixture
def shown(values_probe):
    """The stored_schema dicts of a schema declared with these arguments."""

    def show(version, collections):
        return values_probe.schema_dict(values_probe.NativeSchema(version, collections))

    return show


def field(name, type_, role="required", default=None, indexed=False, unique=False):
    return (name, type_, role, default, indexed, unique)


def test_key_and_plain_index_are_declared_and_defaults_of_roles_are_not_read(shown):
    schema = shown(
        1,
        [
            (
                "users",
                [
                    ("name", "string", "key", object(), False, False),
                    ("age", "int", "optional", object(), True, False),
                ],
            )
        ],
    )
    assert schema == {
        "version": 1,
        "collections": [
            {
                "name": "users",
                "key": "name",
                "auto_increment": False,
                "fields": [
                    {"name": "name", "type": {"kind": "string"}, "optional": False},
                    {"name": "age", "type": {"kind": "int"}, "optional": True},
                ],
                "indexes": [{"field": "age", "unique": False}],
            }
        ],
    }


def test_dict_keys_come_in_their_fixed_order(shown):
    schema = shown(2, [("c", [field("f", ("link", "c"), "5", 5)])])
    collection = schema["collections"][0]
    assert list(schema) == ["version", "collections"]
    assert list(collection) == ["name", "key", "auto_increment", "fields", "indexes"]
    assert list(collection["fields"][0]) == ["name", "type", "optional", "default"]
    assert list(collection["fields"][0]["type"]) == ["collection", "kind"]


def test_collection_without_key_shows_id_and_auto_increment(shown):
    collection = shown(1, [("c", [field("x", "int")])])["collections"][0]
    assert collection["key"] == "id"
    assert collection["auto_increment"] is True


def test_kinds_of_every_type(shown):
    fields = shown(
        1,
        [
            (
                "c",
                [
                    field("b", "bool"),
                    field("f", "float"),
                    field("y", "bytes"),
                    field("l", ("link", "other")),
                    field("xs", ("list", ("list", "string"))),
                    field("o", ("object", [field("k", "int", "key", 4), field("n", "bool", "optional")])),
                ],
            )
        ],
    )["collections"][0]["fields"]
    assert [f["type"] for f in fields] == [
        {"kind": "bool"},
        {"kind": "float"},
        {"kind": "bytes"},
        {"collection": "other", "kind": "link"},
        {"element": {"element": {"kind": "string"}, "kind": "list"}, "kind": "list"},
        {
            "fields": [
                # Inside an embedded object "key" is no role: its default is read.
                {"name": "k", "type": {"kind": "int"}, "optional": False, "default": 4},
                {"name": "n", "type": {"kind": "bool"}, "optional": True},
            ],
            "kind": "object",
        },
    ]


def test_float_defaults_widen_exact_ints_only(shown):
    fields = shown(
        1,
        [
            (
                "c",
                [
                    field("f", "float", "default", 3),
                    field("xs", ("list", "float"), "default", [1, 2.5]),
                    field("t", "float", "default", True),
                    field("n", "int", "default", "x"),
                    field("z", "int", "default", None),
                ],
            )
        ],
    )["collections"][0]["fields"]
    defaults = [f["default"] for f in fields]
    assert defaults == [3.0, [1.0, 2.5], True, "x", None]
    assert type(defaults[0]) is float and type(defaults[1][0]) is float


def test_a_later_key_replaces_the_earlier_and_both_stay_fields(shown):
    collection = shown(1, [("c", [field("a", "int", "key"), field("b", "int", "key")])])[
        "collections"
    ][0]
    assert collection["key"] == "b"
    assert [f["name"] for f in collection["fields"]] == ["a", "b"]


def test_unique_and_indexed_together_give_one_unique_index(shown):
    indexes = shown(1, [("c", [field("a", "int", indexed=True, unique=True), field("b", "int", unique=True)])])[
        "collections"
    ][0]["indexes"]
    assert indexes == [{"field": "a", "unique": True}, {"field": "b", "unique": True}]


@pytest.mark.parametrize(
    "type_, message",
    [
        ("str", "an unknown field type: str"),
        ("Int", "an unknown field type: Int"),
        (("set", "int"), "an unknown field type: set"),
        (("list", "key"), "an unknown field type: key"),
    ],
)
def test_unknown_types_are_refused(type_, message):
    with pytest.raises(VevaDuzor) as raised:
        NativeSchema(1, [("c", [field("x", type_)])])
    assert raised.value.args == ("INVALID_ARGUMENT", message)


@pytest.mark.parametrize("type_", [(), ("list",), ("list", "int", "int")])
def test_a_type_tuple_of_other_than_two_items_is_a_value_error(type_):
    # The empty tuple used to crash the interpreter.
    with pytest.raises(ValueError) as raised:
        NativeSchema(1, [("c", [field("x", type_)])])
    assert raised.value.args == (f"a field type tuple has 2 items, not {len(type_)}",)


@pytest.mark.parametrize("type_", [5, ["list", "int"], (1, "int"), ("link", 5)])
def test_types_of_the_wrong_python_type_are_type_errors(type_):
    with pytest.raises(TypeError):
        NativeSchema(1, [("c", [field("x", type_)])])


@pytest.mark.parametrize(
    "default, message",
    [
        (2**63, "9223372036854775808 is beyond a 64-bit int"),
        ({}, "DeziRO cannot store a dict"),
        ({1}, "DeziRO cannot store a set"),
    ],
)
def test_defaults_that_do_not_convert(default, message):
    with pytest.raises(VevaDuzor) as raised:
        NativeSchema(1, [("c", [field("x", "int", "default", default)])])
    assert raised.value.args == ("INVALID_ARGUMENT", message)


def test_a_huge_int_default_of_a_float_field_overflows():
    with pytest.raises(OverflowError):
        NativeSchema(1, [("c", [field("x", "float", "default", 10**400)])])


def test_a_self_referential_default_does_not_crash():
    loop = []
    loop.append(loop)
    with pytest.raises(RecursionError):
        NativeSchema(1, [("c", [field("x", ("list", "int"), "default", loop)])])


def test_version_is_an_unsigned_64_bit_int():
    with pytest.raises(OverflowError, match="version"):
        NativeSchema(-1, [])
    with pytest.raises(OverflowError, match="version"):
        NativeSchema(2**64, [])
    with pytest.raises(TypeError, match="version"):
        NativeSchema("1", [])
    NativeSchema(2**64 - 1, [])


@pytest.mark.parametrize(
    "collections, error",
    [
        ("abc", TypeError),
        (5, TypeError),
        ([("c",)], ValueError),
        ([["c", []]], TypeError),
        ([(1, [])], TypeError),
        ([("c", "abc")], TypeError),
        ([("c", [("x", "int", "required", None, False)])], ValueError),
        ([("c", [("x", "int", 1, None, False, False)])], TypeError),
        ([("c", [("x", "int", "required", None, 1, False)])], TypeError),
        ([("c", [("x", "int", "required", None, False, None)])], TypeError),
    ],
)
def test_descriptions_of_the_wrong_shape_are_errors_of_collections(collections, error):
    with pytest.raises(error, match="collections"):
        NativeSchema(1, collections)


def test_shapes_are_checked_before_any_type_is_read():
    # The second collection's shape is wrong; the first one's type is unknown.
    with pytest.raises(ValueError, match="collections"):
        NativeSchema(1, [("a", [field("x", "nonsense")]), ("b", [("x",)])])


def test_schema_surface():
    assert NativeSchema.__text_signature__ == "(version, collections)"
    assert NativeSchema.__doc__.endswith("A schema, ready to open a file with.")
    assert [name for name in vars(NativeSchema) if not name.startswith("__")] == []

    class Mine(NativeSchema):
        pass

    assert isinstance(Mine(1, []), NativeSchema)


def test_declaring_schemas_in_a_loop_leaves_no_objects_behind():
    collections = [("c", [field("o", ("object", [field("x", "float", "d", 1)]))])]
    gc.collect()
    before = len(gc.get_objects())
    for _ in range(2000):
        NativeSchema(1, collections)
        with pytest.raises(VevaDuzor):
            NativeSchema(1, [("c", [field("x", "str")])])
    gc.collect()
    assert len(gc.get_objects()) - before < 50
