#include "transaction.hpp"

#include <utility>
#include <vector>

#include "arguments.hpp"
#include "call_frame.hpp"
#include "errors.hpp"
#include "heap_type.hpp"
#include "member_groups.hpp"
#include "native_object.hpp"

namespace deziro::binding::transaction {

namespace {

struct TransactionObject {
  PyObject_HEAD TransactionData* data;
};

TransactionObject* as_transaction(PyObject* object) {
  return reinterpret_cast<TransactionObject*>(object);
}

ProcessCell transaction_cell;

PyObject* new_transaction(State state, std::shared_ptr<const ResolvedSchema> resolved,
                          std::shared_ptr<const ResolvedSchema> conversion_schema) {
  PyObject* type = native_transaction_type();
  if (type == nullptr) return nullptr;
  auto data = std::make_unique<TransactionData>();
  data->state = std::move(state);
  data->resolved = std::move(resolved);
  data->conversion_schema = std::move(conversion_schema);
  PyObject* self = allocate_instance(reinterpret_cast<PyTypeObject*>(type));
  // On failure the state is dropped here: a write is aborted, as by `end`.
  if (self == nullptr) return nullptr;
  as_transaction(self)->data = data.release();
  return self;
}

// Dropped without `end`: the state goes as `end` would drop it (nothing is
// committed); no other thread can be inside a member, since each holds a
// reference. The data holds no Python object, so it goes with the
// interpreter lock released: when it held the file's last handle, closing
// the file may wait for the writer. In a forked child the data is left as it
// is: a thread of the parent may have been changing it, and what it holds
// belongs to the parent.
void transaction_dealloc(PyObject* self) {
  TransactionData* data = std::exchange(as_transaction(self)->data, nullptr);
  if (!in_forked_child(*data)) without_gil([&] { delete data; });
  free_instance(self);
}

// Drops a taken state: a snapshot ends its registration, a write or a
// migration is aborted and frees the writer. Interpreter lock released.
void drop_state(State&& state) { State dropped = std::move(state); }

PyObject* is_open(PyObject* self, void*) {
  return PyBool_FromLong(data_of(self).open.load() ? 1 : 0);
}

Status commit_state(State state, bool deferred) {
  if (std::holds_alternative<ReadTxn>(state)) {
    drop_state(std::move(state));
    return fail(Error::invalid_argument("a read transaction has nothing to commit"));
  }
  if (std::holds_alternative<MigrationState>(state)) {
    drop_state(std::move(state));
    return fail(Error::invalid_argument("a migration commits when it finishes"));
  }
  std::unique_ptr<WriteTxn> txn = std::move(std::get<std::unique_ptr<WriteTxn>>(state));
  return deferred ? txn->commit_deferred() : txn->commit();
}

const char* const deferred_argument[] = {"deferred", nullptr};

PyObject* commit(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* deferred_object = nullptr;
    if (!parse_arguments(args, kwargs, "O:commit", deferred_argument, &deferred_object)) {
      return nullptr;
    }
    auto deferred = to_bool(deferred_object, "deferred");
    if (!deferred) return nullptr;
    Result<State> taken = take_state(self);
    if (!taken) return raise_engine_error(taken.error());
    if (is_ended(*taken)) return raise_transaction_ended();
    Status committed = without_gil([&] { return commit_state(std::move(*taken), *deferred); });
    if (!committed) return raise_engine_error(committed.error());
    Py_RETURN_NONE;
  });
}

PyObject* end(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    TransactionData& data = data_of(self);
    // A forked child releases nothing of the parent's.
    if (in_forked_child(data)) {
      data.open = false;
      Py_RETURN_NONE;
    }
    without_gil([&] {
      State taken;
      {
        std::lock_guard lock(data.mutex);
        taken = std::exchange(data.state, Ended{});
        data.open = false;
      }
      drop_state(std::move(taken));
    });
    Py_RETURN_NONE;
  });
}

PyObject* without_schema(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    if (data_of(self).resolved) Py_RETURN_NONE;
    Status answer = with_state(self, [](State& state) -> Status {
      // A migration always has the schema it leads to.
      if (std::holds_alternative<MigrationState>(state)) return ok();
      auto found = find_collection(state, "");
      if (!found) return fail(std::move(found).error());
      return ok();
    });
    if (!answer) return raise_engine_error(answer.error());
    Py_RETURN_NONE;
  });
}

