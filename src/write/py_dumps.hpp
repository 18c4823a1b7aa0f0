// dumps over Python containers: parse_raw block dicts or CifBlock objects.
#pragma once

#include <Python.h>

#include <cstddef>

namespace tessrin {

/// CIF text (a new str) for `blocks`, a sequence of parse_raw block dicts or CifBlock objects.
/// Raises ValueError or TypeError naming block and tag for what cannot be written, and returns
/// nullptr. C++ exceptions (memory) propagate to the caller's guard.
PyObject* dumps_blocks(PyObject* blocks, bool cif2, std::size_t width);

}  // namespace tessrin
