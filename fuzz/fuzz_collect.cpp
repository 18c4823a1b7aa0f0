// The whole native pipeline (version detection, lexer, parser, raw builder) on any bytes, in
// both modes. Besides crashes it checks what the Python side relies on: diagnostics with known
// kinds and positions inside the source, UTF-8 texts for UTF-8 input, a consistent ParsedCif,
// and a strict parse that agrees with the lenient one up to its stop.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>

#include "collect/raw_builder.hpp"
#include "fuzz_common.hpp"
#include "text/unicode.hpp"

namespace {

using namespace tessrin;
using fuzz::Positions;

void check_value(const RawValue& value, bool utf8) {
  std::vector<const RawValue*> stack{&value};  // nesting is unbounded: no recursion
  while (!stack.empty()) {
    const RawValue* v = stack.back();
    stack.pop_back();
    if (v->kind == RawValue::Kind::Scalar) {
      FUZZ_CHECK(v->items.empty() && v->keys.empty());
      if (utf8) FUZZ_CHECK(is_valid_utf8(v->text));
      continue;
    }
    if (v->kind == RawValue::Kind::Table) {
      FUZZ_CHECK(v->keys.size() == v->items.size());
      if (utf8) {
        for (const std::string& key : v->keys) FUZZ_CHECK(is_valid_utf8(key));
      }
    } else {
      FUZZ_CHECK(v->keys.empty());
    }
    for (const RawValue& item : v->items) stack.push_back(&item);
  }
}

void check_values(const ValueList& list, bool utf8) {
  const auto& offsets = list.offsets();
  // An empty list may have no offsets at all; otherwise there is one more than values.
  if (offsets.empty()) {
    FUZZ_CHECK(list.size() == 0 && list.data().empty() && list.others().empty());
    return;
  }
  FUZZ_CHECK(offsets.size() == list.size() + 1 && offsets.front() == 0);
  FUZZ_CHECK(offsets.back() == list.data().size());
  for (std::size_t i = 1; i < offsets.size(); ++i) FUZZ_CHECK(offsets[i - 1] <= offsets[i]);
  std::size_t previous = 0;
  bool first = true;
  for (const auto& [position, value] : list.others()) {
    FUZZ_CHECK(position < list.size());
    FUZZ_CHECK(first || position > previous);
    // An out-of-line value takes no packed bytes.
    FUZZ_CHECK(offsets[position] == offsets[position + 1]);
    check_value(value, utf8);
    previous = position;
    first = false;
  }
  if (utf8) {
    list.for_each([](std::size_t, std::string_view text) { FUZZ_CHECK(is_valid_utf8(text)); },
                  [](std::size_t, const RawValue&) {});
  }
}

// Names are stored lower-cased, so lower-casing them again must change nothing.
void check_name(std::string_view name, bool utf8) {
  if (!utf8) return;
  FUZZ_CHECK(is_valid_utf8(name));
  FUZZ_CHECK(to_lower(name) == name);
}

void check_frame(const FrameData& frame, bool utf8) {
  const std::size_t n = frame.tag_order.size();
  FUZZ_CHECK(frame.values.size() == n);
  // The index is built only once a frame has many tags; from then on it holds every one.
  FUZZ_CHECK(frame.index.empty() ? n <= 16 : frame.index.size() == n);
  std::unordered_set<std::string_view> distinct;
  for (std::size_t i = 0; i < n; ++i) {
    check_name(frame.tag_order[i], utf8);
    FUZZ_CHECK(distinct.insert(frame.tag_order[i]).second);
    if (!frame.index.empty()) {
      FUZZ_CHECK(frame.index.find(frame.tag_order[i].data(), frame.tag_order) == i);
    }
    check_values(frame.values[i], utf8);
  }
  // A tag belongs to one loop at most: a loop never shows another definition's values.
  FUZZ_CHECK(frame.looped.size() == n);
  std::vector<std::size_t> owner(n, frame.loops.size());
  for (std::size_t l = 0; l < frame.loops.size(); ++l) {
    for (std::size_t position : frame.loops[l]) {
      FUZZ_CHECK(position < n && frame.looped[position]);
      FUZZ_CHECK(owner[position] == frame.loops.size() || owner[position] == l);
      owner[position] = l;
    }
  }
}

void check_parse(const ParsedCif& parse, const Positions& positions, bool utf8) {
  FUZZ_CHECK(parse.version <= 1);
  for (const ParseDiagnostic& d : parse.errors) fuzz::check_diagnostic(d, positions, utf8);
  for (const ParsedBlock& block : parse.blocks) {
    check_name(block.name, utf8);
    check_frame(block.data, utf8);
    for (const ParsedSaveFrame& frame : block.save_frames) {
      check_name(frame.name, utf8);
      check_frame(frame.data, utf8);
    }
  }
}

bool same_diagnostic(const ParseDiagnostic& a, const ParseDiagnostic& b,
                     bool same_recovery = true) {
  return a.error_type == b.error_type && a.message == b.message && a.line == b.line &&
         a.column == b.column && a.context == b.context &&
         (!same_recovery || a.recovery_action == b.recovery_action);
}

bool same_frame(const FrameData& a, const FrameData& b) {
  if (a.tag_order != b.tag_order || a.loops != b.loops) return false;
  for (std::size_t i = 0; i < a.values.size(); ++i) {
    const ValueList& x = a.values[i];
    const ValueList& y = b.values[i];
    if (x.data() != y.data() || !std::ranges::equal(x.offsets(), y.offsets()) ||
        x.others().size() != y.others().size()) {
      return false;
    }
    for (std::size_t k = 0; k < x.others().size(); ++k) {
      if (x.others()[k].first != y.others()[k].first ||
          !fuzz::same_value(x.others()[k].second, y.others()[k].second)) {
        return false;
      }
    }
  }
  return true;
}

bool same_blocks(const ParsedCif& a, const ParsedCif& b) {
  if (a.blocks.size() != b.blocks.size()) return false;
  for (std::size_t i = 0; i < a.blocks.size(); ++i) {
    const ParsedBlock& x = a.blocks[i];
    const ParsedBlock& y = b.blocks[i];
    if (x.name != y.name || !same_frame(x.data, y.data) ||
        x.save_frames.size() != y.save_frames.size()) {
      return false;
    }
    for (std::size_t f = 0; f < x.save_frames.size(); ++f) {
      if (x.save_frames[f].name != y.save_frames[f].name ||
          !same_frame(x.save_frames[f].data, y.save_frames[f].data)) {
        return false;
      }
    }
  }
  return true;
}

// Strict mode stops collecting at the first semantic problem (a loop's then has another
// recovery text) and changes nothing else: the other diagnostics are the same, and without a
// semantic problem so is the whole result.
void compare_modes(const ParsedCif& lenient, const ParsedCif& strict) {
  std::vector<const ParseDiagnostic*> lenient_other, strict_other;
  const ParseDiagnostic* lenient_semantic = nullptr;
  const ParseDiagnostic* strict_semantic = nullptr;
  std::size_t strict_semantics = 0;
  for (const ParseDiagnostic& d : lenient.errors) {
    if (d.error_type != kSemantic) {
      lenient_other.push_back(&d);
    } else if (lenient_semantic == nullptr) {
      lenient_semantic = &d;
    }
  }
  for (const ParseDiagnostic& d : strict.errors) {
    if (d.error_type != kSemantic) {
      strict_other.push_back(&d);
    } else {
      if (strict_semantic == nullptr) strict_semantic = &d;
      ++strict_semantics;
    }
  }
  FUZZ_CHECK(lenient.version == strict.version);
  FUZZ_CHECK(lenient_other.size() == strict_other.size());
  for (std::size_t i = 0; i < lenient_other.size(); ++i) {
    FUZZ_CHECK(same_diagnostic(*lenient_other[i], *strict_other[i]));
  }
  FUZZ_CHECK(strict_semantics <= 1);
  FUZZ_CHECK((lenient_semantic == nullptr) == (strict_semantic == nullptr));
  if (lenient_semantic != nullptr) {
    FUZZ_CHECK(same_diagnostic(*lenient_semantic, *strict_semantic, false));
  } else {
    FUZZ_CHECK(same_blocks(lenient, strict));
  }
}

// Same content, same result: with other line ends the parse is identical, and with blank
// lines in front only the line numbers of the diagnostics grow.
bool same_with_shift(const ParsedCif& a, const ParsedCif& b, std::uint32_t shift) {
  if (a.version != b.version || a.errors.size() != b.errors.size()) return false;
  for (std::size_t i = 0; i < a.errors.size(); ++i) {
    ParseDiagnostic moved = a.errors[i];
    if (moved.context != kUnrecordedContext) moved.line += shift;
    if (!same_diagnostic(moved, b.errors[i])) return false;
  }
  return same_blocks(a, b);
}

std::string with_line_ends(std::string_view text, std::string_view line_end) {
  std::string out;
  for (char c : text) {
    if (c == '\n') {
      out.append(line_end);
    } else {
      out.push_back(c);
    }
  }
  return out;
}

constexpr std::string_view kBlankLines = "\n \n\t\n";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t flags = data[0];
  const std::string source = fuzz::flagged_source(data, size);
  const bool utf8 = is_valid_utf8(source);
  const Positions positions(source);

  ParsedCif lenient = collect_raw(source, false);
  check_parse(lenient, positions, utf8);
  if (flags & 1) {
    ParsedCif strict = collect_raw(source, true);
    check_parse(strict, positions, utf8);
    compare_modes(lenient, strict);
  }
  // Bits 3-4: the same text again with CR LF or CR line ends, or after blank lines. A byte-order
  // mark counts as blank only at the very start, so texts holding one keep their line ends.
  const int variant = (flags >> 3) & 3;
  const bool plain =
      source.find('\r') == std::string::npos && source.find("\xEF\xBB\xBF") == std::string::npos;
  if (variant != 0 && plain) {
    const std::string other = variant == 1   ? with_line_ends(source, "\r\n")
                              : variant == 2 ? with_line_ends(source, "\r")
                                             : std::string(kBlankLines) + source;
    const ParsedCif again = collect_raw(other, false);
    FUZZ_CHECK(same_with_shift(lenient, again, variant == 3 ? 3 : 0));
  }
  return 0;
}
