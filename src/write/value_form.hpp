// How one scalar value is written so that the reader gives it back unchanged.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "text/grammar.hpp"

namespace tessrin {

/// The written forms, lightest first.
enum class ValueForm : std::uint8_t {
  Bare,          // a word (also the placeholders . and ?, and the stored "." / "?")
  Single,        // '...'
  Double,        // "..."
  TripleSingle,  // '''...''' (CIF 2.0)
  TripleDouble,  // """...""" (CIF 2.0)
  TextField,     // ;...\n; as it stands
  Prefixed,      // text field with the prefix protocol
  Folded,        // text field with the prefix protocol and line folding (long CIF 1.1 lines)
  Unwritable,    // no form of the target version holds the value; see FormProblem
};

/// Why a value is unwritable.
enum class FormProblem : std::uint8_t { None, CarriageReturn, NotCif11Char };

/// Longest line a CIF 1.1 file may hold (CIF 1.1 paragraph 28).
inline constexpr std::size_t kCif11MaxLine = 2048;

namespace write_detail {

// The writer's byte classes are the low eight flags of the grammar's (text/grammar.hpp), one
// byte a character so that a value's classes OR into one byte.
inline constexpr std::uint8_t kBlank = grammar::kBlank;
inline constexpr std::uint8_t kLineFeed = grammar::kLineFeed;
inline constexpr std::uint8_t kReturn = grammar::kReturn;  // never survives line-end normalising
inline constexpr std::uint8_t kSingle = grammar::kSingleQuote;
inline constexpr std::uint8_t kDouble = grammar::kDoubleQuote;
inline constexpr std::uint8_t kHash = grammar::kHash;
inline constexpr std::uint8_t kBracket = grammar::kBracket;
inline constexpr std::uint8_t kNotCif11 = grammar::kNotCif11;

constexpr std::array<std::uint8_t, 256> make_classes() {
  std::array<std::uint8_t, 256> t{};
  for (int c = 0; c < 256; ++c) t[c] = static_cast<std::uint8_t>(grammar::kFlags[c] & 0xFF);
  return t;
}

inline constexpr std::array<std::uint8_t, 256> kWriteClasses = make_classes();

inline constexpr std::uint8_t kBareCif2 =
    kBlank | kLineFeed | kReturn | kSingle | kDouble | kHash | kBracket;
// CIF 1.1 words may hold quotes after their first character (primed atom labels such as
// C1' fill nucleic-acid files); CIF 2.0 words are kept free of them.
inline constexpr std::uint8_t kBareCif11 = kBlank | kLineFeed | kReturn | kHash | kNotCif11;

/// Words the lexer takes as reserved: data_..., save_..., loop_, stop_, global_.
inline bool is_reserved_word(std::string_view word) {
  return grammar::reserved_word(word) != grammar::Reserved::None;
}

/// First characters that keep a word from being a plain value: a tag, a text field in column
/// 1, a quoted string, and the characters CIF 1.1 reserves ($ for frame codes, brackets).
/// CIF 2.0 brackets already end a word.
inline bool bad_first(char c) {
  return c == '_' || c == ';' || c == '$' || c == '[' || c == ']' || c == '\'' || c == '"';
}

}  // namespace write_detail

/// Longest piece of a text-field line written per line when folding CIF 1.1 output, below
/// the line limit with room for the prefix and the fold backslash.
inline constexpr std::size_t kFoldChunk = 2000;
static_assert(kFoldChunk + 3 <= kCif11MaxLine, "a folded line holds prefix, piece and backslash");

/// Whether `v`, whose bytes' classes OR to `mask`, is written as it stands (a word).
inline bool is_plain_word(std::string_view v, std::uint8_t mask, bool cif2) {
  using namespace write_detail;
  return !v.empty() && (mask & (cif2 ? kBareCif2 : kBareCif11)) == 0 && !bad_first(v[0]) &&
         !is_reserved_word(v) && (cif2 || v.size() <= kFoldChunk);
}

/// Copies `n` bytes to `dst` and returns the OR of their classes: the one pass over a value
/// that both decides whether it is a plain word and puts it in place.
inline std::uint8_t copy_classify(const char* src, std::size_t n, char* dst) {
  std::uint8_t mask = 0;
#pragma GCC unroll 4
  for (std::size_t i = 0; i < n; ++i) {
    const char c = src[i];
    mask |= write_detail::kWriteClasses[static_cast<unsigned char>(c)];
    dst[i] = c;
  }
  return mask;
}

/// Picks the lightest form of `value` that reads back as exactly `value` in the target
/// version. The common case (a short plain word) is one pass over the bytes. Inside a CIF 2.0
/// list or table (`in_container`) a word may follow a bracket or a key's colon directly.
ValueForm choose_form(std::string_view value, bool cif2, FormProblem& problem,
                      bool in_container = false) noexcept;

/// The lightest quoted form for a CIF 2.0 table key (keys must be quoted); Unwritable if none.
ValueForm choose_key_form(std::string_view key) noexcept;

/// True for forms that end a line (text fields) or may span lines (triple quotes with a line
/// feed inside).
inline bool is_text_field(ValueForm form) noexcept {
  return form == ValueForm::TextField || form == ValueForm::Prefixed || form == ValueForm::Folded;
}

/// Columns the written value takes on its line (delimiters included), for single-line forms.
inline std::size_t delimiter_width(ValueForm form) noexcept {
  switch (form) {
    case ValueForm::Single:
    case ValueForm::Double:
      return 2;
    case ValueForm::TripleSingle:
    case ValueForm::TripleDouble:
      return 6;
    default:
      return 0;
  }
}

/// Appends `value` in `form`. A text-field form writes from the opening semicolon (the caller
/// has put it at the start of a line) through the closing one.
void append_value(std::string& out, std::string_view value, ValueForm form);

/// The problem with a block, frame or tag name, or nullptr when it can be written after
/// `data_`, `save_` or as a tag.
const char* name_problem(std::string_view name, bool cif2, bool tag) noexcept;

/// The message for an unwritable value.
const char* form_problem_text(FormProblem problem) noexcept;

}  // namespace tessrin
