// Test-only module: reaches the binding's value conversions, layouts,
// schemas and query parameters directly, so that pytest can check each
// road without an open database.
#include <string>

#include "arguments.hpp"
#include "call_frame.hpp"
#include "errors.hpp"
#include "format/object/codec.hpp"
#include "instances.hpp"
#include "layout.hpp"
#include "py_ref.hpp"
#include "query.hpp"
#include "records.hpp"
#include "schema.hpp"
#include "sequence.hpp"
#include "siphash.hpp"
#include "values.hpp"

namespace deziro::binding {
namespace {

PyObject* debug_text(const Value& value) {
  std::string text = value.debug_string();
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// value(object): the debug form of the free-standing conversion.
PyObject* value(PyObject*, PyObject* object) {
  return guarded([&]() -> PyObject* {
    auto converted = values::value_from_python(object);
    return converted ? debug_text(*converted) : nullptr;
  });
}

// key(object): the debug form of the key conversion.
PyObject* key(PyObject*, PyObject* object) {
  return guarded([&]() -> PyObject* {
    auto converted = values::key_from_python(object);
    return converted ? debug_text(*converted) : nullptr;
  });
}

// round_trip(object): the free-standing conversion and back into Python.
PyObject* round_trip(PyObject*, PyObject* object) {
  return guarded([&]() -> PyObject* {
    auto converted = values::value_from_python(object);
    return converted ? values::value_to_python(*converted) : nullptr;
  });
}

// read(layout, object): the object map read through the layout, as a dict
// and in its debug form.
PyObject* read(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* layout_object = nullptr;
    PyObject* object = nullptr;
    if (!PyArg_ParseTuple(args, "OO:read", &layout_object, &object)) return nullptr;
    const LayoutData* layout = layout::layout_data(layout_object);
    if (layout == nullptr) return nullptr;
    auto map = values::read_attributes(*layout, object);
    if (!map) return nullptr;
    return debug_text(Value::object(std::move(*map)));
  });
}

PyObject* shape_to_python(const std::vector<LayoutShapeEntry>& shape) {
  PyRef list = PyRef::steal(PyList_New(0));
  if (!list) return nullptr;
  for (const LayoutShapeEntry& entry : shape) {
    PyRef nested =
        entry.nested ? PyRef::steal(shape_to_python(*entry.nested)) : PyRef::borrow(Py_None);
    if (!nested) return nullptr;
    PyRef name = PyRef::steal(PyUnicode_FromStringAndSize(
        entry.stored_name.data(), static_cast<Py_ssize_t>(entry.stored_name.size())));
    if (!name) return nullptr;
    // (stored name, nested shape), and for a list of layouts a third item:
    // the element layout's shape.
    PyRef pair;
    if (entry.element_nested) {
      PyRef element = PyRef::steal(shape_to_python(*entry.element_nested));
      if (!element) return nullptr;
      pair = PyRef::steal(PyTuple_Pack(3, name.get(), nested.get(), element.get()));
    } else {
      pair = PyRef::steal(PyTuple_Pack(2, name.get(), nested.get()));
    }
    if (!pair || PyList_Append(list.get(), pair.get()) < 0) return nullptr;
  }
  return list.release();
}

// layout_info(layout): (layout_id, flat, attribute positions, shape).
PyObject* layout_info(PyObject*, PyObject* layout_object) {
  return guarded([&]() -> PyObject* {
    const LayoutData* layout = layout::layout_data(layout_object);
    if (layout == nullptr) return nullptr;
    PyRef positions = PyRef::steal(PyDict_New());
    if (!positions) return nullptr;
    for (const auto& [name, position] : layout->attribute_positions) {
      PyRef number = PyRef::steal(PyLong_FromUnsignedLongLong(position));
      if (!number || PyDict_SetItemString(positions.get(), name.c_str(), number.get()) < 0) {
        return nullptr;
      }
    }
    PyRef shape = PyRef::steal(shape_to_python(layout->shape));
    if (!shape) return nullptr;
    return Py_BuildValue("(KOOO)", static_cast<unsigned long long>(layout->layout_id),
                         layout->flat ? Py_True : Py_False, positions.get(), shape.get());
  });
}

// Field kinds of a collection for the by-name road, from a description:
// a list of (name, kind), kind "bool", "int", "float", "str", "bytes",
// ("link", 0), ("list", kind) or ("object", [(name, kind), ...]).
std::optional<FieldKind> kind_of(PyObject* description);

std::optional<std::vector<Field>> fields_of(PyObject* description) {
  std::vector<Field> fields;
  bool read = for_each_in_sequence(description, "fields", [&](PyObject* item) {
    // (name, kind) or (name, kind, {"optional": bool, "default": value}).
    const bool with_options = PyTuple_Check(item) && PyTuple_Size(item) == 3;
    auto parts = fixed_tuple(item, with_options ? 3 : 2, "fields");
    if (!parts) return false;
    auto name = to_str((*parts)[0], "fields");
    if (!name) return false;
    auto kind = kind_of((*parts)[1]);
    if (!kind) return false;
    Field field;
    field.id = fields.size() + 1;
    field.name = std::string(*name);
    field.kind = std::move(*kind);
    if (with_options) {
      PyObject* options = (*parts)[2];
      PyObject* optional = PyDict_GetItemString(options, "optional");
      field.optional = optional != nullptr && PyObject_IsTrue(optional) == 1;
      if (PyObject* given = PyDict_GetItemString(options, "default")) {
        auto value = values::value_from_python(given);
        if (!value) return false;
        field.default_value = std::move(*value);
      }
    }
    fields.push_back(std::move(field));
    return true;
  });
  if (!read) return std::nullopt;
  return fields;
}

std::optional<FieldKind> kind_of(PyObject* description) {
  if (PyUnicode_Check(description)) {
    auto name = to_str(description, "kind");
    if (!name) return std::nullopt;
    if (*name == "bool") return FieldKind::boolean();
    if (*name == "int") return FieldKind::integer();
    if (*name == "float") return FieldKind::floating();
    if (*name == "str") return FieldKind::str();
    if (*name == "bytes") return FieldKind::bytes();
  } else if (auto parts = fixed_tuple(description, 2, "kind")) {
    auto head = to_str((*parts)[0], "kind");
    if (!head) return std::nullopt;
    if (*head == "link") return FieldKind::link(1);
    if (*head == "list") {
      auto element = kind_of((*parts)[1]);
      if (!element) return std::nullopt;
      return FieldKind::list(std::move(*element));
    }
    if (*head == "object") {
      auto fields = fields_of((*parts)[1]);
      if (!fields) return std::nullopt;
      std::uint64_t next = fields->size() + 1;
      return FieldKind::object(std::move(*fields), next);
    }
  } else {
    return std::nullopt;
  }
  PyErr_SetString(PyExc_ValueError, "no such kind");
  return std::nullopt;
}

// by_name(object, fields): the by-name road's map, in its debug form;
// `fields` None for a collection whose fields are unknown.
PyObject* by_name(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* object = nullptr;
    PyObject* description = nullptr;
    if (!PyArg_ParseTuple(args, "OO:by_name", &object, &description)) return nullptr;
    std::optional<std::vector<Field>> fields;
    if (description != Py_None) {
      fields = fields_of(description);
      if (!fields) return nullptr;
    }
    auto map = values::record_from_dict(object, fields ? &*fields : nullptr);
    if (!map) return nullptr;
    return debug_text(Value::object(std::move(*map)));
  });
}

