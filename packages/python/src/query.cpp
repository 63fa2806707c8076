#include "query.hpp"

#include <array>
#include <cstdint>
#include <limits>
#include <memory>
#include <string>

#include "arguments.hpp"
#include "call_frame.hpp"
#include "errors.hpp"
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

// ------------------------------------------------------------ filter tuples

std::nullptr_t invalid_query(std::string_view message) {
  return new_dazi_error(ErrorKind::InvalidQuery, message);
}

// One operand of a test: a Param, or a bool, int, float, str or bytes.
std::optional<Operand> operand_from_python(PyObject* operand) {
  if (is_param(operand)) return Placeholder{as_param(operand)->index};
  if (PyErr_Occurred()) return std::nullopt;
  if (Py_TYPE(operand) == &PyBool_Type) return Value::boolean(operand == Py_True);
  if (PyLong_Check(operand)) {
    long long number = PyLong_AsLongLong(operand);
    if (number == -1 && PyErr_Occurred()) {
      if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return std::nullopt;
      PyErr_Clear();
      auto text = values::str_of(operand);
      if (!text) return std::nullopt;
      invalid_query(format_text("{} is beyond a 64-bit int", *text));
      return std::nullopt;
    }
    return Value::integer(number);
  }
  if (PyFloat_Check(operand)) {
    double number = PyFloat_AsDouble(operand);
    if (number == -1.0 && PyErr_Occurred()) return std::nullopt;
    return Value::floating(number);
  }
  if (PyUnicode_Check(operand)) {
    auto text = to_str(operand, "operand");
    if (!text) return std::nullopt;
    return Value::string(std::string(*text));
  }
  if (PyBytes_Check(operand) || PyByteArray_Check(operand) ||
      Py_TYPE(operand) == &PyMemoryView_Type) {
    auto bytes = values::bytes_from_python(operand);
    if (!bytes) return std::nullopt;
    return Value::bytes(std::move(*bytes));
  }
  auto text = values::str_of(operand);
  if (!text) return std::nullopt;
  invalid_query(format_text("a query compares with single values, not {}", *text));
  return std::nullopt;
}

// Item `index` of a filter tuple; IndexError when the tuple is too short.
PyObject* filter_item(PyObject* filter, Py_ssize_t index) { return PyTuple_GetItem(filter, index); }

bool filter_from_python(PyObject* filter, ir::FilterNode& node, int depth);

// A test (0, operator, path, operands). The operator is kept as given: the
// reader judges it.
bool test_from_python(PyObject* filter, ir::FilterNode& node) {
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
  node.kind = ir::FilterNode::Kind::Test;
  node.test_operator = op;
  node.path = std::move(*path);
  const Py_ssize_t count = PyTuple_Size(operands);
  node.operands.reserve(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    auto operand = operand_from_python(PyTuple_GetItem(operands, i));
    if (!operand) return false;
    node.operands.push_back(std::move(*operand));
  }
  return true;
}

// A conjunction (1, children), disjunction (2, children) or negation
// (3, child).
bool logical_from_python(PyObject* filter, ir::FilterNode::Kind kind, ir::FilterNode& node,
                         int depth) {
  PyObject* argument = filter_item(filter, 1);
  if (argument == nullptr) return false;
  std::vector<PyObject*> children;
  if (kind == ir::FilterNode::Kind::Not) {
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
  node.kind = kind;
  node.children.resize(children.size());
  for (std::size_t i = 0; i < children.size(); ++i) {
    if (!filter_from_python(children[i], node.children[i], depth + 1)) return false;
  }
  return true;
}

// One filter tuple into the engine's filter tree. The depth is checked
// before the tuple is looked at, as the writer would refuse it anyway.
bool filter_from_python(PyObject* filter, ir::FilterNode& node, int depth) {
  if (depth > ir::kMaxWrittenDepth) {
    invalid_query(ir::err_filter_too_deep().message());
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
    raise_out_of_range();
    return false;
  }
  if (kind > 3) {
    invalid_query("a filter holds something that is not a condition");
    return false;
  }
  if (kind == 0) return test_from_python(filter, node);
  return logical_from_python(filter, static_cast<ir::FilterNode::Kind>(kind), node, depth);
}

// The intermediate form of the query: the tuples become the engine's query
// form, which the engine's writer turns into bytes.
std::optional<Bytes> compile_query_ir(std::string_view collection, PyObject* filter,
                                      std::vector<SortKey> sort, std::uint64_t offset,
                                      std::optional<std::uint64_t> limit) {
  ir::QueryForm form;
  if (filter != Py_None) {
    form.filter.emplace();
    if (!filter_from_python(filter, *form.filter, 1)) return std::nullopt;
  }
  form.sort_keys = std::move(sort);
  form.offset = offset;
  form.limit = limit;
  auto bytes = ir::write_query(collection, form);
  if (!bytes) {
    invalid_query(bytes.error().message());
    return std::nullopt;
  }
  return std::move(*bytes);
}

std::optional<std::vector<SortKey>> sort_from_python(PyObject* sort) {
  std::vector<SortKey> items;
  bool read = for_each_in_sequence(sort, "sort", [&](PyObject* item) {
    auto parts = fixed_tuple(item, 2, "sort");
    if (!parts) return false;
    auto path = path_from_python((*parts)[0], "sort");
    if (!path) return false;
    auto descending = to_bool((*parts)[1], "sort");
    if (!descending) return false;
    items.push_back(SortKey{std::move(*path), *descending});
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
    auto bytes = compile_query_ir(*collection, filter, std::move(*sort), *offset, limit);
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
