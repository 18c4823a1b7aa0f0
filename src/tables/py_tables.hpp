// The result of parse_tables: the category tables handed to pyarrow, and the diagnostics.
#pragma once

#include <Python.h>

#include "tables/table_builder.hpp"

namespace tessrin {

/// A new tuple (dict of category name -> pyarrow.Table in order of first appearance, list of
/// diagnostic dicts), or null with a Python exception set. Consumes the tables' columns.
PyObject* tables_to_python(TableSet&& set);

}  // namespace tessrin
