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

}  // namespace

bool load_pyarrow(ModuleState& state) {
  if (state.reader_class != nullptr) return true;
  PyRef module = PyRef::steal(PyImport_ImportModule("pyarrow"));
  if (!module) return false;
  PyRef version = PyRef::steal(PyObject_GetAttrString(module.get(), "__version__"));
  if (major_version(version.get()) < kMinPyarrowMajor) {
    PyErr_Clear();
    PyErr_Format(PyExc_ImportError, "tessrin needs pyarrow>=%ld, found pyarrow %S",
                 kMinPyarrowMajor, version ? version.get() : Py_None);
    return false;
  }
  PyRef reader = PyRef::steal(PyObject_GetAttrString(module.get(), "RecordBatchReader"));
  if (!reader) return false;
  PyRef batch = PyRef::steal(PyObject_GetAttrString(module.get(), "RecordBatch"));
  if (!batch) return false;
  // The import may have let another thread run and get here first; keep its objects.
  if (state.reader_class == nullptr) {
    state.batch_class = batch.release();
    state.reader_class = reader.release();
  }
  return true;
}

PyObject* import_stream(ModuleState& state, ArrowArrayStream* stream) {
  StreamGuard guard{stream};
  if (!load_pyarrow(state)) return nullptr;
  PyRef address = PyRef::steal(PyLong_FromVoidPtr(stream));
  if (!address) return nullptr;
  // Called once per table of parse_tables: by an interned name, without a format string.
  PyObject* args[] = {state.reader_class, address.get()};
  return PyObject_VectorcallMethod(state.import_from_c, args, 2, nullptr);
}

PyObject* import_batch(ModuleState& state, ArrowArray* array, ArrowSchema* schema) {
  // Whatever pyarrow did not take over is released here.
  struct Guard {
    ArrowArray* array;
    ArrowSchema* schema;
    ~Guard() {
      if (array->release != nullptr) array->release(array);
      if (schema->release != nullptr) schema->release(schema);
    }
  } guard{array, schema};
  if (!load_pyarrow(state)) return nullptr;
  PyRef array_address = PyRef::steal(PyLong_FromVoidPtr(array));
  if (!array_address) return nullptr;
  PyRef schema_address = PyRef::steal(PyLong_FromVoidPtr(schema));
  if (!schema_address) return nullptr;
  PyObject* args[] = {state.batch_class, array_address.get(), schema_address.get()};
  return PyObject_VectorcallMethod(state.import_from_c, args, 3, nullptr);
}

PyObject* read_next_batch(const ModuleState& state, PyObject* reader) {
  return PyObject_CallMethodNoArgs(reader, state.read_next_batch);
}

PyObject* read_table(const ModuleState& state, PyObject* reader) {
  return PyObject_CallMethodNoArgs(reader, state.read_all);
}

PyObject* read_all_batches(const ModuleState& state, PyObject* reader) {
  // The table's chunks are the batches as read; to_batches gives each back whole (it only
  // skips batches without rows, which the caller rules out).
  PyRef table = PyRef::steal(read_table(state, reader));
  if (!table) return nullptr;
  return PyObject_CallMethodNoArgs(table.get(), state.to_batches);
}

}  // namespace tessrin
