// The result of parse_tables: the category tables handed to pyarrow, and the diagnostics.
#pragma once

#include <Python.h>

#include "tables/table_builder.hpp"
#include "types/table_types.hpp"

namespace tessrin {

/// A new tuple (dict of category name -> pyarrow.Table in order of first appearance, list of
/// diagnostic dicts), or null with a Python exception set. Consumes the tables' columns.
/// Columns are typed as `types` says.
PyObject* tables_to_python(TableSet&& set, const TypesOption& types);

}  // namespace tessrin
