// The per-module state of tessrin_core: the classes of tessrin.types, looked up once when the
// module is executed rather than imported again on every call.
#pragma once

#include <Python.h>

namespace tessrin {

struct ModuleState {
  PyObject* cif_1_1;      // CifVersion.CIF_1_1
  PyObject* cif_2_0;      // CifVersion.CIF_2_0
  PyObject* parse_error;  // ParseError
  PyObject* value_type;   // ValueType
};

/// The state of `module` (a tessrin_core module object).
inline ModuleState* module_state(PyObject* module) {
  return static_cast<ModuleState*>(PyModule_GetState(module));
}

/// The CifVersion member for a parse's version code (borrowed).
inline PyObject* version_member(const ModuleState& state, bool cif11) {
  return cif11 ? state.cif_1_1 : state.cif_2_0;
}

}  // namespace tessrin
