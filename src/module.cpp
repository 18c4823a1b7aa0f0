// The tessrin_core module: initialisation, the five entry functions, the one pipeline every
// parse runs, and the sink that forwards parse events to a Python handler.
#include <Python.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <string_view>

#include "arguments.hpp"
#include "arrow_export.hpp"
#include "cif_model.hpp"
#include "dict_export.hpp"
#include "parser.hpp"
#include "pyref.hpp"
#include "raw_builder.hpp"
#include "utf8.hpp"
#include "version.hpp"

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
  const int fd = ::open(name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
    return false;
  }
  struct stat info {};
  // One spare byte lets the read that finds the end of a regular file need no reallocation;
  // the loop only grows the buffer for pipes and special files.
  if (::fstat(fd, &info) == 0 && info.st_size > 0) {
    out.reserve(static_cast<std::size_t>(info.st_size) + 1);
  }
  for (;;) {
    if (out.size() == out.capacity()) out.reserve(out.capacity() * 2 + (1 << 16));
    const std::size_t old_size = out.size();
    out.resize(out.capacity());
    ssize_t n = ::read(fd, out.data() + old_size, out.size() - old_size);
    if (n < 0 && errno == EINTR) {
      out.resize(old_size);
      continue;
    }
    if (n < 0) {
      const int saved = errno;
      ::close(fd);
      errno = saved;
      PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
      return false;
    }
    out.resize(old_size + static_cast<std::size_t>(n));
    if (n == 0) break;
  }
  ::close(fd);
  if (!is_valid_utf8(out)) {
    PyErr_SetString(PyExc_OSError, "stream did not contain valid UTF-8");
    return false;
  }
  return true;
}

// --- the Python handler sink -------------------------------------------------------------

/// Name strings of the handler methods, made once per call.
struct HandlerNames {
  PyRef on_data_block, on_save_frame_start, on_save_frame_end, add_tag, add_value, on_loop_start,
      on_loop_end, on_list_start, on_list_end, on_table_start, on_table_key, on_table_end,
      on_error;

  bool init() {
    const std::array<std::pair<PyRef*, const char*>, 13> all = {{
        {&on_data_block, "on_data_block"},
        {&on_save_frame_start, "on_save_frame_start"},
        {&on_save_frame_end, "on_save_frame_end"},
        {&add_tag, "add_tag"},
        {&add_value, "add_value"},
        {&on_loop_start, "on_loop_start"},
        {&on_loop_end, "on_loop_end"},
        {&on_list_start, "on_list_start"},
        {&on_list_end, "on_list_end"},
        {&on_table_start, "on_table_start"},
        {&on_table_key, "on_table_key"},
        {&on_table_end, "on_table_end"},
        {&on_error, "on_error"},
    }};
    for (const auto& [ref, name] : all) {
      *ref = PyRef::steal(PyUnicode_InternFromString(name));
      if (!*ref) return false;
    }
    return true;
  }
};

constexpr std::array<const char*, 7> kValueTypeMembers = {
    "MULTILINE_STRING", "TRIPLE_DOUBLE_QUOTED", "TRIPLE_SINGLE_QUOTED", "DOUBLE_QUOTED",
    "SINGLE_QUOTED",    "STRING",               "PLACEHOLDER"};

/// Forwards every event as a method call on the handler. The first exception (from the handler
/// or from building a ParseError) is kept; after it every event is dropped, and the caller
/// raises it once the parse has run to its end.
class PyEventSink {
 public:
  PyEventSink(PyObject* handler, PyRef parse_error, std::array<PyRef, 7> value_types,
              HandlerNames& names)
      : handler_(handler),
        parse_error_(std::move(parse_error)),
        value_types_(std::move(value_types)),
        names_(names) {}

  ~PyEventSink() {
    Py_XDECREF(error_type_);
    Py_XDECREF(error_value_);
    Py_XDECREF(error_traceback_);
  }

  bool failed() const noexcept { return failed_; }

  /// Re-raises the stored exception.
  void restore_error() {
    PyErr_Restore(error_type_, error_value_, error_traceback_);
    error_type_ = error_value_ = error_traceback_ = nullptr;
  }

