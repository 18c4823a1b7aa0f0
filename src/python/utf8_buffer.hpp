// CIF text given as UTF-8 bytes, read in place.
#pragma once

#include <Python.h>

#include <cstddef>
#include <string_view>

namespace tessrin {

/// The bytes of a bytes-like object (bytes, bytearray, memoryview, mmap), read in place: a
/// caller that already holds a file's bytes (a decompressed gzip member) need not build a str
/// of them first. The buffer stays exported, so a bytearray cannot be resized under the
/// parser, until this is destroyed.
class Utf8Buffer {
 public:
  Utf8Buffer() = default;
  ~Utf8Buffer();
  Utf8Buffer(const Utf8Buffer&) = delete;
  Utf8Buffer& operator=(const Utf8Buffer&) = delete;

  /// False with TypeError for anything else (or a buffer that is not contiguous).
  bool bind(const char* function, const char* name, PyObject* object);

  std::string_view text() const noexcept { return text_; }

  /// Only the first `size` bytes are the text (a reused buffer holds stale bytes past them).
  void keep_prefix(std::size_t size) noexcept { text_ = text_.substr(0, size); }

  /// Offset of the first byte that is not UTF-8, or the size of the text when all is valid.
  /// Touches no Python object, so it may run without the lock.
  std::size_t first_invalid() const noexcept;

  /// Raises UnicodeDecodeError for the byte at `offset`, as bytes.decode("utf-8") would.
  void raise_invalid(std::size_t offset) const;

 private:
  Py_buffer view_{};
  bool bound_ = false;
  std::string_view text_;
};

}  // namespace tessrin
