"""Random sequences of writes, refused writes, commits, aborts, snapshots and
reopens, checked after every step against a dict of the objects that each
open transaction should see: get, count, find with every operator on every
indexed and unindexed field, sorted and paged, and the file's check."""

import math
import shutil
import struct
import tempfile

import hypothesis
import hypothesis.strategies as st
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

import deziro._native as native
from deziro._errors import VevaDuzor
from deziro._native import NativeSchema, Param, compile_query, parse_query


def field(name, kind, role="optional", default=None, indexed=False, unique=False):
    return (name, kind, role, default, indexed, unique)


def things_schema(key_kind):
    return NativeSchema(1, [("things", [
        field("id", key_kind, "key"),
        field("code", "string", indexed=True, unique=True),
        field("rank", "int", "default", 0, indexed=True),
        field("score", "float", indexed=True),
        field("note", "string"),
        field("tags", ("list", "int"), indexed=True),
        field("pos", ("object", [field("x", "int", "required"), field("y", "float")]), "required"),
    ])])


ints = st.sampled_from([0, 1, -1, 2**53, -(2**53) - 1, 2**63 - 1, -(2**63)]) | st.integers(-3, 3)
floats = st.sampled_from([0.0, -0.0, 1.5, -2.25, 2.0**53, math.inf, -math.inf, math.nan]) | st.integers(-2, 2)
texts = st.text(alphabet="ab\x00\u00e9\U0001f600", max_size=3)
codes = st.text(alphabet="ab", max_size=2) | texts
KEYS = {"int": st.integers(-4, 4) | st.sampled_from([2**63 - 1, -(2**63)]), "string": texts}
WRONG_KEY = {"int": "1", "string": 1}
MISSING_KEY = {"int": 10**12, "string": "zz"}  # never drawn
positions = st.fixed_dictionaries({"x": ints}, optional={"y": st.none() | floats})
# Long notes take overflow pages; a unique value this long is no key.
notes = texts | st.sampled_from(["n" * 3000, "\u00e9" * 1500])
CHANGES = {"code": st.none() | codes, "rank": st.none() | ints, "score": st.none() | floats,
           "note": st.none() | notes, "tags": st.none() | st.lists(st.integers(-3, 3), max_size=4), "pos": positions}
# (field, value, refused in the conversion to engine values before any object is written)
BAD = [("rank", "1", False), ("rank", 1.5, False), ("rank", True, False), ("rank", 2**64, True), ("rank", [1], False),
       ("code", 5, False), ("code", b"a", False), ("code", "c" * 20000, False), ("note", 1, False),
       ("score", "x", False), ("score", True, False), ("tags", "ab", True), ("tags", 5, True),
       ("tags", [1, None], False), ("tags", [1.5], False), ("tags", [[1]], False), ("pos", None, False),
       ("pos", 5, True), ("pos", {"x": "a"}, False), ("pos", {"y": 1.0}, False), ("pos", {"x": 1, "z": 2}, False),
       ("zzz", 1, False)]


def widen(value):
    return float(value) if type(value) is int else value


def stored(obj):
    """An object as it reads back, its fields in the order of their names."""
    return {"code": obj.get("code"), "id": obj["id"], "note": obj.get("note"),
            "pos": {"x": obj["pos"]["x"], "y": widen(obj["pos"].get("y"))},
            "rank": 0 if obj.get("rank") is None else obj["rank"], "score": widen(obj.get("score")),
            "tags": None if obj.get("tags") is None else list(obj["tags"])}


def exact(value):
    """Objects compared by their text, which tells the field order, NaN and
    -0.0 apart."""
    return repr(value)


def order(value):
    """The engine's total order of values: null, bools, ints, floats by their
    total-order key (every NaN one value, -0.0 equal to 0.0), strings by bytes."""
    if value is None:
        return (1, 0)
    if type(value) is bool:
        return (2 + value, 0)
    if type(value) is int:
        return (4, value)
    if type(value) is float:
        bits = 0x7FF8000000000000 if math.isnan(value) else 0 if value == 0 else (
            struct.unpack("<Q", struct.pack("<d", value))[0])
        return (21, bits ^ (0xFFFFFFFFFFFFFFFF if bits >> 63 else 1 << 63))
    return (22, value.encode())


