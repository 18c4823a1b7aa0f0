// The per-module state of tessrin_core: every Python object the module looks up once. The
// classes of tessrin.types, the model classes and the interned names are set when the module
// is executed; pyarrow's classes and copy.deepcopy on first use (a failed import is not
// remembered, so installing pyarrow later in the session still works). No global or
// function-local static holds a Python object: each interpreter that imports the module gets
// a state of its own.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>

namespace tessrin {

/// The ValueType members a handler's add_value receives, in the order of RawValue's kinds.
inline constexpr std::array<const char*, 7> kValueTypeMembers = {
    "MULTILINE_STRING", "TRIPLE_DOUBLE_QUOTED", "TRIPLE_SINGLE_QUOTED",
    "DOUBLE_QUOTED",    "SINGLE_QUOTED",        "STRING",
    "PLACEHOLDER"};

/// The names of a handler's methods, called once per event.
struct HandlerNames {
  PyObject *on_data_block, *on_save_frame_start, *on_save_frame_end, *add_tag, *add_value,
      *on_loop_start, *on_loop_end, *on_list_start, *on_list_end, *on_table_start, *on_table_key,
      *on_table_end, *on_error;
};

/// The keys of a diagnostic's dict, in the order of ParseDiagnostic's fields.
inline constexpr std::array<const char*, 6> kDiagnosticKeys = {
    "error_type", "message", "line", "column", "context", "recovery_action"};

struct ModuleState {
  // tessrin.types
  PyObject* cif_1_1;      // CifVersion.CIF_1_1
  PyObject* cif_2_0;      // CifVersion.CIF_2_0
  PyObject* parse_error;  // ParseError
  PyObject* value_type;   // ValueType
  std::array<PyObject*, kValueTypeMembers.size()> value_types;

  // The native classes of the object model, as created.
  PyTypeObject* save_frame_type;
  PyTypeObject* block_type;
  PyTypeObject* file_type;

  // Interned names.
  HandlerNames handler;
  std::array<PyObject*, kDiagnosticKeys.size()> diagnostic_keys;
  PyObject* import_from_c;    // "_import_from_c"
  PyObject* read_next_batch;  // "read_next_batch"
  PyObject* read_all;         // "read_all"
  PyObject* to_batches;       // "to_batches"

  // Set on first use.
  PyObject* reader_class;  // pyarrow.RecordBatchReader
  PyObject* batch_class;   // pyarrow.RecordBatch
  PyObject* deepcopy;      // copy.deepcopy

  /// Every object slot, for the module's traverse and clear.
  template <class Visit>
  int each(Visit&& visit) {
    PyObject** fixed[] = {&cif_1_1,
                          &cif_2_0,
                          &parse_error,
                          &value_type,
                          reinterpret_cast<PyObject**>(&save_frame_type),
                          reinterpret_cast<PyObject**>(&block_type),
                          reinterpret_cast<PyObject**>(&file_type),
                          &import_from_c,
                          &read_next_batch,
                          &read_all,
                          &to_batches,
                          &reader_class,
                          &batch_class,
                          &deepcopy};
    for (PyObject** slot : fixed) {
      if (int found = visit(*slot)) return found;
    }
    for (PyObject*& slot : value_types) {
      if (int found = visit(slot)) return found;
    }
    for (PyObject*& slot : diagnostic_keys) {
      if (int found = visit(slot)) return found;
    }
    auto** names = reinterpret_cast<PyObject**>(&handler);
    for (std::size_t i = 0; i < sizeof(HandlerNames) / sizeof(PyObject*); ++i) {
      if (int found = visit(names[i])) return found;
    }
    return 0;
  }
};

/// The state of `module` (a tessrin_core module object).
inline ModuleState& module_state(PyObject* module) {
  return *static_cast<ModuleState*>(PyModule_GetState(module));
}

/// The state of the module that created `type` (a class of the object model: final, so
/// `type` is the class itself, never a subclass).
inline ModuleState& type_state(PyTypeObject* type) {
  return *static_cast<ModuleState*>(PyType_GetModuleState(type));
}

/// The CifVersion member for a parse's version code (borrowed).
inline PyObject* version_member(const ModuleState& state, bool cif11) {
  return cif11 ? state.cif_1_1 : state.cif_2_0;
}

}  // namespace tessrin
