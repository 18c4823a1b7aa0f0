// The tessrin_core module: initialisation and the entry functions.
#include <Python.h>

#include <array>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "collect/kept_memory.hpp"
#include "collect/mapped_memory.hpp"
#include "collect/raw_builder.hpp"
#include "export/packed_batch.hpp"
#include "parse/parser.hpp"
#include "python/arguments.hpp"
#include "python/arrow_export.hpp"
#include "python/cif_model.hpp"
#include "python/conformance_entry.hpp"
#include "python/dict_export.hpp"
#include "python/gil.hpp"
#include "python/guarded.hpp"
#include "python/gzip_file.hpp"
#include "python/handler_sink.hpp"
#include "python/module_state.hpp"
#include "python/py_dumps.hpp"
#include "python/py_number_cells.hpp"
#include "python/py_tables.hpp"
#include "python/pyarrow_import.hpp"
#include "python/pyref.hpp"
#include "python/types_argument.hpp"
#include "python/utf8_buffer.hpp"
#include "text/text_file.hpp"
#include "text/version.hpp"
#include "types/dictionary_cache.hpp"

namespace tessrin {
namespace {

// --- arguments ---------------------------------------------------------------------------

/// The OSError for a file that is not UTF-8: names the file and where its first bad byte is.
void raise_not_utf8(PyObject* filename, std::string_view text, std::size_t offset) {
  const TextPosition at = position_of(text, offset);
  std::array<char, 128> buffer{};
  std::snprintf(buffer.data(), buffer.size(),
                "stream did not contain valid UTF-8 (byte 0x%02X at line %zu, column %zu)",
                static_cast<unsigned>(static_cast<unsigned char>(text[offset])), at.line,
                at.column);
  PyRef message = PyRef::steal(PyUnicode_FromString(buffer.data()));
  if (!message) return;
  PyRef error =
      PyRef::steal(PyObject_CallFunction(PyExc_OSError, "iOO", EILSEQ, message.get(), filename));
  if (error) PyErr_SetObject(PyExc_OSError, error.get());
}

/// Nothing more to do before taking the interpreter lock back.
struct NoFurtherWork {
  template <class... Args>
  void operator()(Args&&...) const noexcept {}
};

/// Inflates a gzip file and hands its text to `collect`, then runs `then`, without the
/// interpreter lock, as collect_file does for a plain file.
template <class Collect, class Then>
bool collect_gzip_file(PyObject* filename, Collect&& collect, Then&& then) {
  PyRef buffer;
  {
    Utf8Buffer text;
    if (!inflate_file(filename, text, buffer)) return false;
    std::size_t invalid = 0;
    {
      WithoutGil unlocked;
      invalid = text.first_invalid();
      if (invalid == text.text().size()) {
        collect(text.text());
        then();
      }
    }
    if (invalid != text.text().size()) {
      raise_not_utf8(filename, text.text(), invalid);
      return false;
    }
  }  // the buffer is no longer viewed: it may serve the next file
  return give_back_buffer(std::move(buffer));
}

/// Reads the file at `path` (str, bytes or os.PathLike) and hands its text to `collect`, then
/// runs `then` once the text is freed, all without the interpreter lock; raises OSError for
/// what the system refuses and for text that is not UTF-8. A gzip file, whatever its name, is
/// inflated first: its second byte is never UTF-8, so plain text that is valid takes no detour.
template <class Collect, class Then = NoFurtherWork>
bool collect_file(PyObject* path, Collect&& collect, Then&& then = {}) {
  PyRef filename = PyRef::steal(PyOS_FSPath(path));
  if (!filename) return false;
  PyObject* encoded_raw = nullptr;
  if (!PyUnicode_FSConverter(filename.get(), &encoded_raw)) return false;
  PyRef encoded = PyRef::steal(encoded_raw);
  const char* name = PyBytes_AS_STRING(encoded.get());
  FileText text;
  TextFileStatus status;
  {
    WithoutGil unlocked;
    status = tessrin::read_text_file(name, text);
    if (status.kind == TextFileStatus::Kind::Ok) {
      collect(text_of(text));
      // Released here, without the lock: the export needs only the parse.
      text = FileText();
      then();
    }
  }
  switch (status.kind) {
    case TextFileStatus::Kind::Ok:
      return true;
    case TextFileStatus::Kind::SystemError:
      errno = status.error_number;
      PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, filename.get());
      return false;
    case TextFileStatus::Kind::InvalidUtf8:
      if (is_gzip(text_of(text))) {
        text = FileText();
        return collect_gzip_file(filename.get(), collect, then);
      }
      break;
  }
  raise_not_utf8(filename.get(), text_of(text), status.bad_offset);
  return false;
}

/// Reads and collects a whole file, then runs `then` on the parse, all without the lock.
template <class Then = NoFurtherWork>
bool parse_file(PyObject* path, bool strict, std::size_t max_errors, ParsedCif& parse,
                Then&& then = {}) {
  return collect_file(path, [&](std::string_view text) {
    parse = collect_raw(text, strict, max_errors);
    then(parse);
  });
}

// --- entry functions ---------------------------------------------------------------------

PyObject* py_parse(PyObject* module, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  static constexpr std::array<const char*, 3> kNames = {"source", "handler", "max_errors"};
  std::array<PyObject*, 3> bound{};
  if (!bind_fastcall("parse", kNames, 2, args, PyVectorcall_NARGS(nargsf), kwnames, bound)) {
    return nullptr;
  }
  std::string_view source;
  std::size_t max_errors = 0;
  if (!text_argument("parse", "source", bound[0], source) ||
      !max_errors_argument("parse", bound[2], max_errors)) {
    return nullptr;
  }
  PyObject* handler = bound[1];
  return guarded([&]() -> PyObject* {
    const ModuleState& state = module_state(module);
    // The handler runs Python for every event: this parse keeps the interpreter lock.
    VersionResult detected;
    detect_version(source, detected);
    if (!parse_with_handler(detected, handler, state, max_errors)) {
      return nullptr;
    }
    return Py_NewRef(version_member(state, detected.version == CifVersion::Cif11));
  });
}

/// The arguments every entry but `parse` takes: the source (or path), mode, max_errors.
struct CollectArguments {
  PyObject* source = nullptr;
  bool strict = false;
  std::size_t max_errors = DiagnosticLog::kUnlimited;
};

bool collect_arguments(const char* function, const char* first, PyObject* const* args,
                       Py_ssize_t nargsf, PyObject* kwnames, CollectArguments& out) {
  const std::array<const char*, 3> names = {first, "mode", "max_errors"};
  std::array<PyObject*, 3> bound{};
  if (!bind_fastcall(function, names, 1, args, PyVectorcall_NARGS(nargsf), kwnames, bound)) {
    return false;
  }
  out.source = bound[0];
  return strict_argument(function, bound[1], out.strict) &&
         max_errors_argument(function, bound[2], out.max_errors);
}

/// Collects a source text, then runs `then` on the parse, without the interpreter lock (the str
/// is immutable and held by the caller, so its UTF-8 buffer stays put).
template <class Then = NoFurtherWork>
bool collect_source(const char* function, PyObject* const* args, Py_ssize_t nargsf,
                    PyObject* kwnames, ParsedCif& parse, Then&& then = {}) {
  CollectArguments arguments;
  std::string_view source;
  if (!collect_arguments(function, "source", args, nargsf, kwnames, arguments) ||
      !text_argument(function, "source", arguments.source, source)) {
    return false;
  }
  WithoutGil unlocked;
  parse = collect_raw(source, arguments.strict, arguments.max_errors);
  then(parse);
  return true;
}

PyObject* py_parse_raw(PyObject* module, PyObject* const* args, Py_ssize_t nargsf,
                       PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    ParsedCif parse;
    if (!collect_source("parse_raw", args, nargsf, kwnames, parse)) return nullptr;
    return to_python(module_state(module), std::move(parse));
  });
}

