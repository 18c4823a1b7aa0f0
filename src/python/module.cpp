// The tessrin_core module: initialisation and the entry functions.
#include <Python.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "python/arguments.hpp"
#include "export/arrow_export.hpp"
#include "python/cif_model.hpp"
#include "export/dict_export.hpp"
#include "python/handler_sink.hpp"
#include "parse/parser.hpp"
#include "python/pyref.hpp"
#include "collect/raw_builder.hpp"
#include "tables/py_tables.hpp"
#include "python/types_argument.hpp"
#include "text/text_file.hpp"
#include "text/version.hpp"

namespace tessrin {
namespace {

// --- arguments ---------------------------------------------------------------------------

/// The UTF-8 text of a str argument; a str with lone surrogates fails with the interpreter's
/// own encoding error.
bool text_argument(const char* function, const char* name, PyObject* object,
                   std::string_view& text) {
  if (!PyUnicode_Check(object)) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be str, not %.200s", function, name,
                 Py_TYPE(object)->tp_name);
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(object, &size);
  if (data == nullptr) return false;
  text = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

/// Only the exact string "strict" selects strict collection; every other string is accepted.
bool strict_argument(const char* function, PyObject* mode, bool& strict) {
  strict = false;
  if (mode == nullptr || mode == Py_None) return true;
  if (!PyUnicode_Check(mode)) {
    PyErr_Format(PyExc_TypeError, "%s() argument 'mode' must be str or None, not %.200s",
                 function, Py_TYPE(mode)->tp_name);
    return false;
  }
  // Compared as code points, so any str (even one that cannot be encoded) is accepted.
  strict = PyUnicode_GET_LENGTH(mode) == 6 && PyUnicode_CompareWithASCIIString(mode, "strict") == 0;
  return true;
}

constexpr std::array<const char*, 2> kSourceMode = {"source", "mode"};

/// Reads a whole file; raises OSError for what the system refuses and for text that is not
/// UTF-8.
bool read_text_file(PyObject* path, std::string& out) {
  PyRef encoded = PyRef::steal(PyUnicode_EncodeFSDefault(path));
  if (!encoded) return false;
  const char* name = PyBytes_AS_STRING(encoded.get());
  if (std::strlen(name) != static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get()))) {
    PyErr_SetString(PyExc_ValueError, "embedded null byte");
    return false;
  }
  const TextFileStatus status = tessrin::read_text_file(name, out);
  switch (status.kind) {
    case TextFileStatus::Kind::Ok:
      return true;
    case TextFileStatus::Kind::SystemError:
      errno = status.error_number;
      PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
      return false;
    case TextFileStatus::Kind::InvalidUtf8:
      break;
  }
  PyErr_SetString(PyExc_OSError, "stream did not contain valid UTF-8");
  return false;
}

PyRef import_types() { return PyRef::steal(PyImport_ImportModule("tessrin.types")); }

PyObject* version_member(CifVersion version) {
  PyRef types = import_types();
  if (!types) return nullptr;
  PyRef cls = PyRef::steal(PyObject_GetAttrString(types.get(), "CifVersion"));
  if (!cls) return nullptr;
  return PyObject_GetAttrString(cls.get(),
                                version == CifVersion::Cif20 ? "CIF_2_0" : "CIF_1_1");
}

// --- entry functions ---------------------------------------------------------------------

/// Runs `body` and turns a C++ exception into a Python one: nothing may cross into CPython.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
    return nullptr;
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unexpected native error");
    return nullptr;
  }
}

PyObject* py_parse(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  static constexpr std::array<const char*, 2> kNames = {"source", "handler"};
  std::array<PyObject*, 2> bound{};
  if (!bind_fastcall("parse", kNames, 2, args, PyVectorcall_NARGS(nargsf), kwnames, bound)) {
    return nullptr;
  }
  std::string_view source;
  if (!text_argument("parse", "source", bound[0], source)) return nullptr;
  PyObject* handler = bound[1];
  return guarded([&]() -> PyObject* {
    PyRef types = import_types();
    if (!types) return nullptr;
    PyRef parse_error = PyRef::steal(PyObject_GetAttrString(types.get(), "ParseError"));
    if (!parse_error) return nullptr;
    PyRef value_type = PyRef::steal(PyObject_GetAttrString(types.get(), "ValueType"));
    if (!value_type) return nullptr;
    VersionResult detected;
    detect_version(source, detected);
    if (!parse_with_handler(detected, handler, parse_error.get(), value_type.get())) {
      return nullptr;
    }
    return version_member(detected.version);
  });
}

