#include "python/types_argument.hpp"

#include <cstring>
#include <exception>
#include <string>

#include "python/pyref.hpp"
#include "types/dictionary_cache.hpp"

namespace tessrin {

namespace {

/// The OSError (FileNotFoundError for a missing file, so callers that catch it still do) for a
/// `types` that is neither keyword and names no readable file: a misspelt "infer" ends here,
/// so the message says what else was expected.
void raise_no_dictionary(const char* function, PyObject* types, int error_number) {
  PyRef message = PyRef::steal(PyUnicode_FromFormat(
      "%s; %s() argument 'types' is 'infer', 'text' or the path of a DDL2 or DDLm dictionary",
      std::strerror(error_number), function));
  if (!message) return;
  PyRef error =
      PyRef::steal(PyObject_CallFunction(PyExc_OSError, "iOO", error_number, message.get(), types));
  if (error) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
}

}  // namespace

bool types_argument(const char* function, PyObject* types, TypesOption& option) {
  option = TypesOption{};
  if (types == nullptr || types == Py_None) return true;
  if (PyUnicode_Check(types)) {
    if (PyUnicode_CompareWithASCIIString(types, "infer") == 0) return true;
    if (PyUnicode_CompareWithASCIIString(types, "text") == 0) {
      option.mode = TypesOption::Mode::Text;
      return true;
    }
  } else if (!PyObject_HasAttrString(types, "__fspath__")) {
    PyErr_Format(PyExc_TypeError,
                 "%s() argument 'types' must be 'infer', 'text' or a dictionary path, not %.200s",
                 function, Py_TYPE(types)->tp_name);
    return false;
  }
  PyObject* encoded_raw = nullptr;
  if (!PyUnicode_FSConverter(types, &encoded_raw)) return false;
  PyRef encoded = PyRef::steal(encoded_raw);
  const std::string path(PyBytes_AS_STRING(encoded.get()),
                         static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
  DictionaryError error;
  std::shared_ptr<const ItemTypes> dictionary;
  std::exception_ptr failure;
  Py_BEGIN_ALLOW_THREADS
      // Nothing may leave this block by an exception: the interpreter lock is not held in it.
      try {
    dictionary = cached_item_types(path, error);
  } catch (...) {
    failure = std::current_exception();
  }
  Py_END_ALLOW_THREADS
      // With the lock again: the entry's guard makes it a Python exception (errors.hpp).
      if (failure) std::rethrow_exception(failure);
  if (!dictionary) {
    if (error.error_number != 0) {
      raise_no_dictionary(function, types, error.error_number);
    } else {
      PyErr_SetString(PyExc_ValueError, error.message.c_str());
    }
    return false;
  }
  option.mode = TypesOption::Mode::Dictionary;
  option.dictionary = std::move(dictionary);
  return true;
}

}  // namespace tessrin
