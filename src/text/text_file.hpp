// Reading a whole file into memory (the system calls are platform/file's). No Python here:
// the benchmark and the fuzzers read files the same way the module does.
#pragma once

#include <cstddef>
#include <string_view>

#include "collect/pod_buffer.hpp"

namespace tessrin {

struct TextFileStatus {
  enum class Kind { Ok, SystemError, InvalidUtf8 } kind = Kind::Ok;
  int error_number = 0;        ///< errno, for SystemError
  std::size_t bad_offset = 0;  ///< byte offset of the first byte that is not UTF-8
};

/// Line and column (1-based; the column in characters) of byte `offset` of `text`, whose bytes
/// before `offset` are UTF-8.
struct TextPosition {
  std::size_t line = 1;
  std::size_t column = 1;
};
TextPosition position_of(std::string_view text, std::size_t offset);

/// A file's bytes: a collector buffer, so a large file is read into recycled pages (no zero
/// fill, no fresh page faults when files of similar size follow each other).
using FileText = PodBuffer<char>;

inline std::string_view text_of(const FileText& text) noexcept {
  return {text.data(), text.size()};
}

/// Reads the whole file at `path` (a NUL-terminated file-system name) into `out` and checks that
/// it is UTF-8.
TextFileStatus read_text_file(const char* path, FileText& out);

}  // namespace tessrin
