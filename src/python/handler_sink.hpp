// The sink that forwards every parse event to a Python handler object (the `parse` entry).
#pragma once

#include <Python.h>

#include <cstddef>

#include "python/module_state.hpp"
#include "text/version.hpp"

namespace tessrin {

/// Runs the parser over a detected text, calling the handler's methods for every event.
/// ParseError, the ValueType members and the method names come from `state`. Returns false with the
/// first exception (of the handler or of building an argument) set; events after it are dropped
/// and the parse still runs to its end. At most `max_errors` diagnostics reach the handler, then
/// one that counts the rest.
bool parse_with_handler(const VersionResult& detected, PyObject* handler, const ModuleState& state,
                        std::size_t max_errors);

}  // namespace tessrin
