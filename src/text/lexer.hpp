// Tokens and the tokeniser: bare words, reserved words, CIF 2.0 punctuation, quoted strings,
// text fields and the CIF 1.x character rule.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "parse/error.hpp"
#include "text/version.hpp"

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
  bool punctuation = false;  // CIF 2.0 punctuation: a bracket, a brace or a key's colon
};

/// A value read by the loop fast path: a bare word or a one-line quoted string.
struct PlainValue {
  // Two pointers rather than a string_view: filled field by field, the record is not read
  // back through a wider load than was stored (a store-forwarding stall per value).
  const char* begin;
  const char* end;
  std::uint8_t kind;

  std::string_view text() const noexcept { return {begin, static_cast<std::size_t>(end - begin)}; }
};

/// The character a CIF 1.x string may not hold, as a lexer error; false when `c` is allowed.
bool check_cif1_char(char32_t c, std::uint32_t line, std::uint32_t column, LexerError& error);

/// Tokeniser over UTF-8 bytes. Tokens are produced on demand, in source order; `next` never
/// fails. The text must outlive the lexer and have its line ends normalised to line feeds
/// already (version detection does that, and the lexer must not scan a large text twice).
class Lexer {
 public:
  /// `ascii` says whether every byte of `text` is ASCII (then columns are byte distances).
  Lexer(std::string_view text, CifVersion version, std::uint32_t line_offset, bool ascii);
  Lexer(const Lexer&) = delete;
  Lexer& operator=(const Lexer&) = delete;

  /// Fills `token` with the next token; false at the end of the text.
  bool next(Token& token);

  /// Reads up to `capacity` values that need no diagnostic and no decision of the parser
  /// (bare words that are not tags or reserved words, quoted strings closed on their line),
  /// skipping blanks, line ends and comments, and stops before anything else; `next` then
  /// goes on from there. Loop bodies are almost all such values: this path reads them
  /// without building a token for each. Returns how many were read; `line` and `column` give
  /// the position of the last one.
  std::size_t next_plain_values(PlainValue* out, std::size_t capacity, std::uint32_t& line,
                                std::uint32_t& column);

  CifVersion version() const noexcept { return version_; }
  /// One past the last byte of the text every token views.
  const char* text_end() const noexcept { return end_; }

 private:
  [[gnu::always_inline]] std::uint32_t column_at(const char* p) noexcept;
  [[gnu::always_inline]] void newline_at(const char* p) noexcept;
  /// Line and column of `at`, a position already read past.
  void locate(const char* at, std::uint32_t& line, std::uint32_t& column);
  void check_chars(const char* begin, const char* end, Token& token);
  /// Reports a NUL inside a tag or a block or frame header.
  void check_name_nul(std::string_view word, Token& token);
  void read_bare_word(Token& token);
  void read_quoted(Token& token);
  void read_triple(Token& token);
  void read_text_field(Token& token);
  [[gnu::always_inline]] void start_token(Token& token, TokenKind kind, std::uint8_t value_type);
  static void add_unterminated(Token& token, std::string_view delimiter, std::string_view content,
                               std::string message);

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