/// _parse_raw_origins(source): (parse_raw(source), origins, text start), for a writer that
/// keeps the layout of the text its data came from (python/tessrin/_write.py).
PyObject* py_parse_raw_origins(PyObject* module, PyObject* const* args, Py_ssize_t nargsf,
                               PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr std::array<const char*, 1> kNames = {"source"};
    std::array<PyObject*, 1> bound{};
    std::string_view source;
    if (!bind_fastcall("_parse_raw_origins", kNames, 1, args, PyVectorcall_NARGS(nargsf), kwnames,
                       bound) ||
        !text_argument("_parse_raw_origins", "source", bound[0], source)) {
      return nullptr;
    }
    ParsedCif parse;
    std::int64_t text_start = 0;
    {
      WithoutGil unlocked;
      parse = collect_raw_with_origins(source, text_start);
    }
    PyRef origins = PyRef::steal(origins_to_python(parse));
    if (!origins) return nullptr;
    PyRef raw = PyRef::steal(to_python(module_state(module), std::move(parse)));
    if (!raw) return nullptr;
    PyRef start = PyRef::steal(PyLong_FromLongLong(text_start));
    if (!start) return nullptr;
    return PyTuple_Pack(3, raw.get(), origins.get(), start.get());
  });
}

PyObject* py_parse_cif(PyObject* module, PyObject* const* args, Py_ssize_t nargsf,
                       PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    ParsedCif parse;
    if (!collect_source("parse_cif", args, nargsf, kwnames, parse)) return nullptr;
    const ModuleState& state = module_state(module);
    PyRef errors = PyRef::steal(diagnostics_to_list(state, parse.errors));
    if (!errors) return nullptr;
    PyRef file = PyRef::steal(build_py_cif(state, parse));
    if (!file) return nullptr;
    return PyTuple_Pack(2, file.get(), errors.get());
  });
}

