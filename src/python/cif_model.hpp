// The object model: CifFile, CifBlock and CifSaveFrame, their construction from a collected
// parse, and deep copy.
#pragma once

#include <Python.h>

#include "collect/raw_model.hpp"

namespace tessrin {

/// Creates the three classes and adds them to `module` in the order CifSaveFrame, CifBlock,
/// CifFile. Returns -1 with an exception set on failure.
int add_model_types(PyObject* module);

/// The CifFile tree of a collected parse, or null with a Python exception set. `module` is
/// the tessrin_core module object (the one whose classes are used).
PyObject* build_py_cif(PyObject* module, const ParsedCif& parse);

}  // namespace tessrin
