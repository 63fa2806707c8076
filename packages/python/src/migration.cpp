#include "migration.hpp"

#include "arguments.hpp"
#include "py_ref.hpp"
#include "values.hpp"

namespace deziro::binding::migrating {
namespace {

const char* const previous_arguments[] = {"collection", "key_value", nullptr};
const char* const previous_keys_arguments[] = {"collection", nullptr};

}  // namespace

std::optional<PreviousRequest> prepare_previous(PyObject* args, PyObject* kwargs) {
  PyObject* collection = nullptr;
  PyObject* key_value = nullptr;
  if (!parse_arguments(args, kwargs, "OO:previous", previous_arguments, &collection, &key_value))
    return std::nullopt;
  auto name = to_str(collection, "collection");
  if (!name) return std::nullopt;
  auto key = values::key_from_python(key_value);
  if (!key) return std::nullopt;
  return PreviousRequest{*name, std::move(key)};
}

std::optional<PreviousRequest> prepare_previous_keys(PyObject* args, PyObject* kwargs) {
  PyObject* collection = nullptr;
  if (!parse_arguments(args, kwargs, "O:previous_keys", previous_keys_arguments, &collection))
    return std::nullopt;
  auto name = to_str(collection, "collection");
  if (!name) return std::nullopt;
  return PreviousRequest{*name, std::nullopt};
}

PyObject* build_previous(const std::optional<ObjectMap>& object) {
  if (!object) Py_RETURN_NONE;
  return values::record_to_dict(*object);
}

PyObject* build_keys(const std::vector<Value>& keys) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(keys.size())));
  if (!list) return nullptr;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    PyObject* item = values::value_to_python(keys[i]);
    if (item == nullptr) return nullptr;
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
  }
  return list.release();
}

PyObject* build_step(const std::optional<std::uint64_t>& version) {
  if (!version) Py_RETURN_NONE;
  return PyLong_FromUnsignedLongLong(*version);
}

}  // namespace deziro::binding::migrating
