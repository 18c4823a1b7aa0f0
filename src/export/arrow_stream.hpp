// Arrow C data structures built with nanoarrow: memory shared between the collector's buffers
// and any number of Arrow buffers, columns made of such memory, record batches of named
// columns, and the C stream that hands batches to a consumer. No Arrow library involved.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nanoarrow/nanoarrow.hpp>

#include "collect/pod_buffer.hpp"

namespace tessrin {

/// A batch could not be built (running out of memory throws std::bad_alloc instead).
class ExportError : public std::runtime_error {
 public:
  enum class Kind { invalid, capacity };
  ExportError(Kind kind, std::string message)
      : std::runtime_error(message), kind_(kind), message_(std::move(message)) {}
  Kind kind() const noexcept { return kind_; }
  /// The whole message: names in it may hold NUL, where what() would end.
  const std::string& message() const noexcept { return message_; }

 private:
  Kind kind_;
  std::string message_;
};

/// Bytes owned jointly by every Arrow buffer that shows them, freed once, when the last one
/// lets go (from any thread). The pointer is never null, even for no bytes: consumers of
/// exported arrays may insist.
class SharedBytes {
 public:
  SharedBytes() = default;

  /// The memory of a collector's buffer, without copying; `buffer` is empty afterwards.
  template <class T>
  static SharedBytes take(PodBuffer<T>& buffer) {
    const std::size_t size = buffer.size() * sizeof(T);
    return adopt(buffer.release(), size);
  }
  /// `bytes` zero bytes. Large ones come as fresh pages, which stay shared and cost no memory.
  static SharedBytes zeros(std::size_t bytes);

  explicit operator bool() const noexcept { return storage_ != nullptr; }
  std::uint8_t* data() const noexcept { return data_; }
  std::int64_t size() const noexcept { return size_; }
  template <class T>
  T* as() const noexcept {
    return reinterpret_cast<T*>(data_);
  }

 private:
  struct Storage;
  static SharedBytes adopt(ReleasedMemory memory, std::size_t size);

  std::shared_ptr<Storage> storage_;
  std::uint8_t* data_ = nullptr;
  std::int64_t size_ = 0;
};

/// One column, not yet placed in an array: its type, length, null count and buffers in
/// Arrow's order (validity first; an empty SharedBytes where there is none).
struct Column {
  ArrowType type = NANOARROW_TYPE_STRING;
  std::int64_t length = 0;
  std::int64_t null_count = 0;
  std::array<SharedBytes, 3> buffers;
};

/// A column of `rows` nulls: one zero buffer serves as validity bitmap, offsets and values.
Column null_column(ArrowType type, std::int64_t rows);

/// `rows` copies of `value`.
Column constant_int32(std::int32_t value, std::int64_t rows);

/// `rows` copies of `text`; the caller checks that rows * text.size() fits 32-bit offsets.
Column constant_utf8(std::string_view text, std::int64_t rows);

/// `column` (utf8, at most `rows` long) with nulls appended up to `rows`. The text buffer is
/// shared; only offsets and a validity bitmap are new.
Column pad_utf8(const Column& column, std::int64_t rows);

/// A named column of a batch.
struct Field {
  std::string_view name;
  bool nullable = true;
  const Column* column = nullptr;
};

/// A record batch: a struct schema and a struct array with one child per field.
struct Batch {
  nanoarrow::UniqueSchema schema;
  nanoarrow::UniqueArray array;
};

/// A batch of `rows` rows from `fields`, each column exactly `rows` long, its schema carrying
/// the encoded `metadata` if any.
Batch make_record_batch(std::span<const Field> fields, std::int64_t rows,
                        std::span<const char> metadata = {});

/// A stream yielding `arrays` in order, all of `schema`, which make_record_batch made.
void make_stream(nanoarrow::UniqueSchema schema, std::vector<nanoarrow::UniqueArray> arrays,
                 ArrowArrayStream* out);

/// A stream yielding `batch` once.
void make_stream(Batch batch, ArrowArrayStream* out);

}  // namespace tessrin
