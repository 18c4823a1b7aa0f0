// A growable array of trivially copyable values on malloc/realloc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>

namespace tessrin {

/// Like a vector, but grown with realloc: the columns of a large loop reach hundreds of
/// megabytes, and realloc moves such blocks by remapping pages instead of copying them. The
/// memory can be handed over (`release`) to whoever frees it with std::free.
template <class T>
class PodBuffer {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  PodBuffer() = default;
  PodBuffer(PodBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  PodBuffer& operator=(PodBuffer&& other) noexcept {
    if (this != &other) {
      std::free(data_);
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
      capacity_ = std::exchange(other.capacity_, 0);
    }
    return *this;
  }
  PodBuffer(const PodBuffer&) = delete;
  PodBuffer& operator=(const PodBuffer&) = delete;
  ~PodBuffer() { std::free(data_); }

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  const T* data() const noexcept { return data_; }
  T* data() noexcept { return data_; }
  const T& operator[](std::size_t i) const noexcept { return data_[i]; }
  const T& back() const noexcept { return data_[size_ - 1]; }
  std::span<const T> span() const noexcept { return {data_, size_}; }

  /// Room for `n` more values, uninitialised; the caller fills them.
  [[gnu::always_inline]] T* extend(std::size_t n) {
    if (capacity_ - size_ < n) grow(n);
    T* out = data_ + size_;
    size_ += n;
    return out;
  }

  [[gnu::always_inline]] void push_back(T value) { *extend(1) = value; }

  /// Gives up the memory (std::free releases it); the buffer is empty afterwards.
  T* release() noexcept {
    size_ = capacity_ = 0;
    return std::exchange(data_, nullptr);
  }

 private:
  [[gnu::noinline]] void grow(std::size_t n) {
    std::size_t capacity = capacity_ < 8 ? 8 : capacity_ * 2;
    if (capacity - size_ < n) capacity = size_ + n;
    void* grown = std::realloc(data_, capacity * sizeof(T));
    if (grown == nullptr) throw std::bad_alloc();
    data_ = static_cast<T*>(grown);
    capacity_ = capacity;
  }

  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

/// Copies a short text without a library call: most values are a few bytes long, and the
/// call and dispatch of memcpy cost more than the copy itself.
[[gnu::always_inline]] inline void copy_text(char* out, const char* in, std::size_t n) noexcept {
  if (n >= 8) {
    if (n > 16) {
      std::memcpy(out, in, n);
      return;
    }
    std::uint64_t head, tail;  // two overlapping words cover 8..16 bytes
    __builtin_memcpy(&head, in, 8);
    __builtin_memcpy(&tail, in + n - 8, 8);
    __builtin_memcpy(out, &head, 8);
    __builtin_memcpy(out + n - 8, &tail, 8);
  } else if (n >= 4) {
    std::uint32_t head, tail;
    __builtin_memcpy(&head, in, 4);
    __builtin_memcpy(&tail, in + n - 4, 4);
    __builtin_memcpy(out, &head, 4);
    __builtin_memcpy(out + n - 4, &tail, 4);
  } else if (n > 0) {
    out[0] = in[0];
    out[n / 2] = in[n / 2];
    out[n - 1] = in[n - 1];
  }
}

}  // namespace tessrin
