"""Reading objects back: get, find, find_one and count in every kind of
transaction, checked against a plain-Python evaluation of the same query."""

import threading

import hypothesis
import hypothesis.strategies as st
import pytest

import deziro._native as native
from deziro._errors import VevaDuzor
from deziro._native import Layout, NativeSchema, Param, compile_query, parse_query

# ------------------------------------------------------------ the model

# (name, schema type, role, default) of the collection `items`.
FIELDS = [
    ("id", "int", "key", None),
    ("n", "int", "optional", None),
    ("s", "string", "optional", None),
    ("f", "float", "default", 1.5),
    ("b", "bool", "optional", None),
    ("tags", ("list", "int"), "optional", None),
]
INDEXED = {"n", "s", "f", "tags"}


def items_schema(indexed):
    return NativeSchema(1, [("items", [(name, kind, role, default, indexed and name in INDEXED, False)
                                       for name, kind, role, default in FIELDS])])


def stored(obj):
    """An object as it reads back: absent optional fields are None, an
    absent field with a default holds it, an int given for a float widens."""
    out = {"id": obj["id"], "f": float(obj.get("f", 1.5))}
    for name in ("n", "s", "b", "tags"):
        out[name] = obj.get(name)
    return out


RANK = {type(None): 0, bool: 1, int: 2, float: 3, str: 4}


def order_key(value):
    return (RANK[type(value)], value if value is not None else 0)


# A test: (field, operator code of the intermediate form, operands), its
# text, and the Python predicate over a stored object.
OPS = {4: "==", 5: "!=", 6: "<", 7: "<=", 8: ">", 9: ">="}
COMPARE = {
    4: lambda a, b: a == b, 5: lambda a, b: a != b, 6: lambda a, b: a < b,
    7: lambda a, b: a <= b, 8: lambda a, b: a > b, 9: lambda a, b: a >= b,
}

small_ints = st.integers(-3, 3)
short_strs = st.text(alphabet="abc", max_size=3)
# Ints given for the float field are widened by the planner.
floats = st.sampled_from([-1.0, 0.0, 1.5, 2.25]) | st.integers(-1, 2)
VALUES = {"id": st.integers(0, 20), "n": small_ints, "s": short_strs, "f": floats}


def literal(value):
    if isinstance(value, str):
        return '"' + value + '"'
    if isinstance(value, bool):
        return "true" if value else "false"
    return repr(value)


def reached(obj, field):
    """The values a test of `field` reaches: each element of a list."""
    value = obj[field]
    if field == "tags":
        return [] if value is None else value
    return [value]


def matches_any(obj, field, predicate):
    return any(v is not None and predicate(v) for v in reached(obj, field))


@st.composite
def scalar_tests(draw):
    field = draw(st.sampled_from(sorted(VALUES)))
    values = VALUES[field]
    kind = draw(st.sampled_from(["compare", "between", "in", "null", "text"]))
    if kind == "text" and field == "s":
        op, word = draw(st.sampled_from([(12, "CONTAINS"), (13, "STARTSWITH"), (14, "ENDSWITH")]))
        arg = draw(short_strs)
        check = {12: lambda v: arg in v, 13: lambda v: v.startswith(arg), 14: lambda v: v.endswith(arg)}[op]
        return (0, op, (field,), (arg,)), f"{field} {word} {literal(arg)}", lambda o: matches_any(o, field, check)
    if kind == "null" and field != "id":
        return (0, 15, (field,), ()), f"{field} IS NULL", lambda o: o[field] is None
    if kind == "between":
        low, high = draw(values), draw(values)
        return ((0, 10, (field,), (low, high)), f"{field} BETWEEN {literal(low)} AND {literal(high)}",
                lambda o: matches_any(o, field, lambda v: low <= v <= high))
    if kind == "in":
        items = draw(st.lists(values, max_size=3))
        text = f"{field} IN [{', '.join(literal(i) for i in items)}]"
        return (0, 11, (field,), tuple(items)), text, lambda o: matches_any(o, field, lambda v: v in items)
    op = draw(st.sampled_from(sorted(OPS)))
    arg = draw(values)
    return ((0, op, (field,), (arg,)), f"{field} {OPS[op]} {literal(arg)}",
            lambda o: matches_any(o, field, lambda v: COMPARE[op](v, arg)))


