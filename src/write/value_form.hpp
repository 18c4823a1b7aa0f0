// How one scalar value is written so that the reader gives it back unchanged.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

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
  return form == ValueForm::TextField || form == ValueForm::Prefixed ||
         form == ValueForm::Folded;
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
