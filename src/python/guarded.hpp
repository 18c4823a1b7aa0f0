// The one way native work returns to CPython from an entry function.
#pragma once

#include <Python.h>

#include "python/errors.hpp"

namespace tessrin {

/// Runs `body` and turns a C++ exception into a Python one (errors.hpp): nothing may cross
/// into CPython.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return raise_current_exception();
  }
}

}  // namespace tessrin
