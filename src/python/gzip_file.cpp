#include "python/gzip_file.hpp"

#include <cstddef>

#include "python/pyref.hpp"

namespace tessrin {

bool inflate_file(PyObject* path, Utf8Buffer& out, PyRef& buffer) {
  PyRef inflate = PyRef::steal(PyImport_ImportModule("tessrin._inflate"));
  if (!inflate) return false;
  // (buffer, size): the buffer is a reused one, so only its first `size` bytes are this
  // file's.
  PyRef result = PyRef::steal(PyObject_CallMethod(inflate.get(), "gunzip", "O", path));
  if (!result) return false;
  Py_ssize_t size = 0;
  PyObject* object = nullptr;
  if (!PyArg_ParseTuple(result.get(), "On", &object, &size)) return false;
  buffer = PyRef::borrow(object);
  if (!out.bind("gunzip", "buffer", object)) return false;
  out.keep_prefix(static_cast<std::size_t>(size));
  return true;
}

bool give_back_buffer(PyRef buffer) {
  PyRef inflate = PyRef::steal(PyImport_ImportModule("tessrin._inflate"));
  if (!inflate) return false;
  PyRef result =
      PyRef::steal(PyObject_CallMethod(inflate.get(), "give_back", "O", buffer.get()));
  return static_cast<bool>(result);
}

}  // namespace tessrin
