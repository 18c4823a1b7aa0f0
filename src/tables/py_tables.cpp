#include "tables/py_tables.hpp"

#include <new>

#include "export/py_strings.hpp"
#include "python/pyref.hpp"
#include "tables/table_export.hpp"

namespace tessrin {
namespace {

// Releases a stream unless pyarrow took it over (its import clears `release`).
struct StreamGuard {
  ArrowArrayStream stream{};
  ~StreamGuard() {
    if (stream.release != nullptr) stream.release(&stream);
  }
};

/// One table through its own C stream into a pyarrow.Table.
PyObject* table_to_pyarrow(PyObject* reader_class, const TableSet& set, CategoryTable& table,
                           TableTyping* typing) {
  StreamGuard guard;
  export_table(set, table, typing, &guard.stream);
  PyRef address = PyRef::steal(PyLong_FromVoidPtr(&guard.stream));
  if (!address) return nullptr;
  PyRef reader =
      PyRef::steal(PyObject_CallMethod(reader_class, "_import_from_c", "O", address.get()));
  if (!reader) return nullptr;
  return PyObject_CallMethod(reader.get(), "read_all", nullptr);
}

}  // namespace

PyObject* tables_to_python(TableSet&& set, const TypesOption& types) {
  try {
    PyRef pyarrow = PyRef::steal(PyImport_ImportModule("pyarrow"));
    if (!pyarrow) return nullptr;
    PyRef reader_class = PyRef::steal(PyObject_GetAttrString(pyarrow.get(), "RecordBatchReader"));
    if (!reader_class) return nullptr;
    PyRef tables = PyRef::steal(PyDict_New());
    if (!tables) return nullptr;
    for (CategoryTable& category : set.categories) {
      // Typed one table at a time, just before it goes: its text columns are freed as its
      // typed ones are made.
      TableTyping typing = type_table(set, category, types);
      PyRef table = PyRef::steal(table_to_pyarrow(reader_class.get(), set, category, &typing));
      if (!table) return nullptr;
      PyRef name = PyRef::steal(
          PyUnicode_DecodeUTF8(category.name.data(),
                               static_cast<Py_ssize_t>(category.name.size()), "surrogatepass"));
      if (!name || PyDict_SetItem(tables.get(), name.get(), table.get()) < 0) return nullptr;
      category.columns.clear();
    }
    // Last: typing adds the diagnostics of declared types.
    PyRef errors = PyRef::steal(diagnostics_to_list(set.errors));
    if (!errors) return nullptr;
    return PyTuple_Pack(2, tables.get(), errors.get());
  } catch (const ColumnTooLarge& e) {
    PyErr_SetString(PyExc_OverflowError, e.what());
    return nullptr;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

}  // namespace tessrin
