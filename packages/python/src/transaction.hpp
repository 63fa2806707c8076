// NativeTransaction: one read snapshot, the file's write transaction, or a
// migration under way, until it commits or ends.
//
// Every member runs in one frame: Python arguments are converted with the
// interpreter lock held; then the lock is released and the transaction's
// mutex taken for the whole engine call (`with_state` and the helpers on top
// of it); then the mutex is let go, the lock taken back, and the results
// built or the error raised. No Python object is touched in between, and no
// thread waits for the interpreter lock while it holds the mutex, which is
// why the members may wait for it.
//
// In a process forked from the one that made the transaction, the mutex may
// have been held by a thread that the fork left behind: it will never be
// let go, and the state it guards may be half changed. There every member
// answers at once, from the fork generation recorded at the start, without
// taking the mutex or touching the state.
//
// Members live in several files: each file defines a group of members (a
// PyMethodDef or PyGetSetDef array ended by a null entry) and the group is
// listed once in transaction.cpp.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>
#include <utility>
#include <variant>

#include "error.hpp"
#include "fork_generation.hpp"
#include "gil.hpp"
#include "python.hpp"
#include "schema/objects.hpp"
#include "schema/open.hpp"
#include "schema/resolved_schema.hpp"
#include "schema/stage.hpp"
#include "txn/read_txn.hpp"
#include "txn/write_txn.hpp"

namespace deziro::binding::transaction {

// The states. A state leaves Read, Write or Migration only for Ended, and
// Ended is final; every ReadTxn and WriteTxn holds its own Instance handle,
// so a transaction outlives the closing of its database handle.
struct Ended {};
struct MigrationState {
  std::shared_ptr<Instance> instance;
  // Its `txn` is the migration's write transaction.
  std::unique_ptr<deziro::schema::Migration> migration;
};
using State = std::variant<Ended, ReadTxn, std::unique_ptr<WriteTxn>, MigrationState>;

bool is_ended(const State& state);
// The transaction that engine work reads through: the snapshot, the write
// transaction, or the migration's; null when Ended.
TreeAccess* tree_access(State& state);
// The write transaction of Write or of Migration; null in Read and Ended.
WriteTxn* writer(State& state);

// CLOSED "the database has been closed" when Ended, or in a process forked
// from the one that began the transaction; else nothing.
Status check_open(State& state);

// As check_open, then INVALID_ARGUMENT "a read transaction does not write"
// in Read.
Status check_writable(State& state);

// The collection called `name` in the state's transaction: the snapshot's
// lookup in Read, the write transaction's in Write and Migration; CLOSED when
// Ended or after a fork. Called inside `with_state`.
Result<CollectionRef> find_collection(State& state, std::string_view name);

// The class (borrowed), made on first use.
PyObject* native_transaction_type();

// New transaction objects (interpreter lock held). `resolved` is the
// database handle's resolved schema, null when it has no usable one.
PyObject* new_read_transaction(ReadTxn txn, std::shared_ptr<const ResolvedSchema> resolved);
PyObject* new_write_transaction(std::unique_ptr<WriteTxn> txn,
                                std::shared_ptr<const ResolvedSchema> resolved);
// A migration carries no resolved-schema handle; its dict conversions use
// the schema it leads to.
PyObject* new_migration_transaction(std::shared_ptr<Instance> instance,
                                    std::unique_ptr<deziro::schema::Migration> migration);

struct TransactionData {
  // Guards `state`; taken only with the interpreter lock released, and
  // never held while waiting for the interpreter lock.
  std::mutex mutex;
  State state;
  // False once `state` is Ended, or once this process, forked from the one
  // that made the transaction, has ended it as far as it can (`end`, or a
  // refused `commit` or `finish`); read without the mutex.
  std::atomic<bool> open{true};
  // The process that made the transaction, as its fork generation.
  const std::uint64_t generation = fork_generation::current();
  // The database handle's resolved schema, or null; never changes.
  std::shared_ptr<const ResolvedSchema> resolved;
  // The schema whose field kinds convert dicts: `resolved`, or in a
  // migration the schema it leads to; never changes.
  std::shared_ptr<const ResolvedSchema> conversion_schema;
};

// The data of a NativeTransaction (`self` as the members receive it).
TransactionData& data_of(PyObject* self);

// Whether this process was forked from the one that made the transaction:
// its mutex and state must not be touched.
inline bool in_forked_child(const TransactionData& data) {
  return fork_generation::current() != data.generation;
}

// Runs `work(State&)` with the interpreter lock released and the mutex
// held, and returns its result once both are back as they were. `work` must
// not touch Python objects. In a forked child: CLOSED "the database has
// been closed" at once, `work` not run.
template <typename Work>
auto with_state(PyObject* self, Work&& work) -> std::invoke_result_t<Work&&, State&> {
  TransactionData& data = data_of(self);
  if (in_forked_child(data)) return fail(Error::closed());
  AllowThreads released;
  std::lock_guard lock(data.mutex);
  return std::forward<Work>(work)(data.state);
}

// `work(TreeAccess&, State&)` on the state's transaction; CLOSED "the
// database has been closed" when Ended or after a fork.
template <typename Work>
auto on_access(PyObject* self, Work&& work) -> std::invoke_result_t<Work&&, TreeAccess&, State&> {
  return with_state(self, [&](State& state) -> std::invoke_result_t<Work&&, TreeAccess&, State&> {
    if (Status open = check_open(state); !open) return fail(std::move(open).error());
    return std::forward<Work>(work)(*tree_access(state), state);
  });
}

// `work(WriteTxn&)` on the write transaction of Write or Migration; CLOSED
// when Ended or after a fork, INVALID_ARGUMENT "a read transaction does not write" in Read.
template <typename Work>
auto on_writer(PyObject* self, Work&& work) -> std::invoke_result_t<Work&&, WriteTxn&> {
  return with_state(self, [&](State& state) -> std::invoke_result_t<Work&&, WriteTxn&> {
    if (Status usable = check_writable(state); !usable) return fail(std::move(usable).error());
    return std::forward<Work>(work)(*writer(state));
  });
}

// Moves the state out and marks the object Ended, with the interpreter lock
// released around the mutex; Ended when it was so already. How `commit` and
// a migration's `finish` begin; the caller drops or finishes the taken
// state, with the interpreter lock released for any engine work. In a
// forked child: CLOSED "the database has been closed", the state left where
// it is and the object no longer open.
Result<State> take_state(PyObject* self);

// CLOSED "the transaction has ended": `commit` or `finish` of an Ended one.
std::nullptr_t raise_transaction_ended();

// Member groups defined in other files, listed in transaction.cpp.
const PyMethodDef* write_methods();
const PyMethodDef* read_methods();
const PyMethodDef* change_methods();
const PyMethodDef* migration_methods();
const PyGetSetDef* migration_getset();

}  // namespace deziro::binding::transaction
