// Reading a whole file into memory: the one place that talks to the operating system, so a port
// to another platform changes only text_file.cpp. No Python here: the benchmark and the fuzzers
// read files the same way the module does.
#pragma once

#include <string>

namespace tessrin {

struct TextFileStatus {
  enum class Kind { Ok, SystemError, InvalidUtf8 } kind = Kind::Ok;
  int error_number = 0;  ///< errno, for SystemError
};

/// Reads the whole file at `path` (a NUL-terminated file-system name) into `out` and checks that
/// it is UTF-8.
TextFileStatus read_text_file(const char* path, std::string& out);

}  // namespace tessrin
