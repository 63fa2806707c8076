#include "native_database.hpp"

#include <mutex>
#include <utility>
#include <vector>

#include "arguments.hpp"
#include "call_frame.hpp"
#include "errors.hpp"
#include "format_upgrade.hpp"
#include "gil.hpp"
#include "heap_type.hpp"
#include "key_change.hpp"
#include "maintenance.hpp"
#include "member_groups.hpp"
#include "native_object.hpp"
#include "open_arguments.hpp"
#include "schema.hpp"
#include "schema/open.hpp"
#include "schema/resolve.hpp"
#include "transaction.hpp"
#include "txn/read_txn.hpp"
#include "txn/write_txn.hpp"

namespace deziro::binding::database {

namespace {

struct DatabaseData {
  // Guards `instance` and `schema`, which leave together at `close`.
  std::mutex mutex;
  std::shared_ptr<Instance> instance;
  std::shared_ptr<const ResolvedSchema> schema;
  // Set once when the handle is made.
  std::shared_ptr<const ResolvedSchema> resolved;
  std::optional<DeclaredSchema> declared_view;
};

struct DatabaseObject {
  PyObject_HEAD DatabaseData* data;
};

DatabaseData& data_of(PyObject* self) { return *reinterpret_cast<DatabaseObject*>(self)->data; }

ProcessCell database_cell;

// Freed without `close`: the handles go without a sync; the last handle of
// the file closes it (Instance's close publishes a pending deferred commit
// if it can, which may wait for the writer). The data holds no Python
// object, so it goes with the interpreter lock released.
void database_dealloc(PyObject* self) {
  auto* object = reinterpret_cast<DatabaseObject*>(self);
  DatabaseData* data = std::exchange(object->data, nullptr);
  without_gil([&] { delete data; });
  free_instance(self);
}

// Raises an engine error, or returns None.
PyObject* none_or_raise(const Status& status) {
  if (!status) return raise_engine_error(status.error());
  Py_RETURN_NONE;
}

// --------------------------------------------------------------- getters

PyObject* is_open(PyObject* self, void*) {
  return guarded([&] {
    DatabaseData& data = data_of(self);
    std::lock_guard lock(data.mutex);
    return PyBool_FromLong(data.instance ? 1 : 0);
  });
}

template <typename Read>
PyObject* instance_getter(PyObject* self, Read&& read) {
  return guarded([&]() -> PyObject* {
    auto held = handles(self);
    if (!held) return nullptr;
    return read(*held->instance);
  });
}

PyObject* page_size(PyObject* self, void*) {
  return instance_getter(self, [](Instance& i) { return PyLong_FromUnsignedLong(i.page_size()); });
}

PyObject* format_version(PyObject* self, void*) {
  return instance_getter(self,
                         [](Instance& i) { return PyLong_FromUnsignedLong(i.format_version()); });
}

PyObject* is_encrypted(PyObject* self, void*) {
  return instance_getter(self, [](Instance& i) { return PyBool_FromLong(i.encrypted() ? 1 : 0); });
}

PyObject* stored_schema(PyObject* self, void*) {
  return guarded([&]() -> PyObject* {
    if (!handles(self)) return nullptr;
    const auto& view = data_of(self).declared_view;
    if (!view) Py_RETURN_NONE;
    return schema::stored_schema_to_python(*view);
  });
}

// --------------------------------------------------------------- methods

// A transaction of `begin(instance, schema)`, made into a NativeTransaction
// by `make(txn, resolved schema)`.
template <typename Begin, typename Make>
PyObject* begin_transaction(PyObject* self, Begin&& begin, Make&& make) {
  return guarded([&]() -> PyObject* {
    auto held = handles(self);
    if (!held) return nullptr;
    auto txn = without_gil([&] { return begin(held->instance, held->schema); });
    if (!txn) return raise_engine_error(txn.error());
    return make(std::move(*txn), resolved_schema(self));
  });
}

PyObject* begin_read(PyObject* self, PyObject*) {
  return begin_transaction(
      self, [](const auto& i, const auto& s) { return Instance::begin_read(i, s); },
      transaction::new_read_transaction);
}

PyObject* begin_write(PyObject* self, PyObject*) {
  return begin_transaction(
      self, [](const auto& i, const auto& s) { return WriteTxn::begin(i, s); },
      transaction::new_write_transaction);
}

PyObject* sync(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    auto held = handles(self);
    if (!held) return nullptr;
    return none_or_raise(without_gil([&] { return held->instance->sync(); }));
  });
}

