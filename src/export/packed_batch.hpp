// The C structures of a record batch, each packed into one allocation: a struct schema with its
// children and their strings, and a struct array with its children, their buffer pointers and
// shares of the bytes they show. Files of many frames give tens of thousands of small
// batches; every allocation of each is paid again, under the interpreter lock, when pyarrow
// imports and frees it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include <nanoarrow/nanoarrow.h>

#include "export/arrow_stream.hpp"

namespace tessrin {

/// Fills `out` (released by the caller) with the struct schema of `fields` and the encoded
/// schema `metadata` (none if empty). Supports the column types the batches use: int32,
/// int64, float64 and utf8.
void pack_schema(std::span<const Field> fields, std::span<const char> metadata,
                 ArrowSchema* out);

/// A copy of `schema`, which pack_schema made, as one new allocation.
void copy_packed_schema(const ArrowSchema& schema, ArrowSchema* out);

/// Fills `out` with the struct array of `fields`, `rows` rows each; it holds a share of every
/// column buffer until released. Checks that each column's buffers cover its rows.
void pack_array(std::span<const Field> fields, std::int64_t rows, ArrowArray* out);

/// Frees the small released blocks queued for the next pack_array; returns their buffers'
/// bytes. Thread-safe.
std::size_t free_retired_blocks() noexcept;

}  // namespace tessrin
