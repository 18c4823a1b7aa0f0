// The Python objects every exporter makes the same way: strs from UTF-8 text, one shared str
// for repeated short values and for tag names, and the list of diagnostic dicts.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "parse/error.hpp"
#include "python/module_state.hpp"
#include "python/pyref.hpp"

namespace tessrin {

// Every function returns a new reference, or null with a Python exception set.

/// A str from text known to be ASCII.
PyObject* make_ascii_str(std::string_view text);

/// A str from UTF-8 text (ASCII takes a fast path).
PyObject* make_str(std::string_view text);

/// Sets a `type` exception with `message` decoded by its length: a name quoted in the message
/// may hold NUL, where a C string would end. Returns null, for `return raise_text(...)`.
PyObject* raise_text(PyObject* type, std::string_view message);

/// Shares one str object among equal short values within one export: CIF columns repeat the
/// same few short values (element symbols, chain ids, "?", ".") millions of times, and
/// allocating a str for each dominates conversion time and memory.
class StrCache {
 public:
  StrCache();
  ~StrCache();
  StrCache(const StrCache&) = delete;
  StrCache& operator=(const StrCache&) = delete;

  /// A new reference to a str equal to `text` (which must be ASCII).
  PyObject* ascii(std::string_view text);

  /// A new reference to the str of a tag name from the parse's TagPool: one str per distinct
  /// tag for the whole export, however many frames repeat it.
  PyObject* tag(std::string_view pooled);

 private:
  static constexpr std::size_t kMaxLength = 15;
  static constexpr std::size_t kSlots = 1024;
  // A text of up to 15 bytes, zero-padded into two words, with its length: compared and
  // hashed as three integers.
  struct Key {
    std::uint64_t low = 0;
    std::uint64_t high = 0;
    std::size_t length = 0;
    bool operator==(const Key&) const = default;
  };
  static Key key_of(std::string_view text) noexcept;
  struct Slot {
    PyRef str;
    Key key;
  };
  std::vector<Slot> slots_;
  std::unordered_map<const char*, PyRef> tags_;
};

/// The list of diagnostic dicts, keys "error_type", "message", "line", "column", "context",
/// "recovery_action" in that order.
PyObject* diagnostics_to_list(const ModuleState& state, const std::vector<ParseDiagnostic>& errors);

}  // namespace tessrin