// params(tuple): the debug forms of a call's parameters.
PyObject* params(PyObject*, PyObject* parameters) {
  return guarded([&]() -> PyObject* {
    auto converted = query::params_from_python(parameters);
    if (!converted) return nullptr;
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) return nullptr;
    for (const Value& item : *converted) {
      PyRef text = PyRef::steal(debug_text(item));
      if (!text || PyList_Append(list.get(), text.get()) < 0) return nullptr;
    }
    return list.release();
  });
}

// schema_dict(schema): the stored_schema dicts of a NativeSchema's schema.
PyObject* schema_dict(PyObject*, PyObject* schema_object) {
  return guarded([&]() -> PyObject* {
    const DeclaredSchema* declared = schema::declared_schema_of(schema_object);
    if (declared == nullptr) return nullptr;
    return schema::stored_schema_to_python(*declared);
  });
}

// query_info(query): (prepared, has filter, sort keys as (path, descending)
// pairs, offset, limit).
PyObject* query_info(PyObject*, PyObject* query_object) {
  return guarded([&]() -> PyObject* {
    const CompiledQuery* compiled = query::compiled_query_of(query_object);
    if (compiled == nullptr) return nullptr;
    const Query& q = compiled->query();
    PyRef keys = PyRef::steal(PyList_New(0));
    if (!keys) return nullptr;
    for (const SortKey& key : q.sort_keys) {
      PyRef path = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(key.path.size())));
      if (!path) return nullptr;
      for (std::size_t i = 0; i < key.path.size(); ++i) {
        PyTuple_SetItem(path.get(), static_cast<Py_ssize_t>(i),
                        PyUnicode_FromString(key.path[i].c_str()));
      }
      PyRef pair =
          PyRef::steal(Py_BuildValue("(OO)", path.get(), key.descending ? Py_True : Py_False));
      if (!pair || PyList_Append(keys.get(), pair.get()) < 0) return nullptr;
    }
    PyRef limit =
        q.limit ? PyRef::steal(PyLong_FromUnsignedLongLong(*q.limit)) : PyRef::borrow(Py_None);
    return Py_BuildValue("(OOOKO)", compiled->is_prepared() ? Py_True : Py_False,
                         q.filter ? Py_True : Py_False, keys.get(),
                         static_cast<unsigned long long>(q.offset), limit.get());
  });
}