/// The shared tail of parse_arrow and parse_arrow_file.
PyObject* arrow_result(ModuleState& state, const ParsedCif& parse, PreparedBatches& prepared) {
  PyRef errors = PyRef::steal(diagnostics_to_list(state, parse.errors));
  if (!errors) return nullptr;
  PyRef batches = PyRef::steal(batches_to_python(state, prepared));
  if (!batches) return nullptr;
  return PyTuple_Pack(2, batches.get(), errors.get());
}

PyObject* py_parse_arrow(PyObject* module, PyObject* const* args, Py_ssize_t nargsf,
                         PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    ModuleState& state = module_state(module);
    // pyarrow first: a missing or too old one is reported before any work is done.
    if (!load_pyarrow(state)) return nullptr;
    ParsedCif parse;
    PreparedBatches prepared;
    auto prepare = [&](ParsedCif& done) { prepared = prepare_batches(done); };
    if (!collect_source("parse_arrow", args, nargsf, kwnames, parse, prepare)) return nullptr;
    return arrow_result(state, parse, prepared);
  });
}

PyObject* py_parse_arrow_file(PyObject* module, PyObject* const* args, Py_ssize_t nargsf,
                              PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    CollectArguments arguments;
    if (!collect_arguments("parse_arrow_file", "path", args, nargsf, kwnames, arguments)) {
      return nullptr;
    }
    ModuleState& state = module_state(module);
    if (!load_pyarrow(state)) return nullptr;
    ParsedCif parse;
    PreparedBatches prepared;
    auto prepare = [&](ParsedCif& done) { prepared = prepare_batches(done); };
    if (!parse_file(arguments.source, arguments.strict, arguments.max_errors, parse, prepare)) {
      return nullptr;
    }
    return arrow_result(state, parse, prepared);
  });
}

