// The writing members of NativeTransaction: insert, put, insert_many and
// put_many. Every object of a call is converted before anything is
// written; then one engine call writes them all under the transaction's
// mutex, stopping at the first object the engine refuses (the ones before
// it stay written).
//
// Objects come through a Layout or as dicts keyed by stored names. A flat
// layout (only bool, int, float, str and bytes fields) takes the row road:
// its attributes become row values that borrow the text of str and bytes
// objects, which the list of attributes keeps alive until the call returns.
// Any other layout, no layout, or a row value that does not suit its field
// takes the map road, through object maps.
#include <deque>
#include <optional>
#include <vector>

#include "arguments.hpp"
#include "call_frame.hpp"
#include "errors.hpp"
#include "py_ref.hpp"
#include "records.hpp"
#include "text_format.hpp"
#include "transaction.hpp"
#include "values.hpp"

namespace deziro::binding::transaction {

namespace {

// A converted batch, ready to be written without the interpreter lock.
struct ConvertedBatch {
  // Row road: the attributes read (they keep borrowed text alive), one row
  // value per attribute, and the copies of bytearray and memoryview values.
  std::vector<PyRef> attributes;
  std::vector<LayoutValue> rows;
  std::deque<ByteString> owned_bytes;
  std::optional<LayoutShape> shape;
  std::size_t field_count = 0;
  // Map road: one object map per object.
  std::vector<ObjectMap> maps;
};

bool is_exact(PyObject* object, PyTypeObject* type) { return Py_TYPE(object) == type; }

bool suits(LayoutValue::Kind value, LayoutKind::Variant field) {
  using K = LayoutValue::Kind;
  using V = LayoutKind::Variant;
  switch (value) {
    case K::Absent:
      return true;
    case K::Bool:
      return field == V::Bool;
    case K::Int:
      return field == V::Int;
    case K::Float:
      return field == V::Float;
    case K::Str:
      return field == V::Str;
    case K::Bytes:
      return field == V::Bytes;
  }
  return false;
}

enum class RowOutcome { Made, GiveUp, Failed };

// One attribute as a row value for a field of kind `field`. GiveUp when it
// does not suit the field or is a list or tuple (the batch then takes the
// map road); Failed with the exception set.
RowOutcome row_value(PyObject* object, LayoutKind::Variant field, ConvertedBatch& batch,
                     LayoutValue& out) {
  if (object == Py_None) {
    out = LayoutValue::absent();
  } else if (is_exact(object, &PyBool_Type)) {
    out = LayoutValue::boolean(object == Py_True);
  } else if (is_exact(object, &PyLong_Type) && field == LayoutKind::Variant::Float) {
    double number = PyLong_AsDouble(object);
    if (number == -1.0 && PyErr_Occurred()) return RowOutcome::Failed;
    out = LayoutValue::float64(number);
  } else if (PyLong_Check(object)) {
    auto value = values::value_from_python(object);
    if (!value) return RowOutcome::Failed;
    out = LayoutValue::int64(value->as_int());
  } else if (PyFloat_Check(object)) {
    double number = PyFloat_AsDouble(object);
    if (number == -1.0 && PyErr_Occurred()) return RowOutcome::Failed;
    out = LayoutValue::float64(number);
  } else if (PyUnicode_Check(object)) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(object, &size);
    if (text == nullptr) return RowOutcome::Failed;
    out = LayoutValue::str(std::string_view(text, static_cast<std::size_t>(size)));
  } else if (PyBytes_Check(object)) {
    char* data = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(object, &data, &size) < 0) return RowOutcome::Failed;
    out = LayoutValue::raw(
        ByteView(reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size)));
  } else if (PyByteArray_Check(object) || is_exact(object, &PyMemoryView_Type)) {
    // These can change after the call: copied now.
    auto bytes = values::bytes_from_python(object);
    if (!bytes) return RowOutcome::Failed;
    batch.owned_bytes.push_back(std::move(*bytes));
    out = LayoutValue::raw(batch.owned_bytes.back());
  } else if (PyList_Check(object) || PyTuple_Check(object)) {
    return RowOutcome::GiveUp;
  } else {
    new_dazi_error(
        ErrorKind::InvalidArgument,
        format_text("DeziRO cannot store {}", values::article_type_name(Py_TYPE(object))));
    return RowOutcome::Failed;
  }
  return suits(out.kind, field) ? RowOutcome::Made : RowOutcome::GiveUp;
}

