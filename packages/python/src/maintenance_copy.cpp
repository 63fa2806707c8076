// NativeDatabase's compact and backup: each takes the handle's shared
// handles, runs its engine operation with the interpreter lock released,
// and builds its dict of figures once the lock is back.
#include <cstdint>
#include <initializer_list>
#include <utility>

#include "arguments.hpp"
#include "call_frame.hpp"
#include "errors.hpp"
#include "gil.hpp"
#include "maintenance.hpp"
#include "native_database.hpp"
#include "open_arguments.hpp"
#include "py_ref.hpp"
#include "tools/backup.hpp"
#include "tools/compact.hpp"

namespace deziro::binding::database {

namespace {

// A dict of the figures, in the order given.
PyObject* figures_dict(std::initializer_list<std::pair<const char*, std::uint64_t>> figures) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  for (auto [key, value] : figures)
    if (!dict_set_int(dict.get(), key, value)) return nullptr;
  return dict.release();
}

PyObject* compact(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    auto held = handles(self);
    if (!held) return nullptr;
    auto figures = without_gil([&] { return repack::compact(held->instance, held->schema); });
    if (!figures) return raise_engine_error(figures.error());
    return figures_dict({{"bytes_before", figures->bytes_before},
                         {"bytes_after", figures->bytes_after},
                         {"pages_moved", figures->pages_moved}});
  });
}

const char* const backup_arguments[] = {"path", "key", "password", "password_hashing", nullptr};

PyObject* backup(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* path_object = nullptr;
    PyObject* key = nullptr;
    PyObject* password = nullptr;
    PyObject* hashing = nullptr;
    if (!parse_arguments(args, kwargs, "O|OOO:backup", backup_arguments, &path_object, &key,
                         &password, &hashing)) {
      return nullptr;
    }
    auto path = options::file_path_from_python(path_object);
    if (!path) return nullptr;
    backup::BackupOptions options;
    if (!is_absent(hashing)) {
      auto parameters = options::hashing_from_python(hashing);
      if (!parameters) return nullptr;
      options.password_hashing = *parameters;
    }
    if (!is_absent(key) && !is_absent(password))
      return new_dazi_error(ErrorKind::InvalidArgument, "give a key or a password, not both");
    if (!is_absent(key)) {
      std::optional<Key32> bytes = options::extract_key(key);
      if (!bytes) return nullptr;
      options.credential = Credential::key(std::move(*bytes));
    }
    if (!is_absent(password)) {
      std::optional<SecretBytes> bytes = options::extract_password(password);
      if (!bytes) return nullptr;
      options.credential = Credential::password(std::move(*bytes));
    }
    auto held = handles(self);
    if (!held) return nullptr;
    auto figures = without_gil([&] { return backup::backup(held->instance, *path, options); });
    if (!figures) return raise_engine_error(figures.error());
    return figures_dict({{"commit_id", figures->commit_id},
                         {"trees", figures->trees},
                         {"entries", figures->entries},
                         {"bytes", figures->bytes}});
  });
}

PyMethodDef copy_methods[] = {
    {"compact", compact, METH_NOARGS,
     "compact($self)\n--\n\n"
     "Makes the file smaller in place. Returns a dict with `bytes_before`,\n"
     "`bytes_after` and `pages_moved`."},
    {"backup", keywords_function(backup), METH_VARARGS | METH_KEYWORDS,
     "backup($self, path, key=None, password=None, password_hashing=None)\n--\n\n"
     "Copies the published commit into a new file at `path`, under a new\n"
     "key or password when one is given; never replaces anything there.\n"
     "Returns a dict with `commit_id`, `trees`, `entries` and `bytes`."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

const PyMethodDef* compact_and_backup_methods() { return copy_methods; }

}  // namespace deziro::binding::database
