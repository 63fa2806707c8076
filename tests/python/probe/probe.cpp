// Test-only module: each function exercises one piece of the binding's
// machinery so that pytest can check what Python sees.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <mutex>
#include <new>
#include <stdexcept>
#include <string>

#include "arguments.hpp"
#include "call_frame.hpp"
#include "errors.hpp"
#include "gil.hpp"
#include "heap_type.hpp"
#include "py_ref.hpp"
#include "transaction.hpp"

namespace deziro::binding {
namespace {

// An engine error of kind `kind` whose path and message are `text`.
Error sample_error(int kind, const std::string& text) {
  switch (static_cast<ErrorKind>(kind)) {
    case ErrorKind::Io:
      return Error::io(text, "Permission denied (os error 13)");
    case ErrorKind::NotFound:
      return Error::not_found(text);
    case ErrorKind::NotADatabase:
      return Error::not_a_database(text);
    case ErrorKind::UnsupportedFormatVersion:
      return Error::unsupported_format_version(text, 9);
    case ErrorKind::Corrupted:
      return Error::corrupted(text, "page 7 fails its check");
    case ErrorKind::InvalidArgument:
      return Error::invalid_argument(text);
    case ErrorKind::Closed:
      return Error::closed();
    case ErrorKind::Busy:
      return Error::busy(text);
    case ErrorKind::SyncFailed:
      return Error::sync_failed(text, "Input/output error (os error 5)");
    case ErrorKind::KeyRequired:
      return Error::key_required(text);
    case ErrorKind::WrongKey:
      return Error::wrong_key(text);
    case ErrorKind::UnsupportedFileSystem:
      return Error::unsupported_file_system(text);
    case ErrorKind::SchemaMismatch:
      return Error::schema_mismatch(text);
    case ErrorKind::SchemaTooNew:
      return Error::schema_too_new(4, 3);
    case ErrorKind::DuplicateKey:
      return Error::duplicate_key(text);
    case ErrorKind::InvalidQuery:
      return Error::invalid_query(text);
    case ErrorKind::MigrationFailed:
      return Error::migration_failed(text);
    case ErrorKind::Internal:
      return Error::internal(text);
  }
  throw std::out_of_range("no error kind " + std::to_string(kind));
}

const char* const kind_and_text[] = {"kind", "text", nullptr};

// raise_engine_error(kind, text): raises the engine error of that kind
// (0 to 17) with `text` (bytes, not necessarily UTF-8) as its path and message.
PyObject* raise_engine_error_probe(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* kind_object = nullptr;
    PyObject* text_object = nullptr;
    if (!parse_arguments(args, kwargs, "OO:raise_engine_error", kind_and_text, &kind_object,
                         &text_object)) {
      return nullptr;
    }
    auto kind = to_u32(kind_object, "kind");
    if (!kind) return nullptr;
    char* bytes = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(text_object, &bytes, &size) < 0) return nullptr;
    return raise_engine_error(sample_error(static_cast<int>(*kind), std::string(bytes, size)));
  });
}

const char* const code_and_message[] = {"code", "message", nullptr};

// raise_dazi_error(code, message): the binding's own error, code by number.
PyObject* raise_dazi_error_probe(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* code_object = nullptr;
    PyObject* message_object = nullptr;
    if (!parse_arguments(args, kwargs, "OO:raise_dazi_error", code_and_message, &code_object,
                         &message_object)) {
      return nullptr;
    }
    auto code = to_u32(code_object, "code");
    if (!code) return nullptr;
    auto message = to_str(message_object, "message");
    if (!message) return nullptr;
    return new_dazi_error(static_cast<ErrorKind>(*code), *message);
  });
}

const char* const how_only[] = {"how", nullptr};

// throw_cpp(how): throws a C++ exception inside the call frame: "logic" a
// std::logic_error, "memory" std::bad_alloc, "other" an int; with
// "released" the std::logic_error is thrown with the interpreter lock released.
PyObject* throw_cpp(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* how_object = nullptr;
    if (!parse_arguments(args, kwargs, "O:throw_cpp", how_only, &how_object)) return nullptr;
    auto how = to_str(how_object, "how");
    if (!how) return nullptr;
    if (*how == "logic") throw std::logic_error("the probe broke an invariant");
    if (*how == "memory") throw std::bad_alloc();
    if (*how == "other") throw 42;
    if (*how == "released") {
      without_gil([]() -> int { throw std::logic_error("thrown without the interpreter lock"); });
    }
    Py_RETURN_NONE;
  });
}

// fail_silently(): returns failure without setting an exception.
PyObject* fail_silently(PyObject*, PyObject*) {
  return guarded([]() -> PyObject* { return nullptr; });
}

