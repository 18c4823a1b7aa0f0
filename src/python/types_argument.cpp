#include "python/types_argument.hpp"

#include <cerrno>
#include <string>

#include "python/pyref.hpp"
#include "types/dictionary_cache.hpp"

namespace tessrin {

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
  bool out_of_memory = false;
  Py_BEGIN_ALLOW_THREADS
  // Nothing may leave this block by an exception: the interpreter lock is not held in it.
  try {
    dictionary = cached_item_types(path, error);
  } catch (const std::bad_alloc&) {
    out_of_memory = true;
  }
  Py_END_ALLOW_THREADS
  if (out_of_memory) {
    PyErr_NoMemory();
    return false;
  }
  if (!dictionary) {
    if (error.error_number != 0) {
      errno = error.error_number;
      PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, types);
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
