#include "python/handler_sink.hpp"

#include <array>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string_view>

#include "parse/parser.hpp"
#include "python/module_state.hpp"
#include "python/py_strings.hpp"
#include "python/pyref.hpp"

namespace tessrin {
namespace {

/// Forwards every event as a method call on the handler. The first exception (from the handler
/// or from building a ParseError) is kept; after it every event is dropped, and the caller
/// raises it once the parse has run to its end.
class PyEventSink {
 public:
  PyEventSink(PyObject* handler, const ModuleState& state)
      : handler_(handler),
        parse_error_(state.parse_error),
        value_types_(state.value_types),
        names_(state.handler) {}

  bool failed() const noexcept { return failed_; }

  /// Re-raises the stored exception.
  void restore_error() { error_.restore(); }

  // Handlers receive names only; positions reach them with the diagnostics (on_error).
  void on_data_block(std::string_view name, SourcePosition) {
    call_with_text(names_.on_data_block, name);
  }
  void on_save_frame_start(std::string_view name, SourcePosition) {
    call_with_text(names_.on_save_frame_start, name);
  }
  void on_save_frame_end() { call(names_.on_save_frame_end, {}); }
  void add_tag(std::string_view tag, SourcePosition) { call_with_text(names_.add_tag, tag); }
  void add_value(std::string_view text, std::uint8_t kind) {
    call_with_kind(names_.add_value, text, kind);
  }
  void on_loop_start(std::span<const std::string_view> tags, std::span<const SourcePosition>,
                     SourcePosition) {
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
    if (reported_ == limit_) {
      ++skipped_;
      return;
    }
    ++reported_;
    report(error_type, message, line, column, context, recovery_action);
  }

  /// The closing diagnostic for what the limit kept from the handler.
  void finish() {
    if (skipped_ == 0) return;
    report(kSemantic, unrecorded_message(skipped_, limit_), 0, 0, kUnrecordedContext,
           kUnrecordedRecovery);
  }

  void set_limit(std::size_t limit) noexcept { limit_ = limit; }

 private:
  void report(std::string_view error_type, std::string_view message, std::uint32_t line,
              std::uint32_t column, std::string_view context, std::string_view recovery_action) {
    if (failed_) return;
    std::array<PyRef, 6> fields = {PyRef::steal(make_str(error_type)),
                                   PyRef::steal(make_str(message)),
                                   PyRef::steal(PyLong_FromUnsignedLong(line)),
                                   PyRef::steal(PyLong_FromUnsignedLong(column)),
                                   PyRef::steal(make_str(context)),
                                   PyRef::steal(make_str(recovery_action))};
    std::array<PyObject*, 6> args{};
    for (std::size_t i = 0; i < fields.size(); ++i) {
      if (!fields[i]) return fail();
      args[i] = fields[i].get();
    }
    PyRef error = PyRef::steal(PyObject_Vectorcall(parse_error_, args.data(), 6, nullptr));
    if (!error) return fail();
    call(names_.on_error, {error.get()});
  }

  void fail() {
    failed_ = true;
    error_.fetch();
  }

  /// Calls handler.<name>(*args); up to two arguments.
  void call(PyObject* name, std::initializer_list<PyObject*> args) {
    if (failed_) return;
    std::array<PyObject*, 3> stack{handler_, nullptr, nullptr};
    std::size_t n = 1;
    for (PyObject* arg : args) stack[n++] = arg;
    PyRef result = PyRef::steal(
        PyObject_VectorcallMethod(name, stack.data(), n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!result) fail();
  }

  void call_with_text(PyObject* name, std::string_view text) {
    if (failed_) return;
    PyRef s = PyRef::steal(make_str(text));
    if (!s) return fail();
    call(name, {s.get()});
  }

  void call_with_kind(PyObject* name, std::string_view text, std::uint8_t kind) {
    if (failed_) return;
    PyRef s = PyRef::steal(make_str(text));
    if (!s) return fail();
    call(name, {s.get(), value_types_[kind < 7 ? kind : kString]});
  }

  PyObject* handler_;  // borrowed: the caller holds it for the whole call
  // The module state's, held by the module for the whole call.
  PyObject* parse_error_;
  const std::array<PyObject*, kValueTypeMembers.size()>& value_types_;
  const HandlerNames& names_;
  bool failed_ = false;
  std::size_t limit_ = DiagnosticLog::kUnlimited;
  std::size_t reported_ = 0;
  std::size_t skipped_ = 0;
  SavedError error_;
};

}  // namespace

bool parse_with_handler(const VersionResult& detected, PyObject* handler, const ModuleState& state,
                        std::size_t max_errors) {
  // Keep the handler alive even if a handler method drops the caller's last reference.
  PyRef handler_ref = PyRef::borrow(handler);
  PyEventSink sink(handler, state);
  sink.set_limit(max_errors);
  for (const ParseDiagnostic& d : detected.errors) {
    sink.on_parse_error(d.error_type, d.message, d.line, d.column, d.context, d.recovery_action);
  }
  run_parser(detected, sink);
  sink.finish();
  if (sink.failed()) {
    sink.restore_error();
    return false;
  }
  return true;
}

}  // namespace tessrin
