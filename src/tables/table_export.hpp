// A category table as one Arrow C stream of one batch: `block`, `frame`, then one utf8
// column per item, built over the table's own buffers (nothing is copied into an Arrow
// library; any consumer of the C Stream Interface can take it).
#pragma once

#include <arrow/c/abi.h>

#include "tables/table_builder.hpp"
#include "types/table_types.hpp"

namespace tessrin {

/// Fills `out` with a stream of the table's one batch. Consumes the table's columns: their
/// memory moves into the stream and is freed by its release callbacks. With `typing`, its
/// int64 and float64 columns (and uncertainty companions) replace the text ones and its rules
/// are the schema's metadata. Throws only std::bad_alloc, and then `out` is left untouched.
void export_table(const TableSet& set, CategoryTable& table, TableTyping* typing,
                  ArrowArrayStream* out);

}  // namespace tessrin
