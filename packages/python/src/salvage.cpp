// The module function `salvage`: its arguments converted with the
// interpreter lock held, the whole rescue without it, and the dict of its
// figures built once the lock is back.
#include "salvage.hpp"

#include "arguments.hpp"
#include "call_frame.hpp"
#include "errors.hpp"
#include "gil.hpp"
#include "maintenance.hpp"
#include "open_arguments.hpp"
#include "py_ref.hpp"
#include "tools/salvage.hpp"

namespace deziro::binding::salvage {

namespace {

const char* const salvage_arguments[] = {"source",   "target",       "key",
                                         "password", "busy_timeout", nullptr};

// The options of a salvage: open's defaults with the credential and the
// busy timeout given; zeroed with the options.
std::optional<OpenOptions> options_from_python(PyObject* key, PyObject* password,
                                               PyObject* busy_timeout) {
  OpenOptions options;
  if (!is_absent(key)) {
    std::optional<Key32> bytes = options::extract_key(key);
    if (!bytes) return std::nullopt;
    options.credential = Credential::key(std::move(*bytes));
  }
  if (!is_absent(password)) {
    std::optional<SecretBytes> bytes = options::extract_password(password);
    if (!bytes) return std::nullopt;
    options.credential = Credential::password(std::move(*bytes));
  }
  if (!is_absent(busy_timeout)) {
    auto seconds = to_f64(busy_timeout, "busy_timeout");
    if (!seconds) return std::nullopt;
    auto timeout = options::timeout_from_seconds(*seconds);
    if (!timeout) return std::nullopt;
    options.busy_timeout = *timeout;
  }
  return options;
}

PyObject* report_dict(const deziro::salvage::SalvageReport& report) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  PyRef whole = PyRef::steal(PyBool_FromLong(report.whole()));
  if (!whole || PyDict_SetItemString(dict.get(), "whole", whole.get()) < 0) return nullptr;
  using database::dict_set_int;
  PyObject* d = dict.get();
  const bool made = database::dict_set_optional_int(d, "commit_id", report.commit_id) &&
                    dict_set_int(d, "pages_scanned", report.pages_scanned) &&
                    dict_set_int(d, "pages_damaged", report.pages_damaged) &&
                    dict_set_int(d, "pages_unread", report.pages_unread) &&
                    dict_set_int(d, "entries_recovered", report.entries_recovered) &&
                    dict_set_int(d, "values_lost", report.values_lost) &&
                    dict_set_int(d, "objects_dropped", report.objects_dropped) &&
                    dict_set_int(d, "trees", report.trees) &&
                    dict_set_int(d, "entries", report.entries) &&
                    dict_set_int(d, "bytes", report.bytes);
  return made ? dict.release() : nullptr;
}

PyObject* salvage(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* source_object = nullptr;
    PyObject* target_object = nullptr;
    PyObject* key = nullptr;
    PyObject* password = nullptr;
    PyObject* busy_timeout = nullptr;
    if (!parse_arguments(args, kwargs, "OO|$OOO:salvage", salvage_arguments, &source_object,
                         &target_object, &key, &password, &busy_timeout)) {
      return nullptr;
    }
    // Before anything else is converted or looked at.
    if (!is_absent(key) && !is_absent(password))
      return new_dazi_error(ErrorKind::InvalidArgument, "give a key or a password, not both");
    auto source = options::file_path_from_python(source_object);
    if (!source) return nullptr;
    auto target = options::file_path_from_python(target_object);
    if (!target) return nullptr;
    std::optional<OpenOptions> options = options_from_python(key, password, busy_timeout);
    if (!options) return nullptr;
    auto report = without_gil([&] {
      auto result = deziro::salvage::salvage(*source, *target, *options);
      // The secret goes now, not when the call returns.
      options.reset();
      return result;
    });
    if (!report) return raise_engine_error(report.error());
    return report_dict(*report);
  });
}

PyMethodDef salvage_method = {
    "salvage", keywords_function(salvage), METH_VARARGS | METH_KEYWORDS,
    "salvage(source, target, *, key=None, password=None, busy_timeout=None)\n--\n\n"
    "Rescues what it can of the damaged database at `source` into a new one at\n`target`."};

}  // namespace

PyMethodDef& salvage_definition() { return salvage_method; }

}  // namespace deziro::binding::salvage
