#include "transaction_read.hpp"

#include "arguments.hpp"
#include "errors.hpp"
#include "py_ref.hpp"
#include "query.hpp"
#include "schema/objects.hpp"
#include "schema/objects_find.hpp"
#include "schema/open.hpp"
#include "txn/read_txn.hpp"
#include "txn/write_txn.hpp"
#include "values.hpp"

namespace deziro::binding {

TreeAccess& EngineTxn::access() const {
  if (read != nullptr) return *read;
  return *write;
}

namespace reading {
namespace {

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

Result<schema::CollectionRef> lookup(const EngineTxn& txn, std::string_view name) {
  if (txn.read != nullptr) return schema::collection_by_name(*txn.read, name);
  return schema::collection_by_name_write(*txn.write, name);
}

// The layout's mapping onto the collection, cached by the schema the
// transaction uses; a class that does not fit fails even when nothing was
// found.
Status match_layout(const EngineTxn& txn, const ReadRequest& request,
                    const schema::CollectionRef& ref, ReadResult& result) {
  result.mapping = DZ_TRY(
      layout::match_collection(*ref.schema, ref.position, *request.layout, txn.access().path()));
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

Result<ReadResult> run_get(const EngineTxn& txn, const ReadRequest& request) {
  const schema::CollectionRef ref = DZ_TRY(lookup(txn, request.collection));
  const Collection& collection = ref.collection();
  const ByteView record_tree = bytes_of(ref.resolved().trees.record_tree);
  ReadResult result;
  if (request.layout == nullptr) {
    auto map = DZ_TRY(objects::get_by_key(collection, record_tree, *request.key, txn.access()));
    if (map) result.maps.push_back(std::move(*map));
    return result;
  }
  auto sink = result.records.sink();
  DZ_CHECK(objects::get_typed(txn.access(), collection, record_tree, *request.key, sink));
  DZ_CHECK(match_layout(txn, request, ref, result));
  return result;
}

Result<ReadResult> run_find(const EngineTxn& txn, const ReadRequest& request) {
  const schema::CollectionRef ref = DZ_TRY(lookup(txn, request.collection));
  ReadResult result;
  if (request.layout == nullptr) {
    result.maps = txn.read != nullptr
                      ? DZ_TRY(objects::find_read(*txn.read, ref, *request.query))
                      : DZ_TRY(objects::find_write(*txn.write, ref, *request.query));
    return result;
  }
  if (txn.write != nullptr) DZ_CHECK(objects::flush_collection(*txn.write, ref));
  auto sink = result.records.sink();
  DZ_CHECK(objects::find_with(txn.access(), ref.schema->schema.collections, ref.collection(),
                              *request.query, sink));
  DZ_CHECK(match_layout(txn, request, ref, result));
  return result;
}

Result<ReadResult> run_count(const EngineTxn& txn, const ReadRequest& request) {
  const schema::CollectionRef ref = DZ_TRY(lookup(txn, request.collection));
  ReadResult result;
  result.count = txn.read != nullptr
                     ? DZ_TRY(objects::count_read(*txn.read, ref, *request.query))
                     : DZ_TRY(objects::count_write(*txn.write, ref, *request.query));
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

}  // namespace reading
}  // namespace deziro::binding
