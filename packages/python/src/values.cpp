#include "values.hpp"

#include <cstdint>
#include <string_view>

#include "errors.hpp"
#include "py_ref.hpp"
#include "text_format.hpp"

namespace deziro::binding::values {

namespace {

// Nesting of lists and dicts is bounded by the interpreter's recursion
// limit: a self-referential list raises RecursionError instead of
// overflowing the C stack.
class RecursionGuard {
 public:
  RecursionGuard() : entered_(Py_EnterRecursiveCall(" while converting a value") == 0) {}
  ~RecursionGuard() {
    if (entered_) Py_LeaveRecursiveCall();
  }
  RecursionGuard(const RecursionGuard&) = delete;
  RecursionGuard& operator=(const RecursionGuard&) = delete;
  bool entered() const { return entered_; }

 private:
  bool entered_;
};

std::nullopt_t invalid_argument(std::string_view message) {
  new_dazi_error(ErrorKind::InvalidArgument, message);
  return std::nullopt;
}

// INVALID_ARGUMENT with the article phrase of the object's type in `format`.
std::nullopt_t invalid_for_type(const char* format, PyObject* object) {
  return invalid_argument(format_text(format, article_type_name(Py_TYPE(object))));
}

bool is_exact(PyObject* object, PyTypeObject* type) { return Py_TYPE(object) == type; }

bool is_bytes_like(PyObject* object) {
  return PyBytes_Check(object) || PyByteArray_Check(object) || is_exact(object, &PyMemoryView_Type);
}

std::optional<Value> int_from_python(PyObject* object) {
  long long number = PyLong_AsLongLong(object);
  if (number == -1 && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return std::nullopt;
    PyErr_Clear();
    auto text = str_of(object);
    if (!text) return std::nullopt;
    return invalid_argument(format_text("{} is beyond a 64-bit int", *text));
  }
  return Value::integer(number);
}

std::optional<Value> string_from_python(PyObject* object) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(object, &size);
  if (text == nullptr) return std::nullopt;
  return Value::string(std::string(text, static_cast<std::size_t>(size)));
}

// An exact int into a float field: the interpreter's conversion, whose
// OverflowError for a huge int is passed on.
std::optional<Value> widened_int(PyObject* object) {
  double number = PyLong_AsDouble(object);
  if (number == -1.0 && PyErr_Occurred()) return std::nullopt;
  return Value::floating(number);
}

// Iterates `iterable` and converts each item with `convert`, into a List.
template <typename Convert>
std::optional<Value> list_of_items(PyObject* iterator, Convert&& convert) {
  ValueList items;
  while (PyRef item = PyRef::steal(PyIter_Next(iterator))) {
    auto value = convert(item.get());
    if (!value) return std::nullopt;
    items.push_back(std::move(*value));
  }
  if (PyErr_Occurred()) return std::nullopt;
  return Value::list(std::move(items));
}

// The iterator of a list-kind value: text and bytes-like values and objects
// that cannot be iterated are refused.
PyRef list_field_iterator(PyObject* object) {
  const char* refusal = "a list field holds a list, not {}";
  if (PyUnicode_Check(object) || is_bytes_like(object)) {
    invalid_for_type(refusal, object);
    return {};
  }
  PyRef iterator = PyRef::steal(PyObject_GetIter(object));
  if (!iterator && PyErr_ExceptionMatches(PyExc_TypeError)) {
    PyErr_Clear();
    invalid_for_type(refusal, object);
  }
  return iterator;
}

}  // namespace

std::optional<std::string> str_of(PyObject* object) {
  PyRef text = PyRef::steal(PyObject_Str(object));
  if (!text) return std::nullopt;
  // A lone surrogate is shown escaped: the text only goes into a message.
  PyRef utf8 = PyRef::steal(PyUnicode_AsEncodedString(text.get(), "utf-8", "backslashreplace"));
  if (!utf8) return std::nullopt;
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(utf8.get(), &data, &size) < 0) return std::nullopt;
  return std::string(data, static_cast<std::size_t>(size));
}

std::string type_name(PyObject* cls) {
  if (!PyType_Check(cls)) return "object";
  PyRef name = PyRef::steal(PyType_GetName(reinterpret_cast<PyTypeObject*>(cls)));
  std::optional<std::string> text = name ? str_of(name.get()) : std::nullopt;
  if (!text) {
    PyErr_Clear();
    return "object";
  }
  return *text;
}

std::string article_type_name(PyTypeObject* type) {
  PyRef name = PyRef::steal(PyType_GetName(type));
  std::optional<std::string> text = name ? str_of(name.get()) : std::nullopt;
  if (!text) {
    PyErr_Clear();
    return "a value";
  }
  return "a " + *text;
}

