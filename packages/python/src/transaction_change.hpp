// The members of NativeTransaction that change stored objects by primary
// key: update and delete. Arguments are converted with the interpreter lock
// held (prepare_*); the engine work runs with it released and the
// transaction's mutex held (run_*), on a write transaction or a migration's.
#pragma once

#include <optional>
#include <string_view>

#include "error.hpp"
#include "format/object/value.hpp"
#include "python.hpp"
#include "schema/resolved_schema.hpp"

namespace deziro {
class WriteTxn;
}

namespace deziro::binding::changing {

struct ChangeRequest {
  // Borrows the call's argument.
  std::string_view collection;
  Value key;
  // update: stored field name to its new value.
  ObjectMap changes;
};

// `schema` is the one the transaction writes by (the handle's, or the
// target of a migration): without a layout, the values of `changes` take
// the kinds of the collection's fields there. Nothing with the exception
// set.
std::optional<ChangeRequest> prepare_update(PyObject* args, PyObject* kwargs,
                                            const ResolvedSchema* schema);
std::optional<ChangeRequest> prepare_delete(PyObject* args, PyObject* kwargs);

// Whether the collection held an object with the key.
Result<bool> run_update(WriteTxn& txn, const ChangeRequest& request);
Result<bool> run_delete(WriteTxn& txn, const ChangeRequest& request);

}  // namespace deziro::binding::changing
