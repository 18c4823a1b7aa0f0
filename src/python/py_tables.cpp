#include "python/py_tables.hpp"

#include <string>

#include "export/arrow_stream.hpp"
#include "python/py_strings.hpp"
#include "python/pyarrow_import.hpp"
#include "python/pyref.hpp"
#include "tables/table_export.hpp"

namespace tessrin {

PyObject* tables_to_python(ModuleState& state, PreparedTables& prepared) {
  if (prepared.failure) std::rethrow_exception(prepared.failure);
  PyRef tables = PyRef::steal(PyDict_New());
  if (!tables) return nullptr;
  for (std::size_t i = 0; i < prepared.streams.size(); ++i) {
    PyRef reader = PyRef::steal(import_stream(state, prepared.streams[i].get()));
    if (!reader) return nullptr;
    PyRef table = PyRef::steal(read_table(state, reader.get()));
    if (!table) return nullptr;
    const std::string& name = prepared.names[i];
    PyRef key = PyRef::steal(
        PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "replace"));
    if (!key || PyDict_SetItem(tables.get(), key.get(), table.get()) < 0) return nullptr;
  }
  PyRef errors = PyRef::steal(diagnostics_to_list(state, prepared.errors));
  if (!errors) return nullptr;
  return PyTuple_Pack(2, tables.get(), errors.get());
}

PreparedTables prepare_tables(TableSet&& set, const TypesOption& types) noexcept {
  PreparedTables prepared;
  try {
    TableSet parse = std::move(set);  // freed on leaving, still without the lock
    prepared.names.reserve(parse.categories.size());
    prepared.streams.resize(parse.categories.size());
    for (std::size_t i = 0; i < parse.categories.size(); ++i) {
      CategoryTable& category = parse.categories[i];
      // Typed one table at a time, just before its export: its text columns are freed as its
      // typed ones are made. Typing adds the diagnostics of declared types.
      TableTyping typing = type_table(parse, category, types);
      export_table(parse, category, &typing, prepared.streams[i].get());
      category.columns.clear();
      prepared.names.push_back(std::move(category.name));
    }
    prepared.diagnostic_texts = std::move(parse.diagnostic_texts);
    prepared.errors = std::move(parse.errors);
  } catch (...) {
    prepared.streams.clear();
    prepared.failure = std::current_exception();
  }
  return prepared;
}

}  // namespace tessrin
