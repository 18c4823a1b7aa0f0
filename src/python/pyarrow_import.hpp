// Hand-over of Arrow C streams to pyarrow, which is imported on first use and must be at
// least kMinPyarrowMajor (the oldest version the batches are tested with).
#pragma once

#include <Python.h>
#include <nanoarrow/nanoarrow.h>

#include "export/arrow_stream.hpp"
#include "python/module_state.hpp"

namespace tessrin {

/// Oldest pyarrow major version supported; pyproject.toml's dependency floor says the same.
inline constexpr long kMinPyarrowMajor = 14;

/// Imports pyarrow into `state` (RecordBatchReader and RecordBatch) unless it is there; false
/// with ImportError set when pyarrow is missing or older than kMinPyarrowMajor.
bool load_pyarrow(ModuleState& state);

/// A new pyarrow.RecordBatchReader that took `stream` over, or null with an exception set.
/// `stream` is released either way, so the caller never releases it.
PyObject* import_stream(ModuleState& state, ArrowArrayStream* stream);

/// A new pyarrow.RecordBatch that took `array` and `schema` over, or null with an exception
/// set. Both are released either way.
PyObject* import_batch(ModuleState& state, ArrowArray* array, ArrowSchema* schema);

/// The next batch of `reader` (a pyarrow.RecordBatchReader) as a new pyarrow.RecordBatch, or
/// null with an exception set.
PyObject* read_next_batch(const ModuleState& state, PyObject* reader);

/// Every batch of `reader` as a new pyarrow.Table, or null with an exception set.
PyObject* read_table(const ModuleState& state, PyObject* reader);

/// Every batch of `reader`, whose batches all have rows, as a new list of pyarrow.RecordBatch
/// (the same batches read_next_batch gives), or null with an exception set. pyarrow lets go
/// of the interpreter lock around each read, and with other threads waiting every read then
/// waits its turn to take it back: read_all lets go once for the whole stream.
PyObject* read_all_batches(const ModuleState& state, PyObject* reader);

}  // namespace tessrin
