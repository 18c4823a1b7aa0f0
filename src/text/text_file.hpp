// Reading a whole file into memory: the one place that talks to the operating system, so a port
// to another platform changes only text_file.cpp. No Python here: the benchmark and the fuzzers
// read files the same way the module does.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tessrin {

struct TextFileStatus {
  enum class Kind { Ok, SystemError, InvalidUtf8 } kind = Kind::Ok;
  int error_number = 0;  ///< errno, for SystemError
  std::size_t bad_offset = 0;  ///< byte offset of the first byte that is not UTF-8
};

/// Line and column (1-based; the column in characters) of byte `offset` of `text`, whose bytes
/// before `offset` are UTF-8.
struct TextPosition {
  std::size_t line = 1;
  std::size_t column = 1;
};
TextPosition position_of(std::string_view text, std::size_t offset);

/// Reads the whole file at `path` (a NUL-terminated file-system name) into `out` and checks that
/// it is UTF-8.
TextFileStatus read_text_file(const char* path, std::string& out);

}  // namespace tessrin
