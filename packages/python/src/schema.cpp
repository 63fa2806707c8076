#include "schema.hpp"

#include <memory>
#include <string>
#include <vector>

#include "arguments.hpp"
#include "call_frame.hpp"
#include "errors.hpp"
#include "heap_type.hpp"
#include "native_object.hpp"
#include "py_ref.hpp"
#include "sequence.hpp"
#include "text_format.hpp"
#include "values.hpp"

namespace deziro::binding::schema {

namespace {

struct SchemaObject {
  PyObject_HEAD DeclaredSchema* schema;
};

SchemaObject* as_schema(PyObject* object) { return reinterpret_cast<SchemaObject*>(object); }

constexpr const char* kCollections = "collections";

// A field description as given, read before any type or default is.
struct FieldDescription {
  std::string name;
  PyRef type;
  std::string role;
  PyRef default_value;
  bool indexed = false;
  bool unique = false;
};

struct CollectionDescription {
  std::string name;
  std::vector<FieldDescription> fields;
};

std::optional<FieldDescription> field_description(PyObject* item) {
  auto parts = fixed_tuple(item, 6, kCollections);
  if (!parts) return std::nullopt;
  const std::vector<PyObject*>& p = *parts;
  auto name = to_str(p[0], kCollections);
  if (!name) return std::nullopt;
  auto role = to_str(p[2], kCollections);
  if (!role) return std::nullopt;
  auto indexed = to_bool(p[4], kCollections);
  if (!indexed) return std::nullopt;
  auto unique = to_bool(p[5], kCollections);
  if (!unique) return std::nullopt;
  return FieldDescription{std::string(*name), PyRef::borrow(p[1]),
                          std::string(*role), PyRef::borrow(p[3]),
                          *indexed,           *unique};
}

std::optional<std::vector<FieldDescription>> field_descriptions(PyObject* sequence) {
  std::vector<FieldDescription> fields;
  bool read = for_each_in_sequence(sequence, kCollections, [&](PyObject* item) {
    auto field = field_description(item);
    if (!field) return false;
    fields.push_back(std::move(*field));
    return true;
  });
  if (!read) return std::nullopt;
  return fields;
}

std::optional<CollectionDescription> collection_description(PyObject* item) {
  auto parts = fixed_tuple(item, 2, kCollections);
  if (!parts) return std::nullopt;
  auto name = to_str((*parts)[0], kCollections);
  if (!name) return std::nullopt;
  auto fields = field_descriptions((*parts)[1]);
  if (!fields) return std::nullopt;
  return CollectionDescription{std::string(*name), std::move(*fields)};
}

std::nullopt_t unknown_type(std::string_view name) {
  new_dazi_error(ErrorKind::InvalidArgument, format_text("an unknown field type: {}", name));
  return std::nullopt;
}

std::optional<DeclaredKind> field_type_from_python(PyObject* type);

std::optional<Value> default_from_python(const DeclaredKind& kind, PyObject* object) {
  if (kind.tag() == DeclaredKind::Tag::Float && Py_TYPE(object) == &PyLong_Type) {
    double number = PyLong_AsDouble(object);
    if (number == -1.0 && PyErr_Occurred()) return std::nullopt;
    return Value::floating(number);
  }
  if (kind.tag() == DeclaredKind::Tag::List && kind.element().tag() == DeclaredKind::Tag::Float) {
    PyRef iterator = PyRef::steal(PyObject_GetIter(object));
    if (!iterator) return std::nullopt;
    ValueList items;
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
      auto value = default_from_python(kind.element(), item.get());
      if (!value) return std::nullopt;
      items.push_back(std::move(*value));
    }
    if (PyErr_Occurred()) return std::nullopt;
    return Value::list(std::move(items));
  }
  return values::value_from_python(object);
}

// Builds a field from its description; `key_role` says whether "key" is a
// role here (it is not inside an embedded object). Sets `is_key`.
std::optional<DeclaredField> declared_field(FieldDescription& description, bool key_role,
                                            bool& is_key) {
  auto kind = field_type_from_python(description.type.get());
  if (!kind) return std::nullopt;
  DeclaredField field{std::move(*kind), std::move(description.name), std::nullopt, false};
  const std::string& role = description.role;
  is_key = key_role && role == "key";
  if (role == "optional") {
    field.optional = true;
  } else if (!is_key && role != "required") {
    auto value = default_from_python(field.kind, description.default_value.get());
    if (!value) return std::nullopt;
    field.default_value = std::move(*value);
  }
  return field;
}

std::optional<DeclaredKind> field_type_from_python(PyObject* type) {
  if (PyUnicode_Check(type)) {
    auto name = to_str(type, "type");
    if (!name) return std::nullopt;
    if (*name == "bool") return DeclaredKind::boolean();
    if (*name == "int") return DeclaredKind::integer();
    if (*name == "float") return DeclaredKind::floating();
    if (*name == "string") return DeclaredKind::str();
    if (*name == "bytes") return DeclaredKind::bytes();
    return unknown_type(*name);
  }
  if (!PyTuple_Check(type)) {
    std::string got = values::type_name(reinterpret_cast<PyObject*>(Py_TYPE(type)));
    PyErr_Format(PyExc_TypeError, "a field type is a str or a tuple, not %s", got.c_str());
    return std::nullopt;
  }
  Py_ssize_t size = PyTuple_Size(type);
  if (size != 2) {
    PyErr_Format(PyExc_ValueError, "a field type tuple has 2 items, not %zd", size);
    return std::nullopt;
  }
  auto head = to_str(PyTuple_GetItem(type, 0), "type");
  if (!head) return std::nullopt;
  PyObject* argument = PyTuple_GetItem(type, 1);
  if (Py_EnterRecursiveCall(" while reading a field type") != 0) return std::nullopt;
  struct Leave {
    ~Leave() { Py_LeaveRecursiveCall(); }
  } leave;
  if (*head == "link") {
    auto target = to_str(argument, "type");
    if (!target) return std::nullopt;
    return DeclaredKind::link(std::string(*target));
  }
  if (*head == "list") {
    auto element = field_type_from_python(argument);
    if (!element) return std::nullopt;
    return DeclaredKind::list(std::move(*element));
  }
  if (*head == "object") {
    auto descriptions = field_descriptions(argument);
    if (!descriptions) return std::nullopt;
    std::vector<DeclaredField> fields;
    for (FieldDescription& description : *descriptions) {
      bool is_key = false;
      auto field = declared_field(description, false, is_key);
      if (!field) return std::nullopt;
      fields.push_back(std::move(*field));
    }
    return DeclaredKind::object(std::move(fields));
  }
  return unknown_type(*head);
}

const char* const schema_arguments[] = {"version", "collections", nullptr};

PyObject* schema_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* version_object = nullptr;
    PyObject* collections_object = nullptr;
    if (!parse_arguments(args, kwargs, "OO:NativeSchema", schema_arguments, &version_object,
                         &collections_object)) {
      return nullptr;
    }
    auto version = to_u64(version_object, "version");
    if (!version) return nullptr;
    std::vector<CollectionDescription> descriptions;
    bool read = for_each_in_sequence(collections_object, kCollections, [&](PyObject* item) {
      auto description = collection_description(item);
      if (!description) return false;
      descriptions.push_back(std::move(*description));
      return true;
    });
    if (!read) return nullptr;

