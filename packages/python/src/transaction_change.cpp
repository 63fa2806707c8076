#include "transaction_change.hpp"

#include "arguments.hpp"
#include "call_frame.hpp"
#include "errors.hpp"
#include "layout.hpp"
#include "py_ref.hpp"
#include "schema/objects.hpp"
#include "schema/open.hpp"
#include "text_format.hpp"
#include "transaction.hpp"
#include "txn/write_txn.hpp"
#include "values.hpp"

namespace deziro::binding::changing {
namespace {

const char* const update_arguments[] = {"collection", "layout", "key_value", "changes", nullptr};
const char* const delete_arguments[] = {"collection", "key_value", nullptr};

// Through a layout, `changes` is keyed by attribute names; each value
// takes its field's kind and goes under the field's stored name. The
// layout is not matched against the collection.
std::optional<ObjectMap> changes_by_layout(const LayoutData& layout, PyObject* changes) {
  // A snapshot of the items: converting a value may run Python code that
  // changes the dict.
  PyRef items = PyRef::steal(PyDict_Items(changes));
  if (!items) return std::nullopt;
  ObjectMap map;
  const Py_ssize_t count = PyList_Size(items.get());
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PyList_GetItem(items.get(), i);
    PyObject* name = item != nullptr ? PyTuple_GetItem(item, 0) : nullptr;
    PyObject* value = item != nullptr ? PyTuple_GetItem(item, 1) : nullptr;
    if (name == nullptr || value == nullptr) return std::nullopt;
    auto attribute = to_str(name, "changes");
    if (!attribute) return std::nullopt;
    auto found = layout.attribute_positions.find(std::string(*attribute));
    if (found == layout.attribute_positions.end()) {
      new_dazi_error(
          ErrorKind::InvalidArgument,
          format_text("{} has no field {}", values::type_name(layout.cls.get()), *attribute));
      return std::nullopt;
    }
    const LayoutField& field = layout.fields[found->second];
    auto converted = values::value_by_layout_kind(field.kind, value);
    if (!converted) return std::nullopt;
    // A later entry for the same stored name wins.
    map.insert(field.stored_name, std::move(*converted));
  }
  return map;
}

const std::vector<Field>* fields_of(const ResolvedSchema* schema, std::string_view collection) {
  if (schema == nullptr) return nullptr;
  for (const Collection& c : schema->schema.collections)
    if (c.name == collection) return &c.fields;
  return nullptr;
}

Result<schema::CollectionRef> writable(WriteTxn& txn, std::string_view collection) {
  return schema::collection_by_name_write(txn, collection);
}

}  // namespace

std::optional<ChangeRequest> prepare_update(PyObject* args, PyObject* kwargs,
                                            const ResolvedSchema* schema) {
  PyObject* collection = nullptr;
  PyObject* layout_object = nullptr;
  PyObject* key_value = nullptr;
  PyObject* changes = nullptr;
  if (!parse_arguments(args, kwargs, "OOOO:update", update_arguments, &collection, &layout_object,
                       &key_value, &changes))
    return std::nullopt;
  auto name = to_str(collection, "collection");
  if (!name) return std::nullopt;
  const LayoutData* layout = nullptr;
  if (layout_object != Py_None) {
    layout = layout::layout_data(layout_object);
    if (layout == nullptr) return name_argument_in_error("layout"), std::nullopt;
  }
  if (!PyDict_Check(changes)) {
    PyErr_Format(PyExc_TypeError, "argument 'changes': expected a dict, not %s",
                 values::type_name(reinterpret_cast<PyObject*>(Py_TYPE(changes))).c_str());
    return std::nullopt;
  }
  auto key = values::key_from_python(key_value);
  if (!key) return std::nullopt;
  auto map = layout != nullptr ? changes_by_layout(*layout, changes)
                               : values::record_from_dict(changes, fields_of(schema, *name));
  if (!map) return std::nullopt;
  return ChangeRequest{*name, std::move(*key), std::move(*map)};
}

std::optional<ChangeRequest> prepare_delete(PyObject* args, PyObject* kwargs) {
  PyObject* collection = nullptr;
  PyObject* key_value = nullptr;
  if (!parse_arguments(args, kwargs, "OO:delete", delete_arguments, &collection, &key_value))
    return std::nullopt;
  auto name = to_str(collection, "collection");
  if (!name) return std::nullopt;
  auto key = values::key_from_python(key_value);
  if (!key) return std::nullopt;
  return ChangeRequest{*name, std::move(*key), ObjectMap()};
}

Result<bool> run_update(WriteTxn& txn, const ChangeRequest& request) {
  const schema::CollectionRef ref = DZ_TRY(writable(txn, request.collection));
  return objects::update(txn, ref, request.key, request.changes);
}

Result<bool> run_delete(WriteTxn& txn, const ChangeRequest& request) {
  const schema::CollectionRef ref = DZ_TRY(writable(txn, request.collection));
  return objects::remove(txn, ref, request.key);
}

}  // namespace deziro::binding::changing

namespace deziro::binding::transaction {
namespace {

using changing::ChangeRequest;

// Converts with the interpreter lock held; the change runs on the write
// transaction (or the migration's) without it, under the mutex.
template <typename Run>
PyObject* change_member(PyObject* self, std::optional<ChangeRequest> request, Run run) {
  if (!request) return nullptr;
  Result<bool> changed = on_writer(self, [&](WriteTxn& txn) { return run(txn, *request); });
  if (!changed) return raise_engine_error(changed.error());
  return PyBool_FromLong(*changed ? 1 : 0);
}

PyObject* update(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    const ResolvedSchema* schema = data_of(self).conversion_schema.get();
    return change_member(self, changing::prepare_update(args, kwargs, schema),
                         changing::run_update);
  });
}

PyObject* delete_object(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&] {
    return change_member(self, changing::prepare_delete(args, kwargs), changing::run_delete);
  });
}

PyMethodDef methods[] = {
    {"update", keywords_function(update), METH_VARARGS | METH_KEYWORDS,
     "update($self, collection, layout, key_value, changes)\n--\n\n"
     "Sets the fields `changes` has, by Python attribute, or by the names\n"
     "the file stores without a layout, in the object whose primary key is\n"
     "`key`, and says whether there was one."},
    {"delete", keywords_function(delete_object), METH_VARARGS | METH_KEYWORDS,
     "delete($self, collection, key_value)\n--\n\n"
     "Deletes the object whose primary key is `key`, and says whether there\n"
     "was one."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

const PyMethodDef* change_methods() { return methods; }

}  // namespace deziro::binding::transaction