@st.composite
def other_tests(draw):
    which = draw(st.sampled_from(["tags", "tags_null", "b"]))
    if which == "tags":
        arg = draw(small_ints)
        return (0, 4, ("tags",), (arg,)), f"tags == {arg}", lambda o: matches_any(o, "tags", lambda v: v == arg)
    if which == "tags_null":
        return (0, 15, ("tags",), ()), "tags IS NULL", lambda o: o["tags"] is None
    arg = draw(st.booleans())
    return (0, 4, ("b",), (arg,)), f"b == {literal(arg)}", lambda o: o["b"] == arg


def combine(children):
    def build(parts):
        kind, items = parts
        if kind == "not":
            (tup, text, check) = items[0]
            return (3, tup), f"NOT ({text})", lambda o: not check(o)
        code, word = (1, " AND ") if kind == "and" else (2, " OR ")
        tup = (code, tuple(i[0] for i in items))
        text = word.join(f"({i[1]})" for i in items)
        checks = [i[2] for i in items]
        if kind == "and":
            return tup, text, lambda o: all(c(o) for c in checks)
        return tup, text, lambda o: any(c(o) for c in checks)

    return st.tuples(st.sampled_from(["and", "or", "not"]), st.lists(children, min_size=1, max_size=3)).map(build)


filters = st.recursive(scalar_tests() | other_tests(), combine, max_leaves=5)

objects = st.lists(
    st.fixed_dictionaries(
        {"id": st.integers(0, 20)},
        optional={"n": small_ints, "s": short_strs, "f": floats, "b": st.booleans(),
                  "tags": st.lists(small_ints, max_size=3)},
    ),
    unique_by=lambda o: o["id"],
    max_size=20,
)


class _neg:
    """Reverses the order of a sort key."""

    def __init__(self, key):
        self.key = key

    def __lt__(self, other):
        return other.key < self.key

    def __eq__(self, other):
        return self.key == other.key


def sorted_rows(rows, sort):
    return sorted(rows, key=lambda r: (tuple(_neg(order_key(r[f])) if d else order_key(r[f]) for f, d in sort), r["id"]))


class Item:
    pass


ITEM = Layout(Item, [(name, name, {"string": "str"}.get(kind, kind) if isinstance(kind, str) else ("list", "int"))
                     for name, kind, _, _ in FIELDS])


@pytest.fixture
def new_db(tmp_path):
    opened = []
    counter = iter(range(10**9))

    def make(schema, **options):
        db = native.open(str(tmp_path / f"db{next(counter)}.dz"), schema=schema, **options)
        opened.append(db)
        return db

    yield make
    for db in opened:
        db.close()


@hypothesis.settings(max_examples=60, deadline=None,
                     suppress_health_check=[hypothesis.HealthCheck.function_scoped_fixture])