bool source_and_mode(const char* function, PyObject* const* args, Py_ssize_t nargsf,
                     PyObject* kwnames, std::string_view& source, bool& strict) {
  std::array<PyObject*, 2> bound{};
  return bind_fastcall(function, kSourceMode, 1, args, PyVectorcall_NARGS(nargsf), kwnames,
                       bound) &&
         text_argument(function, "source", bound[0], source) &&
         strict_argument(function, bound[1], strict);
}

PyObject* py_parse_raw(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  std::string_view source;
  bool strict = false;
  if (!source_and_mode("parse_raw", args, PyVectorcall_NARGS(nargsf), kwnames, source, strict)) return nullptr;
  return guarded([&]() -> PyObject* { return to_python(collect_raw(source, strict)); });
}

PyObject* py_parse_cif(PyObject* module, PyObject* const* args, Py_ssize_t nargsf,
                       PyObject* kwnames) {
  std::string_view source;
  bool strict = false;
  if (!source_and_mode("parse_cif", args, PyVectorcall_NARGS(nargsf), kwnames, source, strict)) return nullptr;
  return guarded([&]() -> PyObject* {
    ParsedCif parse = collect_raw(source, strict);
    PyRef errors = PyRef::steal(diagnostics_to_list(parse.errors));
    if (!errors) return nullptr;
    PyRef file = PyRef::steal(build_py_cif(module, parse));
    if (!file) return nullptr;
    return PyTuple_Pack(2, file.get(), errors.get());
  });
}

/// The shared tail of parse_arrow and parse_arrow_file.
PyObject* arrow_result(ParsedCif parse) {
  PyRef errors = PyRef::steal(diagnostics_to_list(parse.errors));
  if (!errors) return nullptr;
  PyRef batches = PyRef::steal(to_py_batches(parse));
  if (!batches) return nullptr;
  return PyTuple_Pack(2, batches.get(), errors.get());
}

PyObject* py_parse_arrow(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  std::string_view source;
  bool strict = false;
  if (!source_and_mode("parse_arrow", args, PyVectorcall_NARGS(nargsf), kwnames, source, strict)) return nullptr;
  return guarded([&]() -> PyObject* { return arrow_result(collect_raw(source, strict)); });
}

PyObject* py_parse_arrow_file(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                              PyObject* kwnames) {
  static constexpr std::array<const char*, 2> kNames = {"path", "mode"};
  std::array<PyObject*, 2> bound{};
  if (!bind_fastcall("parse_arrow_file", kNames, 1, args, PyVectorcall_NARGS(nargsf), kwnames,
                     bound)) {
    return nullptr;
  }
  if (!PyUnicode_Check(bound[0])) {
    PyErr_Format(PyExc_TypeError, "parse_arrow_file() argument 'path' must be str, not %.200s",
                 Py_TYPE(bound[0])->tp_name);
    return nullptr;
  }
  bool strict = false;
  if (!strict_argument("parse_arrow_file", bound[1], strict)) return nullptr;
  return guarded([&]() -> PyObject* {
    ParsedCif parse;
    {
      // The file's text is released as soon as it is parsed: the export needs only the parse.
      std::string text;
      if (!read_text_file(bound[0], text)) return nullptr;
      parse = collect_raw(text, strict);
    }
    return arrow_result(std::move(parse));
  });
}

// --- category tables (src/tables) ----------------------------------------------------------

