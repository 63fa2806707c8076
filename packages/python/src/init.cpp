// The module's entry point: it only hands the definition to the interpreter,
// which creates the module and runs its exec step (multi-phase init).
#include "module.hpp"

PyMODINIT_FUNC PyInit__native(void) {
  return PyModuleDef_Init(&deziro::binding::module_definition());
}