  void on_data_block(std::string_view name) { call_with_text(names_.on_data_block, name); }
  void on_save_frame_start(std::string_view name) {
    call_with_text(names_.on_save_frame_start, name);
  }
  void on_save_frame_end() { call(names_.on_save_frame_end, {}); }
  void add_tag(std::string_view tag) { call_with_text(names_.add_tag, tag); }
  void add_value(std::string_view text, std::uint8_t kind) {
    call_with_kind(names_.add_value, text, kind);
  }
  void on_loop_start(std::span<const std::string_view> tags) {
    if (failed_) return;
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(tags.size())));
    if (!list) return fail();
    for (std::size_t i = 0; i < tags.size(); ++i) {
      PyObject* tag = make_str(tags[i]);
      if (tag == nullptr) return fail();
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), tag);
    }
    call(names_.on_loop_start, {list.get()});
  }
  void on_loop_end() { call(names_.on_loop_end, {}); }
  void on_list_start() { call(names_.on_list_start, {}); }
  void on_list_end() { call(names_.on_list_end, {}); }
  void on_table_start() { call(names_.on_table_start, {}); }
  void on_table_key(std::string_view key, std::uint8_t kind) {
    call_with_kind(names_.on_table_key, key, kind);
  }
  void on_table_end() { call(names_.on_table_end, {}); }

  void on_parse_error(std::string_view error_type, std::string_view message, std::uint32_t line,
                      std::uint32_t column, std::string_view context,
                      std::string_view recovery_action) {
    if (failed_) return;
    std::array<PyRef, 6> fields = {
        PyRef::steal(make_str(error_type)),         PyRef::steal(make_str(message)),
        PyRef::steal(PyLong_FromUnsignedLong(line)), PyRef::steal(PyLong_FromUnsignedLong(column)),
        PyRef::steal(make_str(context)),            PyRef::steal(make_str(recovery_action))};
    std::array<PyObject*, 6> args{};
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (!fields[i]) return fail();
      args[i] = fields[i].get();
    }
    PyRef error = PyRef::steal(PyObject_Vectorcall(parse_error_.get(), args.data(), 6, nullptr));
    if (!error) return fail();
    call(names_.on_error, {error.get()});
  }

 private:
  void fail() {
    failed_ = true;
    PyErr_Fetch(&error_type_, &error_value_, &error_traceback_);
  }

  /// Calls handler.<name>(*args); up to two arguments.
  void call(const PyRef& name, std::initializer_list<PyObject*> args) {
    if (failed_) return;
    std::array<PyObject*, 3> stack{handler_, nullptr, nullptr};
    std::size_t n = 1;
    for (PyObject* arg : args) stack[n++] = arg;
    PyRef result = PyRef::steal(PyObject_VectorcallMethod(
        name.get(), stack.data(), n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!result) fail();
  }

  void call_with_text(const PyRef& name, std::string_view text) {
    if (failed_) return;
    PyRef s = PyRef::steal(make_str(text));
    if (!s) return fail();
    call(name, {s.get()});
  }

  void call_with_kind(const PyRef& name, std::string_view text, std::uint8_t kind) {
    if (failed_) return;
    PyRef s = PyRef::steal(make_str(text));
    if (!s) return fail();
    call(name, {s.get(), value_types_[kind < 7 ? kind : kString].get()});
  }

  PyObject* handler_;  // borrowed: the caller holds it for the whole call
  PyRef parse_error_;
  std::array<PyRef, 7> value_types_;
  HandlerNames& names_;
  bool failed_ = false;
  PyObject* error_type_ = nullptr;
  PyObject* error_value_ = nullptr;
  PyObject* error_traceback_ = nullptr;
};

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
    std::array<PyRef, 7> members;
    for (std::size_t i = 0; i < members.size(); ++i) {
      members[i] = PyRef::steal(PyObject_GetAttrString(value_type.get(), kValueTypeMembers[i]));
      if (!members[i]) return nullptr;
    }
    HandlerNames names;
    if (!names.init()) return nullptr;
    // Keep the handler alive even if a handler method drops the caller's last reference.
    PyRef handler_ref = PyRef::borrow(handler);

    VersionResult detected;
    detect_version(source, detected);
    PyEventSink sink(handler, std::move(parse_error), std::move(members), names);
    for (const ParseDiagnostic& d : detected.errors) {
      sink.on_parse_error(d.error_type, d.message, d.line, d.column, d.context,
                          d.recovery_action);
    }
    run_parser(detected, sink);
    if (sink.failed()) {
      sink.restore_error();
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