PyObject* py_parse_tables(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  static constexpr std::array<const char*, 3> kNames = {"source", "mode", "types"};
  std::array<PyObject*, 3> bound{};
  std::string_view source;
  bool strict = false;
  TypesOption types;
  if (!bind_fastcall("parse_tables", kNames, 1, args, PyVectorcall_NARGS(nargsf), kwnames,
                     bound) ||
      !text_argument("parse_tables", "source", bound[0], source) ||
      !strict_argument("parse_tables", bound[1], strict) ||
      !types_argument("parse_tables", bound[2], types)) {
    return nullptr;
  }
  return guarded(
      [&]() -> PyObject* { return tables_to_python(collect_tables(source, strict), types); });
}

PyObject* py_parse_tables_file(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                               PyObject* kwnames) {
  static constexpr std::array<const char*, 3> kNames = {"path", "mode", "types"};
  std::array<PyObject*, 3> bound{};
  if (!bind_fastcall("parse_tables_file", kNames, 1, args, PyVectorcall_NARGS(nargsf), kwnames,
                     bound)) {
    return nullptr;
  }
  if (!PyUnicode_Check(bound[0])) {
    PyErr_Format(PyExc_TypeError, "parse_tables_file() argument 'path' must be str, not %.200s",
                 Py_TYPE(bound[0])->tp_name);
    return nullptr;
  }
  bool strict = false;
  TypesOption types;
  if (!strict_argument("parse_tables_file", bound[1], strict) ||
      !types_argument("parse_tables_file", bound[2], types)) {
    return nullptr;
  }
  return guarded([&]() -> PyObject* {
    TableSet set;
    {
      std::string text;
      if (!read_text_file(bound[0], text)) return nullptr;
      set = collect_tables(text, strict);
    }
    return tables_to_python(std::move(set), types);
  });
}

#define TESSRIN_FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

PyMethodDef kFunctions[] = {
    {"parse", TESSRIN_FASTCALL(py_parse), METH_FASTCALL | METH_KEYWORDS,
     "parse(source, handler)\n--\n\n"},
    {"parse_raw", TESSRIN_FASTCALL(py_parse_raw), METH_FASTCALL | METH_KEYWORDS,
     "parse_raw(source, mode=None)\n--\n\n"
     "Parse CIF source text entirely in native code and return a Python dict.\n\n"
     "    {'version': str, 'errors': list, 'blocks': list}\n\n"
     "No Python calls are made during parsing.  CifScalar objects are created\n"
     "lazily in Python when block data is first accessed via __getitem__."},
    {"parse_cif", TESSRIN_FASTCALL(py_parse_cif), METH_FASTCALL | METH_KEYWORDS,
     "parse_cif(source, mode=None)\n--\n\n"},
    {"parse_arrow", TESSRIN_FASTCALL(py_parse_arrow), METH_FASTCALL | METH_KEYWORDS,
     "parse_arrow(source, mode=None)\n--\n\n"},
    {"parse_arrow_file", TESSRIN_FASTCALL(py_parse_arrow_file), METH_FASTCALL | METH_KEYWORDS,
     "parse_arrow_file(path, mode=None)\n--\n\n"},
    {"parse_tables", TESSRIN_FASTCALL(py_parse_tables), METH_FASTCALL | METH_KEYWORDS,
     "parse_tables(source, mode=None, types='infer')\n--\n\n"
     "Parse CIF text into one pyarrow.Table per category; returns (tables, errors).\n"
     "types: 'infer' (int64/float64 where every value is a number), 'text', or the path\n"
     "of a DDL2 or DDLm dictionary whose declared item types are used."},
    {"parse_tables_file", TESSRIN_FASTCALL(py_parse_tables_file), METH_FASTCALL | METH_KEYWORDS,
     "parse_tables_file(path, mode=None, types='infer')\n--\n\n"
     "parse_tables for the text of the file at `path`."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "tessrin_core must be initialised into a module");
    return -1;
  }
  // Classes first, then functions: the registration order callers see in the module.
  if (add_model_types(module) < 0) return -1;
  return PyModule_AddFunctions(module, kFunctions);
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "tessrin_core", "", 0, nullptr, kSlots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace tessrin

PyMODINIT_FUNC PyInit_tessrin_core() { return PyModuleDef_Init(&tessrin::kModule); }
