// The one place where a failure of native code becomes a Python exception.
#pragma once

#include <Python.h>

#include "export/arrow_stream.hpp"

namespace tessrin {

/// Sets the Python exception for the C++ exception being handled and returns null; call it
/// only inside a catch block. std::bad_alloc is MemoryError; a column past Arrow's 32-bit
/// offsets (ColumnTooLarge) OverflowError; an ExportError is raise_export_error's; any other
/// std::exception RuntimeError with its message.
PyObject* raise_current_exception() noexcept;

/// Raises an ExportError as Python sees it (capacity: OverflowError, else ValueError, with
/// the whole message); returns null.
PyObject* raise_export_error(const ExportError& error) noexcept;

}  // namespace tessrin
