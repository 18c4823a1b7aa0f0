#include "python/gzip_file.hpp"

#include <cstddef>

#include "python/pyref.hpp"

namespace tessrin {

bool inflate_file(PyObject* path, Utf8Buffer& out) {
  PyRef inflate = PyRef::steal(PyImport_ImportModule("tessrin._inflate"));
  if (!inflate) return false;
  // (buffer, size): the buffer is the thread's own and reused, so only its first `size` bytes
  // are this file's.
  PyRef result = PyRef::steal(PyObject_CallMethod(inflate.get(), "gunzip", "O", path));
  if (!result) return false;
  Py_ssize_t size = 0;
  PyObject* buffer = nullptr;
  if (!PyArg_ParseTuple(result.get(), "On", &buffer, &size)) return false;
  if (!out.bind("gunzip", "buffer", buffer)) return false;
  out.keep_prefix(static_cast<std::size_t>(size));
  return true;
}

}  // namespace tessrin
