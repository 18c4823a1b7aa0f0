#include "text/lexer.hpp"

#include <algorithm>
#include <bit>
#include <cstring>

#include "text/grammar.hpp"
#include "text/unicode.hpp"
#include "text/utf8.hpp"

namespace tessrin {

namespace {

using grammar::flags;
using grammar::kPlainStart;
using grammar::Start;
using grammar::u8;

/// A bare word read by the loop fast path: "." and "?" are placeholders, the rest strings.
[[gnu::always_inline]] inline void set_word(PlainValue& value, const char* begin, const char* end) {
  value.begin = begin;
  value.end = end;
  value.kind = end - begin == 1 && (*begin == '.' || *begin == '?') ? kPlaceholder : kString;
}

std::string hex_code_point(char32_t c) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  for (int shift = 20; shift >= 0; shift -= 4) {
    unsigned digit = (c >> shift) & 0xF;
    if (digit != 0 || !hex.empty() || shift < 16) hex.push_back(kDigits[digit]);
  }
  return hex;
}

}  // namespace

bool check_cif1_char(char32_t c, std::uint32_t line, std::uint32_t column, LexerError& error) {
  if (c == '\t' || c == '\n' || c == '\r' || (c >= 0x20 && c <= 0x7E)) return false;
  error.message = "character U+" + hex_code_point(c) + " is not permitted in CIF 1.x";
  error.context.clear();
  append_utf8(c, error.context);
  error.line = line;
  error.column = column;
  return true;
}

Lexer::Lexer(std::string_view text, CifVersion version, std::uint32_t line_offset, bool ascii)
    : version_(version), ascii_(ascii) {
  begin_ = text.data();
  end_ = begin_ + text.size();
  line_ = line_offset + 1;
  column_base_pos_ = begin_;
  column_base_ = 1;
  // A byte-order mark at the very start is no content (editors on Windows save one; glued to
  // the first word it would swallow the first data block header): the first line starts past
  // it, which only decides where a text field may open. Columns still count it, as the
  // conformance checks' positions do.
  pos_ = line_start_ = begin_ + grammar::content_start(text);
}

inline std::uint32_t Lexer::column_at(const char* p) noexcept {
  if (ascii_) return static_cast<std::uint32_t>(p - line_start_) + 1;
  column_base_ += static_cast<std::uint32_t>(count_chars(column_base_pos_, p));
  column_base_pos_ = p;
  return column_base_;
}

inline void Lexer::newline_at(const char* p) noexcept {
  ++line_;
  line_start_ = column_base_pos_ = p + 1;
  column_base_ = 1;
}

inline void Lexer::start_token(Token& token, TokenKind kind, std::uint8_t value_type) {
  if (!token.errors.empty()) token.errors.clear();
  token.line = line_;
  token.column = column_at(pos_);
  token.kind = kind;
  token.value_type = value_type;
  token.punctuation = false;
}

void Lexer::check_chars(const char* begin, const char* end, Token& token) {
  for (const char* p = begin; p < end;) {
    if (grammar::is_cif1_char(*p)) {
      ++p;
      continue;
    }
    const char* at = p;
    char32_t c = decode_utf8(p, end);
    LexerError error;
    if (check_cif1_char(c, line_, column_at(at), error)) token.errors.push_back(std::move(error));
  }
}

void Lexer::check_name_nul(std::string_view word, Token& token) {
  const auto* nul = static_cast<const char*>(std::memchr(word.data(), '\0', word.size()));
  if (nul == nullptr) return;
  // The name is kept exactly; only an Arrow field name, which cannot hold NUL, has U+FFFD.
  const bool tag = word[0] == '_';
  token.errors.push_back(LexerError{
      std::string(tag ? "NUL in tag name " : "NUL in block or frame name ") + quoted(word),
      std::string(nul, word.data() + word.size()), line_, column_at(nul),
      tag ? "name kept; U+FFFD in its place in the Arrow field name" : "name kept"});
}

