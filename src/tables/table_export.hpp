// A category table as one Arrow C stream of one batch: `block`, `frame`, then one utf8
// column per item, built with nanoarrow over the table's own buffers (the text is not copied).
#pragma once

#include <nanoarrow/nanoarrow.h>

#include <string>

#include "tables/table_builder.hpp"
#include "types/table_types.hpp"

namespace tessrin {

/// The field name of an item column. One named like a leading column
/// (`_array_data_external_data.frame`) would give the table two columns of one name, which
/// pandas, polars and DuckDB cannot tell apart: it takes its full DDLm name. The C interface
/// carries names NUL-terminated, so a stray NUL in a name is written as U+FFFD.
std::string item_field_name(const CategoryTable& table, const TableColumn& column);

/// Fills `out` with a stream of the table's one batch. Consumes the table's columns: their
/// memory moves into the stream and is freed by its release callbacks. With `typing`, its
/// int64 and float64 columns (and uncertainty companions) take the place of the text ones and
/// its rules are the schema's metadata. Throws ExportError, ColumnTooLarge or std::bad_alloc,
/// and then `out` is left untouched.
void export_table(const TableSet& set, CategoryTable& table, TableTyping* typing,
                  ArrowArrayStream* out);

}  // namespace tessrin