/// _dumps(blocks, version, width): the native half of tessrin.dumps (python/tessrin/_write.py
/// finds the blocks and the target version).
PyObject* py_dumps(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  static constexpr std::array<const char*, 3> kNames = {"blocks", "version", "width"};
  std::array<PyObject*, 3> bound{};
  if (!bind_fastcall("_dumps", kNames, 3, args, PyVectorcall_NARGS(nargsf), kwnames, bound)) {
    return nullptr;
  }
  std::string_view version;
  if (!text_argument("_dumps", "version", bound[1], version)) return nullptr;
  if (version != "1.1" && version != "2.0") {
    PyErr_SetString(PyExc_ValueError, "_dumps() version must be \"1.1\" or \"2.0\"");
    return nullptr;
  }
  const Py_ssize_t width = PyNumber_AsSsize_t(bound[2], PyExc_OverflowError);
  if (width == -1 && PyErr_Occurred()) return nullptr;
  if (width < 1) {
    PyErr_SetString(PyExc_ValueError, "_dumps() width must be at least 1");
    return nullptr;
  }
  return guarded([&]() -> PyObject* {
    return dumps_blocks(bound[0], version == "2.0", static_cast<std::size_t>(width));
  });
}

/// _number_cells(values, su): the CIF text of each number of a typed table column
/// (python/tessrin/_write_tables.py writes tables back through _dumps).
PyObject* py_number_cells(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  static constexpr std::array<const char*, 2> kNames = {"values", "su"};
  std::array<PyObject*, 2> bound{};
  if (!bind_fastcall("_number_cells", kNames, 1, args, PyVectorcall_NARGS(nargsf), kwnames,
                     bound)) {
    return nullptr;
  }
  return guarded([&]() -> PyObject* {
    return number_cells(bound[0], bound[1] == nullptr ? Py_None : bound[1]);
  });
}

// --- category tables (src/tables) ----------------------------------------------------------

/// The arguments of the table entries: those of the other entries, then `types`.
bool table_arguments(const char* function, const char* first, PyObject* const* args,
                     Py_ssize_t nargsf, PyObject* kwnames, CollectArguments& out,
                     TypesOption& types) {
  const std::array<const char*, 4> names = {first, "mode", "max_errors", "types"};
  std::array<PyObject*, 4> bound{};
  if (!bind_fastcall(function, names, 1, args, PyVectorcall_NARGS(nargsf), kwnames, bound)) {
    return false;
  }
  out.source = bound[0];
  return strict_argument(function, bound[1], out.strict) &&
         max_errors_argument(function, bound[2], out.max_errors) &&
         types_argument(function, bound[3], types);
}

/// The tables of `text`, collected, typed and exported without the lock, handed to pyarrow
/// with it.
PyObject* tables_of(ModuleState& state, std::string_view text, const CollectArguments& arguments,
                    const TypesOption& types) {
  // pyarrow first: a missing or too old one is reported before any work is done.
  if (!load_pyarrow(state)) return nullptr;
  PreparedTables prepared;
  {
    WithoutGil unlocked;
    prepared = prepare_tables(collect_tables(text, arguments.strict, arguments.max_errors), types);
  }
  return tables_to_python(state, prepared);
}

PyObject* py_parse_tables(PyObject* module, PyObject* const* args, Py_ssize_t nargsf,
                          PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    CollectArguments arguments;
    TypesOption types;
    std::string_view source;
    if (!table_arguments("parse_tables", "source", args, nargsf, kwnames, arguments, types) ||
        !text_argument("parse_tables", "source", arguments.source, source)) {
      return nullptr;
    }
    return tables_of(module_state(module), source, arguments, types);
  });
}

