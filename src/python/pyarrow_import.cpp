#include "python/pyarrow_import.hpp"

#include <cstdlib>

#include "python/py_strings.hpp"
#include "python/pyref.hpp"

namespace tessrin {
namespace {

// The major number of pyarrow.__version__ ("14.0.2", "21.0.0.dev12"), or -1.
long major_version(PyObject* version) {
  const char* text = version != nullptr ? PyUnicode_AsUTF8(version) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    return -1;
  }
  char* end = nullptr;
  const long major = std::strtol(text, &end, 10);
  return end == text ? -1 : major;
}

// Releases a stream unless pyarrow took it over (its import clears `release`).
struct StreamGuard {
  ArrowArrayStream* stream;
  ~StreamGuard() {
    if (stream->release != nullptr) stream->release(stream);
  }
};

// pyarrow.RecordBatch, set with the reader class.
PyObject* batch_class = nullptr;

}  // namespace

PyObject* pyarrow_reader_class() {
  // A failed import is not remembered, so installing pyarrow later in the session still works.
  static PyObject* cls = nullptr;
  if (cls != nullptr) return cls;
  PyRef module = PyRef::steal(PyImport_ImportModule("pyarrow"));
  if (!module) return nullptr;
  PyRef version = PyRef::steal(PyObject_GetAttrString(module.get(), "__version__"));
  if (major_version(version.get()) < kMinPyarrowMajor) {
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "tessrin needs pyarrow>=%ld, found pyarrow %S",
                 kMinPyarrowMajor, version ? version.get() : Py_None);
    return nullptr;
  }
  PyRef found = PyRef::steal(PyObject_GetAttrString(module.get(), "RecordBatchReader"));
  if (!found) return nullptr;
  PyRef batch = PyRef::steal(PyObject_GetAttrString(module.get(), "RecordBatch"));
  if (!batch) return nullptr;
  // The import may have let another thread run and get here first; keep its objects.
  if (cls == nullptr) {
    batch_class = batch.release();
    cls = found.release();
  }
  return cls;
}

PyObject* import_stream(ArrowArrayStream* stream) {
  StreamGuard guard{stream};
  PyObject* cls = pyarrow_reader_class();
  if (cls == nullptr) return nullptr;
  // Called once per table of parse_tables: by an interned name, without a format string.
  static PyObject* name = PyUnicode_InternFromString("_import_from_c");
  if (name == nullptr) return nullptr;
  PyRef address = PyRef::steal(PyLong_FromVoidPtr(stream));
  if (!address) return nullptr;
  PyObject* args[] = {cls, address.get()};
  return PyObject_VectorcallMethod(name, args, 2, nullptr);
}

PyObject* import_batch(ArrowArray* array, ArrowSchema* schema) {
  // Whatever pyarrow did not take over is released here.
  struct Guard {
    ArrowArray* array;
    ArrowSchema* schema;
    ~Guard() {
      if (array->release != nullptr) array->release(array);
      if (schema->release != nullptr) schema->release(schema);
    }
  } guard{array, schema};
  if (pyarrow_reader_class() == nullptr) return nullptr;
  PyRef array_address = PyRef::steal(PyLong_FromVoidPtr(array));
  if (!array_address) return nullptr;
  PyRef schema_address = PyRef::steal(PyLong_FromVoidPtr(schema));
  if (!schema_address) return nullptr;
  return PyObject_CallMethod(batch_class, "_import_from_c", "OO", array_address.get(),
                             schema_address.get());
}

PyObject* read_next_batch(PyObject* reader) {
  static PyObject* name = PyUnicode_InternFromString("read_next_batch");
  if (name == nullptr) return nullptr;
  return PyObject_CallMethodNoArgs(reader, name);
}

PyObject* read_table(PyObject* reader) {
  static PyObject* name = PyUnicode_InternFromString("read_all");
  if (name == nullptr) return nullptr;
  return PyObject_CallMethodNoArgs(reader, name);
}

PyObject* read_all_batches(PyObject* reader) {
  static PyObject* to_batches = PyUnicode_InternFromString("to_batches");
  if (to_batches == nullptr) return nullptr;
  // The table's chunks are the batches as read; to_batches gives each back whole (it only
  // skips batches without rows, which the caller rules out).
  PyRef table = PyRef::steal(read_table(reader));
  if (!table) return nullptr;
  return PyObject_CallMethodNoArgs(table.get(), to_batches);
}

PyObject* raise_export_error(const ExportError& error) {
  return raise_text(
      error.kind() == ExportError::Kind::capacity ? PyExc_OverflowError : PyExc_ValueError,
      error.message());
}

}  // namespace tessrin
