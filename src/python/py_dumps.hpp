// dumps over Python containers: parse_raw block dicts or CifBlock objects.
#pragma once

#include <Python.h>

#include <cstddef>

namespace tessrin {

/// CIF text (a new str) for `blocks`, a sequence of parse_raw block dicts or CifBlock objects.
/// Raises ValueError or TypeError naming block and tag for what cannot be written, and returns
/// nullptr. C++ exceptions (memory) propagate to the caller's guard.
PyObject* dumps_blocks(PyObject* blocks, bool cif2, std::size_t width);

/// Frees the output blocks and column arenas kept for later calls; returns their bytes.
/// Thread-safe; what a call in progress uses stays with it.
std::size_t release_write_buffers() noexcept;

}  // namespace tessrin
