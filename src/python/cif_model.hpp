// The object model: CifFile, CifBlock and CifSaveFrame, their construction from a collected
// parse, and deep copy.
#pragma once

#include <Python.h>

#include "collect/raw_model.hpp"
#include "python/module_state.hpp"

namespace tessrin {

/// Creates the three classes, keeps them in the module state and adds them to `module` in the
/// order CifSaveFrame, CifBlock, CifFile. Returns -1 with an exception set on failure.
int add_model_types(PyObject* module);

/// The CifFile tree of a collected parse, of the classes in `state`, or null with a Python
/// exception set.
PyObject* build_py_cif(const ModuleState& state, const ParsedCif& parse);

}  // namespace tessrin