PATHS = {"id": None, "code": "str", "rank": "int", "score": "float", "note": "str", "tags": "int",
         "pos.x": "int", "pos.y": "float"}
SORTABLE = [p for p in PATHS if p != "tags"]
EQ, NE, LT, LE, GT, GE, BETWEEN, IN, CONTAINS, STARTS, ENDS, NULL = range(4, 16)
TEXT = {EQ: "==", NE: "!=", LT: "<", LE: "<=", GT: ">", GE: ">=", CONTAINS: "CONTAINS", STARTS: "STARTSWITH",
        ENDS: "ENDSWITH"}
COMPARE = {EQ: lambda a, b: a == b, NE: lambda a, b: a != b, LT: lambda a, b: a < b, LE: lambda a, b: a <= b,
           GT: lambda a, b: a > b, GE: lambda a, b: a >= b}


class Refused(Exception):
    pass


def reached(obj, path):
    if path == "tags":
        return [None] if obj["tags"] is None else obj["tags"]
    head, _, rest = path.partition(".")
    return [obj[head][rest] if rest else obj[head]]


def operand(kind, value):
    """What the planner makes of an operand compared with a field of `kind`."""
    if kind == "float" and type(value) is int and abs(value) <= 2**53:
        return float(value)
    if type(value) is not {"int": int, "float": float, "str": str}[kind]:
        raise Refused
    return value


def resolve(node, kinds):
    """The filter with its operands checked and converted as the planner does,
    each test with the order of its operands."""
    if node[0] in ("and", "or"):
        return (node[0], [resolve(child, kinds) for child in node[1]])
    if node[0] == "not":
        return ("not", resolve(node[1], kinds))
    _, op, path, args = node
    kind = kinds[path]
    if op in (EQ, NE) and args[0] is None:
        test = ("test", NULL, path, (), ())
        return test if op == EQ else ("not", test)
    if op in (CONTAINS, STARTS, ENDS) and not (op == CONTAINS and path == "tags"):
        if kind != "str" or type(args[0]) is not str:
            raise Refused
        return ("test", op, path, args, (args[0].encode(),))
    args = tuple(operand(kind, a) for a in args)
    return ("test", op, path, args, tuple(order(a) for a in args))


def has_null(node):
    if node[0] in ("and", "or"):
        return any(has_null(child) for child in node[1])
    return has_null(node[1]) if node[0] == "not" else None in node[3]


NULL_ORDER = order(None)


def holds(node, row):
    """Null fails every test but IS NULL; a test of a list holds when one element passes."""
    if node[0] in ("and", "or"):
        return (all if node[0] == "and" else any)(holds(child, row) for child in node[1])
    if node[0] == "not":
        return not holds(node[1], row)
    _, op, path, args, keys = node
    values = row[path]
    if op == NULL:
        return NULL_ORDER in values
    for key in values:
        if key != NULL_ORDER and (
                op in COMPARE and COMPARE[op](key, keys[0]) or op == BETWEEN and keys[0] <= key <= keys[1]
                or op == IN and key in keys
                or op == CONTAINS and (key == keys[0] if path == "tags" else keys[0] in key[1])
                or op == STARTS and key[1].startswith(keys[0]) or op == ENDS and key[1].endswith(keys[0])):
            return True
    return False


class Rows:
    """The objects a reader should see in primary-key order, with the order
    of every value a query reaches in each and its text."""

    def __init__(self, objects):
        self.objects = sorted(objects.values(), key=lambda o: order(o["id"]))
        self.keys = [{path: [order(v) for v in reached(o, path)] for path in PATHS} for o in self.objects]
        self.texts = [exact(o) for o in self.objects]

    def result(self, resolved, sort):
        """Positions of the matching objects: by the sort values (null first
        ascending), then by primary key ascending whatever the directions."""
        found = [i for i, row in enumerate(self.keys) if resolved is None or holds(resolved, row)]
        for path, descending in reversed(sort):
            found.sort(key=lambda i: self.keys[i][path][0], reverse=descending)
        return found


