// Hand-over of the record batches of a collected parse to pyarrow.
#pragma once

#include <Python.h>

#include "collect/raw_model.hpp"

namespace tessrin {

/// A new list of pyarrow.RecordBatch objects for every block and save frame, in order, or
/// null with a Python exception set. Consumes the parse's packed columns (their buffers move
/// into Arrow without copying).
PyObject* to_py_batches(ParsedCif& parse);

}  // namespace tessrin