void Lexer::add_unterminated(Token& token, std::string_view delimiter, std::string_view content,
                             std::string message) {
  std::string context(delimiter);
  context.append(utf8_prefix(content, 40));
  token.errors.push_back(
      LexerError{std::move(message), std::move(context), token.line, token.column});
}

bool Lexer::next(Token& token) {
  const bool cif2 = version_ == CifVersion::Cif20;
  while (pos_ < end_) {
    switch (grammar::start_of(*pos_)) {
      case Start::Blank:
        // Column-aligned files (mmCIF) are a third blanks: skip a run in one tight loop.
        do {
          ++pos_;
        } while (pos_ < end_ && (*pos_ == ' ' || *pos_ == '\t'));
        after_whitespace_ = true;
        continue;
      case Start::LineFeed:
        newline_at(pos_);
        ++pos_;
        after_whitespace_ = true;
        continue;
      case Start::Hash: {
        const void* nl = std::memchr(pos_, '\n', static_cast<std::size_t>(end_ - pos_));
        pos_ = nl ? static_cast<const char*>(nl) : end_;
        after_whitespace_ = true;
        continue;
      }
      case Start::Semicolon:
        if (pos_ == line_start_) {
          read_text_field(token);
          break;
        }
        read_bare_word(token);
        break;
      case Start::Quote:
        if (end_ - pos_ >= 3 && pos_[1] == *pos_ && pos_[2] == *pos_) {
          read_triple(token);
        } else {
          read_quoted(token);
        }
        break;
      case Start::Bracket:
      case Start::Colon:
        // A colon is punctuation only directly after a token (a table key); after a blank or
        // an opening bracket or brace it starts a word such as :x (so [:x] is a list of one
        // value, as the conformance pass reads it).
        if (cif2 && (grammar::start_of(*pos_) == Start::Bracket ||
                     (!after_whitespace_ && pos_[-1] != '[' && pos_[-1] != '{'))) {
          start_token(token, TokenKind::Value, kString);
          token.text = std::string_view(pos_, 1);
          token.punctuation = true;
          ++pos_;
          break;
        }
        read_bare_word(token);
        break;
      default:
        read_bare_word(token);
        break;
    }
    after_whitespace_ = false;
    return true;
  }
  return false;
}

