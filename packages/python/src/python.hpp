// The one way the binding includes the interpreter's headers: sizes as
// Py_ssize_t, and only what the limited API (3.11) declares.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