std::optional<ByteString> bytes_from_python(PyObject* object) {
  if (PyBytes_Check(object)) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(object, &data, &size) < 0) return std::nullopt;
    return ByteString(data, data + size);
  }
  if (PyByteArray_Check(object)) {
    const char* data = PyByteArray_AsString(object);
    Py_ssize_t size = PyByteArray_Size(object);
    if (data == nullptr || size < 0) return std::nullopt;
    return ByteString(data, data + size);
  }
  PyRef copy = PyRef::steal(
      PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyBytes_Type), object, nullptr));
  if (!copy) return std::nullopt;
  if (!PyBytes_Check(copy.get())) {
    PyErr_SetString(PyExc_TypeError, "bytes() returned something that is not bytes");
    return std::nullopt;
  }
  return bytes_from_python(copy.get());
}

std::optional<Value> value_from_python(PyObject* object) {
  if (object == Py_None) return Value::null();
  if (is_exact(object, &PyBool_Type)) return Value::boolean(object == Py_True);
  if (PyLong_Check(object)) return int_from_python(object);
  if (PyFloat_Check(object)) {
    double number = PyFloat_AsDouble(object);
    if (number == -1.0 && PyErr_Occurred()) return std::nullopt;
    return Value::floating(number);
  }
  if (PyUnicode_Check(object)) return string_from_python(object);
  if (is_bytes_like(object)) {
    auto bytes = bytes_from_python(object);
    if (!bytes) return std::nullopt;
    return Value::bytes(std::move(*bytes));
  }
  if (PyList_Check(object) || PyTuple_Check(object)) {
    RecursionGuard guard;
    if (!guard.entered()) return std::nullopt;
    PyRef iterator = PyRef::steal(PyObject_GetIter(object));
    if (!iterator) return std::nullopt;
    return list_of_items(iterator.get(), [](PyObject* item) { return value_from_python(item); });
  }
  return invalid_for_type("DeziRO cannot store {}", object);
}

std::optional<Value> key_from_python(PyObject* object) {
  std::optional<Value> value = value_from_python(object);
  if (value) {
    ValueKind kind = value->kind();
    if (kind == ValueKind::Int || kind == ValueKind::String || kind == ValueKind::Bytes) {
      return value;
    }
  }
  // Whatever went wrong, the caller is told what a key may be.
  PyErr_Clear();
  return invalid_for_type("a primary key is an int, a str or bytes, not {}", object);
}

std::optional<Value> value_by_layout_kind(const LayoutKind& kind, PyObject* object) {
  if (object == Py_None) return Value::null();
  switch (kind.variant) {
    case LayoutKind::Variant::Float:
      if (is_exact(object, &PyLong_Type)) return widened_int(object);
      return value_from_python(object);
    case LayoutKind::Variant::List: {
      PyRef iterator = list_field_iterator(object);
      if (!iterator) return std::nullopt;
      RecursionGuard guard;
      if (!guard.entered()) return std::nullopt;
      const LayoutKind& element = *kind.element;
      return list_of_items(iterator.get(),
                           [&](PyObject* item) { return value_by_layout_kind(element, item); });
    }
    case LayoutKind::Variant::Layout: {
      const LayoutData* nested = layout::layout_data(kind.layout.get());
      if (nested == nullptr) return std::nullopt;
      RecursionGuard guard;
      if (!guard.entered()) return std::nullopt;
      auto map = read_attributes(*nested, object);
      if (!map) return std::nullopt;
      return Value::object(std::move(*map));
    }
    case LayoutKind::Variant::Bool:
    case LayoutKind::Variant::Int:
    case LayoutKind::Variant::Str:
    case LayoutKind::Variant::Bytes:
    case LayoutKind::Variant::Key:
      break;
  }
  return value_from_python(object);
}

bool expect_type(PyObject* cls, PyObject* object) {
  int is_instance = PyObject_IsInstance(object, cls);
  if (is_instance < 0) return false;
  if (is_instance == 0) {
    new_dazi_error(ErrorKind::InvalidArgument, format_text("expected a {}, not {}", type_name(cls),
                                                           article_type_name(Py_TYPE(object))));
    return false;
  }
  return true;
}

