#include "python/utf8_buffer.hpp"

#include "text/utf8.hpp"

namespace tessrin {

Utf8Buffer::~Utf8Buffer() {
  if (bound_) PyBuffer_Release(&view_);
}

bool Utf8Buffer::bind(const char* function, const char* name, PyObject* object) {
  if (!PyObject_CheckBuffer(object) || PyObject_GetBuffer(object, &view_, PyBUF_SIMPLE) != 0) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be a bytes-like object, not %.200s",
                 function, name, Py_TYPE(object)->tp_name);
    return false;
  }
  bound_ = true;
  text_ = std::string_view(static_cast<const char*>(view_.buf),
                           static_cast<std::size_t>(view_.len));
  return true;
}

std::size_t Utf8Buffer::first_invalid() const noexcept { return first_invalid_utf8(text_); }

void Utf8Buffer::raise_invalid(std::size_t offset) const {
  const auto lead = static_cast<unsigned char>(text_[offset]);
  const std::size_t needs = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
  // The wording (and range) of the interpreter's own decoder.
  bool truncated = lead >= 0xC2 && lead <= 0xF4 && offset + needs > text_.size();
  for (std::size_t i = offset + 1; truncated && i < text_.size(); ++i) {
    truncated = is_continuation(static_cast<unsigned char>(text_[i]));
  }
  const char* reason = truncated                     ? "unexpected end of data"
                       : lead < 0xC2 || lead > 0xF4 ? "invalid start byte"
                                                     : "invalid continuation byte";
  const std::size_t end = truncated ? text_.size() : offset + 1;
  PyObject* error = PyUnicodeDecodeError_Create(
      "utf-8", text_.data(), static_cast<Py_ssize_t>(text_.size()),
      static_cast<Py_ssize_t>(offset), static_cast<Py_ssize_t>(end), reason);
  if (error == nullptr) return;
  PyErr_SetObject(PyExc_UnicodeDecodeError, error);
  Py_DECREF(error);
}

}  // namespace tessrin
