#include "write/value_form.hpp"

#include <array>
#include <cstdint>
#include <cstring>

namespace tessrin {

namespace {

using namespace write_detail;

constexpr char kPrefix = '>';

bool is_blank(char c) { return c == ' ' || c == '\t'; }

/// A one-line quoted string: CIF 2.0 ends it at the first matching quote; CIF 1.1 only at a
/// quote followed by a blank, and takes three quotes at the start as a triple-quoted string.
bool quote_fits(std::string_view v, char q, bool cif2) {
  if (cif2) return v.find(q) == std::string_view::npos;
  if (!v.empty() && v[0] == q) return false;
  for (std::size_t i = v.find(q); i != std::string_view::npos; i = v.find(q, i + 1)) {
    if (i + 1 < v.size() && is_blank(v[i + 1])) return false;
  }
  return true;
}

/// CIF 2.0 triple quotes end at the first run of three; a last content quote would join it.
bool triple_fits(std::string_view v, char q) {
  const char run[3] = {q, q, q};
  return v.find(std::string_view(run, 3)) == std::string_view::npos &&
         (v.empty() || v.back() != q);
}

bool has_line_over(std::string_view v, std::size_t limit) {
  if (v.size() <= limit) return false;
  std::size_t start = 0;
  for (;;) {
    std::size_t nl = v.find('\n', start);
    std::size_t end = nl == std::string_view::npos ? v.size() : nl;
    if (end - start > limit) return true;
    if (nl == std::string_view::npos) return false;
    start = nl + 1;
  }
}

/// A text field as it stands is read back unchanged unless a later line starts with a
/// semicolon (it would close the field) or the first line holds a backslash (the reader would
/// take it for a prefix or folding marker).
ValueForm text_field_form(std::string_view v, bool cif2) {
  if (!cif2 && has_line_over(v, kFoldChunk)) return ValueForm::Folded;
  const std::string_view first = v.substr(0, v.find('\n'));
  if (first.find('\\') != std::string_view::npos ||
      v.find("\n;") != std::string_view::npos) {
    return ValueForm::Prefixed;
  }
  return ValueForm::TextField;
}

/// A line of folded output: the line feed and prefix, then the text.
void fold_line(std::string& out, std::string_view text) {
  out.push_back('\n');
  out.push_back(kPrefix);
  out.append(text);
}

/// Writes one line of the value under line folding: long lines in fold pieces; a line whose
/// text ends in a backslash (blanks after it allowed) would itself read as a fold line, so it
/// is written as one and completed by an empty line.
void append_folded_line(std::string& out, std::string_view line) {
  while (line.size() > kFoldChunk) {
    fold_line(out, line.substr(0, kFoldChunk));
    out.push_back('\\');
    line.remove_prefix(kFoldChunk);
  }
  std::size_t end = line.size();
  while (end > 0 && is_blank(line[end - 1])) --end;
  fold_line(out, line);
  if (end > 0 && line[end - 1] == '\\') {
    out.push_back('\\');
    fold_line(out, {});
  }
}

/// True when every byte of `name` is printable ASCII other than a blank: such a name is good
/// in either version. Eight bytes at a time, as most names are tens of bytes long (a name that
/// fails here is looked at byte by byte).
bool plain_ascii_name(std::string_view name) {
  constexpr std::uint64_t kOnes = 0x0101010101010101u;
  constexpr std::uint64_t kHigh = 0x8080808080808080u;
  std::uint64_t bad = 0;
  std::size_t i = 0;
  for (; i + 8 <= name.size(); i += 8) {
    std::uint64_t x;
    std::memcpy(&x, name.data() + i, 8);
    const std::uint64_t del = x ^ (kOnes * 0x7F);
    // High bit of a byte: non-ASCII; below 0x21: a control or a blank (exact as a whole
    // for ASCII bytes, and a word with a high byte is refused anyway); 0x7F (DEL).
    bad |= x | ((x - kOnes * 0x21) & ~x) | ((del - kOnes) & ~del);
  }
  for (; i < name.size(); ++i) {
    const auto c = static_cast<unsigned char>(name[i]);
    if (c <= 0x20 || c >= 0x7F) return false;
  }
  return (bad & kHigh) == 0;
}

}  // namespace

ValueForm choose_form(std::string_view v, bool cif2, FormProblem& problem,
                      bool in_container) noexcept {
  problem = FormProblem::None;
  std::uint8_t mask = 0;
  for (char c : v) mask |= kWriteClasses[static_cast<unsigned char>(c)];
  // A colon straight after a bracket or a key's colon is read as a key separator.
  if (is_plain_word(v, mask, cif2) && !(in_container && v[0] == ':')) return ValueForm::Bare;

  if (mask & kReturn) {
    problem = FormProblem::CarriageReturn;
    return ValueForm::Unwritable;
  }
  if (!cif2 && (mask & kNotCif11)) {
    problem = FormProblem::NotCif11Char;
    return ValueForm::Unwritable;
  }
  // The reader keeps a quoted "." or "?" as these three characters: written as they are.
  if (v == "\".\"" || v == "\"?\"") return ValueForm::Bare;
  if (!(mask & kLineFeed)) {
    if (!cif2 && v.size() > kFoldChunk) return ValueForm::Folded;
    if (quote_fits(v, '\'', cif2)) return ValueForm::Single;
    if (quote_fits(v, '"', cif2)) return ValueForm::Double;
  }
  if (cif2) {
    if (triple_fits(v, '\'')) return ValueForm::TripleSingle;
    if (triple_fits(v, '"')) return ValueForm::TripleDouble;
  }
  return text_field_form(v, cif2);
}

ValueForm choose_key_form(std::string_view key) noexcept {
  if (key.find('\r') != std::string_view::npos) return ValueForm::Unwritable;
  const bool one_line = key.find('\n') == std::string_view::npos;
  if (one_line && quote_fits(key, '\'', true)) return ValueForm::Single;
  if (one_line && quote_fits(key, '"', true)) return ValueForm::Double;
  if (triple_fits(key, '\'')) return ValueForm::TripleSingle;
  if (triple_fits(key, '"')) return ValueForm::TripleDouble;
  return ValueForm::Unwritable;
}

void append_value(std::string& out, std::string_view v, ValueForm form) {
  switch (form) {
    case ValueForm::Bare:
    case ValueForm::Unwritable:
      out.append(v);
      return;
    case ValueForm::Single:
    case ValueForm::Double: {
      const char q = form == ValueForm::Single ? '\'' : '"';
      out.push_back(q);
      out.append(v);
      out.push_back(q);
      return;
    }
    case ValueForm::TripleSingle:
    case ValueForm::TripleDouble: {
      const std::string_view q = form == ValueForm::TripleSingle ? "'''" : "\"\"\"";
      out.append(q).append(v).append(q);
      return;
    }
    case ValueForm::TextField:
      out.push_back(';');
      out.append(v);
      out.append("\n;");
      return;
    case ValueForm::Prefixed:
    case ValueForm::Folded: {
      const bool folded = form == ValueForm::Folded;
      out.push_back(';');
      out.push_back(kPrefix);
      out.append(folded ? "\\\\" : "\\");
      std::size_t start = 0;
      for (;;) {
        const std::size_t nl = v.find('\n', start);
        const std::string_view line =
            v.substr(start, nl == std::string_view::npos ? std::string_view::npos : nl - start);
        if (folded) {
          append_folded_line(out, line);
        } else {
          fold_line(out, line);
        }
        if (nl == std::string_view::npos) break;
        start = nl + 1;
      }
      out.append("\n;");
      return;
    }
  }
}

const char* name_problem(std::string_view name, bool cif2, bool tag) noexcept {
  if (name.empty()) return "is empty";
  if (tag && name[0] != '_') return "does not begin with an underscore";
  if (plain_ascii_name(name)) return nullptr;
  std::uint8_t mask = 0;
  for (char c : name) mask |= kWriteClasses[static_cast<unsigned char>(c)];
  // Quotes and number signs inside a name belong to its word.
  if (mask & (kBlank | kLineFeed | kReturn)) return "holds a blank or line break";
  if (!cif2 && (mask & kNotCif11)) return "holds a character CIF 1.1 does not allow";
  return nullptr;
}

const char* form_problem_text(FormProblem problem) noexcept {
  switch (problem) {
    case FormProblem::CarriageReturn:
      return "holds a carriage return, which no CIF form keeps";
    case FormProblem::NotCif11Char:
      return "holds a character CIF 1.1 does not allow (only tab, line feed and printable "
             "ASCII)";
    case FormProblem::None:
      break;
  }
  return "cannot be written";
}

}  // namespace tessrin
