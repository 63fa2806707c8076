"""Reading objects back: get, find, find_one and count in every kind of
transaction, checked against a plain-Python evaluation of the same query."""

import threading

import hypothesis
import hypothesis.strategies as st
import pytest

import deziro._native as native
from deziro._errors import VevaDuzor
from deziro._native import Layout, NativeSchema, compile_query, parse_query

# ------------------------------------------------------------ the model

# (name, schema type, role, default) of the collection `items`; the Layout
# kinds are the same but for "str".
FIELDS = [("id", "int", "key", None), ("n", "int", "optional", None), ("s", "string", "optional", None),
          ("f", "float", "default", 1.5), ("b", "bool", "optional", None),
          ("tags", ("list", "int"), "optional", None)]
INDEXED = {"n", "s", "f", "tags"}


class Item:
    pass


ITEM = Layout(Item, [(name, name, "str" if kind == "string" else kind) for name, kind, _, _ in FIELDS])


def items_schema(indexed):
    return NativeSchema(1, [("items", [(name, kind, role, default, indexed and name in INDEXED, False)
                                       for name, kind, role, default in FIELDS])])


def stored(obj):
    """An object as it reads back: absent optional fields are None, the
    default fills `f`, and an int given for the float field widens."""
    return {"b": None, "n": None, "s": None, "tags": None, **obj, "f": float(obj.get("f", 1.5))}


small_ints = st.integers(-3, 3)
short_strs = st.text(alphabet="abc", max_size=3)
VALUES = {"id": st.integers(0, 20), "n": small_ints, "s": short_strs, "tags": small_ints, "b": st.booleans(),
          # Ints given for the float field are widened by the planner.
          "f": st.sampled_from([-1.0, 0.0, 1.5, 2.25]) | st.integers(-1, 2)}
COMPARISONS = list(range(4, 12))  # == != < <= > >= BETWEEN IN
OPS_OF = {"id": COMPARISONS, "n": COMPARISONS + [15], "f": COMPARISONS + [15],
          "s": COMPARISONS + [12, 13, 14, 15], "tags": [4, 15], "b": [4, 15]}
NAMES = {4: "==", 5: "!=", 6: "<", 7: "<=", 8: ">", 9: ">=", 12: "CONTAINS", 13: "STARTSWITH", 14: "ENDSWITH"}
CHECKS = {4: lambda v, a: v == a[0], 5: lambda v, a: v != a[0], 6: lambda v, a: v < a[0],
          7: lambda v, a: v <= a[0], 8: lambda v, a: v > a[0], 9: lambda v, a: v >= a[0],
          10: lambda v, a: a[0] <= v <= a[1], 11: lambda v, a: v in a, 12: lambda v, a: a[0] in v,
          13: lambda v, a: v.startswith(a[0]), 14: lambda v, a: v.endswith(a[0])}


@st.composite
def single_tests(draw):
    field = draw(st.sampled_from(sorted(OPS_OF)))
    op = draw(st.sampled_from(OPS_OF[field]))
    count = {10: 2, 11: draw(st.integers(0, 3)), 15: 0}.get(op, 1)
    values = VALUES["s"] if op in (12, 13, 14) else VALUES[field]
    return (0, op, (field,), tuple(draw(values) for _ in range(count)))


filters = st.recursive(
    single_tests(), lambda children: st.tuples(st.sampled_from([1, 2]), st.lists(children, min_size=1, max_size=3).map(tuple))
    | children.map(lambda child: (3, child)), max_leaves=5)


def literal(value):
    if isinstance(value, bool):
        return "true" if value else "false"
    return f'"{value}"' if isinstance(value, str) else repr(value)


def text_of(node):
    if node[0] == 3:
        return f"NOT ({text_of(node[1])})"
    if node[0] in (1, 2):
        return (" AND " if node[0] == 1 else " OR ").join(f"({text_of(child)})" for child in node[1])
    _, op, (field,), args = node
    if op == 15:
        return f"{field} IS NULL"
    if op == 10:
        return f"{field} BETWEEN {literal(args[0])} AND {literal(args[1])}"
    if op == 11:
        return f"{field} IN [{', '.join(map(literal, args))}]"
    return f"{field} {NAMES[op]} {literal(args[0])}"


