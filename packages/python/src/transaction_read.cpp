#include "transaction_read.hpp"

#include "arguments.hpp"
#include "call_frame.hpp"
#include "errors.hpp"
#include "py_ref.hpp"
#include "query.hpp"
#include "query/find.hpp"
#include "schema/objects.hpp"
#include "schema/open.hpp"
#include "schema/tree_keys.hpp"
#include "txn/read_txn.hpp"
#include "txn/write_txn.hpp"
#include "values.hpp"

namespace deziro::binding::reading {
namespace {

using transaction::State;

const char* const get_arguments[] = {"collection", "layout", "key_value", nullptr};
const char* const find_arguments[] = {"collection", "layout", "query", "parameters", nullptr};
const char* const count_arguments[] = {"collection", "query", "parameters", nullptr};

// `layout`: a Layout, or None for dicts.
bool parse_layout(PyObject* object, ReadRequest& request) {
  if (object == Py_None) return true;
  request.layout = layout::layout_data(object);
  if (request.layout == nullptr) name_argument_in_error("layout");
  return request.layout != nullptr;
}

bool parse_collection(PyObject* object, ReadRequest& request) {
  auto name = to_str(object, "collection");
  if (name) request.collection = *name;
  return name.has_value();
}

// Binds the call's parameters into its own copy of the query: the caller's
// NativeQuery, which other threads may be running, never changes.
bool bind_query(PyObject* query, PyObject* parameters, bool first_only, ReadRequest& request) {
  const CompiledQuery* compiled = query::compiled_query_of(query);
  if (compiled == nullptr) {
    name_argument_in_error("query");
    return false;
  }
  auto params = query::params_from_python(parameters);
  if (!params) return false;
  auto bound = deziro::query::bind(*compiled, *params, first_only);
  if (!bound) return raise_engine_error(bound.error()), false;
  request.query.emplace(std::move(*bound));
  return true;
}

// The state's transaction with the collection looked up in the schema it
// uses; CLOSED when Ended.
struct Target {
  ReadTxn* read = nullptr;
  WriteTxn* write = nullptr;
  TreeAccess* access = nullptr;
  schema::CollectionRef ref;
};

Result<Target> target(State& state, std::string_view collection) {
  Target out;
  out.read = std::get_if<ReadTxn>(&state);
  out.write = transaction::writer(state);
  out.access = transaction::tree_access(state);
  out.ref = DZ_TRY(transaction::find_collection(state, collection));
  return out;
}

// The layout's mapping onto the collection, cached by the schema the
// transaction uses; a class that does not fit fails even when nothing was
// found.
Status match_layout(const Target& at, const ReadRequest& request, ReadResult& result) {
  result.mapping = DZ_TRY(layout::match_collection(*at.ref.schema, at.ref.position, *request.layout,
                                                   at.access->path()));
  return ok();
}

PyObject* build_object(const ReadRequest& request, const ReadResult& result, std::size_t i,
                       std::vector<PyRef>& slots) {
  if (request.layout != nullptr)
    return values::record_to_object(*request.layout, *result.mapping, result.records.record(i),
                                    slots);
  return values::record_to_dict(result.maps[i]);
}

std::size_t found(const ReadRequest& request, const ReadResult& result) {
  return request.layout != nullptr ? result.records.size() : result.maps.size();
}

}  // namespace

std::optional<ReadRequest> prepare_get(PyObject* args, PyObject* kwargs) {
  PyObject* collection = nullptr;
  PyObject* layout = nullptr;
  PyObject* key_value = nullptr;
  if (!parse_arguments(args, kwargs, "OOO:get", get_arguments, &collection, &layout, &key_value))
    return std::nullopt;
  ReadRequest request;
  if (!parse_collection(collection, request) || !parse_layout(layout, request)) return std::nullopt;
  request.key = values::key_from_python(key_value);
  if (!request.key) return std::nullopt;
  return request;
}

std::optional<ReadRequest> prepare_find(PyObject* args, PyObject* kwargs, bool first_only) {
  PyObject* collection = nullptr;
  PyObject* layout = nullptr;
  PyObject* query = nullptr;
  PyObject* parameters = nullptr;
  if (!parse_arguments(args, kwargs, first_only ? "OOOO:find_one" : "OOOO:find", find_arguments,
                       &collection, &layout, &query, &parameters))
    return std::nullopt;
  ReadRequest request;
  if (!parse_collection(collection, request) || !parse_layout(layout, request) ||
      !bind_query(query, parameters, first_only, request))
    return std::nullopt;
  return request;
}

std::optional<ReadRequest> prepare_count(PyObject* args, PyObject* kwargs) {
  PyObject* collection = nullptr;
  PyObject* query = nullptr;
  PyObject* parameters = nullptr;
  if (!parse_arguments(args, kwargs, "OOO:count", count_arguments, &collection, &query,
                       &parameters))
    return std::nullopt;
  ReadRequest request;
  if (!parse_collection(collection, request) || !bind_query(query, parameters, false, request))
    return std::nullopt;
  return request;
}

Result<ReadResult> run_get(State& state, const ReadRequest& request) {
  const Target at = DZ_TRY(target(state, request.collection));
  const Collection& collection = at.ref.collection();
  const ByteView record_tree = bytes_of(at.ref.resolved().trees.record_tree);
  ReadResult result;
  if (request.layout == nullptr) {
    auto map = DZ_TRY(objects::get_by_key(collection, record_tree, *request.key, *at.access));
    if (map) result.maps.push_back(std::move(*map));
    return result;
  }
  auto sink = result.records.sink();
  DZ_CHECK(objects::get_typed(*at.access, collection, record_tree, *request.key, sink));
  DZ_CHECK(match_layout(at, request, result));
  return result;
}

Result<ReadResult> run_find(State& state, const ReadRequest& request) {
  const Target at = DZ_TRY(target(state, request.collection));
  const BoundQuery& query = *request.query;
  ReadResult result;
  if (request.layout == nullptr) {
    result.maps = at.read != nullptr ? DZ_TRY(objects::find_read(*at.read, at.ref, query))
                                     : DZ_TRY(objects::find_write(*at.write, at.ref, query));
    return result;
  }
  if (at.write != nullptr) DZ_CHECK(objects::flush_collection(*at.write, at.ref));
  auto sink = result.records.sink();
  DZ_CHECK(objects::find_with(*at.access, at.ref.schema->schema.collections, at.ref.collection(),
                              query, sink));
  DZ_CHECK(match_layout(at, request, result));
  return result;
}

Result<ReadResult> run_count(State& state, const ReadRequest& request) {
  const Target at = DZ_TRY(target(state, request.collection));
  const BoundQuery& query = *request.query;
  ReadResult result;
  result.count = at.read != nullptr ? DZ_TRY(objects::count_read(*at.read, at.ref, query))
                                    : DZ_TRY(objects::count_write(*at.write, at.ref, query));
  return result;
}

PyObject* build_first(const ReadRequest& request, const ReadResult& result) {
  // Anything the engine delivered after the first is dropped undecoded.
  if (found(request, result) == 0) Py_RETURN_NONE;
  std::vector<PyRef> slots;
  return build_object(request, result, 0, slots);
}

PyObject* build_list(const ReadRequest& request, const ReadResult& result) {
  const std::size_t n = found(request, result);
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(n)));
  if (!list) return nullptr;
  std::vector<PyRef> slots;
  for (std::size_t i = 0; i < n; ++i) {
    PyObject* item = build_object(request, result, i, slots);
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* build_count(const ReadResult& result) {
  return PyLong_FromUnsignedLongLong(result.count);
}

}  // namespace deziro::binding::reading