const char* const convert_names[] = {"u64", "u32", "i64", "f64", "flag", "text", nullptr};

// convert(*, u64=None, u32=None, i64=None, f64=None, flag=None, text=None):
// each given argument converted and handed back, in that order.
PyObject* convert(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* u64 = nullptr;
    PyObject* u32 = nullptr;
    PyObject* i64 = nullptr;
    PyObject* f64 = nullptr;
    PyObject* flag = nullptr;
    PyObject* text = nullptr;
    if (!parse_arguments(args, kwargs, "|$OOOOOO:convert", convert_names, &u64, &u32, &i64, &f64,
                         &flag, &text)) {
      return nullptr;
    }
    PyRef out = PyRef::steal(PyList_New(0));
    if (!out) return nullptr;
    auto append = [&](PyRef item) { return item && PyList_Append(out.get(), item.get()) == 0; };
    if (!is_absent(u64)) {
      auto v = to_u64(u64, "u64");
      if (!v || !append(PyRef::steal(PyLong_FromUnsignedLongLong(*v)))) return nullptr;
    }
    if (!is_absent(u32)) {
      auto v = to_u32(u32, "u32");
      if (!v || !append(PyRef::steal(PyLong_FromUnsignedLong(*v)))) return nullptr;
    }
    if (!is_absent(i64)) {
      auto v = to_i64(i64, "i64");
      if (!v || !append(PyRef::steal(PyLong_FromLongLong(*v)))) return nullptr;
    }
    if (!is_absent(f64)) {
      auto v = to_f64(f64, "f64");
      if (!v || !append(PyRef::steal(PyFloat_FromDouble(*v)))) return nullptr;
    }
    if (!is_absent(flag)) {
      auto v = to_bool(flag, "flag");
      if (!v || !append(PyRef::borrow(*v ? Py_True : Py_False))) return nullptr;
    }
    if (!is_absent(text)) {
      auto v = to_str(text, "text");
      if (!v || !append(PyRef::steal(
                    PyUnicode_FromStringAndSize(v->data(), static_cast<Py_ssize_t>(v->size()))))) {
        return nullptr;
      }
    }
    return out.release();
  });
}

const char* const shape_names[] = {"first", "second", "third", nullptr};

// shape(first, second=None, *, third=None): the arguments as given.
PyObject* shape(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* first = nullptr;
    PyObject* second = Py_None;
    PyObject* third = Py_None;
    if (!parse_arguments(args, kwargs, "O|O$O:shape", shape_names, &first, &second, &third)) {
      return nullptr;
    }
    return PyTuple_Pack(3, first, second, third);
  });
}

const char* const fd_only[] = {"fd", nullptr};

// read_byte_without_gil(fd): reads one byte from `fd` with the interpreter
// lock released, so that another Python thread can write it meanwhile.
PyObject* read_byte_without_gil(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* fd_object = nullptr;
    if (!parse_arguments(args, kwargs, "O:read_byte_without_gil", fd_only, &fd_object)) {
      return nullptr;
    }
    auto fd = to_i64(fd_object, "fd");
    if (!fd) return nullptr;
    char byte = 0;
    ssize_t n = without_gil([&] { return ::read(static_cast<int>(*fd), &byte, 1); });
    if (n != 1) return PyErr_SetFromErrno(PyExc_OSError);
    return PyBytes_FromStringAndSize(&byte, 1);
  });
}

// The first field of /proc/self/task/TASK/syscall: the number of the system
// call the thread is blocked in, or "running". Empty when it cannot be read.
std::string syscall_of(std::int64_t task) {
  std::string path = "/proc/self/task/" + std::to_string(task) + "/syscall";
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  char text[256];
  ssize_t n = ::read(fd, text, sizeof text);
  ::close(fd);
  if (n <= 0) return {};
  std::string line(text, static_cast<std::size_t>(n));
  return line.substr(0, line.find_first_of(" \n"));
}

const char* const wake_arguments[] = {"fd", "task", nullptr};

