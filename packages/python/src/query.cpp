#include "query.hpp"

#include <array>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>

#include "arguments.hpp"
#include "call_frame.hpp"
#include "errors.hpp"
#include "format/object/codec.hpp"
#include "heap_type.hpp"
#include "native_object.hpp"
#include "py_ref.hpp"
#include "query/ir.hpp"
#include "query/parse.hpp"
#include "sequence.hpp"
#include "siphash.hpp"
#include "text_format.hpp"
#include "values.hpp"

namespace deziro::binding::query {

namespace {

using Bytes = std::vector<std::uint8_t>;

// ------------------------------------------------------------ Param

struct ParamObject {
  PyObject_HEAD std::uint32_t index;
};

ParamObject* as_param(PyObject* object) { return reinterpret_cast<ParamObject*>(object); }

ProcessCell param_cell;
ProcessCell native_query_cell;

bool is_param(PyObject* object) {
  PyObject* type = param_type();
  return type != nullptr && PyObject_TypeCheck(object, reinterpret_cast<PyTypeObject*>(type));
}

const char* const index_argument[] = {"index", nullptr};

PyObject* param_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* index_object = nullptr;
    if (!parse_arguments(args, kwargs, "O:Param", index_argument, &index_object)) return nullptr;
    auto index = to_u32(index_object, "index");
    if (!index) return nullptr;
    PyObject* self = allocate_instance(type);
    if (self == nullptr) return nullptr;
    as_param(self)->index = *index;
    return self;
  });
}

PyObject* param_index(PyObject* self, void*) {
  return PyLong_FromUnsignedLong(as_param(self)->index);
}

PyObject* param_richcompare(PyObject* self, PyObject* other, int op) {
  return guarded([&]() -> PyObject* {
    if ((op != Py_EQ && op != Py_NE) || !is_param(other)) {
      if (PyErr_Occurred()) return nullptr;
      Py_RETURN_NOTIMPLEMENTED;
    }
    bool equal = as_param(self)->index == as_param(other)->index;
    return PyBool_FromLong((op == Py_EQ) == equal ? 1 : 0);
  });
}

Py_hash_t param_hash_slot(PyObject* self) { return param_hash(as_param(self)->index); }

PyObject* param_repr(PyObject* self) {
  return PyUnicode_FromFormat("param(%lu)", static_cast<unsigned long>(as_param(self)->index));
}

