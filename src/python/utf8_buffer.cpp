#include "python/utf8_buffer.hpp"

#include "python/pyref.hpp"
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
  text_ =
      std::string_view(static_cast<const char*>(view_.buf), static_cast<std::size_t>(view_.len));
  return true;
}

std::size_t Utf8Buffer::first_invalid() const noexcept { return first_invalid_utf8(text_); }

void Utf8Buffer::raise_invalid(std::size_t offset) const {
  // The reason and the range of the interpreter's own decoder: the range covers the lead byte
  // and the continuation bytes that fit it, and ends at the end of the text if that is what
  // cut the sequence short.
  const auto lead = static_cast<unsigned char>(text_[offset]);
  const Utf8Step step = utf8_step(text_.data() + offset, text_.data() + text_.size());
  const std::size_t end = offset + static_cast<std::size_t>(step.length);
  const char* reason = "invalid start byte";
  if (lead >= 0xC2 && lead <= 0xF4) {
    reason = end == text_.size() ? "unexpected end of data" : "invalid continuation byte";
  }
  PyRef error = PyRef::steal(PyUnicodeDecodeError_Create(
      "utf-8", text_.data(), static_cast<Py_ssize_t>(text_.size()), static_cast<Py_ssize_t>(offset),
      static_cast<Py_ssize_t>(end), reason));
  if (error) PyErr_SetObject(PyExc_UnicodeDecodeError, error.get());
}

}  // namespace tessrin
