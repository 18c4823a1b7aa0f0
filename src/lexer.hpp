// Tokens and the tokeniser: bare words, reserved words, CIF 2.0 punctuation, quoted strings,
// text fields and the CIF 1.x character rule.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "error.hpp"
#include "version.hpp"

namespace tessrin {

enum class TokenKind : std::uint8_t { Tag = 0, Reserved = 1, Value = 2 };

/// Value kinds, in the order of the companion package's ValueType members; 7 means none.
inline constexpr std::uint8_t kMultilineString = 0;
inline constexpr std::uint8_t kTripleDoubleQuoted = 1;
inline constexpr std::uint8_t kTripleSingleQuoted = 2;
inline constexpr std::uint8_t kDoubleQuoted = 3;
inline constexpr std::uint8_t kSingleQuoted = 4;
inline constexpr std::uint8_t kString = 5;
inline constexpr std::uint8_t kPlaceholder = 6;
inline constexpr std::uint8_t kNoKind = 7;

/// One token. `text` views the lexer's text: no escape is ever interpreted, so every token's
/// text is one contiguous span (a string's content without its delimiters).
struct Token {
  std::string_view text;
  std::vector<LexerError> errors;  // usually empty
  std::uint32_t line = 0;
  std::uint32_t column = 0;
  TokenKind kind = TokenKind::Value;
  std::uint8_t value_type = kNoKind;
};

/// The character a CIF 1.x string may not hold, as a lexer error; false when `c` is allowed.
bool check_cif1_char(char32_t c, std::uint32_t line, std::uint32_t column, LexerError& error);

/// Tokeniser over UTF-8 bytes. Tokens are produced on demand, in source order; `next` never
/// fails. The text (and so every token view) lives as long as the lexer.
class Lexer {
 public:
  Lexer(std::string_view text, CifVersion version, std::uint32_t line_offset);
  Lexer(const Lexer&) = delete;
  Lexer& operator=(const Lexer&) = delete;

  /// Fills `token` with the next token; false at the end of the text.
  bool next(Token& token);

  CifVersion version() const noexcept { return version_; }

 private:
  [[gnu::always_inline]] std::uint32_t column_at(const char* p) noexcept;
  [[gnu::always_inline]] void newline_at(const char* p) noexcept;
  void check_chars(const char* begin, const char* end, Token& token);
  void read_bare_word(Token& token);
  void read_quoted(Token& token);
  void read_triple(Token& token);
  void read_text_field(Token& token);
  [[gnu::always_inline]] void start_token(Token& token, TokenKind kind,
                                          std::uint8_t value_type);
  void add_unterminated(Token& token, std::string_view delimiter, std::string_view content,
                        std::string message);

  std::string owned_;  // normalised copy, only when the text held carriage returns
  const char* begin_;
  const char* pos_;
  const char* end_;
  std::uint32_t line_;
  // Columns count characters; they are computed lazily from the last known position so that
  // a very long line costs linear time overall.
  const char* line_start_;
  const char* column_base_pos_;
  std::uint32_t column_base_;
  CifVersion version_;
  bool ascii_ = false;
  bool after_whitespace_ = true;
};

}  // namespace tessrin