PyObject* close(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    DatabaseData& data = data_of(self);
    std::shared_ptr<Instance> instance;
    {
      std::lock_guard lock(data.mutex);
      instance = data.instance;
    }
    if (!instance) Py_RETURN_NONE;
    // This process's deferred commits are made durable before the handle
    // closes: a close that cannot do so raises and leaves the handle open.
    // Two failures close it all the same, as nothing later could mend them:
    // a failed instance (only closing every handle of the file gets past
    // it) and a forked child (whose handles are the parent's).
    Status synced = without_gil([&]() -> Status {
      Status s = instance->check_process();
      if (s && instance->own_commit_pending()) s = instance->sync();
      if (!s && s.error().kind() != ErrorKind::SyncFailed && s.error().kind() != ErrorKind::Closed)
        instance.reset();
      return s;
    });
    if (!synced && instance == nullptr) return raise_engine_error(synced.error());
    Handles taken;
    {
      std::lock_guard lock(data.mutex);
      taken.instance = std::move(data.instance);
      taken.schema = std::move(data.schema);
    }
    // The handles go inside, so that closing the file (when they were its
    // last) runs without the interpreter lock.
    without_gil([&] {
      instance.reset();
      taken.schema.reset();
      taken.instance.reset();
    });
    return none_or_raise(synced);
  });
}

const char* const key_argument[] = {"key", nullptr};
const char* const password_argument[] = {"password", nullptr};

PyObject* set_key(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* key_object = nullptr;
    if (!parse_arguments(args, kwargs, "O:set_key", key_argument, &key_object)) return nullptr;
    std::optional<Key32> key = options::extract_key(key_object);
    if (!key) return nullptr;
    auto held = handles(self);
    if (!held) return nullptr;
    return none_or_raise(without_gil([&] {
      Credential secret = Credential::key(std::move(*key));
      return keys::set_secret(held->instance, held->schema, secret);
    }));
  });
}

PyObject* set_password(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* password_object = nullptr;
    if (!parse_arguments(args, kwargs, "O:set_password", password_argument, &password_object)) {
      return nullptr;
    }
    std::optional<SecretBytes> password = options::extract_password(password_object);
    if (!password) return nullptr;
    auto held = handles(self);
    if (!held) return nullptr;
    return none_or_raise(without_gil([&]() -> Status {
      if (password->empty()) return fail(Error::invalid_argument("the password is empty"));
      Credential secret = Credential::password(std::move(*password));
      return keys::set_secret(held->instance, held->schema, secret);
    }));
  });
}

PyObject* upgrade_format(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    auto held = handles(self);
    if (!held) return nullptr;
    auto raised = without_gil([&] { return deziro::upgrade_format(*held->instance); });
    if (!raised) return raise_engine_error(raised.error());
    return PyBool_FromLong(*raised ? 1 : 0);
  });
}

PyObject* without_schema(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    auto held = handles(self);
    if (!held) return nullptr;
    return none_or_raise(without_gil([&]() -> Status {
      if (held->schema) return ok();
      ReadTxn snapshot = DZ_TRY(Instance::begin_read(held->instance, nullptr));
      auto found = deziro::schema::collection_by_name(snapshot, "");
      if (!found) return fail(std::move(found).error());
      return ok();
    }));
  });
}

