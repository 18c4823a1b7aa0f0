// The entry functions behind `tessrin check`: conformance(source), conformance_file(path),
// conformance_rules(), and diagnostics(source, mode), the core's diagnostics of a text without
// building its values as Python objects.
#pragma once

#include <Python.h>

namespace tessrin {

PyObject* py_conformance(PyObject* module, PyObject* const* args, Py_ssize_t nargsf,
                         PyObject* kwnames);
PyObject* py_diagnostics(PyObject* module, PyObject* const* args, Py_ssize_t nargsf,
                         PyObject* kwnames);
/// conformance_rules(): every rule id with its severity, in the rule table's order.
PyObject* py_conformance_rules(PyObject* module, PyObject* unused);
PyObject* py_conformance_file(PyObject* module, PyObject* const* args, Py_ssize_t nargsf,
                              PyObject* kwnames);
/// _tokens(source, cif2, strict): private, for the grammar's property test. The token starts of
/// UTF-8 bytes with LF line ends as the core's lexer (strict false) or the conformance pass
/// (strict true) reads them, as (offset, kind) pairs; kinds as conformance::TokenMark's.
PyObject* py_tokens(PyObject* module, PyObject* args);

}  // namespace tessrin
