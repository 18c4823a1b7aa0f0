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

#include "collect/mapped_memory.hpp"
#include "platform/memory.hpp"

namespace tessrin {

/// Memory given up by a PodBuffer, and how to free it.
struct ReleasedMemory {
  void* data = nullptr;
  std::size_t mapped_bytes = 0;  // 0: std::free; otherwise unmap_pages of this length

  void free() const noexcept {
    if (mapped_bytes != 0) {
      unmap_pages(data, mapped_bytes);
      return;
    }
    std::free(data);
  }
};

/// Like a vector, but grown without copying once large: the columns of a large loop reach
/// hundreds of megabytes. Small buffers live on malloc; from 128 KiB on they are mapped
/// pages that grow by remapping (malloc's own threshold for that moves up as a process frees
/// large blocks, and realloc then copies). The memory can be handed over (`release`).
template <class T>
class PodBuffer {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  PodBuffer() = default;
  PodBuffer(PodBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)),
        mapped_(std::exchange(other.mapped_, false)) {}
  PodBuffer& operator=(PodBuffer&& other) noexcept {
    if (this != &other) {
      release().free();
      data_ = std::exchange(other.data_, nullptr);
      size_ = std::exchange(other.size_, 0);
      capacity_ = std::exchange(other.capacity_, 0);
      mapped_ = std::exchange(other.mapped_, false);
    }
    return *this;
  }
  PodBuffer(const PodBuffer&) = delete;
  PodBuffer& operator=(const PodBuffer&) = delete;
  ~PodBuffer() { release().free(); }

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

  /// At least `n` writable values past the end, not yet part of the buffer; `commit` adds
  /// those written.
  [[gnu::always_inline]] T* room(std::size_t n) {
    if (capacity_ - size_ < n) grow(n);
    return data_ + size_;
  }
  [[gnu::always_inline]] void commit(std::size_t n) noexcept { size_ += n; }

  /// Keeps the first `n` values (none are added).
  void shrink_to(std::size_t n) noexcept {
    if (n < size_) size_ = n;
  }

  /// Gives up the memory; the buffer is empty afterwards.
  ReleasedMemory release() noexcept {
    ReleasedMemory memory{std::exchange(data_, nullptr), mapped_ ? capacity_ * sizeof(T) : 0};
    size_ = capacity_ = 0;
    mapped_ = false;
    return memory;
  }

 private:
  static constexpr std::size_t kMapFrom = std::size_t{1} << 17;
  static constexpr std::size_t kPage = platform::kPageBytes;
  static constexpr std::size_t kHugeFrom = std::size_t{4} << 20;

  [[gnu::noinline]] void grow(std::size_t n) {
    // At least 32 bytes to start: most single values then fit the first allocation.
    constexpr std::size_t kFirst = sizeof(T) >= 4 ? 8 : 32 / sizeof(T);
    std::size_t capacity = capacity_ == 0 ? kFirst : capacity_ * 2;
    if (capacity - size_ < n) capacity = size_ + n;
    if (capacity > SIZE_MAX / sizeof(T) - kPage) throw std::bad_alloc();
    if (capacity * sizeof(T) >= kMapFrom) {
      std::size_t bytes = (capacity * sizeof(T) + kPage - 1) / kPage * kPage;
      void* grown;
      if (mapped_) {
        grown = platform::remap_memory(data_, capacity_ * sizeof(T), bytes);
        if (grown == nullptr) throw std::bad_alloc();
      } else {
        grown = map_pages(bytes);
        if (grown == nullptr) throw std::bad_alloc();
        if (size_ != 0) std::memcpy(grown, data_, size_ * sizeof(T));
        std::free(data_);
      }
      if (bytes >= kHugeFrom) platform::advise_huge_pages(grown, bytes);
      data_ = static_cast<T*>(grown);
      capacity_ = bytes / sizeof(T);
      mapped_ = true;
      return;
    }
    void* grown = std::realloc(data_, capacity * sizeof(T));
    if (grown == nullptr) throw std::bad_alloc();
    data_ = static_cast<T*>(grown);
    capacity_ = capacity;
  }

  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  bool mapped_ = false;
};

}  // namespace tessrin
