// The result of parse_tables: the category tables handed to pyarrow, and the diagnostics. In two
// steps, as for parse_arrow: typing the tables and building their Arrow arrays is native work
// done without the interpreter lock; only the hand-over to pyarrow needs it.
#pragma once

#include <Python.h>

#include <exception>
#include <nanoarrow/nanoarrow.hpp>
#include <string>
#include <vector>

#include "python/module_state.hpp"
#include "tables/table_builder.hpp"
#include "types/table_types.hpp"

namespace tessrin {

/// The tables of a parse, typed and exported: one stream per category in order of first
/// appearance, or the failure met while making them. Only what the hand-over needs: the rest
/// of the parse is freed without the lock too.
struct PreparedTables {
  std::vector<std::string> names;  // the categories'
  std::vector<nanoarrow::UniqueArrayStream> streams;
  TextPool diagnostic_texts;  // what `errors` view
  std::vector<ParseDiagnostic> errors;
  std::exception_ptr failure;  // an ExportError, ColumnTooLarge or std::bad_alloc
};

/// Types every table of `set` as `types` says and builds its stream, touching no Python object.
PreparedTables prepare_tables(TableSet&& set, const TypesOption& types) noexcept;

/// A new tuple (dict of category name -> pyarrow.Table in order of first appearance, list of
/// diagnostic dicts), or null with a Python exception set (the preparation's failure, if any,
/// is raised here).
PyObject* tables_to_python(ModuleState& state, PreparedTables& prepared);

}  // namespace tessrin
