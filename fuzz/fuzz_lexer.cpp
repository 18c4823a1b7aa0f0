// Version detection and the lexer alone. Checks that the lexer always makes progress, that
// tokens come in source order as views of the text with the positions of their first
// character, and that bare words are what their kind says.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_common.hpp"
#include "text/lexer.hpp"

namespace {

using namespace tessrin;

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n'; }

bool iequals(std::string_view word, std::string_view lower) {
  if (word.size() != lower.size()) return false;
  for (std::size_t i = 0; i < word.size(); ++i) {
    char c = word[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    if (c != lower[i]) return false;
  }
  return true;
}

bool is_reserved(std::string_view word) {
  return iequals(word, "loop_") || iequals(word, "stop_") || iequals(word, "global_") ||
         (word.size() >= 5 &&
          (iequals(word.substr(0, 5), "data_") || iequals(word.substr(0, 5), "save_")));
}

// Walks forward through the text keeping line and column (characters, as the lexer counts).
struct Cursor {
  const char* p;
  std::uint32_t line;
  std::uint32_t column = 1;

  void advance_to(const char* target) {
    while (p < target) {
      if (*p == '\n') {
        ++line;
        column = 1;
      } else if (!is_continuation(static_cast<unsigned char>(*p))) {
        ++column;
      }
      ++p;
    }
  }
};

bool before_or_at(std::uint32_t line_a, std::uint32_t col_a, std::uint32_t line_b,
                  std::uint32_t col_b) {
  return line_a < line_b || (line_a == line_b && col_a <= col_b);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t flags = data[0];
  const std::string_view source = fuzz::as_text(data + 1, size - 1);
  const bool utf8 = is_valid_utf8(source);
  const fuzz::Positions positions(source);

  // Bit 1: the text, version and line offset come from version detection; otherwise the whole
  // source is lexed with the version of bit 0.
  VersionResult detected;
  detect_version(source, detected);
  for (const ParseDiagnostic& d : detected.errors) fuzz::check_diagnostic(d, positions, utf8);
  std::string_view text = source;
  CifVersion version = (flags & 1) ? CifVersion::Cif20 : CifVersion::Cif11;
  std::uint32_t line_offset = 0;
  if (flags & 2) {
    text = detected.text;
    version = detected.version;
    line_offset = detected.line_offset;
  }
  // Normalised here, so that every token views this buffer and positions can be checked.
  std::string normalised;
  if (normalise_line_ends(text, normalised)) text = normalised;
  FUZZ_CHECK(text.find('\r') == std::string_view::npos);

  Lexer lexer(text, version, line_offset, is_ascii(text));
  const fuzz::CharIndex chars(text, line_offset + 1);
  Token token;
  Cursor cursor{text.data(), line_offset + 1};
  const char* previous_end = text.data();
  std::uint32_t previous_line = 0, previous_column = 0;
  std::size_t count = 0;
  while (lexer.next(token)) {
    // Every token but an empty string consumes at least one byte of its own.
    FUZZ_CHECK(++count <= text.size() + 1);
    const char* start = token.text.data();
    FUZZ_CHECK(start >= previous_end && start + token.text.size() <= text.data() + text.size());
    previous_end = start + token.text.size();
    FUZZ_CHECK(positions.valid(token.line, token.column));
    // Columns count characters, so stray continuation bytes (never in text from Python) can
    // give two tokens one position.
    FUZZ_CHECK(previous_line == 0 ||
               (utf8 ? !before_or_at(token.line, token.column, previous_line, previous_column)
                     : before_or_at(previous_line, previous_column, token.line, token.column)));
    previous_line = token.line;
    previous_column = token.column;

    // The token's position is that of its first character; its text starts after the opening
    // delimiter, on the same line.
    cursor.advance_to(start);
    std::uint32_t delimiter = 0;
    if (token.kind == TokenKind::Value) {
      FUZZ_CHECK(token.value_type < kNoKind);
      switch (token.value_type) {
        case kSingleQuoted:
        case kDoubleQuoted:
          delimiter = 1;
          break;
        case kTripleSingleQuoted:
        case kTripleDoubleQuoted:
          delimiter = 3;
          break;
        case kMultilineString:
          FUZZ_CHECK(token.column == 1);
          delimiter = 1;
          break;
        case kString:
          // CIF 1.x reads a triple-quoted string, with a diagnostic, as a plain one.
          if (version == CifVersion::Cif11 && !token.errors.empty() &&
              token.errors.front().message == "triple-quoted strings are not valid in CIF 1.x") {
            delimiter = 3;
          }
          break;
        case kPlaceholder:
          FUZZ_CHECK(token.text == "." || token.text == "?");
          break;
      }
    }
    FUZZ_CHECK(token.line == cursor.line && token.column + delimiter == cursor.column);
    if (token.kind != TokenKind::Value) {
      FUZZ_CHECK(!token.text.empty());
      for (char c : token.text) FUZZ_CHECK(!is_space(c));
    }
    if (token.kind == TokenKind::Tag) FUZZ_CHECK(token.text.front() == '_');
    if (token.kind == TokenKind::Reserved) FUZZ_CHECK(is_reserved(token.text));

    for (const LexerError& error : token.errors) {
      const ParseDiagnostic d = to_diagnostic(error);
      fuzz::check_diagnostic(d, positions, utf8);
      // A character diagnostic points at that very character.
      if (utf8 && d.message.starts_with("character U+")) {
        FUZZ_CHECK(chars.at(d.line, d.column) == d.context);
      }
    }
  }
  return 0;
}
