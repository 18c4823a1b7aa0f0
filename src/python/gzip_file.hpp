// Gzipped files at the native file readers: recognised by their first two bytes, whatever their
// name, and inflated by tessrin._inflate, the package's one inflater (ISA-L where installed).
#pragma once

#include <Python.h>

#include <string_view>

#include "python/pyref.hpp"
#include "python/utf8_buffer.hpp"

namespace tessrin {

/// Whether a file's bytes start as gzip does (1f 8b).
inline bool is_gzip(std::string_view bytes) noexcept {
  return bytes.size() >= 2 && bytes[0] == '\x1f' && bytes[1] == '\x8b';
}

/// Inflates the gzip file at `path` (str, bytes or os.PathLike) into `out`, which then holds
/// the decompressed bytes in place, and sets `buffer` to the bytearray behind them; false with
/// OSError set (tessrin._inflate.GzipError, naming the file, for data that does not inflate).
bool inflate_file(PyObject* path, Utf8Buffer& out, PyRef& buffer);

/// Keeps the buffer inflate_file gave for the next file; call it once `out` is gone (nothing
/// may view the buffer then). False with an exception set.
bool give_back_buffer(PyRef buffer);

}  // namespace tessrin
