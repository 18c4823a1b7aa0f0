#include "export/arrow_stream.hpp"

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

void check(ArrowErrorCode code, const ArrowError* error = nullptr) {
  if (code == NANOARROW_OK) return;
  if (code == ENOMEM) throw std::bad_alloc();
  std::string message = error != nullptr && error->message[0] != '\0'
                            ? std::string(error->message)
                            : "nanoarrow error " + std::to_string(code);
  throw ExportError(ExportError::Kind::invalid, message);
}

// nanoarrow's deallocator for a lent buffer: drops that buffer's share.
void drop_share(ArrowBufferAllocator* allocator, std::uint8_t*, std::int64_t) {
  delete static_cast<SharedBytes*>(allocator->private_data);
}

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

void SharedBytes::lend(ArrowBuffer* out) const {
  auto* share = new SharedBytes(*this);
  if (ArrowBufferSetAllocator(out, ArrowBufferDeallocator(&drop_share, share)) != NANOARROW_OK) {
    delete share;
    throw ExportError(ExportError::Kind::invalid, "an Arrow buffer was lent twice");
  }
  out->data = data_;
  out->size_bytes = size_;
  out->capacity_bytes = size_;
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

Batch make_record_batch(std::span<const Field> fields, std::int64_t rows) {
  Batch batch;
  ArrowSchema* schema = batch.schema.get();
  ArrowArray* array = batch.array.get();
  const auto n = static_cast<std::int64_t>(fields.size());
  check(ArrowSchemaInitFromType(schema, NANOARROW_TYPE_STRUCT));
  check(ArrowSchemaAllocateChildren(schema, n));
  check(ArrowArrayInitFromType(array, NANOARROW_TYPE_STRUCT));
  check(ArrowArrayAllocateChildren(array, n));
  std::string name;  // nanoarrow takes names NUL-terminated
  for (std::int64_t i = 0; i < n; ++i) {
    const Field& field = fields[static_cast<std::size_t>(i)];
    const Column& column = *field.column;
    if (column.length != rows) {
      throw ExportError(ExportError::Kind::invalid,
                        "a column of " + std::to_string(column.length) + " rows in a batch of " +
                            std::to_string(rows));
    }
    ArrowSchema* child_schema = schema->children[i];
    check(ArrowSchemaInitFromType(child_schema, column.type));
    name.assign(field.name);
    check(ArrowSchemaSetName(child_schema, name.c_str()));
    if (!field.nullable) child_schema->flags &= ~ARROW_FLAG_NULLABLE;

    ArrowArray* child = array->children[i];
    check(ArrowArrayInitFromType(child, column.type));
    for (std::int64_t b = 0; b < child->n_buffers && b < 3; ++b) {
      if (column.buffers[b]) column.buffers[b].lend(ArrowArrayBuffer(child, b));
    }
    child->length = rows;
    child->null_count = column.null_count;
  }
  array->length = rows;
  array->null_count = 0;
  ArrowError error{};
  // Checks buffer sizes and end offsets only: constant time per column.
  check(ArrowArrayFinishBuilding(array, NANOARROW_VALIDATION_LEVEL_DEFAULT, &error), &error);
  return batch;
}

void make_stream(nanoarrow::UniqueSchema schema, std::vector<nanoarrow::UniqueArray> arrays,
                 ArrowArrayStream* out) {
  // Takes the schema over on success only.
  check(ArrowBasicArrayStreamInit(out, schema.get(), static_cast<std::int64_t>(arrays.size())));
  for (std::size_t i = 0; i < arrays.size(); ++i) {
    ArrowBasicArrayStreamSetArray(out, static_cast<std::int64_t>(i), arrays[i].get());
  }
}

void make_stream(Batch batch, ArrowArrayStream* out) {
  std::vector<nanoarrow::UniqueArray> arrays;
  arrays.push_back(std::move(batch.array));
  make_stream(std::move(batch.schema), std::move(arrays), out);
}

}  // namespace tessrin