def text_of(node, params):
    if node[0] in ("and", "or"):
        return f" {node[0].upper()} ".join(f"({text_of(child, params)})" for child in node[1])
    if node[0] == "not":
        return f"NOT ({text_of(node[1], params)})"
    _, op, path, args = node
    names = []
    for arg in args:
        names.append(f"${len(params)}")
        params.append(arg)
    if op == NULL:
        return f"{path} IS NULL"
    if op == BETWEEN:
        return f"{path} BETWEEN {names[0]} AND {names[1]}"
    if op == IN:
        return f"{path} IN [{', '.join(names)}]"
    return f"{path} {TEXT[op]} {names[0]}"


def tuple_of(node, params, use_params):
    if node[0] in ("and", "or"):
        return (1 if node[0] == "and" else 2, tuple(tuple_of(child, params, use_params) for child in node[1]))
    if node[0] == "not":
        return (3, tuple_of(node[1], params, use_params))
    _, op, path, args = node
    operands = []
    for arg in args:
        if use_params:
            operands.append(Param(len(params)))
            params.append(arg)
        else:
            operands.append(arg)
    return (0, op, tuple(path.split(".")), tuple(operands))


def compiled(query, form):
    """The query as text (every operand a parameter), or as tuples with
    literal operands or with parameters."""
    node, sort, offset, limit = query
    params = []
    if form == "text":
        clauses = [text_of(node, params)] if node else []
        if sort:
            clauses.append("SORT BY " + ", ".join(f"{p} {'DESC' if d else 'ASC'}" for p, d in sort))
        clauses += [f"LIMIT {limit}"] * (limit is not None) + [f"OFFSET {offset}"] * (offset > 0)
        return parse_query(" ".join(clauses)), tuple(params)
    filter_ = tuple_of(node, params, form == "params") if node else None
    return compile_query("things", filter_, [(tuple(p.split(".")), d) for p, d in sort], offset, limit), tuple(params)


def run_query(reader, rows, kinds, query, form):
    node, sort, offset, limit = query
    try:
        # compile_query takes no null operand: IS NULL is a test of its own.
        if form == "literals" and node and has_null(node):
            raise Refused
        resolved = resolve(node, kinds) if node else None
    except Refused:
        for call in (lambda q, p: reader.find("things", None, q, p), lambda q, p: reader.count("things", q, p)):
            try:
                call(*compiled(query, form))
            except VevaDuzor as error:
                assert error.code == "INVALID_QUERY", (query, error)
            else:
                raise AssertionError(f"{query} was not refused")
        return
    query_object, params = compiled(query, form)
    matching = rows.result(resolved, sort)
    page = [rows.objects[i] for i in matching[offset:None if limit is None else offset + limit]]
    found = reader.find("things", None, query_object, params)
    # Equal as dicts, or as text where a NaN differs from itself. Without
    # sort keys the result is in primary-key order.
    assert found == page or list(map(exact, found)) == list(map(exact, page)), (query, form)
    assert reader.count("things", query_object, params) == len(page), (query, form)
    first = reader.find_one("things", None, query_object, params)
    assert exact(first) == exact(page[0] if page else None), (query, form)


