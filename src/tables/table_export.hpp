// A category table as one Arrow C stream of one batch: `block`, `frame`, then one utf8
// column per item, built with nanoarrow over the table's own buffers (the text is not copied).
#pragma once

#include <nanoarrow/nanoarrow.h>

#include "tables/table_builder.hpp"

namespace tessrin {

/// Fills `out` with a stream of the table's one batch. Consumes the table's columns: their
/// memory moves into the stream and is freed by its release callbacks. Throws ExportError,
/// ColumnTooLarge or std::bad_alloc, and then `out` is left untouched.
void export_table(const TableSet& set, CategoryTable& table, ArrowArrayStream* out);

}  // namespace tessrin