PyGetSetDef param_getset[] = {
    {"index", param_index, nullptr, "The parameter's number, from 0.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot param_slots[] = {
    {Py_tp_doc,
     const_cast<char*>("Param(index)\n--\n\n"
                       "A parameter in place of a value, in a query that is prepared: each run\n"
                       "gives its value. `Param(0)` is the first.")},
    {Py_tp_new, reinterpret_cast<void*>(param_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(free_instance)},
    {Py_tp_getset, param_getset},
    {Py_tp_richcompare, reinterpret_cast<void*>(param_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(param_hash_slot)},
    {Py_tp_repr, reinterpret_cast<void*>(param_repr)},
    {0, nullptr},
};

PyType_Spec param_spec = {
    "deziro._native.Param",
    sizeof(ParamObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    param_slots,
};

// ------------------------------------------------------------ NativeQuery

struct QueryObject {
  PyObject_HEAD CompiledQuery* compiled;
};

QueryObject* as_query(PyObject* object) { return reinterpret_cast<QueryObject*>(object); }

void query_dealloc(PyObject* self) {
  delete as_query(self)->compiled;
  as_query(self)->compiled = nullptr;
  free_instance(self);
}

PyType_Slot query_slots[] = {
    {Py_tp_doc, const_cast<char*>("A query the engine has read, on one collection.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(query_dealloc)},
    {0, nullptr},
};

PyType_Spec query_spec = {
    "deziro._native.NativeQuery",
    sizeof(QueryObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    query_slots,
};

// ------------------------------------------------------------ writing the IR

std::nullptr_t invalid_query(std::string_view message) {
  return new_dazi_error(ErrorKind::InvalidQuery, message);
}

void write_int_field(Bytes& out, std::uint64_t field, std::int64_t value) {
  codec::write_varint(out, field);
  codec::write_int(out, value);
}

void write_path_field(Bytes& out, std::uint64_t field, const std::vector<std::string>& path) {
  codec::write_varint(out, field);
  codec::encode_str_list(out, std::span<const std::string>(path));
}

// One operand value of a test.
bool encode_query_value(PyObject* operand, Bytes& out) {
  if (is_param(operand)) {
    Bytes placeholder;
    codec::write_varint(placeholder, 1);
    write_int_field(placeholder, 1, as_param(operand)->index);
    ir::write_embedded_object(out, placeholder);
    return true;
  }
  if (PyErr_Occurred()) return false;
  if (Py_TYPE(operand) == &PyBool_Type) {
    out.push_back(operand == Py_True ? codec::kTagTrue : codec::kTagFalse);
    return true;
  }
  if (PyLong_Check(operand)) {
    long long number = PyLong_AsLongLong(operand);
    if (number == -1 && PyErr_Occurred()) {
      if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return false;
      PyErr_Clear();
      auto text = values::str_of(operand);
      if (!text) return false;
      invalid_query(format_text("{} is beyond a 64-bit int", *text));
      return false;
    }
    codec::write_int(out, number);
    return true;
  }
  if (PyFloat_Check(operand)) {
    double number = PyFloat_AsDouble(operand);
    if (number == -1.0 && PyErr_Occurred()) return false;
    codec::write_float(out, number);
    return true;
  }
  if (PyUnicode_Check(operand)) {
    auto text = to_str(operand, "operand");
    if (!text) return false;
    out.push_back(codec::kTagString);
    ir::write_length_prefixed(
        out, std::span(reinterpret_cast<const std::uint8_t*>(text->data()), text->size()));
    return true;
  }
  if (PyBytes_Check(operand) || PyByteArray_Check(operand) ||
      Py_TYPE(operand) == &PyMemoryView_Type) {
    auto bytes = values::bytes_from_python(operand);
    if (!bytes) return false;
    out.push_back(codec::kTagBytes);
    ir::write_length_prefixed(out, *bytes);
    return true;
  }
  auto text = values::str_of(operand);
  if (!text) return false;
  invalid_query(format_text("a query compares with single values, not {}", *text));
  return false;
}

// Item `index` of a filter tuple; IndexError when the tuple is too short.
PyObject* filter_item(PyObject* filter, Py_ssize_t index) { return PyTuple_GetItem(filter, index); }

bool compile_filter(PyObject* filter, Bytes& out, int depth);

// A test (0, operator, path, operands) into `body`.
bool compile_test(PyObject* filter, Bytes& body) {
  PyObject* operator_object = filter_item(filter, 1);
  if (operator_object == nullptr) return false;
  PyRef operator_index = PyRef::steal(PyNumber_Index(operator_object));
  if (!operator_index) return false;
  long long op = PyLong_AsLongLong(operator_index.get());
  if (op == -1 && PyErr_Occurred()) return false;
  PyObject* path_object = filter_item(filter, 2);
  if (path_object == nullptr) return false;
  auto path = path_from_python(path_object, "path");
  if (!path) return false;
  PyObject* operands = filter_item(filter, 3);
  if (operands == nullptr) return false;
  if (!PyTuple_Check(operands)) {
    std::string got = values::type_name(reinterpret_cast<PyObject*>(Py_TYPE(operands)));
    PyErr_Format(PyExc_TypeError, "the operands of a test are a tuple, not %s", got.c_str());
    return false;
  }
  Py_ssize_t count = PyTuple_Size(operands);
  codec::write_varint(body, count > 0 ? 3 : 2);
  write_int_field(body, 1, op);
  write_path_field(body, 2, *path);
  if (count > 0) {
    codec::write_varint(body, 3);
    body.push_back(codec::kTagList);
    codec::write_varint(body, static_cast<std::uint64_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
      if (!encode_query_value(PyTuple_GetItem(operands, i), body)) return false;
    }
  }
  return true;
}

// A conjunction, disjunction or negation into `body`.
bool compile_logical(PyObject* filter, long kind, Bytes& body, int depth) {
  PyObject* argument = filter_item(filter, 1);
  if (argument == nullptr) return false;
  std::vector<PyObject*> children;
  if (kind == 3) {
    children.push_back(argument);
  } else {
    if (!PyTuple_Check(argument)) {
      std::string got = values::type_name(reinterpret_cast<PyObject*>(Py_TYPE(argument)));
      PyErr_Format(PyExc_TypeError, "the children of a condition are a tuple, not %s", got.c_str());
      return false;
    }
    for (Py_ssize_t i = 0; i < PyTuple_Size(argument); ++i) {
      children.push_back(PyTuple_GetItem(argument, i));
    }
  }
  codec::write_varint(body, children.empty() ? 1 : 2);
  write_int_field(body, 1, kind);
  if (!children.empty()) {
    codec::write_varint(body, 4);
    body.push_back(codec::kTagList);
    codec::write_varint(body, children.size());
    for (PyObject* child : children) {
      if (!compile_filter(child, body, depth + 1)) return false;
    }
  }
  return true;
}

// Appends one filter tuple's object to `out` as an embedded object.
bool compile_filter(PyObject* filter, Bytes& out, int depth) {
  if (depth > ir::kMaxWrittenDepth) {
    invalid_query(format_text("the filter nests more than {} levels deep", ir::kMaxWrittenDepth));
    return false;
  }
  if (!PyTuple_Check(filter)) {
    invalid_query("a filter holds something that is not a condition");
    return false;
  }
  PyObject* kind_object = filter_item(filter, 0);
  if (kind_object == nullptr) return false;
  PyRef kind_index = PyRef::steal(PyNumber_Index(kind_object));
  if (!kind_index) return false;
  int overflow = 0;
  long kind = PyLong_AsLongAndOverflow(kind_index.get(), &overflow);
  if (kind == -1 && PyErr_Occurred()) return false;
  if (overflow != 0 || kind < 0 || kind > 255) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return false;
  }
  if (kind > 3) {
    invalid_query("a filter holds something that is not a condition");
    return false;
  }
  Bytes body;
  bool written =
      kind == 0 ? compile_test(filter, body) : compile_logical(filter, kind, body, depth);
  if (!written) return false;
  ir::write_embedded_object(out, body);
  return true;
}

struct SortItem {
  std::vector<std::string> path;
  bool descending;
};

std::int64_t saturated(std::uint64_t x) {
  constexpr auto max = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  return static_cast<std::int64_t>(x > max ? max : x);
}

// The query object: collection, filter, sort keys, offset, limit.
std::optional<Bytes> compile_query_ir(std::string_view collection, PyObject* filter,
                                      const std::vector<SortItem>& sort, std::uint64_t offset,
                                      std::optional<std::uint64_t> limit) {
  Bytes out;
  const bool has_filter = filter != Py_None;
  const std::uint64_t field_count =
      1 + (has_filter ? 1 : 0) + (sort.empty() ? 0 : 1) + (offset != 0 ? 1 : 0) + (limit ? 1 : 0);
  codec::write_varint(out, field_count);
  codec::write_varint(out, 1);
  out.push_back(codec::kTagString);
  ir::write_length_prefixed(
      out, std::span(reinterpret_cast<const std::uint8_t*>(collection.data()), collection.size()));
  if (has_filter) {
    codec::write_varint(out, 2);
    if (!compile_filter(filter, out, 1)) return std::nullopt;
  }
  if (!sort.empty()) {
    codec::write_varint(out, 3);
    out.push_back(codec::kTagList);
    codec::write_varint(out, sort.size());
    for (const SortItem& item : sort) {
      Bytes key;
      codec::write_varint(key, 2);
      write_path_field(key, 1, item.path);
      codec::write_varint(key, 2);
      key.push_back(item.descending ? codec::kTagTrue : codec::kTagFalse);
      ir::write_embedded_object(out, key);
    }
  }
  if (offset != 0) write_int_field(out, 4, saturated(offset));
  if (limit) write_int_field(out, 5, saturated(*limit));
  return out;
}

std::optional<std::vector<SortItem>> sort_from_python(PyObject* sort) {
  std::vector<SortItem> items;
  bool read = for_each_in_sequence(sort, "sort", [&](PyObject* item) {
    auto parts = fixed_tuple(item, 2, "sort");
    if (!parts) return false;
    auto path = path_from_python((*parts)[0], "sort");
    if (!path) return false;
    auto descending = to_bool((*parts)[1], "sort");
    if (!descending) return false;
    items.push_back(SortItem{std::move(*path), *descending});
    return true;
  });
  if (!read) return std::nullopt;
  return items;
}

const char* const compile_arguments[] = {"collection", "filter", "sort",
                                         "offset",     "limit",  nullptr};

PyObject* compile_query(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* collection_object = nullptr;
    PyObject* filter = nullptr;
    PyObject* sort_object = nullptr;
    PyObject* offset_object = nullptr;
    PyObject* limit_object = nullptr;
    if (!parse_arguments(args, kwargs, "OOOOO:compile_query", compile_arguments, &collection_object,
                         &filter, &sort_object, &offset_object, &limit_object)) {
      return nullptr;
    }
    auto collection = to_str(collection_object, "collection");
    if (!collection) return nullptr;
    auto sort = sort_from_python(sort_object);
    if (!sort) return nullptr;
    auto offset = to_u64(offset_object, "offset");
    if (!offset) return nullptr;
    std::optional<std::uint64_t> limit;
    if (limit_object != Py_None) {
      limit = to_u64(limit_object, "limit");
      if (!limit) return nullptr;
    }
    auto bytes = compile_query_ir(*collection, filter, *sort, *offset, limit);
    if (!bytes) return nullptr;
    Result<Query> query = ir::read_query(*bytes);
    if (!query) return raise_engine_error(query.error());
    return new_native_query(CompiledQuery::from(std::move(*query)));
  });
}

const char* const text_argument[] = {"text", nullptr};

PyObject* parse_query(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* text_object = nullptr;
    if (!parse_arguments(args, kwargs, "O:parse_query", text_argument, &text_object)) {
      return nullptr;
    }
    auto text = to_str(text_object, "text");
    if (!text) return nullptr;
    Result<Query> query = parse::parse_query(*text);
    if (!query) return raise_engine_error(query.error());
    return new_native_query(CompiledQuery::from(std::move(*query)));
  });
}

PyMethodDef compile_query_method = {
    "compile_query", keywords_function(compile_query), METH_VARARGS | METH_KEYWORDS,
    "compile_query(collection, filter, sort, offset, limit)\n--\n\n"
    "The query on `collection` of `filter`, `sort`, `offset` and `limit`."};

PyMethodDef parse_query_method = {
    "parse_query", keywords_function(parse_query), METH_VARARGS | METH_KEYWORDS,
    "parse_query(text)\n--\n\n"
    "A query in the query language, with `$0`, `$1` and on for its parameters."};

}  // namespace

PyObject* param_type() { return class_object(param_cell, param_spec); }
PyObject* native_query_type() { return class_object(native_query_cell, query_spec); }

PyMethodDef& compile_query_definition() { return compile_query_method; }
PyMethodDef& parse_query_definition() { return parse_query_method; }

const CompiledQuery* compiled_query_of(PyObject* object) {
  PyObject* type = native_query_type();
  if (type == nullptr) return nullptr;
  if (!PyObject_TypeCheck(object, reinterpret_cast<PyTypeObject*>(type))) {
    std::string got = values::type_name(reinterpret_cast<PyObject*>(Py_TYPE(object)));
    PyErr_Format(PyExc_TypeError, "expected a NativeQuery, not %s", got.c_str());
    return nullptr;
  }
  return as_query(object)->compiled;
}

PyObject* new_native_query(CompiledQuery compiled) {
  PyObject* type = native_query_type();
  if (type == nullptr) return nullptr;
  auto owned = std::make_unique<CompiledQuery>(std::move(compiled));
  auto* type_object = reinterpret_cast<PyTypeObject*>(type);
  PyObject* self = allocate_instance(type_object);
  if (self == nullptr) return nullptr;
  as_query(self)->compiled = owned.release();
  return self;
}

std::optional<std::vector<Value>> params_from_python(PyObject* parameters) {
  if (!PyTuple_Check(parameters)) {
    std::string got = values::type_name(reinterpret_cast<PyObject*>(Py_TYPE(parameters)));
    PyErr_Format(PyExc_TypeError, "argument 'parameters': expected a tuple, not %s", got.c_str());
    return std::nullopt;
  }
  const Py_ssize_t count = PyTuple_Size(parameters);
  std::vector<Value> values;
  values.reserve(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PyTuple_GetItem(parameters, i);
    auto value = values::value_from_python(item);
    if (!value) {
      PyErr_Clear();
      auto text = values::str_of(item);
      if (!text) return std::nullopt;
      invalid_query(format_text("a query compares with single values, not {}", *text));
      return std::nullopt;
    }
    values.push_back(std::move(*value));
  }
  return values;
}

Py_hash_t param_hash(std::uint32_t index) {
  const std::array<std::uint8_t, 4> bytes = {
      static_cast<std::uint8_t>(index), static_cast<std::uint8_t>(index >> 8),
      static_cast<std::uint8_t>(index >> 16), static_cast<std::uint8_t>(index >> 24)};
  auto hash = static_cast<Py_hash_t>(siphash13(0, 0, bytes));
  return hash == -1 ? -2 : hash;
}

}  // namespace deziro::binding::query
