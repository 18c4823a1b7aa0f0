#include "text/text_file.hpp"

#include <algorithm>
#include <cstddef>

#include "platform/file.hpp"
#include "text/utf8.hpp"

namespace tessrin {

TextFileStatus read_text_file(const char* path, FileText& out) {
  TextFileStatus status;
  platform::InputFile file(path);
  // One spare byte lets the read that finds the end of a regular file need no reallocation;
  // the loop only grows the buffer for pipes and special files.
  std::size_t want = std::size_t{1} << 16;
  if (const std::size_t size = file.size_hint(); size > 0) want = size + 1;
  for (std::ptrdiff_t n = 0; file.error() == 0 && (n = file.read(out.room(want), want)) > 0;) {
    out.commit(static_cast<std::size_t>(n));
    // What is left of the room asked for, or (once it is full) as much again as was read.
    want = static_cast<std::size_t>(n) < want ? want - static_cast<std::size_t>(n) : out.size();
  }
  if (file.error() != 0) {
    status.kind = TextFileStatus::Kind::SystemError;
    status.error_number = file.error();
    return status;
  }
  status.bad_offset = first_invalid_utf8(text_of(out));
  if (status.bad_offset != out.size()) status.kind = TextFileStatus::Kind::InvalidUtf8;
  return status;
}

TextPosition position_of(std::string_view text, std::size_t offset) {
  const std::string_view before = text.substr(0, offset);
  const std::size_t newline = before.rfind('\n');
  TextPosition position;
  position.line = 1 + static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
  const std::size_t line_start = newline == std::string_view::npos ? 0 : newline + 1;
  position.column = 1 + count_chars(before.substr(line_start));
  return position;
}

}  // namespace tessrin