def battery(objects, key_kind):
    """Fixed queries on every path, with operands taken from the objects."""
    for path, kind in PATHS.items():
        kind = kind or key_kind
        present = sorted({order(v): v for o in objects for v in reached(o, path) if v is not None}.items())
        values = [v for _, v in present] or [{"int": 1, "float": 1.5, "str": "a"}[kind]]
        low, middle, high = values[0], values[len(values) // 2], values[-1]
        tests = [(EQ, (middle,)), (NE, (middle,)), (LT, (middle,)), (GE, (middle,)), (BETWEEN, (low, middle)),
                 (IN, (high, low, high)), (IN, ()), (NULL, ())]
        if kind == "str":
            tests += [(STARTS, (middle[:1],)), (CONTAINS, (middle[-1:],)), (ENDS, (middle[-1:],))]
        if path == "tags":
            tests.append((CONTAINS, (middle,)))
        for op, args in tests:
            yield (("test", op, path, args), [], 0, None)
        yield (("not", ("test", EQ, path, (middle,))), [], 0, None)
        if path in SORTABLE:
            for descending in (False, True):
                yield (None, [(path, descending)], 0, None)
                yield (None, [(path, descending), ("id", not descending)], 1, 2)
                yield (("test", GE, path, (middle,)), [(path, descending)], 0, 3)
                yield (("and", [("test", LT, path, (high,)), ("test", GT, path, (low,))]), [(path, descending)], 1, 2)


@st.composite
def leaf_tests(draw, pools, key_kind):
    path = draw(st.sampled_from(sorted(PATHS)))
    kind = PATHS[path] or key_kind
    ops = [EQ, NE, LT, LE, GT, GE, BETWEEN, IN, NULL] + [CONTAINS, STARTS, ENDS] * (kind == "str")
    op = draw(st.sampled_from(ops + [CONTAINS] * (path == "tags")))
    good = {"int": ints, "float": floats, "str": texts}[kind]
    if pools.get(path):
        good = st.sampled_from(pools[path]) | good
    value = good | st.sampled_from([None, "a", 1, 1.5, True, 2**60])  # the last ones often refused
    count = {BETWEEN: 2, IN: draw(st.integers(0, 3)), NULL: 0}.get(op, 1)
    return ("test", op, path, tuple(draw(st.one_of(good, value) if op != STARTS else texts) for _ in range(count)))


@st.composite
def filters(draw, leaves, depth=0):
    if depth >= 3 or draw(st.integers(0, 2)):
        return draw(leaves)
    kind = draw(st.sampled_from(["and", "or", "not"]))
    if kind == "not":
        return ("not", draw(filters(leaves, depth + 1)))
    return (kind, [draw(filters(leaves, depth + 1)) for _ in range(draw(st.integers(1, 3)))])


class ModelMachine(RuleBasedStateMachine):
    key_kind = "int"
    bulk_below = 100  # no bulk batch once the collection holds this many objects

    def __init__(self):
        super().__init__()
        self.folder = tempfile.mkdtemp(prefix="deziro-model-")
        self.kinds = dict(PATHS, id={"int": "int", "string": "str"}[self.key_kind])
        self.committed, self.objects = {}, {}
        self.db = self.tx = None
        self.snapshots = []  # (read transaction, the objects it must see)

    # Large pages, a cache that holds no page, encryption: each changes the
    # road of every page.
    @initialize(options=st.fixed_dictionaries({}, optional={
        "page_size": st.just(65536), "cache_size": st.sampled_from([0, 65536]),
        "key": st.binary(min_size=32, max_size=32)}))
    def open(self, options, schema=True):
        self.options = options
        self.db = native.open(f"{self.folder}/model.dz", schema=things_schema(self.key_kind) if schema else None,
                              **options)
        self.tx = self.db.begin_write()

    def teardown(self):
        for reader in [self.tx] * bool(self.tx) + [s for s, _ in self.snapshots]:
            reader.end()
        if self.db:
            self.db.close()
        shutil.rmtree(self.folder)

    # ---------------------------------------------------------- drawing

    def keys(self):
        fresh = KEYS[self.key_kind]
        return st.sampled_from(sorted(self.objects, key=order)) | fresh if self.objects else fresh

    def new_object(self, data, key=None):
        obj = data.draw(st.fixed_dictionaries({"pos": positions}, optional={
            k: v for k, v in CHANGES.items() if k != "pos"}))
        obj["id"] = data.draw(self.keys()) if key is None else key
        return obj

    def with_bad_value(self, data, obj):
        name, value, early = data.draw(st.sampled_from(BAD + [("id", WRONG_KEY[self.key_kind], False),
                                                              ("id", None, False), ("id", 1.5, False)]))
        return dict(obj, **{name: value}), early

    # ---------------------------------------------------------- the model of writes

    def refusal(self, obj, mode, objects):
        """The code a write of `obj` gets from the engine with `objects` stored, or None."""
        if obj.get("bad"):
            return "INVALID_ARGUMENT"
        if mode == "insert" and obj["id"] in objects:
            return "DUPLICATE_KEY"
        code = obj.get("code")
        if code is not None and any(o["code"] == code and k != obj["id"] for k, o in objects.items()):
            return "DUPLICATE_KEY"
        return None

    def expect_error(self, code, call):
        try:
            call()
        except VevaDuzor as error:
            assert error.code == code, error
        else:
            raise AssertionError(f"accepted, {code} expected")

    def write_batch(self, data, mode, objects):
        """Writes `objects` (dicts, a bad one marked) one call each or as one batch."""
        clean = [{k: v for k, v in o.items() if k != "bad"} for o in objects]
        if len(objects) == 1 and data.draw(st.booleans()):
            call = getattr(self.tx, mode)
            clean = clean[0]
        else:
            call = getattr(self.tx, mode + "_many")
        if any(o.get("bad") == "early" for o in objects):
            self.expect_error("INVALID_ARGUMENT", lambda: call("things", None, clean))
            return
        for obj in objects:
            code = self.refusal(obj, mode, self.objects)
            if code:
                self.expect_error(code, lambda: call("things", None, clean))
                return
            self.objects[obj["id"]] = stored(obj)
        keys = call("things", None, clean)
        assert keys == ([o["id"] for o in objects] if isinstance(keys, list) else objects[0]["id"])

    # ---------------------------------------------------------- rules

    @rule(data=st.data(), mode=st.sampled_from(["insert", "put"]), count=st.integers(1, 4),
          bad=st.none() | st.integers(0, 3))
    def write(self, data, mode, count, bad):
        objects = [self.new_object(data) for _ in range(count)]
        if bad is not None and bad < count:
            spoiled, early = self.with_bad_value(data, objects[bad])
            objects[bad] = dict(spoiled, bad="early" if early else True)
        self.write_batch(data, mode, objects)

    @precondition(lambda self: len(self.objects) < self.bulk_below)
    @rule(data=st.data(), mode=st.sampled_from(["insert", "put"]), count=st.integers(16, 300),
          start=st.integers(-300, 300), spread=st.integers(1, 3))
    def bulk(self, data, mode, count, start, spread):
        """Many objects in one batch, with few distinct values: trees of
        several pages and long runs of equal index entries."""
        prefix = data.draw(texts)
        keys = [start + i if self.key_kind == "int" else f"{prefix}{i:03}" for i in range(count)]
        objects = [{"id": key, "rank": i % spread, "score": [None, 0.5, -0.0][i % 3], "tags": [i % spread, 9],
                    "code": f"c{start + i}" if i % 2 else None, "pos": {"x": i % 4}, "note": "b" * (i % 7)}
                   for i, key in enumerate(keys)]
        self.write_batch(data, mode, objects)

    @rule(data=st.data())
    def delete_range(self, data):
        keys = sorted(self.objects, key=order)
        first = data.draw(st.integers(0, len(keys)))
        for key in keys[first:first + data.draw(st.integers(0, 200))]:
            assert self.tx.delete("things", key) is True
            del self.objects[key]

    @rule(data=st.data())
    def update(self, data):
        key = data.draw(self.keys())
        changes = data.draw(st.fixed_dictionaries({}, optional=CHANGES))
        if data.draw(st.booleans()):
            changes["id"] = key  # repeating the key is no change
        current = self.objects.get(key)
        if current is None:
            assert self.tx.update("things", None, key, changes) is False
            return
        merged = {**current, **changes, "pos": changes.get("pos", current["pos"])}
        code = self.refusal(merged, "update", self.objects)
        if code:
            self.expect_error(code, lambda: self.tx.update("things", None, key, changes))
            return
        assert self.tx.update("things", None, key, changes) is True
        self.objects[key] = stored(merged)

    @rule(data=st.data())
    def refused_update(self, data):
        key = data.draw(self.keys())
        changes = data.draw(st.fixed_dictionaries({}, optional=CHANGES))
        name, value, early = data.draw(st.sampled_from(BAD + [("id", "other", True)]))
        if name == "id":  # another key of the right type
            value = key + ("z" if self.key_kind == "string" else -1 if key > 0 else 1)
        changes[name] = value
        wrong_key = data.draw(st.booleans()) and name != "id"
        if wrong_key:
            key, early = WRONG_KEY[self.key_kind], True
        if early or key in self.objects:
            self.expect_error("INVALID_ARGUMENT", lambda: self.tx.update("things", None, key, changes))
        else:  # a missing object is not looked at
            assert self.tx.update("things", None, key, changes) is False

    @rule(data=st.data())
    def delete(self, data):
        key = data.draw(self.keys())
        assert self.tx.delete("things", key) is (self.objects.pop(key, None) is not None)
        self.expect_error("INVALID_ARGUMENT", lambda: self.tx.delete("things", WRONG_KEY[self.key_kind]))

    @rule(deferred=st.booleans())
    def commit(self, deferred):
        self.tx.commit(deferred)
        self.committed = dict(self.objects)
        self.tx = self.db.begin_write()

    @rule()
    def end(self):
        self.tx.end()
        self.objects = dict(self.committed)
        self.tx = self.db.begin_write()

    @precondition(lambda self: len(self.snapshots) < 3)
    @rule()
    def begin_snapshot(self):
        self.snapshots.append((self.db.begin_read(), Rows(self.committed)))

    @precondition(lambda self: self.snapshots)
    @rule(data=st.data())
    def end_snapshot(self, data):
        reader, _ = self.snapshots.pop(data.draw(st.integers(0, len(self.snapshots) - 1)))
        reader.end()

    @rule(commit=st.sampled_from([None, False, True]), schema=st.booleans())
    def reopen(self, commit, schema):
        """Close with the write transaction committed (durable or deferred)
        or ended; snapshots outlive the close."""
        if commit is None:
            self.end()
        else:
            self.commit(commit)
        self.tx.end()
        self.db.close()
        self.open(self.options, schema)
        self.check()

    @rule(data=st.data())
    def close_under_write(self, data):
        """The write transaction outlives the close of its handle."""
        self.db.close()
        self.write(data, "put", 1, None)
        self.tx.commit(data.draw(st.booleans()))
        self.committed = dict(self.objects)
        self.open(self.options, False)

    @rule()
    def sync(self):
        self.db.sync()

    @rule()
    def check(self):
        report = self.db.check()
        assert report["ok"] and report["problems"] == [] and report["objects_checked"] == len(self.committed), report

    @rule(data=st.data(), form=st.sampled_from(["text", "params", "literals"]))
    def query(self, data, form):
        pools = {p: [v for o in self.objects.values() for v in reached(o, p) if v is not None] for p in PATHS}
        node = data.draw(st.none() | filters(leaf_tests(pools, self.kinds["id"])))
        sort = data.draw(st.lists(st.tuples(st.sampled_from(SORTABLE), st.booleans()), max_size=2,
                                  unique_by=lambda s: s[0]))
        query = (node, sort, data.draw(st.integers(0, 3)), data.draw(st.none() | st.integers(0, 4)))
        run_query(self.tx, Rows(self.objects), self.kinds, query, form)
        for reader, rows in self.snapshots:
            run_query(reader, rows, self.kinds, query, form)

    # ---------------------------------------------------------- after every step

    def contents_agree(self, reader, rows):
        assert [exact(o) for o in reader.find("things", None, parse_query("SORT BY id"), ())] == rows.texts
        assert reader.count("things", parse_query(""), ()) == len(rows.objects)
        for obj, text in zip(rows.objects, rows.texts):
            assert exact(reader.get("things", None, obj["id"])) == text
        assert reader.get("things", None, MISSING_KEY[self.key_kind]) is None
        self.expect_error("INVALID_ARGUMENT", lambda: reader.get("things", None, WRONG_KEY[self.key_kind]))

    @invariant()
    def write_transaction_agrees(self):
        rows = Rows(self.objects)
        self.contents_agree(self.tx, rows)
        for number, query in enumerate(battery(rows.objects, self.kinds["id"])):
            run_query(self.tx, rows, self.kinds, query, ["text", "params", "literals"][number % 3])

    @invariant()
    def snapshots_keep_their_commit(self):
        for reader, rows in self.snapshots:
            self.contents_agree(reader, rows)


class StrKeyMachine(ModelMachine):
    key_kind = "string"


SETTINGS = hypothesis.settings(max_examples=12, stateful_step_count=25, deadline=None)
TestModelWithIntKeys = ModelMachine.TestCase
TestModelWithIntKeys.settings = SETTINGS
TestModelWithStrKeys = StrKeyMachine.TestCase
TestModelWithStrKeys.settings = SETTINGS
