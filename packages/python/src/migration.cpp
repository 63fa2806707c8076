#include "migration.hpp"

#include "arguments.hpp"
#include "call_frame.hpp"
#include "errors.hpp"
#include "native_database.hpp"
#include "py_ref.hpp"
#include "transaction.hpp"
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

namespace deziro::binding::transaction {
namespace {

using deziro::schema::Migration;

Error not_a_migration() { return Error::invalid_argument("the transaction is not a migration's"); }

// `work(Migration&)` under the mutex with the interpreter lock released:
// CLOSED when Ended or in a forked child, "the transaction is not a
// migration's" in Read and Write.
template <typename Work>
auto on_migration(PyObject* self, Work&& work) -> std::invoke_result_t<Work&&, Migration&> {
  return with_state(self, [&](State& state) -> std::invoke_result_t<Work&&, Migration&> {
    if (is_ended(state)) return fail(Error::closed());
    auto* migrating = std::get_if<MigrationState>(&state);
    if (migrating == nullptr) return fail(not_a_migration());
    return std::forward<Work>(work)(*migrating->migration);
  });
}

PyObject* version_of(PyObject* self, bool previous) {
  return guarded([&]() -> PyObject* {
    Result<std::uint64_t> version = on_migration(self, [&](Migration& m) -> Result<std::uint64_t> {
      return previous ? m.previous.version : m.target->schema.version;
    });
    if (!version) return raise_engine_error(version.error());
    return PyLong_FromUnsignedLongLong(*version);
  });
}

PyObject* version(PyObject* self, void*) { return version_of(self, false); }
PyObject* previous_version(PyObject* self, void*) { return version_of(self, true); }

PyObject* next_step(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    auto taken = on_migration(self, [](Migration& m) { return m.next_step(); });
    if (!taken) return raise_engine_error(taken.error());
    return migrating::build_step(*taken);
  });
}

PyObject* previous(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    auto request = migrating::prepare_previous(args, kwargs);
    if (!request) return nullptr;
    auto found = on_migration(
        self, [&](Migration& m) { return m.previous_object(request->collection, *request->key); });
    if (!found) return raise_engine_error(found.error());
    return migrating::build_previous(*found);
  });
}

PyObject* previous_keys(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    auto request = migrating::prepare_previous_keys(args, kwargs);
    if (!request) return nullptr;
    auto keys =
        on_migration(self, [&](Migration& m) { return m.previous_keys(request->collection); });
    if (!keys) return raise_engine_error(keys.error());
    return migrating::build_keys(*keys);
  });
}

PyObject* finish(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    Result<State> taken = take_state(self);
    if (!taken) return raise_engine_error(taken.error());
    if (is_ended(*taken)) return raise_transaction_ended();
    std::shared_ptr<Instance> instance;
    std::shared_ptr<const ResolvedSchema> target;
    Status finished = without_gil([&]() -> Status {
      // Whatever happens, the taken state is dropped here, without the
      // interpreter lock: a snapshot ends, a write is aborted.
      State state = std::move(*taken);
      auto* migrating = std::get_if<MigrationState>(&state);
      if (migrating == nullptr) return fail(not_a_migration());
      DZ_CHECK(migrating->migration->finish());
      instance = std::move(migrating->instance);
      target = migrating->migration->target;
      return ok();
    });
    if (!finished) return raise_engine_error(finished.error());
    return database::new_database(std::move(instance), std::move(target));
  });
}

PyMethodDef methods[] = {
    {"next_step", next_step, METH_NOARGS,
     "next_step($self)\n--\n\n"
     "Runs the engine's part of the next version step and returns its\n"
     "version, or `None` once every step has run."},
    {"previous", keywords_function(previous), METH_VARARGS | METH_KEYWORDS,
     "previous($self, collection, key_value)\n--\n\n"
     "The object of `collection` whose primary key is `key` as the schema\n"
     "before the migration stored it: a dict by the names it stores, or `None`."},
    {"previous_keys", keywords_function(previous_keys), METH_VARARGS | METH_KEYWORDS,
     "previous_keys($self, collection)\n--\n\n"
     "The primary keys of every object of `collection`, as the schema before\n"
     "the migration names it, in key order."},
    {"finish", finish, METH_NOARGS,
     "finish($self)\n--\n\n"
     "Runs the steps left, commits the migration and returns the database."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef getset[] = {
    {"version", version, nullptr, "The schema version the migration leads to.", nullptr},
    {"previous_version", previous_version, nullptr,
     "The schema version the file held before the migration.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

const PyMethodDef* migration_methods() { return methods; }
const PyGetSetDef* migration_getset() { return getset; }

}  // namespace deziro::binding::transaction
