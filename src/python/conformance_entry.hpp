// The conformance entry functions of tessrin_core: conformance(source) and
// conformance_file(path).
#pragma once

#include <Python.h>

namespace tessrin {

PyObject* py_conformance(PyObject* module, PyObject* const* args, Py_ssize_t nargsf,
                         PyObject* kwnames);
/// conformance_rules(): every rule id with its severity, in the rule table's order.
PyObject* py_conformance_rules(PyObject* module, PyObject* unused);
PyObject* py_conformance_file(PyObject* module, PyObject* const* args, Py_ssize_t nargsf,
                              PyObject* kwnames);

}  // namespace tessrin