namespace deziro::binding::transaction {
namespace {

using reading::ReadRequest;
using reading::ReadResult;

// Converts with the interpreter lock held, runs without it under the
// transaction's mutex, and builds the result once it is back.
template <typename Run, typename Build>
PyObject* read_member(PyObject* self, std::optional<ReadRequest> request, Run run, Build build) {
  if (!request) return nullptr;
  Result<ReadResult> result = with_state(self, [&](State& state) { return run(state, *request); });
  if (!result) return raise_engine_error(result.error());
  return build(*request, *result);
}

PyObject* get(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    return read_member(self, reading::prepare_get(args, kwargs), reading::run_get,
                       reading::build_first);
  });
}

PyObject* find(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    return read_member(self, reading::prepare_find(args, kwargs, false), reading::run_find,
                       reading::build_list);
  });
}

PyObject* find_one(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    return read_member(self, reading::prepare_find(args, kwargs, true), reading::run_find,
                       reading::build_first);
  });
}

PyObject* count(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    return read_member(
        self, reading::prepare_count(args, kwargs), reading::run_count,
        [](const ReadRequest&, const ReadResult& result) { return reading::build_count(result); });
  });
}

constexpr int kKeywords = METH_VARARGS | METH_KEYWORDS;

PyMethodDef methods[] = {
    {"get", keywords_function(get), kKeywords,
     "get($self, collection, layout, key_value)\n--\n\n"
     "The object of `collection` whose primary key is `key`, or `None`: an\n"
     "instance of the layout's class, or a dict without a layout."},
    {"find", keywords_function(find), kKeywords,
     "find($self, collection, layout, query, parameters)\n--\n\n"
     "The objects `query` finds, with `parameters` for its parameters."},
    {"find_one", keywords_function(find_one), kKeywords,
     "find_one($self, collection, layout, query, parameters)\n--\n\n"
     "The first object `query` finds, or `None`."},
    {"count", keywords_function(count), kKeywords,
     "count($self, collection, query, parameters)\n--\n\n"
     "How many objects `query` finds."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

const PyMethodDef* read_methods() { return methods; }

}  // namespace deziro::binding::transaction