// same_query(a, b): whether two NativeQuery objects hold equal queries.
PyObject* same_query(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* a = nullptr;
    PyObject* b = nullptr;
    if (!PyArg_ParseTuple(args, "OO:same_query", &a, &b)) return nullptr;
    const CompiledQuery* first = query::compiled_query_of(a);
    if (first == nullptr) return nullptr;
    const CompiledQuery* second = query::compiled_query_of(b);
    if (second == nullptr) return nullptr;
    return PyBool_FromLong(first->query() == second->query() ? 1 : 0);
  });
}

// bind(query, parameters, find_one): (limit, number of values) of the
// bound query, the way find, find_one and count bind it.
PyObject* bind(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* query_object = nullptr;
    PyObject* parameters = nullptr;
    int find_one = 0;
    if (!PyArg_ParseTuple(args, "OOp:bind", &query_object, &parameters, &find_one)) {
      return nullptr;
    }
    const CompiledQuery* compiled = query::compiled_query_of(query_object);
    if (compiled == nullptr) return nullptr;
    auto values = query::params_from_python(parameters);
    if (!values) return nullptr;
    Result<BoundQuery> bound = deziro::query::bind(*compiled, *values, find_one != 0);
    if (!bound) return raise_engine_error(bound.error());
    PyRef limit = bound->limit() ? PyRef::steal(PyLong_FromUnsignedLongLong(*bound->limit()))
                                 : PyRef::borrow(Py_None);
    return Py_BuildValue("(On)", limit.get(), static_cast<Py_ssize_t>(bound->params().size()));
  });
}

// make(layout, slots): an instance of the layout's class from a list of
// slot values (None for an empty slot).
PyObject* make(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* layout_object = nullptr;
    PyObject* slot_list = nullptr;
    if (!PyArg_ParseTuple(args, "OO!:make", &layout_object, &PyList_Type, &slot_list)) {
      return nullptr;
    }
    const LayoutData* layout = layout::layout_data(layout_object);
    if (layout == nullptr) return nullptr;
    std::vector<PyRef> slots;
    for (Py_ssize_t i = 0; i < PyList_Size(slot_list); ++i) {
      PyObject* item = PyList_GetItem(slot_list, i);
      slots.push_back(item == Py_None ? PyRef() : PyRef::borrow(item));
    }
    return values::new_instance(*layout, slots);
  });
}

