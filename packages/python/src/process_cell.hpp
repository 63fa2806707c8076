// A Python object made once per process and kept for the life of the
// process (never released, as module state would be).
#pragma once

#include "py_ref.hpp"

namespace deziro::binding {

class ProcessCell {
 public:
  // Returns the kept object (borrowed), making it with `make` (which returns
  // a PyRef, empty with a Python exception set on failure) when the cell is
  // still empty. A failure leaves the cell empty, so the next call tries
  // again. The interpreter lock serialises callers; if `make` lets another
  // thread in (an import does) and that thread fills the cell first, its
  // object is kept and ours dropped, so every caller sees one object.
  template <typename Make>
  PyObject* get(Make&& make) {
    if (value_ != nullptr) return value_;
    PyRef made = make();
    if (!made) return nullptr;
    if (value_ == nullptr) value_ = made.release();
    return value_;
  }

  // The kept object, or null when none was made yet.
  PyObject* peek() const { return value_; }

 private:
  PyObject* value_ = nullptr;
};

}  // namespace deziro::binding