/// _parse_tables_bytes(source, mode, max_errors, types): parse_tables for UTF-8 bytes read in
/// place (python/tessrin/convert/archive.py parses decompressed files with it, no str built).
PyObject* py_parse_tables_bytes(PyObject* module, PyObject* const* args, Py_ssize_t nargsf,
                                PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    CollectArguments arguments;
    TypesOption types;
    Utf8Buffer source;
    if (!table_arguments("_parse_tables_bytes", "source", args, nargsf, kwnames, arguments,
                         types) ||
        !source.bind("_parse_tables_bytes", "source", arguments.source)) {
      return nullptr;
    }
    std::size_t invalid = 0;
    {
      WithoutGil unlocked;
      invalid = source.first_invalid();
    }
    if (invalid != source.text().size()) {
      source.raise_invalid(invalid);
      return nullptr;
    }
    return tables_of(module_state(module), source.text(), arguments, types);
  });
}

PyObject* py_parse_tables_file(PyObject* module, PyObject* const* args, Py_ssize_t nargsf,
                               PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    CollectArguments arguments;
    TypesOption types;
    if (!table_arguments("parse_tables_file", "path", args, nargsf, kwnames, arguments, types)) {
      return nullptr;
    }
    ModuleState& state = module_state(module);
    if (!load_pyarrow(state)) return nullptr;
    TableSet set;
    PreparedTables prepared;
    // Typed after the file's text is freed, so that the typed columns can take its pages.
    if (!collect_file(
            arguments.source,
            [&](std::string_view text) {
              set = collect_tables(text, arguments.strict, arguments.max_errors);
            },
            [&] { prepared = prepare_tables(std::move(set), types); })) {
      return nullptr;
    }
    return tables_to_python(state, prepared);
  });
}

/// release_memory(): frees what every native cache keeps for later calls.
PyObject* py_release_memory(PyObject*, PyObject*) {
  const std::size_t bytes = release_write_buffers() + release_dictionaries() +
                            free_retired_blocks() + release_mapped_pages();
  trim_allocator();
  return PyLong_FromSize_t(bytes);
}

std::size_t kept_size_argument(PyObject* object) {
  const std::size_t bytes = PyLong_AsSize_t(object);
  return bytes == static_cast<std::size_t>(-1) && PyErr_Occurred() ? 0 : bytes;
}

/// _reserve_kept(bytes): True when the kept budget has room for a buffer of Python's.
PyObject* py_reserve_kept(PyObject*, PyObject* bytes) {
  const std::size_t n = kept_size_argument(bytes);
  if (PyErr_Occurred()) return nullptr;
  return PyBool_FromLong(reserve_kept(n));
}

/// _unreserve_kept(bytes): such a buffer is no longer kept.
PyObject* py_unreserve_kept(PyObject*, PyObject* bytes) {
  const std::size_t n = kept_size_argument(bytes);
  if (PyErr_Occurred()) return nullptr;
  unreserve_kept(n);
  Py_RETURN_NONE;
}

#define TESSRIN_FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

