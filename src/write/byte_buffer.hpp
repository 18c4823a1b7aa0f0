// A growable byte buffer that is written through a pointer, without zero-filling first.
// Plain realloc rather than PodBuffer's page mappings: the writer's buffers live for one call
// and are rewritten at once, and fresh mappings made dumps of the mmCIF files a third slower.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>
#include <utility>

namespace tessrin {

class ByteBuffer {
 public:
  /// Where a buffer's bytes live when not on a block of its own: dumps writes into a block
  /// kept from call to call, so that its pages are not faulted in afresh each time.
  class Storage {
   public:
    /// The buffer's first `size` bytes moved to room for `capacity` (the first call has
    /// `data` null); throws std::bad_alloc when there is no memory.
    virtual char* resize(char* data, std::size_t size, std::size_t capacity) = 0;
    virtual void release(char* data) noexcept = 0;

   protected:
    ~Storage() = default;
  };

  ByteBuffer() = default;
  explicit ByteBuffer(Storage* storage) : storage_(storage) {}
  ByteBuffer(const ByteBuffer&) = delete;
  ByteBuffer& operator=(const ByteBuffer&) = delete;
  ByteBuffer(ByteBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)),
        storage_(std::exchange(other.storage_, nullptr)) {}
  ~ByteBuffer() {
    if (storage_ != nullptr) {
      storage_->release(data_);
    } else {
      std::free(data_);
    }
  }

  /// Room for `n` more bytes; returns where they go. Nothing counts until `commit`.
  char* reserve(std::size_t n) {
    if (capacity_ - size_ < n) grow(n);
    return data_ + size_;
  }
  void commit(std::size_t n) { size_ += n; }

  ByteBuffer& append(const char* p, std::size_t n) {
    if (n != 0) std::memcpy(reserve(n), p, n);
    size_ += n;
    return *this;
  }
  ByteBuffer& append(std::string_view s) { return append(s.data(), s.size()); }
  ByteBuffer& append(std::size_t n, char c) {
    if (n != 0) std::memset(reserve(n), c, n);
    size_ += n;
    return *this;
  }
  void push_back(char c) {
    *reserve(1) = c;
    ++size_;
  }

  const char* data() const { return data_; }
  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  /// Bytes that fit after the end without growing.
  std::size_t room() const { return capacity_ - size_; }
  bool empty() const { return size_ == 0; }
  void clear() { size_ = 0; }
  char back() const { return data_[size_ - 1]; }

 private:
  void grow(std::size_t n) {
    std::size_t capacity = capacity_ < 256 ? 256 : capacity_ * 2;
    if (capacity - size_ < n) capacity = size_ + n;
    if (storage_ != nullptr) {
      data_ = storage_->resize(data_, size_, capacity);
      capacity_ = capacity;
      return;
    }
    // realloc can move a large buffer by remapping its pages instead of copying them.
    void* grown = std::realloc(data_, capacity);
    if (grown == nullptr) throw std::bad_alloc();
    data_ = static_cast<char*>(grown);
    capacity_ = capacity;
  }

  char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  Storage* storage_ = nullptr;
};

}  // namespace tessrin
