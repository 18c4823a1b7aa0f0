#include "text/text_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "text/utf8.hpp"

namespace tessrin {

TextFileStatus read_text_file(const char* path, FileText& out) {
  TextFileStatus status;
  const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    status.kind = TextFileStatus::Kind::SystemError;
    status.error_number = errno;
    return status;
  }
  struct stat info {};
  // One spare byte lets the read that finds the end of a regular file need no reallocation;
  // the loop only grows the buffer for pipes and special files.
  std::size_t want = std::size_t{1} << 16;
  if (::fstat(fd, &info) == 0 && info.st_size > 0) want = static_cast<std::size_t>(info.st_size) + 1;
  for (;;) {
    const ssize_t n = ::read(fd, out.room(want), want);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      status.kind = TextFileStatus::Kind::SystemError;
      status.error_number = errno;
      ::close(fd);
      return status;
    }
    if (n == 0) break;
    out.commit(static_cast<std::size_t>(n));
    // What is left of the room asked for, or (once it is full) as much again as was read.
    want = static_cast<std::size_t>(n) < want ? want - static_cast<std::size_t>(n) : out.size();
  }
  ::close(fd);
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
