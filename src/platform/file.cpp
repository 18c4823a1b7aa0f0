#include "platform/file.hpp"

#include <cerrno>
#include <climits>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>

#include <string>
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace tessrin::platform {

#if defined(_WIN32)

namespace {

// Paths come as UTF-8; the wide functions take any name the file system holds.
std::wstring wide_path(const char* path) {
  const int n = MultiByteToWideChar(CP_UTF8, 0, path, -1, nullptr, 0);
  if (n <= 0) return {};
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, path, -1, wide.data(), n);
  wide.pop_back();  // the terminating NUL, kept by the string itself
  return wide;
}

}  // namespace

InputFile::InputFile(const char* path) noexcept {
  try {
    const std::wstring wide = wide_path(path);
    if (wide.empty()) {
      error_ = ENOENT;
      return;
    }
    fd_ = _wopen(wide.c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
  } catch (...) {
    error_ = ENOMEM;
    return;
  }
  if (fd_ < 0) error_ = errno;
}

InputFile::~InputFile() {
  if (fd_ >= 0) _close(fd_);
}

std::size_t InputFile::size_hint() const noexcept {
  struct _stat64 info {};
  if (fd_ < 0 || _fstat64(fd_, &info) != 0 || (info.st_mode & _S_IFREG) == 0) return 0;
  return info.st_size > 0 ? static_cast<std::size_t>(info.st_size) : 0;
}

std::ptrdiff_t InputFile::read(void* into, std::size_t n) noexcept {
  const unsigned want = n > INT_MAX ? INT_MAX : static_cast<unsigned>(n);
  const int got = _read(fd_, into, want);
  if (got < 0) error_ = errno;
  return got;
}

int file_stamp(const char* path, FileStamp& out) noexcept {
  struct _stat64 info {};
  try {
    const std::wstring wide = wide_path(path);
    if (wide.empty() || _wstat64(wide.c_str(), &info) != 0) return wide.empty() ? ENOENT : errno;
  } catch (...) {
    return ENOMEM;
  }
  out.size = info.st_size;
  out.modified_ns = static_cast<std::int64_t>(info.st_mtime) * 1000000000;
  return 0;
}

#else

InputFile::InputFile(const char* path) noexcept {
#if defined(O_CLOEXEC)
  fd_ = ::open(path, O_RDONLY | O_CLOEXEC);
#else
  fd_ = ::open(path, O_RDONLY);
#endif
  if (fd_ < 0) error_ = errno;
}

InputFile::~InputFile() {
  if (fd_ >= 0) ::close(fd_);
}

std::size_t InputFile::size_hint() const noexcept {
  struct stat info {};
  if (fd_ < 0 || ::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) return 0;
  return info.st_size > 0 ? static_cast<std::size_t>(info.st_size) : 0;
}

std::ptrdiff_t InputFile::read(void* into, std::size_t n) noexcept {
  for (;;) {
    const ssize_t got = ::read(fd_, into, n);
    if (got >= 0) return got;
    if (errno != EINTR) {
      error_ = errno;
      return -1;
    }
  }
}

int file_stamp(const char* path, FileStamp& out) noexcept {
  struct stat info {};
  if (::stat(path, &info) != 0) return errno;
  out.size = static_cast<std::int64_t>(info.st_size);
#if defined(__APPLE__)
  const struct timespec& modified = info.st_mtimespec;
#else
  const struct timespec& modified = info.st_mtim;
#endif
  out.modified_ns = static_cast<std::int64_t>(modified.tv_sec) * 1000000000 + modified.tv_nsec;
  return 0;
}

#endif

}  // namespace tessrin::platform