// A resolved schema of one collection (its first field the primary key)
// described as for fields_of.
std::shared_ptr<const ResolvedSchema> one_collection(PyObject* description, const char* name) {
  auto fields = fields_of(description);
  if (!fields) return nullptr;
  Collection collection;
  collection.id = 1;
  collection.name = name;
  collection.next_field_id = fields->size() + 1;
  collection.primary_key_field_id = 1;
  collection.fields = std::move(*fields);
  Schema schema;
  schema.collections.push_back(std::move(collection));
  schema.next_collection_id = 2;
  return ResolvedSchema::make(std::move(schema), {});
}

// encode(fields, dict): the engine's record of a dict (by the by-name road).
PyObject* encode(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* description = nullptr;
    PyObject* object = nullptr;
    if (!PyArg_ParseTuple(args, "OO:encode", &description, &object)) return nullptr;
    auto resolved = one_collection(description, "points");
    if (!resolved) return nullptr;
    const Collection& collection = resolved->schema.collections[0];
    auto map = values::record_from_dict(object, &collection.fields);
    if (!map) return nullptr;
    std::vector<std::uint8_t> out;
    auto encoded = codec::encode_object_fields(*map, collection.fields, resolved->schema, out);
    if (!encoded) return raise_engine_error(Error::invalid_argument(encoded.error()));
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(out.data()),
                                     static_cast<Py_ssize_t>(out.size()));
  });
}

// to_dict(fields, record): a record decoded by the engine, as a dict.
PyObject* to_dict(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* description = nullptr;
    Py_buffer record;
    if (!PyArg_ParseTuple(args, "Oy*:to_dict", &description, &record)) return nullptr;
    std::span<const std::uint8_t> bytes(static_cast<const std::uint8_t*>(record.buf),
                                        static_cast<std::size_t>(record.len));
    auto resolved = one_collection(description, "points");
    auto decoded = resolved
                       ? codec::decode_object_fields(bytes, resolved->schema.collections[0].fields)
                       : codec::Decoded<ObjectMap>();
    PyBuffer_Release(&record);
    if (!resolved) return nullptr;
    if (!decoded) return raise_engine_error(Error::corrupted("/db", std::string(decoded.error())));
    return values::record_to_dict(*decoded);
  });
}

// match(layout, fields, calls): matches the layout against a collection
// named points `calls` times on one handle's schema; True when every call
// gave the one cached mapping.
PyObject* match(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* layout_object = nullptr;
    PyObject* description = nullptr;
    int calls = 1;
    if (!PyArg_ParseTuple(args, "OO|i:match", &layout_object, &description, &calls)) return nullptr;
    const LayoutData* layout = layout::layout_data(layout_object);
    if (layout == nullptr) return nullptr;
    auto resolved = one_collection(description, "points");
    if (!resolved) return nullptr;
    const ClassMapping* first = nullptr;
    bool same = true;
    for (int i = 0; i < calls; ++i) {
      auto bound = layout::match_collection(*resolved, 0, *layout, "/db/points.dz");
      if (!bound) return raise_engine_error(bound.error());
      if (first == nullptr) first = bound->mapping.get();
      same = same && first == bound->mapping.get();
    }
    return PyBool_FromLong(same);
  });
}

