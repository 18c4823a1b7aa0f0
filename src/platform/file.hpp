// Files from the operating system: reading one from start to end, and the size and time of
// last change that tell whether it changed. Paths are NUL-terminated UTF-8 (or the system's
// bytes on POSIX); errors are errno values.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessrin::platform {

/// A file open for reading, closed with the object.
class InputFile {
 public:
  explicit InputFile(const char* path) noexcept;
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  /// 0 once open; the errno of the failed open or of the last failed read otherwise.
  int error() const noexcept { return error_; }

  /// The size of a regular file, 0 when unknown (pipes, special files, empty files).
  std::size_t size_hint() const noexcept;

  /// Up to `n` bytes into `into`: the count read, 0 at the end, -1 on failure (error() then
  /// says why). Interrupted reads are retried.
  std::ptrdiff_t read(void* into, std::size_t n) noexcept;

 private:
  int fd_ = -1;
  int error_ = 0;
};

/// What tells two versions of a file apart without reading them.
struct FileStamp {
  std::int64_t size = 0;
  std::int64_t modified_ns = 0;  // time of last change, in nanoseconds since the epoch
  bool operator==(const FileStamp&) const = default;
};

/// The stamp of the file at `path`: 0, or the errno when it cannot be had.
int file_stamp(const char* path, FileStamp& out) noexcept;

}  // namespace tessrin::platform
