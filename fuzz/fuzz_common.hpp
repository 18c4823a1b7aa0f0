// Helpers shared by the fuzz targets. A failed check aborts, which libFuzzer reports as a crash
// and saves the input.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "collect/raw_model.hpp"
#include "parse/error.hpp"
#include "text/utf8.hpp"
#include "text/version.hpp"

#define FUZZ_CHECK(cond)                                                             \
  do {                                                                               \
    if (!(cond)) {                                                                   \
      std::fprintf(stderr, "check failed: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
      std::abort();                                                                  \
    }                                                                                \
  } while (0)

namespace tessrin::fuzz {

inline std::string_view as_text(const std::uint8_t* data, std::size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

/// The CIF text of an input of the targets that take one flag byte and the text: bits 1-2 of
/// the flags put a magic line in front (none, `#\#CIF_2.0`, `#\#CIF_1.1`, or a byte-order mark
/// with `#\#CIF_2.0` and CR LF), so that both grammars get plenty of inputs without the fuzzer
/// having to find a magic line first. `size` must be at least 1.
inline std::string flagged_source(const std::uint8_t* data, std::size_t size) {
  static constexpr std::string_view kPrefixes[] = {"", "#\\#CIF_2.0\n", "#\\#CIF_1.1\n",
                                                   "\xEF\xBB\xBF#\\#CIF_2.0\r\n"};
  std::string source(kPrefixes[(data[0] >> 1) & 3]);
  source.append(as_text(data + 1, size - 1));
  return source;
}

/// Line and column bounds of a text, after line ends are normalised the way the pipeline does:
/// a position is valid when its line exists and its column is at most one past the line's last
/// character (diagnostics at the end of a line or of the input point there).
class Positions {
 public:
  explicit Positions(std::string_view source) {
    if (normalise_line_ends(source, owned_)) source = owned_;
    std::size_t start = 0;
    for (;;) {
      std::size_t nl = source.find('\n', start);
      std::size_t end = nl == std::string_view::npos ? source.size() : nl;
      chars_.push_back(count_chars(source.data() + start, source.data() + end));
      if (nl == std::string_view::npos) break;
      start = nl + 1;
    }
  }

  bool valid(std::uint32_t line, std::uint32_t column) const {
    return line >= 1 && line <= chars_.size() && column >= 1 && column <= chars_[line - 1] + 1;
  }

 private:
  std::string owned_;
  std::vector<std::size_t> chars_;  // characters per line
};

/// The character at a line and column of a text whose first line has number `first_line`
/// (empty when there is none).
class CharIndex {
 public:
  CharIndex(std::string_view text, std::uint32_t first_line) : text_(text), first_(first_line) {
    starts_.push_back(0);
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (text[i] == '\n') starts_.push_back(i + 1);
    }
  }

  std::string_view at(std::uint32_t line, std::uint32_t column) const {
    if (line < first_ || line - first_ >= starts_.size() || column == 0) return {};
    std::size_t p = starts_[line - first_];
    for (std::uint32_t c = 1; c < column; ++c) {
      if (p >= text_.size() || text_[p] == '\n') return {};
      ++p;
      while (p < text_.size() && is_continuation(static_cast<unsigned char>(text_[p]))) ++p;
    }
    std::size_t end = p;
    if (end < text_.size() && text_[end] != '\n') ++end;
    while (end < text_.size() && is_continuation(static_cast<unsigned char>(text_[end]))) ++end;
    return text_.substr(p, end - p);
  }

 private:
  std::string_view text_;
  std::uint32_t first_;
  std::vector<std::size_t> starts_;
};

inline bool known_error_type(std::string_view type) {
  return type == kLexical || type == kSyntactic || type == kSemantic;
}

/// Every diagnostic has a known kind, a position in the source (only the closing count of
/// unrecorded ones has none: 0, 0) and, when the source is UTF-8, UTF-8 texts (the Python side
/// decodes them strictly).
inline void check_diagnostic(const ParseDiagnostic& d, const Positions& positions, bool utf8) {
  FUZZ_CHECK(known_error_type(d.error_type));
  if (d.error_type == kSemantic && d.context == kUnrecordedContext) {
    FUZZ_CHECK(d.line == 0 && d.column == 0);
  } else {
    FUZZ_CHECK(positions.valid(d.line, d.column));
  }
  if (utf8) {
    FUZZ_CHECK(is_valid_utf8(d.message));
    FUZZ_CHECK(is_valid_utf8(d.context));
    FUZZ_CHECK(is_valid_utf8(d.recovery_action));
  }
}

/// Two collected values are the same: kind, text, keys and items, compared without recursion.
inline bool same_value(const RawValue& a, const RawValue& b) {
  std::vector<std::pair<const RawValue*, const RawValue*>> stack{{&a, &b}};
  while (!stack.empty()) {
    auto [x, y] = stack.back();
    stack.pop_back();
    if (x->kind != y->kind || x->text != y->text || x->keys != y->keys ||
        x->items.size() != y->items.size()) {
      return false;
    }
    for (std::size_t i = 0; i < x->items.size(); ++i)
      stack.emplace_back(&x->items[i], &y->items[i]);
  }
  return true;
}

}  // namespace tessrin::fuzz