@hypothesis.given(
    rows=objects,
    query=filters | st.none(),
    sort=st.lists(st.tuples(st.sampled_from(["n", "s", "f", "id"]), st.booleans()), max_size=2,
                  unique_by=lambda k: k[0]),
    offset=st.integers(0, 4),
    limit=st.none() | st.integers(0, 5),
    indexed=st.booleans(),
    text=st.booleans(),
)
def test_find_and_count_agree_with_a_plain_evaluation(new_db, rows, query, sort, offset, limit, indexed, text):
    db = new_db(items_schema(indexed))
    tx = db.begin_write()
    for row in rows:
        tx.insert("items", None, row)
    tx.commit(False)
    model = [stored(r) for r in rows]
    check = query[2] if query else (lambda o: True)
    if text:
        clauses = [query[1]] if query else []
        if sort:
            clauses.append("SORT BY " + ", ".join(f"{f} {'DESC' if d else 'ASC'}" for f, d in sort))
        if limit is not None:
            clauses.append(f"LIMIT {limit}")
        clauses.append(f"OFFSET {offset}")
        compiled = parse_query(" ".join(clauses))
    else:
        compiled = compile_query("items", query[0] if query else None, [((f,), d) for f, d in sort], offset, limit)
    every = sorted_rows([r for r in model if check(r)], sort)
    end = None if limit is None else offset + limit
    page = every[offset:end]
    for snapshot in (db.begin_read(), db.begin_write()):
        found = snapshot.find("items", None, compiled, ())
        through_layout = [vars(o) for o in snapshot.find("items", ITEM, compiled, ())]
        assert found == through_layout
        if sort:
            assert found == page
        else:
            # Without sort keys the order is the access path's.
            assert len(found) == len(page)
            assert all(r in every for r in found)
            if offset == 0 and limit is None:
                assert sorted(found, key=lambda r: r["id"]) == sorted(every, key=lambda r: r["id"])
        assert snapshot.count("items", compiled, ()) == len(page)
        first = snapshot.find_one("items", None, compiled, ())
        assert first == (found[0] if found else None)
        snapshot.end()


# ------------------------------------------------------------ behaviour

SCORES = NativeSchema(1, [("scores", [("id", "int", "key", None, False, False),
                                       ("name", "string", "required", None, True, True),
                                       ("score", "int", "optional", None, True, False)])])


class Score:
    def __init__(self):
        raise AssertionError("never called on reading")


SCORE = Layout(Score, [("id", "id", "int"), ("name", "name", "str"), ("score", "score", "int")])


def filled(new_db, count=10):
    db = new_db(SCORES)
    tx = db.begin_write()
    for i in range(count):
        tx.insert("scores", None, {"id": i, "name": f"p{i}", "score": i % 4})
    tx.commit(False)
    return db


def test_get_by_key_with_and_without_a_layout(new_db):
    db = filled(new_db)
    tx = db.begin_read()
    score = tx.get("scores", SCORE, 3)
    assert type(score) is Score and vars(score) == {"id": 3, "name": "p3", "score": 3}
    assert tx.get("scores", None, 3) == {"id": 3, "name": "p3", "score": 3}
    assert tx.get("scores", SCORE, 99) is None and tx.get("scores", None, 99) is None
    with pytest.raises(VevaDuzor) as raised:
        tx.get("scores", None, "3")
    assert raised.value.args == ("INVALID_ARGUMENT", 'String("3") is not a primary key of `scores`')
    with pytest.raises(VevaDuzor) as raised:
        tx.get("nothing", None, 3)
    assert raised.value.args == ("INVALID_ARGUMENT", "the schema has no collection called `nothing`")
    assert tx.get("scores", None, 4)["name"] == "p4"  # still usable


def test_limit_zero_offsets_past_the_end_and_find_one_order(new_db):
    db = filled(new_db)
    tx = db.begin_read()
    assert tx.find("scores", None, parse_query("LIMIT 0"), ()) == []
    assert tx.find_one("scores", None, parse_query("LIMIT 0"), ()) is None
    assert tx.find("scores", None, parse_query("OFFSET 50"), ()) == []
    assert tx.count("scores", parse_query("OFFSET 50"), ()) == 0
    assert tx.count("scores", parse_query("score == 1 LIMIT 1"), ()) == 1
    assert tx.find_one("scores", None, parse_query("SORT BY score DESC, name DESC"), ())["id"] == 7
    assert tx.find_one("scores", SCORE, parse_query("SORT BY id OFFSET 4"), ()).id == 4