std::optional<ObjectMap> read_attributes(const LayoutData& layout, PyObject* object) {
  if (!expect_type(layout.cls.get(), object)) return std::nullopt;
  ObjectMap map;
  map.reserve(layout.fields.size());
  for (const LayoutField& field : layout.fields) {
    PyRef attribute = PyRef::steal(PyObject_GetAttr(object, field.attribute.get()));
    if (!attribute) return std::nullopt;
    auto value = value_by_layout_kind(field.kind, attribute.get());
    if (!value) return std::nullopt;
    // An attribute that is None means an absent field.
    if (value->is_null()) continue;
    map.insert(field.stored_name, std::move(*value));
  }
  return map;
}

std::optional<ObjectMap> record_from_dict(PyObject* object, const std::vector<Field>* fields) {
  if (!PyDict_Check(object)) {
    return invalid_for_type("an object of a collection reached by name is a dict, not {}", object);
  }
  RecursionGuard guard;
  if (!guard.entered()) return std::nullopt;
  // A snapshot of the items: converting a value may run Python code that
  // changes the dict.
  PyRef items = PyRef::steal(PyDict_Items(object));
  if (!items) return std::nullopt;
  ObjectMap map;
  Py_ssize_t count = PyList_Size(items.get());
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PyList_GetItem(items.get(), i);
    if (item == nullptr) return std::nullopt;
    PyObject* key = PyTuple_GetItem(item, 0);
    PyObject* value_object = PyTuple_GetItem(item, 1);
    if (key == nullptr || value_object == nullptr) return std::nullopt;
    if (!PyUnicode_Check(key)) return invalid_for_type("a field's name is a str, not {}", key);
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(key, &size);
    if (text == nullptr) return std::nullopt;
    std::string_view name(text, static_cast<std::size_t>(size));
    const FieldKind* kind = nullptr;
    if (fields != nullptr) {
      for (const Field& field : *fields) {
        if (field.name == name) {
          kind = &field.kind;
          break;
        }
      }
    }
    auto value = value_by_field_kind(kind, value_object);
    if (!value) return std::nullopt;
    map.insert(name, std::move(*value));
  }
  return map;
}

std::optional<Value> value_by_field_kind(const FieldKind* kind, PyObject* object) {
  if (object == Py_None) return Value::null();
  if (kind != nullptr) {
    switch (kind->code()) {
      case KindCode::Float:
        if (is_exact(object, &PyLong_Type)) return widened_int(object);
        break;
      case KindCode::List: {
        PyRef iterator = list_field_iterator(object);
        if (!iterator) return std::nullopt;
        RecursionGuard guard;
        if (!guard.entered()) return std::nullopt;
        const FieldKind& element = kind->element();
        return list_of_items(iterator.get(),
                             [&](PyObject* item) { return value_by_field_kind(&element, item); });
      }
      case KindCode::Object: {
        auto map = record_from_dict(object, &kind->fields());
        if (!map) return std::nullopt;
        return Value::object(std::move(*map));
      }
      default:
        break;
    }
  }
  if (PyDict_Check(object)) {
    auto map = record_from_dict(object, nullptr);
    if (!map) return std::nullopt;
    return Value::object(std::move(*map));
  }
  return value_from_python(object);
}

PyObject* value_to_python(const Value& value) {
  switch (value.kind()) {
    case ValueKind::Null:
      Py_RETURN_NONE;
    case ValueKind::Bool:
      return PyBool_FromLong(value.as_bool() ? 1 : 0);
    case ValueKind::Int:
      return PyLong_FromLongLong(value.as_int());
    case ValueKind::Float:
      return PyFloat_FromDouble(value.as_float());
    case ValueKind::String: {
      const std::string& text = value.as_string();
      return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
    }
    case ValueKind::Bytes: {
      const ByteString& bytes = value.as_bytes();
      return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                       static_cast<Py_ssize_t>(bytes.size()));
    }
    case ValueKind::List: {
      const ValueList& items = value.as_list();
      PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(items.size())));
      if (!list) return nullptr;
      for (std::size_t i = 0; i < items.size(); ++i) {
        PyObject* item = value_to_python(items[i]);
        if (item == nullptr) return nullptr;
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
      }
      return list.release();
    }
    case ValueKind::Object:
      return record_to_dict(value.as_object());
  }
  return raise_internal_failure("a value of no known kind");
}

PyObject* record_to_dict(const ObjectMap& map) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  for (const ObjectEntry& entry : map.entries()) {
    std::string_view name = entry.name.view();
    PyRef key = PyRef::steal(
        PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), nullptr));
    if (!key) return nullptr;
    PyRef item = PyRef::steal(value_to_python(entry.value));
    if (!item || PyDict_SetItem(dict.get(), key.get(), item.get()) < 0) return nullptr;
  }
  return dict.release();
}

}  // namespace deziro::binding::values