PyMethodDef kFunctions[] = {
    {"parse", TESSRIN_FASTCALL(py_parse), METH_FASTCALL | METH_KEYWORDS,
     "parse(source, handler, max_errors=None)\n--\n\n"},
    {"parse_raw", TESSRIN_FASTCALL(py_parse_raw), METH_FASTCALL | METH_KEYWORDS,
     "parse_raw(source, mode=None, max_errors=None)\n--\n\n"
     "Parse CIF source text entirely in native code and return a Python dict.\n\n"
     "    {'version': str, 'errors': list, 'blocks': list}\n\n"
     "No Python calls are made during parsing.  CifScalar objects are created\n"
     "lazily in Python when block data is first accessed via __getitem__."},
    {"parse_cif", TESSRIN_FASTCALL(py_parse_cif), METH_FASTCALL | METH_KEYWORDS,
     "parse_cif(source, mode=None, max_errors=None)\n--\n\n"},
    {"parse_arrow", TESSRIN_FASTCALL(py_parse_arrow), METH_FASTCALL | METH_KEYWORDS,
     "parse_arrow(source, mode=None, max_errors=None)\n--\n\n"},
    {"parse_arrow_file", TESSRIN_FASTCALL(py_parse_arrow_file), METH_FASTCALL | METH_KEYWORDS,
     "parse_arrow_file(path, mode=None, max_errors=None)\n--\n\n"},
    {"parse_tables", TESSRIN_FASTCALL(py_parse_tables), METH_FASTCALL | METH_KEYWORDS,
     "parse_tables(source, mode=None, max_errors=None, types='infer')\n--\n\n"
     "Parse CIF text into one pyarrow.Table per category; returns (tables, errors).\n"
     "types: 'infer' (int64/float64 where every value is a number), 'text', or the path\n"
     "of a DDL2 or DDLm dictionary whose declared item types are used."},
    {"parse_tables_file", TESSRIN_FASTCALL(py_parse_tables_file), METH_FASTCALL | METH_KEYWORDS,
     "parse_tables_file(path, mode=None, max_errors=None, types='infer')\n--\n\n"
     "parse_tables for the text of the file at `path`."},
    {"_dumps", TESSRIN_FASTCALL(py_dumps), METH_FASTCALL | METH_KEYWORDS,
     "_dumps(blocks, version, width)\n--\n\n"},
    {"_parse_raw_origins", TESSRIN_FASTCALL(py_parse_raw_origins), METH_FASTCALL | METH_KEYWORDS,
     "_parse_raw_origins(source)\n--\n\n"
     "parse_raw(source) with where each value stood in the text."},
    {"_number_cells", TESSRIN_FASTCALL(py_number_cells), METH_FASTCALL | METH_KEYWORDS,
     "_number_cells(values, su=None)\n--\n\n"},
    {"_parse_tables_bytes", TESSRIN_FASTCALL(py_parse_tables_bytes), METH_FASTCALL | METH_KEYWORDS,
     "_parse_tables_bytes(source, mode=None, max_errors=None, types='infer')\n--\n\n"
     "parse_tables for UTF-8 bytes (bytes, bytearray, memoryview), read in place;\n"
     "UnicodeDecodeError where they are not UTF-8."},
    {"conformance", TESSRIN_FASTCALL(py_conformance), METH_FASTCALL | METH_KEYWORDS,
     "conformance(source, max_errors=None)\n--\n\n"
     "Conformance findings of CIF text (str or bytes) as a list of dicts in text order."},
    {"conformance_file", TESSRIN_FASTCALL(py_conformance_file), METH_FASTCALL | METH_KEYWORDS,
     "conformance_file(path, max_errors=None)\n--\n\n"
     "Conformance findings of a file, read as bytes (not-UTF-8 text is a finding)."},
    {"diagnostics", TESSRIN_FASTCALL(py_diagnostics), METH_FASTCALL | METH_KEYWORDS,
     "diagnostics(source, mode=None, max_errors=None)\n--\n\n"
     "The diagnostics parse_raw(source, mode, max_errors) would give, without building its "
     "values."},
    {"conformance_rules", reinterpret_cast<PyCFunction>(py_conformance_rules), METH_NOARGS,
     "conformance_rules()\n--\n\nEvery conformance rule id with its severity."},
    {"release_memory", py_release_memory, METH_NOARGS,
     "release_memory()\n--\n\n"
     "Frees the buffers and dictionaries native code keeps for later calls; returns their bytes."},
    {"_reserve_kept", py_reserve_kept, METH_O,
     "_reserve_kept(bytes)\n--\n\nTrue when the kept budget has room for `bytes` more."},
    {"_unreserve_kept", py_unreserve_kept, METH_O,
     "_unreserve_kept(bytes)\n--\n\n`bytes` reserved before are no longer kept."},
    {"_tokens", py_tokens, METH_VARARGS,
     "_tokens(source, cif2, strict)\n--\n\n"
     "Private: token starts of UTF-8 bytes as the lexer or the conformance pass reads them."},
    {nullptr, nullptr, 0, nullptr},
};

/// Interns `name` into `slot`; false with an exception set.
bool intern(PyObject*& slot, const char* name) {
  slot = PyUnicode_InternFromString(name);
  return slot != nullptr;
}

