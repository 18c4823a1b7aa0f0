// Hand-over of the record batches of a collected parse to pyarrow, in two steps: building the
// batches is native work done without the interpreter lock, in the same unlocked stretch as the
// parse; only the hand-over itself needs the lock.
#pragma once

#include <Python.h>

#include <cstddef>
#include <exception>
#include <nanoarrow/nanoarrow.hpp>
#include <vector>

#include "collect/raw_model.hpp"
#include "python/module_state.hpp"

namespace tessrin {

/// The batches of one schema, to go to pyarrow through one stream, and their places in the
/// result.
struct SchemaGroup {
  nanoarrow::UniqueSchema schema;
  std::vector<nanoarrow::UniqueArray> arrays;
  std::vector<std::size_t> positions;
};

/// Every batch of a parse, grouped by schema, or the failure met while building them.
struct PreparedBatches {
  std::vector<SchemaGroup> groups;
  std::size_t count = 0;
  std::exception_ptr failure;  // an ExportError or std::bad_alloc
};

/// Builds the batches of every block and save frame, touching no Python object. Consumes the
/// parse's packed columns (their buffers move into Arrow without copying).
PreparedBatches prepare_batches(ParsedCif& parse) noexcept;

/// A new list of pyarrow.RecordBatch objects in block and save-frame order, or null with a
/// Python exception set; the preparation's failure, if any, is thrown again here for the
/// entry's guard (errors.hpp).
PyObject* batches_to_python(ModuleState& state, PreparedBatches& prepared);

}  // namespace tessrin