def test_find_one_never_changes_a_shared_query(new_db):
    db = filled(new_db)
    tx = db.begin_read()
    query = parse_query("score >= $0")
    assert tx.find_one("scores", None, query, (0,)) is not None
    assert len(tx.find("scores", None, query, (0,))) == 10
    with pytest.raises(VevaDuzor) as raised:
        tx.count("scores", query, ())
    assert raised.value.args == ("INVALID_QUERY", "invalid query: `$0` names a parameter, and 0 were given")
    with pytest.raises(TypeError, match="parameters"):
        tx.find("scores", None, query, [0])
    with pytest.raises(VevaDuzor) as raised:
        tx.find("scores", None, query, ({"a": 1},))
    assert raised.value.args == ("INVALID_QUERY", "a query compares with single values, not {'a': 1}")
    assert len(tx.find("scores", None, query, (0,))) == 10


def test_write_transaction_sees_its_inserts_and_an_older_snapshot_does_not(new_db):
    db = filled(new_db, 2)
    before = db.begin_read()
    tx = db.begin_write()
    tx.insert("scores", None, {"id": 5, "name": "new", "score": 9})
    query = parse_query("score == 9")
    for reader in (tx, before):
        seen = reader is tx
        assert (reader.get("scores", SCORE, 5) is not None) == seen
        assert len(reader.find("scores", SCORE, query, ())) == int(seen)
        assert reader.count("scores", parse_query("name == \"new\""), ()) == int(seen)
    tx.commit(False)
    assert before.get("scores", None, 5) is None
    assert db.begin_read().get("scores", None, 5)["name"] == "new"
    with pytest.raises(VevaDuzor) as raised:
        tx.find("scores", None, query, ())
    assert raised.value.args == ("CLOSED", "the database has been closed")


def test_a_class_that_does_not_fit_fails_even_when_nothing_matches(new_db):
    db = filled(new_db)
    tx = db.begin_read()
    wrong = Layout(Score, [("id", "id", "int"), ("missing", "missing", "str")])
    for _ in range(2):  # a failed match is not cached
        with pytest.raises(VevaDuzor) as raised:
            tx.find("scores", wrong, parse_query("score == 100"), ())
        assert raised.value.args[0] == "INVALID_ARGUMENT"
        assert "the class does not match the collection `scores`" in raised.value.args[1]


def test_embedded_objects_and_lists_read_back_through_a_layout(new_db):
    # The schema has no lists of embedded objects; an embedded object that
    # holds a list is the deepest nesting a file stores.
    schema = NativeSchema(1, [("shapes", [
        ("id", "int", "key", None, False, False),
        ("corner", ("object", [("x", "int", "required", None, False, False),
                               ("ys", ("list", "int"), "optional", None, False, False)]),
         "required", None, False, False)])])

    class Point:
        pass

    class Shape:
        pass

    point = Layout(Point, [("x", "x", "int"), ("ys", "ys", ("list", "int"))])
    shape = Layout(Shape, [("id", "id", "int"), ("corner", "corner", point)])
    db = new_db(schema)
    tx = db.begin_write()
    tx.insert("shapes", None, {"id": 1, "corner": {"x": 1, "ys": [2, 3]}})
    tx.insert("shapes", None, {"id": 2, "corner": {"x": 4}})
    tx.commit(False)
    got = db.begin_read().find("shapes", shape, parse_query("corner.ys == 3 OR corner.x == 4 SORT BY id"), ())
    assert [(type(s.corner), vars(s.corner)) for s in got] == [
        (Point, {"x": 1, "ys": [2, 3]}), (Point, {"x": 4, "ys": None})]


def test_eight_threads_run_one_query(new_db):
    db = filled(new_db, 200)
    query = parse_query("score == $0 SORT BY id DESC")
    expected = [i for i in reversed(range(200)) if i % 4 == 2]
    failures = []

    def run():
        try:
            tx = db.begin_read()
            for _ in range(20):
                assert [s.id for s in tx.find("scores", SCORE, query, (2,))] == expected
                assert tx.find_one("scores", None, query, (2,))["id"] == expected[0]
            tx.end()
        except BaseException as error:  # noqa: BLE001 - reported below
            failures.append(error)

    threads = [threading.Thread(target=run) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