PyMethodDef core_methods[] = {
    {"commit", keywords_function(commit), METH_VARARGS | METH_KEYWORDS,
     "commit($self, deferred)\n--\n\n"
     "Commits a write transaction, waiting for the disk unless `deferred`."},
    {"end", end, METH_NOARGS,
     "end($self)\n--\n\n"
     "Ends the transaction without committing; ending an ended one does nothing."},
    {"without_schema", without_schema, METH_NOARGS,
     "without_schema($self)\n--\n\n"
     "Raises the engine's error for reaching a collection in a transaction of a\n"
     "database without a schema. Does nothing for a database with one."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef core_getset[] = {
    {"is_open", is_open, nullptr, "Whether the transaction has not committed or ended.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The member groups of the class; add a group from another file here.
const MethodGroup method_groups[] = {
    [] { return static_cast<const PyMethodDef*>(core_methods); },
    write_methods,
    read_methods,
    change_methods,
    migration_methods,
};
const GetSetGroup getset_groups[] = {
    [] { return static_cast<const PyGetSetDef*>(core_getset); },
    migration_getset,
};

std::vector<PyMethodDef> all_methods;
std::vector<PyGetSetDef> all_getset;

PyType_Slot transaction_slots[] = {
    {Py_tp_doc, const_cast<char*>("A transaction, until it commits or ends.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(transaction_dealloc)},
    {Py_tp_methods, nullptr},
    {Py_tp_getset, nullptr},
    {0, nullptr},
};

PyType_Spec transaction_spec = {
    "deziro._native.NativeTransaction",
    sizeof(TransactionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    transaction_slots,
};

}  // namespace

bool is_ended(const State& state) { return std::holds_alternative<Ended>(state); }

TreeAccess* tree_access(State& state) {
  if (auto* read = std::get_if<ReadTxn>(&state)) return read;
  return writer(state);
}

WriteTxn* writer(State& state) {
  if (auto* write = std::get_if<std::unique_ptr<WriteTxn>>(&state)) return write->get();
  if (auto* migration = std::get_if<MigrationState>(&state)) return migration->migration->txn.get();
  return nullptr;
}

Status check_open(State& state) {
  if (is_ended(state)) return fail(Error::closed());
  if (auto* read = std::get_if<ReadTxn>(&state)) return read->file().check_process();
  return writer(state)->file().check_process();
}

Status check_writable(State& state) {
  DZ_CHECK(check_open(state));
  if (std::holds_alternative<ReadTxn>(state)) {
    return fail(Error::invalid_argument("a read transaction does not write"));
  }
  return ok();
}

Result<CollectionRef> find_collection(State& state, std::string_view name) {
  DZ_CHECK(check_open(state));
  if (auto* read = std::get_if<ReadTxn>(&state))
    return deziro::schema::collection_by_name(*read, name);
  return deziro::schema::collection_by_name_write(*writer(state), name);
}

PyObject* native_transaction_type() {
  return transaction_cell.get([] {
    transaction_slots[2].pfunc = join_groups(method_groups, all_methods);
    transaction_slots[3].pfunc = join_groups(getset_groups, all_getset);
    return make_heap_type(transaction_spec);
  });
}

PyObject* new_read_transaction(ReadTxn txn, std::shared_ptr<const ResolvedSchema> resolved) {
  auto conversion = resolved;
  return new_transaction(State(std::move(txn)), std::move(resolved), std::move(conversion));
}

PyObject* new_write_transaction(std::unique_ptr<WriteTxn> txn,
                                std::shared_ptr<const ResolvedSchema> resolved) {
  auto conversion = resolved;
  return new_transaction(State(std::move(txn)), std::move(resolved), std::move(conversion));
}

PyObject* new_migration_transaction(std::shared_ptr<Instance> instance,
                                    std::unique_ptr<deziro::schema::Migration> migration) {
  auto target = migration->target;
  return new_transaction(State(MigrationState{std::move(instance), std::move(migration)}), nullptr,
                         std::move(target));
}

TransactionData& data_of(PyObject* self) { return *as_transaction(self)->data; }

Result<State> take_state(PyObject* self) {
  TransactionData& data = data_of(self);
  if (in_forked_child(data)) {
    data.open = false;
    return fail(Error::closed());
  }
  AllowThreads released;
  std::lock_guard lock(data.mutex);
  data.open = false;
  return std::exchange(data.state, Ended{});
}

std::nullptr_t raise_transaction_ended() {
  return new_dazi_error(ErrorKind::Closed, "the transaction has ended");
}

}  // namespace deziro::binding::transaction