std::size_t Lexer::next_plain_values(PlainValue* out, std::size_t capacity, std::uint32_t& line,
                                     std::uint32_t& column) {
  const bool cif2 = version_ == CifVersion::Cif20;
  const char* p = pos_;
  bool blank = after_whitespace_;
  std::size_t n = 0;
  while (n < capacity) {
#if TESSRIN_X86_SIMD
    // Runs of bare words, 64 bytes at a time: every token start and end comes from bit masks.
    // Anything else (a string, a comment, a word running past the window, the last bytes of
    // the text) is left at `p` for the token-by-token step below.
    if (end_ - p >= 64) {
      const grammar::TokenWindow w = grammar::token_window(p, cif2);
      const std::uint64_t stops = w.white | w.brackets;
      std::uint64_t starts = (~w.white & ((w.white << 1) | 1)) | w.brackets;
      std::size_t read = 64;  // bytes of the window taken
      for (; starts != 0; starts &= starts - 1) {
        const auto s = static_cast<std::size_t>(std::countr_zero(starts));
        const char* start = p + s;
        const std::uint64_t after = stops & (~std::uint64_t{0} << s);
        if (n == capacity || after == 0 || !kPlainStart[u8(*start)]) {
          read = s;
          break;
        }
        const char* stop = p + static_cast<std::size_t>(std::countr_zero(after));
        const std::string_view word(start, static_cast<std::size_t>(stop - start));
        if (grammar::may_be_reserved(word)) {
          read = s;
          break;
        }
        set_word(out[n++], start, stop);
      }
      if (read > 0) {
        const std::uint64_t taken = read == 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << read) - 1;
        if (std::uint64_t lines = w.newlines & taken) {
          newline_at(p + 63 - std::countl_zero(lines));
          // A window holds a line end or two: cheaper counted one by one than with popcount,
          // which is a library call on baseline x86-64.
          for (lines &= lines - 1; lines != 0; lines &= lines - 1) ++line_;
        }
        blank = ((w.white >> (read - 1)) & 1) != 0;
        p += read;
        if (read == 64) continue;
      }
      if (n == capacity) break;
    }
#endif
    while (p < end_) {
      const char c = *p;
      if (c == ' ' || c == '\t') {
        p = grammar::skip_blanks(p + 1, end_);
      } else if (c == '\n') {
        newline_at(p);
        ++p;
      } else if (c == '#') {
        p = grammar::comment_end<grammar::Normalised>(p, end_);
      } else {
        break;
      }
      blank = true;
    }
    if (p == end_) break;
    const char* start = p;
    if (kPlainStart[u8(*p)]) {
      p = grammar::find_word_end(p + 1, end_, cif2);
      const std::string_view word(start, static_cast<std::size_t>(p - start));
      if (grammar::may_be_reserved(word)) {
        p = start;
        break;
      }
      set_word(out[n++], start, p);
    } else if (flags(*p) & grammar::kQuote) {
      // One-line strings only; a triple quote, a line end before the close or (CIF 1.x) a
      // character that needs a diagnostic goes to the general path.
      const char quote = *p;
      if (end_ - p >= 3 && p[1] == quote && p[2] == quote) break;
      const grammar::QuotedScan scan =
          grammar::scan_quoted<grammar::Normalised>(p + 1, end_, quote, cif2);
      if (!scan.closed || (!cif2 && !scan.cif1_clean)) break;
      const char* q = scan.stop;
      PlainValue& value = out[n++];
      value.begin = p + 1;
      value.end = q;
      value.kind = quote == '\'' ? kSingleQuoted : kDoubleQuoted;
      p = q + 1;
    } else {
      break;
    }
    blank = false;
  }
  pos_ = p;
  after_whitespace_ = blank;
  if (n > 0) {
    // Where the last value's token starts: a string's opening quote is just before its text.
    const PlainValue& final = out[n - 1];
    locate(final.begin - (final.kind == kString || final.kind == kPlaceholder ? 0 : 1), line,
           column);
  }
  return n;
}

void Lexer::locate(const char* at, std::uint32_t& line, std::uint32_t& column) {
  const auto back = static_cast<std::uint32_t>(std::count(at, pos_, '\n'));
  if (back == 0) {
    // Still on the current line, at or after every position columns were counted to.
    line = line_;
    column = column_at(at);
    return;
  }
  const char* line_start = at;
  while (line_start > begin_ && line_start[-1] != '\n') --line_start;
  line = line_ - back;
  column = 1 + static_cast<std::uint32_t>(ascii_ ? at - line_start : count_chars(line_start, at));
}

void Lexer::read_bare_word(Token& token) {
  const char* start = pos_;
  std::string_view rest(start, static_cast<std::size_t>(end_ - start));
  const char first = static_cast<char>(*start | 0x20);
  const bool brackets_end_word = version_ == CifVersion::Cif20 && *start != '_' &&
                                 !((first == 'd' && istarts_ascii(rest, "data_")) ||
                                   (first == 's' && istarts_ascii(rest, "save_")));
  // Byte by byte: the general path sees few words, mostly tags and reserved words.
  const char* p = grammar::find_word_end_scalar(start, end_, brackets_end_word);

  if (p == start) {
    // Unreachable through the dispatch in `next`; kept so a terminator can never stall us.
    start_token(token, TokenKind::Value, kString);
    const char* q = start;
    decode_utf8(q, end_);
    pos_ = q;
    token.text = std::string_view(start, static_cast<std::size_t>(q - start));
    std::string message = "unexpected character: '";
    message.append(token.text).push_back('\'');
    token.errors.push_back(
        LexerError{std::move(message), std::string(token.text), token.line, token.column});
    return;
  }

  std::string_view word(start, static_cast<std::size_t>(p - start));
  TokenKind kind = TokenKind::Value;
  std::uint8_t value_type = kNoKind;
  if (word[0] == '_') {
    kind = TokenKind::Tag;
  } else if (grammar::reserved_word(word) != grammar::Reserved::None) {
    kind = TokenKind::Reserved;
  } else {
    value_type = (word == "." || word == "?") ? kPlaceholder : kString;
  }
  start_token(token, kind, value_type);
  token.text = word;
  if (kind != TokenKind::Value) [[unlikely]]
    check_name_nul(word, token);
  pos_ = p;
  if (version_ == CifVersion::Cif11 && (word[0] == '[' || word[0] == '$')) {
    std::string message = "bare word beginning with '";
    message.push_back(word[0]);
    message.append("' is not permitted in CIF 1.x");
    token.errors.push_back(
        LexerError{std::move(message), std::string(1, word[0]), token.line, token.column});
  }
}