// decode(layout, fields, records): each record (bytes) of a collection named
// points into an instance through the layout, one slot list for all.
PyObject* decode(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    PyObject* layout_object = nullptr;
    PyObject* description = nullptr;
    PyObject* records = nullptr;
    if (!PyArg_ParseTuple(args, "OOO!:decode", &layout_object, &description, &PyList_Type,
                          &records)) {
      return nullptr;
    }
    const LayoutData* layout = layout::layout_data(layout_object);
    if (layout == nullptr) return nullptr;
    auto resolved = one_collection(description, "points");
    if (!resolved) return nullptr;
    auto bound = layout::match_collection(*resolved, 0, *layout, "/db/points.dz");
    if (!bound) return raise_engine_error(bound.error());
    PyRef out = PyRef::steal(PyList_New(0));
    if (!out) return nullptr;
    std::vector<PyRef> slots;
    for (Py_ssize_t i = 0; i < PyList_Size(records); ++i) {
      PyObject* record = PyList_GetItem(records, i);
      char* data = nullptr;
      Py_ssize_t size = 0;
      if (PyBytes_AsStringAndSize(record, &data, &size) < 0) return nullptr;
      PyRef instance = PyRef::steal(values::record_to_object(
          *layout, *bound,
          std::span(reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size)),
          slots));
      if (!instance || PyList_Append(out.get(), instance.get()) < 0) return nullptr;
    }
    return out.release();
  });
}

// siphash13(key0, key1, data): the hash function under Param's hash().
PyObject* siphash13_probe(PyObject*, PyObject* args) {
  return guarded([&]() -> PyObject* {
    unsigned long long key0 = 0;
    unsigned long long key1 = 0;
    const char* data = nullptr;
    Py_ssize_t size = 0;
    if (!PyArg_ParseTuple(args, "KKy#:siphash13", &key0, &key1, &data, &size)) return nullptr;
    std::uint64_t hash = siphash13(
        key0, key1,
        std::span(reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size)));
    return PyLong_FromUnsignedLongLong(hash);
  });
}

PyMethodDef methods[] = {
    {"value", value, METH_O, nullptr},
    {"key", key, METH_O, nullptr},
    {"round_trip", round_trip, METH_O, nullptr},
    {"read", read, METH_VARARGS, nullptr},
    {"layout_info", layout_info, METH_O, nullptr},
    {"by_name", by_name, METH_VARARGS, nullptr},
    {"params", params, METH_O, nullptr},
    {"schema_dict", schema_dict, METH_O, nullptr},
    {"query_info", query_info, METH_O, nullptr},
    {"same_query", same_query, METH_VARARGS, nullptr},
    {"bind", bind, METH_VARARGS, nullptr},
    {"siphash13", siphash13_probe, METH_VARARGS, nullptr},
    {"make", make, METH_VARARGS, nullptr},
    {"encode", encode, METH_VARARGS, nullptr},
    {"to_dict", to_dict, METH_VARARGS, nullptr},
    {"match", match, METH_VARARGS, nullptr},
    {"decode", decode, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module = {
    PyModuleDef_HEAD_INIT,
    "deziro_values_probe",
    "",
    -1,
    methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace deziro::binding

// The probe links its own copy of the binding, whose classes are not those
// of deziro._native: it offers its own, for the objects its functions read.
PyMODINIT_FUNC PyInit_deziro_values_probe(void) {
  using namespace deziro::binding;
  PyRef made = PyRef::steal(PyModule_Create(&module));
  if (!made) return nullptr;
  PyObject* classes[][2] = {
      {PyUnicode_FromString("Layout"), layout::layout_type()},
      {PyUnicode_FromString("NativeSchema"), schema::native_schema_type()},
      {PyUnicode_FromString("Param"), query::param_type()},
      {PyUnicode_FromString("NativeQuery"), query::native_query_type()},
  };
  for (auto& [name, cls] : classes) {
    PyRef owned_name = PyRef::steal(name);
    if (!owned_name || cls == nullptr || PyObject_SetAttr(made.get(), owned_name.get(), cls) < 0) {
      return nullptr;
    }
  }
  for (PyMethodDef* definition :
       {&query::compile_query_definition(), &query::parse_query_definition()}) {
    PyRef function = PyRef::steal(PyCFunction_NewEx(definition, made.get(), nullptr));
    if (!function || PyObject_SetAttrString(made.get(), definition->ml_name, function.get()) < 0) {
      return nullptr;
    }
  }
  return made.release();
}
