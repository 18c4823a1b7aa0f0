// Conversion of a collected parse into plain Python objects (the parse_raw dict).
#pragma once

#include <Python.h>

#include <string_view>
#include <vector>

#include "collect/raw_model.hpp"
#include "python/py_strings.hpp"
#include "python/pyref.hpp"

namespace tessrin {

// Every function returns a new reference, or null with a Python exception set.

/// A str, list or dict for one value (a table's repeated key keeps its first position and its
/// last value). Works with an explicit stack: nesting depth is unlimited.
PyObject* raw_value_to_python(const RawValue& root);

/// A new list with the converted values of one tag; `cache` (optional) shares short strs.
PyObject* value_list_to_python(const ValueList& values, StrCache* cache = nullptr);

/// The three containers of one block or save frame: tags dict (tag -> list of values, in tag
/// order), tag-order list and loops list (per loop, its tags in header order). Each tag's str
/// is made once and shared by all three.
struct FrameContainers {
  PyRef tags, tag_order, loops;
};
bool frame_data_to_py(const FrameData& data, StrCache& cache, FrameContainers& out);

/// Where the values of a parse collected with origins stood (ValueList::origins): per block a
/// pair (per tag in tag order a bytes object of native 64-bit words, two a value; the same for
/// each of its save frames, in a list).
PyObject* origins_to_python(const ParsedCif& parse);

/// The parse_raw dict: "version", "errors", "blocks".
PyObject* to_python(const ModuleState& state, ParsedCif&& parse);

}  // namespace tessrin