void Lexer::read_quoted(Token& token) {
  const char quote = *pos_;
  start_token(token, TokenKind::Value, quote == '\'' ? kSingleQuoted : kDoubleQuoted);
  const char* content = ++pos_;
  const bool cif2 = version_ == CifVersion::Cif20;
  const grammar::QuotedScan scan =
      grammar::scan_quoted<grammar::Normalised>(content, end_, quote, cif2);
  const char* p = scan.stop;
  const bool closed = scan.closed;
  if (!cif2 && !scan.cif1_clean) check_chars(content, p, token);
  token.text = std::string_view(content, static_cast<std::size_t>(p - content));
  pos_ = closed ? p + 1 : p;
  if (!closed) {
    add_unterminated(
        token, std::string_view(&quote, 1), token.text,
        quote == '\'' ? "unterminated single quoted string" : "unterminated double quoted string");
  }
}

void Lexer::read_triple(Token& token) {
  const char quote = *pos_;
  const bool cif2 = version_ == CifVersion::Cif20;
  std::uint8_t value_type = !cif2           ? kString
                            : quote == '\'' ? kTripleSingleQuoted
                                            : kTripleDoubleQuoted;
  start_token(token, TokenKind::Value, value_type);
  const char delimiter[3] = {quote, quote, quote};
  const std::string_view delim(delimiter, 3);
  if (!cif2) {
    token.errors.push_back(LexerError{"triple-quoted strings are not valid in CIF 1.x",
                                      std::string(delim), token.line, token.column});
  }
  const char* content = pos_ + 3;
  const char* close = grammar::find_triple_close(content, end_, quote);
  const char* content_end = close ? close : end_;
  for (const char* q = content; q < content_end;) {
    const void* nl = std::memchr(q, '\n', static_cast<std::size_t>(content_end - q));
    if (nl == nullptr) break;
    q = static_cast<const char*>(nl);
    newline_at(q);
    ++q;
  }
  token.text = std::string_view(content, static_cast<std::size_t>(content_end - content));
  pos_ = close ? close + 3 : end_;
  if (!close) {
    std::string message;
    if (!cif2) {
      message = "unterminated triple-quoted string";
    } else {
      message = quote == '\'' ? "unterminated triple single quoted string"
                              : "unterminated triple double quoted string";
    }
    add_unterminated(token, delim, token.text, std::move(message));
  }
}

void Lexer::read_text_field(Token& token) {
  start_token(token, TokenKind::Value, kMultilineString);
  const std::uint32_t open_line = token.line;
  const bool cif1 = version_ == CifVersion::Cif11;
  const char* content = ++pos_;
  const char* segment = content;
  for (;;) {
    const void* hit = std::memchr(segment, '\n', static_cast<std::size_t>(end_ - segment));
    if (hit == nullptr) {
      if (cif1) check_chars(segment, end_, token);
      token.text = std::string_view(content, static_cast<std::size_t>(end_ - content));
      pos_ = end_;
      token.errors.push_back(LexerError{"unterminated multiline string", ";", open_line, 1});
      return;
    }
    const char* nl = static_cast<const char*>(hit);
    if (cif1) check_chars(segment, nl, token);
    newline_at(nl);
    if (grammar::closes_text_field<grammar::Normalised>(nl, end_)) {
      token.text = std::string_view(content, static_cast<std::size_t>(nl - content));
      pos_ = nl + 2;
      return;
    }
    segment = nl + 1;
  }
}

}  // namespace tessrin