PyMethodDef core_methods[] = {
    {"begin_read", begin_read, METH_NOARGS, "begin_read($self)\n--\n\nBegins a read transaction."},
    {"begin_write", begin_write, METH_NOARGS,
     "begin_write($self)\n--\n\nBegins the write transaction, waiting for the one running."},
    {"without_schema", without_schema, METH_NOARGS,
     "without_schema($self)\n--\n\n"
     "Raises the engine's error for reaching a collection of a database\n"
     "without a schema: the file holds none, the one it holds does not\n"
     "read, or it stored one after the database opened. Does nothing for a\n"
     "database with a schema."},
    {"sync", sync, METH_NOARGS, "sync($self)\n--\n\nMakes every commit durable."},
    {"upgrade_format", upgrade_format, METH_NOARGS,
     "upgrade_format($self)\n--\n\n"
     "Raises the file's format version to the newest, and says whether it\n"
     "was older. No other process may have the file open meanwhile."},
    {"set_key", keywords_function(set_key), METH_VARARGS | METH_KEYWORDS,
     "set_key($self, key)\n--\n\nChanges the key of an encrypted database."},
    {"set_password", keywords_function(set_password), METH_VARARGS | METH_KEYWORDS,
     "set_password($self, password)\n--\n\n"
     "Changes the key of an encrypted database to one derived from\n`password`."},
    {"close", close, METH_NOARGS,
     "close($self)\n--\n\n"
     "Makes deferred commits durable and closes this handle. Closing one\n"
     "that is closed does nothing; its transactions stay usable."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef core_getset[] = {
    {"is_open", is_open, nullptr, "Whether `close` has not been called.", nullptr},
    {"page_size", page_size, nullptr, nullptr, nullptr},
    {"format_version", format_version, nullptr, nullptr, nullptr},
    {"is_encrypted", is_encrypted, nullptr, nullptr, nullptr},
    {"stored_schema", stored_schema, nullptr,
     "The schema the database works with, the declared one or the file's,\n"
     "as dicts; None without one.",
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The member groups of the class; add a group from another file here.
const MethodGroup method_groups[] = {
    [] { return static_cast<const PyMethodDef*>(core_methods); },
    maintenance_methods,
    compact_and_backup_methods,
};
const GetSetGroup getset_groups[] = {
    [] { return static_cast<const PyGetSetDef*>(core_getset); },
};

std::vector<PyMethodDef> all_methods;
std::vector<PyGetSetDef> all_getset;

PyType_Slot database_slots[] = {
    {Py_tp_doc, const_cast<char*>("An open database, until it is closed.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(database_dealloc)},
    {Py_tp_methods, nullptr},
    {Py_tp_getset, nullptr},
    {0, nullptr},
};

PyType_Spec database_spec = {
    "deziro._native.NativeDatabase",
    sizeof(DatabaseObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    database_slots,
};

}  // namespace

PyObject* native_database_type() {
  return database_cell.get([] {
    database_slots[2].pfunc = join_groups(method_groups, all_methods);
    database_slots[3].pfunc = join_groups(getset_groups, all_getset);
    return make_heap_type(database_spec);
  });
}

PyObject* new_database(std::shared_ptr<Instance> instance,
                       std::shared_ptr<const ResolvedSchema> schema) {
  PyObject* type = native_database_type();
  if (type == nullptr) return nullptr;
  auto data = std::make_unique<DatabaseData>();
  if (schema) {
    // A schema that cannot be told by names leaves the handle without a
    // resolved schema; reaching a collection then raises the engine's error.
    if (auto view = resolve::resolve_collections(schema->schema)) {
      data->declared_view = std::move(*view);
      data->resolved = schema;
    }
  }
  data->instance = std::move(instance);
  data->schema = std::move(schema);
  PyObject* self = allocate_instance(reinterpret_cast<PyTypeObject*>(type));
  if (self == nullptr) return nullptr;
  reinterpret_cast<DatabaseObject*>(self)->data = data.release();
  return self;
}

std::optional<Handles> handles(PyObject* self) {
  DatabaseData& data = data_of(self);
  Handles held;
  {
    std::lock_guard lock(data.mutex);
    held.instance = data.instance;
    held.schema = data.schema;
  }
  if (!held.instance) {
    new_dazi_error(ErrorKind::Closed, "the database is closed");
    return std::nullopt;
  }
  return held;
}

const std::shared_ptr<const ResolvedSchema>& resolved_schema(PyObject* self) {
  return data_of(self).resolved;
}

}  // namespace deziro::binding::database