/// Looks `name` up on `owner` into `slot`; false with an exception set.
bool lookup(PyObject*& slot, PyObject* owner, const char* name) {
  slot = PyObject_GetAttrString(owner, name);
  return slot != nullptr;
}

/// The interned names of the state: the handler's methods, the diagnostic keys, pyarrow's.
bool intern_names(ModuleState& state) {
  HandlerNames& h = state.handler;
  const std::array<std::pair<PyObject**, const char*>, 17> names = {{
      {&h.on_data_block, "on_data_block"},
      {&h.on_save_frame_start, "on_save_frame_start"},
      {&h.on_save_frame_end, "on_save_frame_end"},
      {&h.add_tag, "add_tag"},
      {&h.add_value, "add_value"},
      {&h.on_loop_start, "on_loop_start"},
      {&h.on_loop_end, "on_loop_end"},
      {&h.on_list_start, "on_list_start"},
      {&h.on_list_end, "on_list_end"},
      {&h.on_table_start, "on_table_start"},
      {&h.on_table_key, "on_table_key"},
      {&h.on_table_end, "on_table_end"},
      {&h.on_error, "on_error"},
      {&state.import_from_c, "_import_from_c"},
      {&state.read_next_batch, "read_next_batch"},
      {&state.read_all, "read_all"},
      {&state.to_batches, "to_batches"},
  }};
  for (const auto& [slot, name] : names) {
    if (!intern(*slot, name)) return false;
  }
  for (std::size_t i = 0; i < kDiagnosticKeys.size(); ++i) {
    if (!intern(state.diagnostic_keys[i], kDiagnosticKeys[i])) return false;
  }
  return true;
}

int exec_module(PyObject* module) {
  if (!PyModule_Check(module)) {
    PyErr_SetString(PyExc_TypeError, "tessrin_core must be initialised into a module");
    return -1;
  }
  ModuleState& state = module_state(module);
  // Classes first, then functions: the registration order callers see in the module.
  if (add_model_types(module) < 0 || PyModule_AddFunctions(module, kFunctions) < 0 ||
      !intern_names(state)) {
    return -1;
  }
  // Last: importing tessrin.types runs the package, which imports this module's functions.
  PyRef types = PyRef::steal(PyImport_ImportModule("tessrin.types"));
  if (!types) return -1;
  PyRef version = PyRef::steal(PyObject_GetAttrString(types.get(), "CifVersion"));
  if (!version) return -1;
  // Each lookup runs only if the one before succeeded: the C API must not be called with an
  // exception set.
  if (!lookup(state.cif_1_1, version.get(), "CIF_1_1") ||
      !lookup(state.cif_2_0, version.get(), "CIF_2_0") ||
      !lookup(state.parse_error, types.get(), "ParseError") ||
      !lookup(state.value_type, types.get(), "ValueType")) {
    return -1;
  }
  for (std::size_t i = 0; i < kValueTypeMembers.size(); ++i) {
    if (!lookup(state.value_types[i], state.value_type, kValueTypeMembers[i])) return -1;
  }
  return 0;
}

int traverse_module(PyObject* module, visitproc visit, void* arg) {
  auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
  if (state == nullptr) return 0;
  return state->each([&](PyObject*& slot) {
    Py_VISIT(slot);
    return 0;
  });
}

int clear_module(PyObject* module) {
  auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
  if (state == nullptr) return 0;
  state->each([](PyObject*& slot) {
    Py_CLEAR(slot);
    return 0;
  });
  return 0;
}

void free_module(void* module) { clear_module(static_cast<PyObject*>(module)); }

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "tessrin_core", "",          sizeof(ModuleState), nullptr, kSlots,
    traverse_module,       clear_module,   free_module,
};

}  // namespace
}  // namespace tessrin

PyMODINIT_FUNC PyInit_tessrin_core() { return PyModuleDef_Init(&tessrin::kModule); }
