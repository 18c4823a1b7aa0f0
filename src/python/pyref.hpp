// One move-only owner for Python references, so no error path can leak or double-release.
#pragma once

#include <Python.h>

#include <utility>

namespace tessrin {

class PyRef {
 public:
  PyRef() noexcept = default;
  /// Takes over a new reference (which may be null after a failed call).
  static PyRef steal(PyObject* object) noexcept { return PyRef(object); }
  /// Adds a reference to a borrowed object.
  static PyRef borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return PyRef(object);
  }

  PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  PyRef& operator=(PyRef&& other) noexcept {
    PyObject* old = std::exchange(object_, std::exchange(other.object_, nullptr));
    Py_XDECREF(old);
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(object_); }

  PyObject* get() const noexcept { return object_; }
  /// Hands the reference to the caller.
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  explicit PyRef(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

/// An exception taken out of the interpreter, to be raised again later (3.12 keeps an exception
/// as one object; before it, as type, value and traceback).
class SavedError {
 public:
  /// Takes the current exception, leaving none set.
  void fetch() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    exception_ = PyRef::steal(PyErr_GetRaisedException());
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    type_ = PyRef::steal(type);
    value_ = PyRef::steal(value);
    traceback_ = PyRef::steal(traceback);
#endif
  }

  /// Sets the saved exception as the current one again.
  void restore() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    PyErr_SetRaisedException(exception_.release());
#else
    PyErr_Restore(type_.release(), value_.release(), traceback_.release());
#endif
  }

 private:
#if PY_VERSION_HEX >= 0x030C0000
  PyRef exception_;
#else
  PyRef type_, value_, traceback_;
#endif
};

/// Pauses the cyclic garbage collector while an exporter creates millions of lists and
/// dicts: none of them can be part of a cycle yet, and every collection pass would walk them
/// all again (a quarter of the export time on large files).
class GcPause {
 public:
  GcPause() noexcept : was_enabled_(PyGC_Disable() != 0) {}
  ~GcPause() {
    if (was_enabled_) PyGC_Enable();
  }
  GcPause(const GcPause&) = delete;
  GcPause& operator=(const GcPause&) = delete;

 private:
  bool was_enabled_;
};

}  // namespace tessrin
