#include "text/text_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "text/utf8.hpp"

namespace tessrin {

TextFileStatus read_text_file(const char* path, std::string& out) {
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
  if (::fstat(fd, &info) == 0 && info.st_size > 0) {
    out.reserve(static_cast<std::size_t>(info.st_size) + 1);
  }
  for (;;) {
    if (out.size() == out.capacity()) out.reserve(out.capacity() * 2 + (1 << 16));
    const std::size_t old_size = out.size();
    out.resize(out.capacity());
    ssize_t n = ::read(fd, out.data() + old_size, out.size() - old_size);
    if (n < 0 && errno == EINTR) {
      out.resize(old_size);
      continue;
    }
    if (n < 0) {
      status.kind = TextFileStatus::Kind::SystemError;
      status.error_number = errno;
      out.resize(old_size);
      ::close(fd);
      return status;
    }
    out.resize(old_size + static_cast<std::size_t>(n));
    if (n == 0) break;
  }
  ::close(fd);
  if (!is_valid_utf8(out)) status.kind = TextFileStatus::Kind::InvalidUtf8;
  return status;
}

}  // namespace tessrin
