// The one way native work returns to CPython from an entry function.
#pragma once

#include <Python.h>

#include <exception>
#include <new>

namespace tessrin {

/// Runs `body` and turns a C++ exception into a Python one: nothing may cross into CPython.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
    return nullptr;
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unexpected native error");
    return nullptr;
  }
}

}  // namespace tessrin
