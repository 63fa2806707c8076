#include "gil.hpp"

#include <unistd.h>

#include <atomic>
#include <thread>

#include "py_ref.hpp"

namespace deziro::binding {

// A thread that takes the interpreter lock back while the interpreter
// finalizes is ended there with pthread_exit (Python 3.11 to 3.13). Its
// forced unwinding reaches ~AllowThreads, which may not throw, and the
// process aborts in std::terminate. So the exit is watched: an atexit hook,
// which runs before finalization starts, records the thread running the
// exit, and a thread whose released section ends after that, in any other
// thread, is parked instead of taking the lock back, as newer interpreters
// do themselves. The thread running the exit goes on as usual. Not covered:
// a thread that checked before the hook ran and still waits for the lock
// once finalization starts (a short window, since a waiting thread is handed
// the lock while Python code runs, the exit's own included).

namespace {

// Whether this copy of the binding registered its atexit hook (each module
// built from these sources has its own). Changed only with the lock held.
std::atomic<bool> exit_watched{false};

// The thread that runs the interpreter's exit; no thread until it starts.
std::atomic<std::thread::id> exiting_thread{};

PyObject* record_exiting_thread(PyObject*, PyObject*) {
  exiting_thread.store(std::this_thread::get_id(), std::memory_order_relaxed);
  Py_RETURN_NONE;
}

PyMethodDef record_exiting_thread_definition = {"_record_exiting_thread", record_exiting_thread,
                                                METH_NOARGS, nullptr};

// Registers the atexit hook on the first call. Lock held; leaves the
// exception being raised, if any, as it was. A registration that fails is
// not tried again: threads are then left as the interpreter treats them.
void watch_exit() noexcept {
  if (exit_watched.load(std::memory_order_relaxed)) return;
  // Set before the import, which may let another thread in.
  exit_watched.store(true, std::memory_order_relaxed);
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyRef atexit = PyRef::steal(PyImport_ImportModule("atexit"));
  PyRef hook = PyRef::steal(PyCFunction_NewEx(&record_exiting_thread_definition, nullptr, nullptr));
  PyRef registered;
  if (atexit && hook) {
    registered = PyRef::steal(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
  }
  if (!registered) PyErr_Clear();
  PyErr_Restore(type, value, traceback);
}

// Lock released.
bool exiting_in_another_thread() noexcept {
  std::thread::id exiting = exiting_thread.load(std::memory_order_relaxed);
  return exiting != std::thread::id() && exiting != std::this_thread::get_id();
}

[[noreturn]] void park_until_the_process_ends() noexcept {
  for (;;) ::pause();
}

}  // namespace

AllowThreads::AllowThreads() {
  watch_exit();
  state_ = PyEval_SaveThread();
}

AllowThreads::~AllowThreads() {
  if (exiting_in_another_thread()) park_until_the_process_ends();
  PyEval_RestoreThread(state_);
}

}  // namespace deziro::binding
