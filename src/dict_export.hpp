// Conversion of a collected parse into plain Python objects (the parse_raw dict), and the
// value and diagnostic conversions that the other exporters share.
#pragma once

#include <Python.h>

#include <string_view>
#include <unordered_map>
#include <vector>

#include "pyref.hpp"
#include "raw_model.hpp"

namespace tessrin {

// Every function returns a new reference, or null with a Python exception set.

/// A str from UTF-8 text (ASCII takes a fast path).
PyObject* make_str(std::string_view text);

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
    PyObject* str = nullptr;
    Key key;
  };
  std::vector<Slot> slots_;
  std::unordered_map<const char*, PyObject*> tags_;
};

/// The list of diagnostic dicts, keys "error_type", "message", "line", "column", "context",
/// "recovery_action" in that order.
PyObject* diagnostics_to_list(const std::vector<ParseDiagnostic>& errors);

/// A str, list or dict for one value (a table's repeated key keeps its first position and its
/// last value). Works with an explicit stack: nesting depth is unlimited.
PyObject* raw_value_to_python(const RawValue& value);

/// A new list with the converted values of one tag; `cache` (optional) shares short strs.
PyObject* value_list_to_python(const ValueList& values, StrCache* cache = nullptr);

/// The three containers of one block or save frame: tags dict (tag -> list of values, in tag
/// order), tag-order list and loops list (per loop, its tags in header order). Each tag's str
/// is made once and shared by all three.
struct FrameContainers {
  PyRef tags, tag_order, loops;
};
bool frame_data_to_py(const FrameData& data, StrCache& cache, FrameContainers& out);

/// The parse_raw dict: "version", "errors", "blocks".
PyObject* to_python(ParsedCif&& parse);

}  // namespace tessrin
