#include "tables/py_tables.hpp"

#include <new>
#include <string>

#include "export/arrow_stream.hpp"
#include "export/py_strings.hpp"
#include "export/pyarrow_import.hpp"
#include "python/pyref.hpp"
#include "tables/table_export.hpp"

namespace tessrin {
namespace {

/// One table through its own C stream into a pyarrow.Table.
PyObject* table_to_pyarrow(const TableSet& set, CategoryTable& table, TableTyping* typing) {
  ArrowArrayStream stream{};
  export_table(set, table, typing, &stream);
  PyRef reader = PyRef::steal(import_stream(&stream));
  if (!reader) return nullptr;
  return PyObject_CallMethod(reader.get(), "read_all", nullptr);
}

PyObject* tables_to_python_impl(TableSet& set, const TypesOption& types) {
  // pyarrow first: a missing or too old one is reported before any work is done.
  if (pyarrow_reader_class() == nullptr) return nullptr;
  PyRef tables = PyRef::steal(PyDict_New());
  if (!tables) return nullptr;
  for (CategoryTable& category : set.categories) {
    // Typed one table at a time, just before it goes: its text columns are freed as its
    // typed ones are made.
    TableTyping typing = type_table(set, category, types);
    PyRef table = PyRef::steal(table_to_pyarrow(set, category, &typing));
    if (!table) return nullptr;
    PyRef name = PyRef::steal(PyUnicode_DecodeUTF8(
        category.name.data(), static_cast<Py_ssize_t>(category.name.size()), "replace"));
    if (!name || PyDict_SetItem(tables.get(), name.get(), table.get()) < 0) return nullptr;
    category.columns.clear();
  }
  // Last: typing adds the diagnostics of declared types.
  PyRef errors = PyRef::steal(diagnostics_to_list(set.errors));
  if (!errors) return nullptr;
  return PyTuple_Pack(2, tables.get(), errors.get());
}

}  // namespace

PyObject* tables_to_python(TableSet&& set, const TypesOption& types) {
  try {
    return tables_to_python_impl(set, types);
  } catch (const ColumnTooLarge& e) {
    return raise_text(PyExc_OverflowError, e.what());
  } catch (const ExportError& e) {
    return raise_export_error(e);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

}  // namespace tessrin