bool convert_maps(const std::vector<PyRef>& objects, const LayoutData* layout,
                  const std::vector<Field>* fields, ConvertedBatch& batch) {
  batch.maps.reserve(objects.size());
  for (const PyRef& object : objects) {
    auto map = layout != nullptr ? values::read_attributes(*layout, object.get())
                                 : values::record_from_dict(object.get(), fields);
    if (!map) return false;
    batch.maps.push_back(std::move(*map));
  }
  return true;
}

// The row road; nothing when a value sent the batch to the map road, false
// with the exception set on a failure.
std::optional<bool> convert_rows(const std::vector<PyRef>& objects, const LayoutData& layout,
                                 ConvertedBatch& batch) {
  const std::size_t field_count = layout.fields.size();
  batch.attributes.reserve(objects.size() * field_count);
  for (const PyRef& object : objects) {
    if (!values::expect_type(layout.cls.get(), object.get())) return false;
    for (const LayoutField& field : layout.fields) {
      PyRef attribute = PyRef::steal(PyObject_GetAttr(object.get(), field.attribute.get()));
      if (!attribute) return false;
      batch.attributes.push_back(std::move(attribute));
    }
  }
  batch.rows.resize(batch.attributes.size());
  for (std::size_t i = 0; i < batch.attributes.size(); ++i) {
    LayoutKind::Variant kind = layout.fields[i % field_count].kind.variant;
    switch (row_value(batch.attributes[i].get(), kind, batch, batch.rows[i])) {
      case RowOutcome::Made:
        break;
      case RowOutcome::GiveUp:
        return std::nullopt;
      case RowOutcome::Failed:
        return false;
    }
  }
  batch.shape = layout::engine_shape(layout);
  batch.field_count = field_count;
  return true;
}

// The fields of the collection called `name` in the transaction's
// conversion schema, when it has one.
const std::vector<Field>* known_fields(PyObject* self, std::string_view name) {
  const auto& schema = data_of(self).conversion_schema;
  if (!schema) return nullptr;
  for (const Collection& collection : schema->schema.collections) {
    if (collection.name == name) return &collection.fields;
  }
  return nullptr;
}

bool convert_batch(PyObject* self, std::string_view collection, const LayoutData* layout,
                   const std::vector<PyRef>& objects, ConvertedBatch& batch) {
  if (layout == nullptr)
    return convert_maps(objects, nullptr, known_fields(self, collection), batch);
  if (layout->flat) {
    if (objects.empty()) {
      batch.shape = layout::engine_shape(*layout);
      batch.field_count = layout->fields.size();
      return true;
    }
    std::optional<bool> rows = convert_rows(objects, *layout, batch);
    if (rows) return *rows;
    batch = ConvertedBatch{};
  }
  return convert_maps(objects, layout, nullptr, batch);
}

Result<std::vector<Value>> write_converted(WriteTxn& txn, std::string_view collection,
                                           ConvertedBatch& batch, WriteMode mode) {
  CollectionRef target = DZ_TRY(deziro::schema::collection_by_name_write(txn, collection));
  std::vector<Value> keys;
  std::optional<Error> error;
  if (batch.shape) {
    objects::LayoutRun run{*batch.shape, batch.rows, batch.field_count};
    while (auto key = objects::write_typed_object(txn, target, run, mode, error)) {
      keys.push_back(std::move(*key));
    }
  } else {
    keys.reserve(batch.maps.size());
    std::size_t next = 0;
    while (auto key = objects::write_batch_next(txn, target, batch.maps, next, mode, error)) {
      keys.push_back(std::move(*key));
    }
  }
  if (error) return fail(std::move(*error));
  return keys;
}

// Converts and writes `objects`; their keys, or nothing with the exception
// set.
std::optional<std::vector<Value>> write_objects(PyObject* self, std::string_view collection,
                                                const LayoutData* layout,
                                                const std::vector<PyRef>& objects, WriteMode mode) {
  ConvertedBatch batch;
  if (!convert_batch(self, collection, layout, objects, batch)) return std::nullopt;
  auto keys =
      on_writer(self, [&](WriteTxn& txn) { return write_converted(txn, collection, batch, mode); });
  if (!keys) {
    raise_engine_error(keys.error());
    return std::nullopt;
  }
  return std::move(*keys);
}

const char* const one_arguments[] = {"collection", "layout", "object", nullptr};
const char* const many_arguments[] = {"collection", "layout", "objects", nullptr};

struct WriteArguments {
  std::string_view collection;
  const LayoutData* layout = nullptr;
  PyObject* objects = nullptr;
};