// wake_holding_the_lock(fd, task): with the interpreter lock held throughout,
// writes a byte to `fd`, which thread `task` is blocked reading, and waits
// until that thread is blocked in another system call (its read returned and
// it waits for the lock). Returns that call's number as the first field of
// /proc/self/task/TASK/syscall gives it.
PyObject* wake_holding_the_lock(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* fd_object = nullptr;
    PyObject* task_object = nullptr;
    if (!parse_arguments(args, kwargs, "OO:wake_holding_the_lock", wake_arguments, &fd_object,
                         &task_object)) {
      return nullptr;
    }
    auto fd = to_i64(fd_object, "fd");
    if (!fd) return nullptr;
    auto task = to_i64(task_object, "task");
    if (!task) return nullptr;
    const std::string reading = syscall_of(*task);
    if (reading.empty() || reading == "running") {
      PyErr_SetString(PyExc_RuntimeError, "the thread is not blocked in a system call");
      return nullptr;
    }
    char byte = '!';
    if (::write(static_cast<int>(*fd), &byte, 1) != 1) return PyErr_SetFromErrno(PyExc_OSError);
    std::string now;
    do {
      now = syscall_of(*task);
    } while (now == reading || now == "running");
    if (now.empty()) {
      PyErr_SetString(PyExc_RuntimeError, "the thread ended");
      return nullptr;
    }
    return PyUnicode_FromStringAndSize(now.data(), static_cast<Py_ssize_t>(now.size()));
  });
}

const char* const hold_arguments[] = {"transaction", "entered", "release", nullptr};

// hold_transaction(transaction, entered, release): holds the mutex of a
// NativeTransaction as a member does, with the interpreter lock released;
// writes a byte to the descriptor `entered` once it has the mutex, and lets
// it go when a byte can be read from `release`.
PyObject* hold_transaction(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* transaction = nullptr;
    PyObject* entered_object = nullptr;
    PyObject* release_object = nullptr;
    if (!parse_arguments(args, kwargs, "OOO:hold_transaction", hold_arguments, &transaction,
                         &entered_object, &release_object)) {
      return nullptr;
    }
    PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(transaction)));
    if (!name) return nullptr;
    const char* text = PyUnicode_AsUTF8AndSize(name.get(), nullptr);
    if (text == nullptr) return nullptr;
    if (std::strcmp(text, "NativeTransaction") != 0) {
      PyErr_SetString(PyExc_TypeError, "argument 'transaction': expected a NativeTransaction");
      return nullptr;
    }
    auto entered = to_i64(entered_object, "entered");
    if (!entered) return nullptr;
    auto release = to_i64(release_object, "release");
    if (!release) return nullptr;
    // The probe is a module of its own, built from the same sources: the
    // object's layout is the one these sources define.
    transaction::TransactionData& data = transaction::data_of(transaction);
    bool ok = without_gil([&] {
      std::lock_guard lock(data.mutex);
      char byte = '!';
      if (::write(static_cast<int>(*entered), &byte, 1) != 1) return false;
      return ::read(static_cast<int>(*release), &byte, 1) == 1;
    });
    if (!ok) return PyErr_SetFromErrno(PyExc_OSError);
    Py_RETURN_NONE;
  });
}

PyType_Slot sealed_slots[] = {
    {Py_tp_doc, const_cast<char*>("Sealed(index)\n--\n\nA class that only the module makes.")},
    {0, nullptr},
};

PyType_Spec sealed_spec = {
    "deziro_probe.Sealed", 0, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    sealed_slots,
};

ProcessCell sealed_cell;

// sealed_class(): a class made by the heap-type helper, once per process.
PyObject* sealed_class(PyObject*, PyObject*) {
  return guarded([] { return PyRef::borrow(class_object(sealed_cell, sealed_spec)).release(); });
}

// internal_failure_class(): the class that internal failures raise.
PyObject* internal_failure_class(PyObject*, PyObject*) {
  return guarded([] { return PyRef::borrow(internal_failure_type()).release(); });
}

PyMethodDef probe_methods[] = {
    {"raise_engine_error", keywords_function(raise_engine_error_probe),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {"raise_dazi_error", keywords_function(raise_dazi_error_probe), METH_VARARGS | METH_KEYWORDS,
     nullptr},
    {"throw_cpp", keywords_function(throw_cpp), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"fail_silently", fail_silently, METH_NOARGS, nullptr},
    {"convert", keywords_function(convert), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"shape", keywords_function(shape), METH_VARARGS | METH_KEYWORDS, nullptr},
    {"read_byte_without_gil", keywords_function(read_byte_without_gil),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {"hold_transaction", keywords_function(hold_transaction), METH_VARARGS | METH_KEYWORDS,
     nullptr},
    {"wake_holding_the_lock", keywords_function(wake_holding_the_lock),
     METH_VARARGS | METH_KEYWORDS, nullptr},
    {"sealed_class", sealed_class, METH_NOARGS, nullptr},
    {"internal_failure_class", internal_failure_class, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef probe_module = {
    PyModuleDef_HEAD_INIT,
    "deziro_probe",
    "",
    -1,
    probe_methods,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace deziro::binding

PyMODINIT_FUNC PyInit_deziro_probe(void) { return PyModule_Create(&deziro::binding::probe_module); }
