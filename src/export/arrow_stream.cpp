#include "export/arrow_stream.hpp"

#include "export/packed_batch.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace tessrin {

struct SharedBytes::Storage {
  ReleasedMemory memory;
  explicit Storage(ReleasedMemory given) noexcept : memory(given) {}
  Storage(const Storage&) = delete;
  Storage& operator=(const Storage&) = delete;
  ~Storage() { memory.free(); }
};

namespace {

template <class T, class Fill>
SharedBytes filled(std::size_t count, Fill&& fill) {
  // On the collector's buffers, so large ones are recycled page mappings like the values.
  PodBuffer<T> buffer;
  fill(buffer.extend(count));
  return SharedBytes::take(buffer);
}

}  // namespace

SharedBytes SharedBytes::adopt(ReleasedMemory memory, std::size_t size) {
  if (memory.data == nullptr) {
    memory = ReleasedMemory{std::malloc(1), 0};
    if (memory.data == nullptr) throw std::bad_alloc();
  }
  SharedBytes out;
  try {
    out.storage_ = std::make_shared<Storage>(memory);
  } catch (...) {
    memory.free();
    throw;
  }
  out.data_ = static_cast<std::uint8_t*>(memory.data);
  out.size_ = static_cast<std::int64_t>(size);
  return out;
}

SharedBytes SharedBytes::zeros(std::size_t bytes) {
  void* memory = std::calloc(bytes == 0 ? 1 : bytes, 1);
  if (memory == nullptr) throw std::bad_alloc();
  return adopt(ReleasedMemory{memory, 0}, bytes);
}

Column null_column(ArrowType type, std::int64_t rows) {
  SharedBytes zero = SharedBytes::zeros(static_cast<std::size_t>(rows + 1) * 4);
  Column column{type, rows, rows, {zero, zero, {}}};
  if (type == NANOARROW_TYPE_STRING) column.buffers[2] = zero;
  return column;
}

Column constant_int32(std::int32_t value, std::int64_t rows) {
  const auto count = static_cast<std::size_t>(rows);
  SharedBytes values =
      value == 0 ? SharedBytes::zeros(count * sizeof(value))
                 : filled<std::int32_t>(count, [&](std::int32_t* out) {
                     std::fill_n(out, count, value);
                   });
  return Column{NANOARROW_TYPE_INT32, rows, 0, {SharedBytes(), std::move(values), {}}};
}

Column constant_utf8(std::string_view text, std::int64_t rows) {
  const auto len = static_cast<std::int64_t>(text.size());
  SharedBytes offsets = filled<std::int32_t>(static_cast<std::size_t>(rows) + 1, [&](auto* out) {
    for (std::int64_t r = 0; r <= rows; ++r) out[r] = static_cast<std::int32_t>(r * len);
  });
  SharedBytes data = filled<char>(static_cast<std::size_t>(len * rows), [&](char* out) {
    for (std::int64_t r = 0; r < rows && len != 0; ++r) {
      std::memcpy(out + r * len, text.data(), text.size());
    }
  });
  return Column{NANOARROW_TYPE_STRING, rows, 0, {SharedBytes(), std::move(offsets), std::move(data)}};
}

Column pad_utf8(const Column& column, std::int64_t rows) {
  const std::int64_t n = column.length;
  if (n == 0) return null_column(NANOARROW_TYPE_STRING, rows);
  const auto* old_offsets = column.buffers[1].as<const std::int32_t>();
  SharedBytes offsets = filled<std::int32_t>(static_cast<std::size_t>(rows) + 1, [&](auto* out) {
    std::memcpy(out, old_offsets, static_cast<std::size_t>(n + 1) * 4);
    std::fill(out + n + 1, out + rows + 1, old_offsets[n]);
  });
  SharedBytes validity = SharedBytes::zeros(static_cast<std::size_t>(_ArrowBytesForBits(rows)));
  if (column.buffers[0]) {
    std::memcpy(validity.data(), column.buffers[0].data(),
                static_cast<std::size_t>(_ArrowBytesForBits(n)));
    // Bits past the old length in its last byte are undefined; the new rows are nulls.
    ArrowBitsSetTo(validity.data(), n, _ArrowBytesForBits(n) * 8 - n, 0);
  } else {
    ArrowBitsSetTo(validity.data(), 0, n, 1);
  }
  return Column{NANOARROW_TYPE_STRING,
                rows,
                column.null_count + rows - n,
                {std::move(validity), std::move(offsets), column.buffers[2]}};
}

Batch make_record_batch(std::span<const Field> fields, std::int64_t rows,
                        std::span<const char> metadata) {
  Batch batch;
  pack_array(fields, rows, batch.array.get());
  pack_schema(fields, metadata, batch.schema.get());
  return batch;
}

namespace {

// A stream of packed batches of one schema. nanoarrow's general stream deep-copies its schema
// field by field, which costs more than a small batch itself.
struct BatchStream {
  nanoarrow::UniqueSchema schema;
  std::vector<nanoarrow::UniqueArray> arrays;
  std::size_t next = 0;
};

int stream_schema(ArrowArrayStream* stream, ArrowSchema* out) {
  try {
    copy_packed_schema(*static_cast<BatchStream*>(stream->private_data)->schema.get(), out);
    return 0;
  } catch (const std::bad_alloc&) {
    return ENOMEM;
  }
}

int stream_next(ArrowArrayStream* stream, ArrowArray* out) {
  auto* state = static_cast<BatchStream*>(stream->private_data);
  if (state->next == state->arrays.size()) {
    out->release = nullptr;  // the end of the stream
  } else {
    ArrowArrayMove(state->arrays[state->next++].get(), out);
  }
  return 0;
}

const char* stream_error(ArrowArrayStream*) { return nullptr; }

void stream_release(ArrowArrayStream* stream) {
  delete static_cast<BatchStream*>(stream->private_data);
  stream->release = nullptr;
}

}  // namespace

void make_stream(nanoarrow::UniqueSchema schema, std::vector<nanoarrow::UniqueArray> arrays,
                 ArrowArrayStream* out) {
  auto* state = new BatchStream{std::move(schema), std::move(arrays)};
  out->get_schema = &stream_schema;
  out->get_next = &stream_next;
  out->get_last_error = &stream_error;
  out->release = &stream_release;
  out->private_data = state;
}

void make_stream(Batch batch, ArrowArrayStream* out) {
  std::vector<nanoarrow::UniqueArray> arrays;
  arrays.push_back(std::move(batch.array));
  make_stream(std::move(batch.schema), std::move(arrays), out);
}

}  // namespace tessrin