    auto schema = std::make_unique<DeclaredSchema>();
    schema->version = *version;
    for (CollectionDescription& description : descriptions) {
      DeclaredCollection collection;
      collection.name = std::move(description.name);
      for (FieldDescription& field_description : description.fields) {
        bool is_key = false;
        bool indexed = field_description.indexed;
        bool unique = field_description.unique;
        auto field = declared_field(field_description, true, is_key);
        if (!field) return nullptr;
        if (is_key) collection.key = field->name;
        if (unique || indexed) collection.indexes.push_back(DeclaredIndex{field->name, unique});
        collection.fields.push_back(std::move(*field));
      }
      schema->collections.push_back(std::move(collection));
    }

    PyObject* self = allocate_instance(type);
    if (self == nullptr) return nullptr;
    as_schema(self)->schema = schema.release();
    return self;
  });
}

void schema_dealloc(PyObject* self) {
  delete as_schema(self)->schema;
  as_schema(self)->schema = nullptr;
  free_instance(self);
}

PyType_Slot schema_slots[] = {
    {Py_tp_doc, const_cast<char*>("NativeSchema(version, collections)\n--\n\n"
                                  "A schema, ready to open a file with.")},
    {Py_tp_new, reinterpret_cast<void*>(schema_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(schema_dealloc)},
    {0, nullptr},
};

PyType_Spec schema_spec = {
    "deziro._native.NativeSchema",
    sizeof(SchemaObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
    schema_slots,
};

ProcessCell schema_cell;

// Builds a dict from (key, new reference) pairs in order; null when any
// value is null or a store fails.
class DictBuilder {
 public:
  DictBuilder() : dict_(PyRef::steal(PyDict_New())) {}
  DictBuilder& set(const char* key, PyObject* value) {
    PyRef owned = PyRef::steal(value);
    if (!dict_) return *this;
    if (!owned || PyDict_SetItemString(dict_.get(), key, owned.get()) < 0) dict_ = PyRef();
    return *this;
  }
  PyObject* release() { return dict_.release(); }

 private:
  PyRef dict_;
};

PyObject* str_of_text(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

template <typename Item, typename Convert>
PyObject* list_of(const std::vector<Item>& items, Convert&& convert) {
  PyRef list = PyRef::steal(PyList_New(0));
  if (!list) return nullptr;
  for (const Item& item : items) {
    PyRef converted = PyRef::steal(convert(item));
    if (!converted || PyList_Append(list.get(), converted.get()) < 0) return nullptr;
  }
  return list.release();
}

PyObject* kind_name(const char* name) { return PyUnicode_FromString(name); }

}  // namespace

PyObject* native_schema_type() { return class_object(schema_cell, schema_spec); }

const DeclaredSchema* declared_schema_of(PyObject* object) {
  PyObject* type = native_schema_type();
  if (type == nullptr) return nullptr;
  if (!PyObject_TypeCheck(object, reinterpret_cast<PyTypeObject*>(type))) {
    PyErr_SetString(PyExc_TypeError, "expected a NativeSchema");
    return nullptr;
  }
  return as_schema(object)->schema;
}

PyObject* field_type_to_python(const DeclaredKind& kind) {
  switch (kind.tag()) {
    case DeclaredKind::Tag::Bool:
      return DictBuilder().set("kind", kind_name("bool")).release();
    case DeclaredKind::Tag::Int:
      return DictBuilder().set("kind", kind_name("int")).release();
    case DeclaredKind::Tag::Float:
      return DictBuilder().set("kind", kind_name("float")).release();
    case DeclaredKind::Tag::Str:
      return DictBuilder().set("kind", kind_name("string")).release();
    case DeclaredKind::Tag::Bytes:
      return DictBuilder().set("kind", kind_name("bytes")).release();
    case DeclaredKind::Tag::Link:
      return DictBuilder()
          .set("collection", str_of_text(kind.link_target()))
          .set("kind", kind_name("link"))
          .release();
    case DeclaredKind::Tag::List:
      return DictBuilder()
          .set("element", field_type_to_python(kind.element()))
          .set("kind", kind_name("list"))
          .release();
    case DeclaredKind::Tag::Object:
      return DictBuilder()
          .set("fields", fields_to_python(kind.fields()))
          .set("kind", kind_name("object"))
          .release();
  }
  return raise_internal_failure("a declared field kind of no known tag");
}

PyObject* fields_to_python(const std::vector<DeclaredField>& fields) {
  return list_of(fields, [](const DeclaredField& field) -> PyObject* {
    DictBuilder dict;
    dict.set("name", str_of_text(field.name))
        .set("type", field_type_to_python(field.kind))
        .set("optional", PyBool_FromLong(field.optional ? 1 : 0));
    if (field.default_value) dict.set("default", values::value_to_python(*field.default_value));
    return dict.release();
  });
}

PyObject* stored_schema_to_python(const DeclaredSchema& schema) {
  PyObject* collections = list_of(schema.collections, [](const DeclaredCollection& collection) {
    PyObject* indexes = list_of(collection.indexes, [](const DeclaredIndex& index) {
      return DictBuilder()
          .set("field", str_of_text(index.field))
          .set("unique", PyBool_FromLong(index.unique ? 1 : 0))
          .release();
    });
    const bool auto_increment = !collection.key.has_value();
    return DictBuilder()
        .set("name", str_of_text(collection.name))
        .set("key", str_of_text(auto_increment ? kImplicitKeyName : *collection.key))
        .set("auto_increment", PyBool_FromLong(auto_increment ? 1 : 0))
        .set("fields", fields_to_python(collection.fields))
        .set("indexes", indexes)
        .release();
  });
  return DictBuilder()
      .set("version", PyLong_FromUnsignedLongLong(schema.version))
      .set("collections", collections)
      .release();
}

}  // namespace deziro::binding::schema