std::optional<WriteArguments> parse_write(PyObject* args, PyObject* kwargs, const char* format,
                                          const char* const* names) {
  PyObject* collection = nullptr;
  PyObject* layout = nullptr;
  PyObject* objects = nullptr;
  if (!parse_arguments(args, kwargs, format, names, &collection, &layout, &objects)) {
    return std::nullopt;
  }
  WriteArguments parsed;
  auto name = to_str(collection, "collection");
  if (!name) return std::nullopt;
  parsed.collection = *name;
  if (layout != Py_None) {
    parsed.layout = layout::layout_data(layout);
    if (parsed.layout == nullptr) {
      name_argument_in_error("layout");
      return std::nullopt;
    }
  }
  parsed.objects = objects;
  return parsed;
}

PyObject* write_one(PyObject* self, PyObject* args, PyObject* kwargs, const char* format,
                    WriteMode mode) {
  return guarded([&]() -> PyObject* {
    auto parsed = parse_write(args, kwargs, format, one_arguments);
    if (!parsed) return nullptr;
    std::vector<PyRef> batch{PyRef::borrow(parsed->objects)};
    auto keys = write_objects(self, parsed->collection, parsed->layout, batch, mode);
    if (!keys) return nullptr;
    if (keys->size() != 1) return raise_internal_failure("a write of one object gave no key");
    return values::value_to_python(keys->front());
  });
}

PyObject* write_many(PyObject* self, PyObject* args, PyObject* kwargs, const char* format,
                     WriteMode mode) {
  return guarded([&]() -> PyObject* {
    auto parsed = parse_write(args, kwargs, format, many_arguments);
    if (!parsed) return nullptr;
    PyRef iterator = PyRef::steal(PyObject_GetIter(parsed->objects));
    if (!iterator) {
      PyErr_Clear();
      PyRef text = PyRef::steal(PyObject_Str(parsed->objects));
      std::optional<std::string> shown = text ? values::str_of(text.get()) : std::nullopt;
      if (!shown) {
        PyErr_Clear();
        shown =
            format_text("<unprintable {} object>",
                        values::type_name(reinterpret_cast<PyObject*>(Py_TYPE(parsed->objects))));
      }
      return new_dazi_error(ErrorKind::InvalidArgument,
                            format_text("a batch is an iterable of objects, not {}", *shown));
    }
    std::vector<PyRef> batch;
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) batch.push_back(std::move(item));
    if (PyErr_Occurred()) return nullptr;
    auto keys = write_objects(self, parsed->collection, parsed->layout, batch, mode);
    if (!keys) return nullptr;
    PyRef list = PyRef::steal(PyList_New(0));
    if (!list) return nullptr;
    for (const Value& key : *keys) {
      PyRef item = PyRef::steal(values::value_to_python(key));
      if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
    }
    return list.release();
  });
}

PyObject* insert(PyObject* self, PyObject* args, PyObject* kwargs) {
  return write_one(self, args, kwargs, "OOO:insert", WriteMode::Insert);
}
PyObject* put(PyObject* self, PyObject* args, PyObject* kwargs) {
  return write_one(self, args, kwargs, "OOO:put", WriteMode::Put);
}
PyObject* insert_many(PyObject* self, PyObject* args, PyObject* kwargs) {
  return write_many(self, args, kwargs, "OOO:insert_many", WriteMode::Insert);
}
PyObject* put_many(PyObject* self, PyObject* args, PyObject* kwargs) {
  return write_many(self, args, kwargs, "OOO:put_many", WriteMode::Put);
}

PyMethodDef methods[] = {
    {"insert", keywords_function(insert), METH_VARARGS | METH_KEYWORDS,
     "insert($self, collection, layout, object)\n--\n\n"
     "Inserts `object` and returns its primary key."},
    {"insert_many", keywords_function(insert_many), METH_VARARGS | METH_KEYWORDS,
     "insert_many($self, collection, layout, objects)\n--\n\n"
     "Inserts `objects` and returns their keys. Every object is converted\n"
     "before any is inserted; an object the engine refuses stops the batch,\n"
     "and the ones before it stay inserted in the transaction."},
    {"put", keywords_function(put), METH_VARARGS | METH_KEYWORDS,
     "put($self, collection, layout, object)\n--\n\n"
     "Inserts `object`, or replaces the object with its key, and returns\n"
     "its primary key."},
    {"put_many", keywords_function(put_many), METH_VARARGS | METH_KEYWORDS,
     "put_many($self, collection, layout, objects)\n--\n\n"
     "`put` of each of `objects`, as `insert_many` inserts them."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

const PyMethodDef* write_methods() { return methods; }

}  // namespace deziro::binding::transaction
