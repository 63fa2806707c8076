// NativeDatabase: one open handle of a database file, until it is closed.
// It holds shared handles to the file's Instance and to the schema in use;
// `close` takes them out, and transactions the handle began keep their own.
//
// The handle's mutex is taken only with the interpreter lock held, and only
// to clone or take the handles (`handles`); engine work runs on the clones
// with the interpreter lock released. Like NativeTransaction, the class's
// members come in groups from several files, listed in database.cpp.
#pragma once

#include <memory>
#include <optional>

#include "instance.hpp"
#include "python.hpp"
#include "schema/resolved_schema.hpp"

namespace deziro::binding::database {

// The class (borrowed), made on first use.
PyObject* native_database_type();

// A new NativeDatabase over an open file and the schema it works with
// (null for none). Interpreter lock held.
PyObject* new_database(std::shared_ptr<Instance> instance,
                       std::shared_ptr<const ResolvedSchema> schema);

// Clones of a handle's shared handles, for one call's engine work. Drop
// them with the interpreter lock held: the last handle of a file closes it.
struct Handles {
  std::shared_ptr<Instance> instance;
  // The schema in use, null when the handle has none.
  std::shared_ptr<const ResolvedSchema> schema;
};

// The handles of an open NativeDatabase; CLOSED "the database is closed"
// (raised, nothing returned) once it was closed.
std::optional<Handles> handles(PyObject* self);

// The resolved-schema handle that transactions of this database get: the
// schema when its collections could be told by name, else null. Never
// changes, also not by `close`.
const std::shared_ptr<const ResolvedSchema>& resolved_schema(PyObject* self);

// The group of `compact` and `backup` (maintenance_copy.cpp).
const PyMethodDef* compact_and_backup_methods();

// The module function `open`, for the module's exec step.
PyMethodDef& open_definition();

}  // namespace deziro::binding::database