def holds(node, row):
    """Null fails every test but IS NULL; a test of a list field holds when
    one element passes it."""
    if node[0] == 3:
        return not holds(node[1], row)
    if node[0] in (1, 2):
        return (all if node[0] == 1 else any)(holds(child, row) for child in node[1])
    _, op, (field,), args = node
    if op == 15:
        return row[field] is None
    values = row[field] if field == "tags" and row[field] is not None else [row[field]]
    return any(v is not None and CHECKS[op](v, args) for v in values)


def sorted_rows(rows, sort):
    """Null first ascending; equal values keep ascending key order in either
    direction."""
    rows = sorted(rows, key=lambda r: r["id"])
    for field, descending in reversed(sort):
        rows.sort(key=lambda r: (r[field] is not None, r[field] if r[field] is not None else 0), reverse=descending)
    return rows


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
    rows=st.lists(st.fixed_dictionaries({"id": VALUES["id"]}, optional={
        "n": small_ints, "s": short_strs, "f": VALUES["f"], "b": st.booleans(), "tags": st.lists(small_ints, max_size=3),
    }), unique_by=lambda o: o["id"], max_size=20),
    query=filters | st.none(),
    sort=st.lists(st.tuples(st.sampled_from(["n", "s", "f", "id"]), st.booleans()), max_size=2, unique_by=lambda k: k[0]),
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
    if text:
        clauses = ([text_of(query)] if query else []) + ["SORT BY " + ", ".join(
            f"{f} {'DESC' if d else 'ASC'}" for f, d in sort)] * bool(sort)
        compiled = parse_query(" ".join(clauses + [f"LIMIT {limit}"] * (limit is not None) + [f"OFFSET {offset}"]))
    else:
        compiled = compile_query("items", query, [((f,), d) for f, d in sort], offset, limit)
    every = sorted_rows([r for r in map(stored, rows) if query is None or holds(query, r)], sort)
    page = every[offset:None if limit is None else offset + limit]
    for snapshot in (db.begin_read(), db.begin_write()):
        found = snapshot.find("items", None, compiled, ())
        assert found == [vars(o) for o in snapshot.find("items", ITEM, compiled, ())]
        assert all(list(row) == sorted(row) for row in found)  # stored names in byte order
        if sort or (offset == 0 and limit is None):
            # Without sort keys the order is the access path's.
            assert (found if sort else sorted(found, key=lambda r: r["id"])) == page
        else:
            assert len(found) == len(page) and all(r in every for r in found)
        assert snapshot.count("items", compiled, ()) == len(page)
        assert snapshot.find_one("items", None, compiled, ()) == (found[0] if found else None)
        snapshot.end()


# ------------------------------------------------------------ behaviour

SCORES = NativeSchema(1, [("scores", [("id", "int", "key", None, False, False),
                                       ("name", "string", "required", None, True, True),
                                       ("score", "int", "optional", None, True, False)])])


class Score:
    def __init__(self):
        raise AssertionError("never called on reading")


SCORE = Layout(Score, [("id", "id", "int"), ("name", "name", "str"), ("score", "score", "int")])


def error_of(call):
    with pytest.raises(VevaDuzor) as raised:
        call()
    return raised.value.args


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
    assert error_of(lambda: tx.get("scores", None, "3")) == ("INVALID_ARGUMENT", 'String("3") is not a primary key of `scores`')
    assert error_of(lambda: tx.get("nothing", None, 3)) == ("INVALID_ARGUMENT", "the schema has no collection called `nothing`")
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
    assert error_of(lambda: tx.count("scores", query, ())) == ("INVALID_QUERY", "invalid query: `$0` names a parameter, and 0 were given")
    with pytest.raises(TypeError, match="parameters"):
        tx.find("scores", None, query, [0])
    assert error_of(lambda: tx.find("scores", None, query, ({"a": 1},))) == ("INVALID_QUERY", "a query compares with single values, not {'a': 1}")
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
    assert error_of(lambda: tx.find("scores", None, query, ())) == ("CLOSED", "the database has been closed")


def test_a_class_that_does_not_fit_fails_even_when_nothing_matches(new_db):
    db = filled(new_db)
    tx = db.begin_read()
    wrong = Layout(Score, [("id", "id", "int"), ("missing", "missing", "str")])
    for _ in range(2):  # a failed match is not cached
        code, message = error_of(lambda: tx.find("scores", wrong, parse_query("score == 100"), ()))
        assert code == "INVALID_ARGUMENT" and "the class does not match the collection `scores`" in message


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
