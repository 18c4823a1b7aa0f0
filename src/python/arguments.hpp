// Argument binding for functions and methods that take positional and keyword arguments,
// with the interpreter's usual errors.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdio>
#include <string_view>

#include "parse/error.hpp"

namespace tessrin {

/// Binds positional arguments and (key, value) keyword pairs to `names`, with the
/// interpreter's usual wording for missing, duplicate and unexpected arguments.
template <std::size_t N>
class ArgumentBinder {
 public:
  ArgumentBinder(const char* function, const std::array<const char*, N>& names,
                 std::array<PyObject*, N>& out)
      : function_(function), names_(names), out_(out) {
    out_.fill(nullptr);
  }

  bool positional(PyObject* const* args, Py_ssize_t nargs) {
    if (nargs > static_cast<Py_ssize_t>(N)) {
      if (N == 0) {
        PyErr_Format(PyExc_TypeError, "%s() takes no arguments (%zd given)", function_, nargs);
      } else {
        PyErr_Format(PyExc_TypeError, "%s() takes at most %zu arguments (%zd given)", function_,
                     N, nargs);
      }
      return false;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out_[static_cast<std::size_t>(i)] = args[i];
    return true;
  }

  bool keyword(PyObject* key, PyObject* value) {
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", function_);
      return false;
    }
    for (std::size_t i = 0; i < N; ++i) {
      if (PyUnicode_CompareWithASCIIString(key, names_[i]) != 0) continue;
      if (out_[i] != nullptr) {
        PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%zu)",
                     function_, names_[i], i + 1);
        return false;
      }
      out_[i] = value;
      return true;
    }
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function_, key);
    return false;
  }

  bool required(std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
      if (out_[i] == nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", function_,
                     names_[i], i + 1);
        return false;
      }
    }
    return true;
  }

 private:
  const char* function_;
  const std::array<const char*, N>& names_;
  std::array<PyObject*, N>& out_;
};

/// Method arguments (METH_FASTCALL | METH_KEYWORDS).
template <std::size_t N>
bool bind_fastcall(const char* function, const std::array<const char*, N>& names,
                   std::size_t required, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, std::array<PyObject*, N>& out) {
  ArgumentBinder<N> binder(function, names, out);
  if (!binder.positional(args, nargs)) return false;
  const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    if (!binder.keyword(PyTuple_GET_ITEM(kwnames, k), args[nargs + k])) return false;
  }
  return binder.required(required);
}

/// Constructor arguments (a tuple and a dict, as tp_new receives them). The bound objects are
/// borrowed from `args` and `kwargs`, which the caller holds; the dict is only read.
template <std::size_t N>
bool bind_new(const char* function, const std::array<const char*, N>& names,
              std::size_t required, PyObject* args, PyObject* kwargs,
              std::array<PyObject*, N>& out) {
  ArgumentBinder<N> binder(function, names, out);
  if (!binder.positional(&PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args))) return false;
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!binder.keyword(key, value)) return false;
    }
  }
  return binder.required(required);
}

/// The UTF-8 text of a str argument. A str with lone surrogates (text decoded with
/// errors="surrogateescape", say) has none: its UnicodeEncodeError names the argument.
inline bool text_argument(const char* function, const char* name, PyObject* object,
                          std::string_view& text) {
  if (!PyUnicode_Check(object)) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be str, not %.200s", function, name,
                 Py_TYPE(object)->tp_name);
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (data == nullptr) {
    if (PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) {
      std::array<char, 256> reason{};
      std::snprintf(reason.data(), reason.size(),
                    "lone surrogate in %s() argument '%s'; CIF text must be valid Unicode "
                    "(read files with errors='replace', not 'surrogateescape')",
                    function, name);
#if PY_VERSION_HEX >= 0x030C0000
      PyObject* error = PyErr_GetRaisedException();
      PyUnicodeEncodeError_SetReason(error, reason.data());
      PyErr_SetRaisedException(error);
#else
      PyObject* type = nullptr;
      PyObject* error = nullptr;
      PyObject* traceback = nullptr;
      PyErr_Fetch(&type, &error, &traceback);
      PyErr_NormalizeException(&type, &error, &traceback);
      if (error != nullptr) PyUnicodeEncodeError_SetReason(error, reason.data());
      PyErr_Restore(type, error, traceback);
#endif
    }
    return false;
  }
  text = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

/// None (lenient collection, the default) or "strict". Any other value is refused: a
/// misspelt mode must not run lenient as if it had been understood.
inline bool strict_argument(const char* function, PyObject* mode, bool& strict) {
  strict = false;
  if (mode == nullptr || mode == Py_None) return true;
  if (!PyUnicode_Check(mode)) {
    PyErr_Format(PyExc_TypeError, "%s() argument 'mode' must be str or None, not %.200s",
                 function, Py_TYPE(mode)->tp_name);
    return false;
  }
  // Compared as code points, so any str (even one that cannot be encoded) gets the message.
  if (PyUnicode_CompareWithASCIIString(mode, "strict") != 0) {
    PyErr_Format(PyExc_ValueError,
                 "%s() argument 'mode' must be None or \"strict\", not %R", function, mode);
    return false;
  }
  strict = true;
  return true;
}

/// None (no limit) or a non-negative int: the most diagnostics recorded.
inline bool max_errors_argument(const char* function, PyObject* object, std::size_t& limit) {
  limit = DiagnosticLog::kUnlimited;
  if (object == nullptr || object == Py_None) return true;
  if (!PyLong_Check(object)) {
    PyErr_Format(PyExc_TypeError, "%s() argument 'max_errors' must be int or None, not %.200s",
                 function, Py_TYPE(object)->tp_name);
    return false;
  }
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(object, &overflow);
  if (value == -1 && PyErr_Occurred()) return false;
  if (value < 0 || overflow < 0) {
    PyErr_Format(PyExc_ValueError, "%s() argument 'max_errors' must not be negative", function);
    return false;
  }
  // A limit beyond any count a parse can reach is no limit.
  if (overflow == 0) limit = static_cast<std::size_t>(value);
  return true;
}

}  // namespace tessrin
