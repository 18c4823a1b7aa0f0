// CIF's lexical grammar in one place: the byte classes, the reserved words and the scans that
// find where white space, comments, words, quoted strings and text fields end. The core's lexer
// (normalised text, lenient rules), the conformance checks (raw text, strict rules) and the
// writer (which form reads back unchanged) all take their classes and scans from here.
//
// Every scan that has a SIMD form keeps it in a function of its own beside a scalar twin of the
// same contract; the plain name picks one at compile time.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "platform/simd.hpp"
#include "text/utf8.hpp"

#if TESSRIN_X86_SIMD
#include <emmintrin.h>
#endif

namespace tessrin::grammar {

// --- byte classes --------------------------------------------------------------------------

// Flags of one byte. Legend:
//   kBlank        space, tab: end a word
//   kLineFeed     line feed
//   kReturn       carriage return: a line end in raw text; normalised text has none
//   kSingleQuote  '        kDoubleQuote  "
//   kHash         #: starts a comment at the start of a token
//   kBracket      [ ] { }: CIF 2.0 punctuation
//   kNotCif11     bytes CIF 1.1 does not allow (controls other than tab, line feed and
//                 carriage return, DEL, every byte of a non-ASCII character)
//   kSemicolon    ;: opens or closes a text field in column 1
//   kColon        :: the CIF 2.0 table-key separator
//   kUnderscore   _: starts a tag
//   kDollar       $: reserved for save-frame references
// The low eight flags are what decides a written value's form (write/value_form.hpp reads them
// as one byte). Vertical tab, form feed and the byte-order mark are no white space: CIF knows
// only space, tab and line ends.
inline constexpr std::uint16_t kBlank = 1;
inline constexpr std::uint16_t kLineFeed = 2;
inline constexpr std::uint16_t kReturn = 4;
inline constexpr std::uint16_t kSingleQuote = 8;
inline constexpr std::uint16_t kDoubleQuote = 16;
inline constexpr std::uint16_t kHash = 32;
inline constexpr std::uint16_t kBracket = 64;
inline constexpr std::uint16_t kNotCif11 = 128;
inline constexpr std::uint16_t kSemicolon = 256;
inline constexpr std::uint16_t kColon = 512;
inline constexpr std::uint16_t kUnderscore = 1024;
inline constexpr std::uint16_t kDollar = 2048;

inline constexpr std::uint16_t kQuote = kSingleQuote | kDoubleQuote;
/// White space of raw text; normalised text has no carriage return.
inline constexpr std::uint16_t kWhite = kBlank | kLineFeed | kReturn;

constexpr std::array<std::uint16_t, 256> make_flags() {
  std::array<std::uint16_t, 256> t{};
  for (int c = 0; c < 256; ++c) {
    if (c < 0x20 || c >= 0x7F) t[c] = kNotCif11;
  }
  t[' '] = t['\t'] = kBlank;
  t['\n'] = kLineFeed;
  t['\r'] = kReturn;
  t['\''] = kSingleQuote;
  t['"'] = kDoubleQuote;
  t['#'] = kHash;
  t['['] = t[']'] = t['{'] = t['}'] = kBracket;
  t[';'] = kSemicolon;
  t[':'] = kColon;
  t['_'] = kUnderscore;
  t['$'] = kDollar;
  return t;
}
inline constexpr std::array<std::uint16_t, 256> kFlags = make_flags();

constexpr std::uint8_t u8(char c) noexcept { return static_cast<std::uint8_t>(c); }
constexpr std::uint16_t flags(char c) noexcept { return kFlags[u8(c)]; }

/// Raw white space (space, tab, line feed, carriage return).
constexpr bool is_white(char c) noexcept { return (flags(c) & kWhite) != 0; }
/// A whole character CIF 1.1 allows in strings and text fields.
constexpr bool is_cif1_char(char c) noexcept { return (flags(c) & kNotCif11) == 0; }

// First bytes of bare words that need no look beyond a possible reserved word, in either
// reading: not white space, a tag, string, text field or comment, not CIF 2.0 punctuation
// (brackets, the colon) and not the characters CIF 1.1 reserves ($, brackets).
constexpr std::array<bool, 256> make_plain_starts() {
  std::array<bool, 256> t{};
  constexpr std::uint16_t kNotPlain =
      kWhite | kQuote | kHash | kBracket | kSemicolon | kColon | kUnderscore | kDollar;
  for (int c = 0; c < 256; ++c) t[c] = (kFlags[c] & kNotPlain) == 0;
  return t;
}
inline constexpr std::array<bool, 256> kPlainStart = make_plain_starts();

// --- token starts --------------------------------------------------------------------------

/// What a token's first byte starts: the one dispatch of the core's lexer and the conformance
/// checks. Word: letters, digits, most punctuation, NUL, every byte from 0x80 (and the carriage
/// return, which normalised text does not hold and raw text skips as white space before any
/// dispatch); Blank: space, tab; Hash: a comment; Semicolon: a text field at the start of a
/// line, else a word; Bracket: CIF 2.0 punctuation, else a word; Colon: a CIF 2.0 table key's
/// separator right after a token, else a word.
enum class Start : std::uint8_t { Word, Blank, LineFeed, Hash, Quote, Semicolon, Bracket, Colon };

constexpr std::array<Start, 256> make_starts() {
  std::array<Start, 256> t{};
  for (int c = 0; c < 256; ++c) {
    const std::uint16_t f = kFlags[c];
    t[c] = f & kBlank       ? Start::Blank
           : f & kLineFeed  ? Start::LineFeed
           : f & kHash      ? Start::Hash
           : f & kQuote     ? Start::Quote
           : f & kSemicolon ? Start::Semicolon
           : f & kBracket   ? Start::Bracket
           : f & kColon     ? Start::Colon
                            : Start::Word;
  }
  return t;
}
inline constexpr std::array<Start, 256> kStarts = make_starts();

constexpr Start start_of(char c) noexcept { return kStarts[u8(c)]; }

// --- reserved words ------------------------------------------------------------------------

enum class Reserved : std::uint8_t { None, Data, Save, Loop, Stop, Global };

/// Cheap filter before the comparisons: every reserved word has its underscore at index 4
/// (data_, save_, loop_, stop_) or is global_.
constexpr bool may_be_reserved(std::string_view word) noexcept {
  return (word.size() >= 5 && word[4] == '_') || (word.size() == 7 && word[6] == '_');
}

/// loop_, stop_ and global_ are reserved as whole words, data_ and save_ as prefixes; all
/// case-insensitively.
inline Reserved reserved_word(std::string_view word) noexcept {
  if (!may_be_reserved(word)) return Reserved::None;
  if (istarts_ascii(word, "data_")) return Reserved::Data;
  if (istarts_ascii(word, "save_")) return Reserved::Save;
  if (iequals_ascii(word, "loop_")) return Reserved::Loop;
  if (iequals_ascii(word, "stop_")) return Reserved::Stop;
  if (iequals_ascii(word, "global_")) return Reserved::Global;
  return Reserved::None;
}

// --- the byte-order mark -------------------------------------------------------------------

/// A byte-order mark opening a text is no content: every reading starts past it, and the first
/// line starts there too, so a semicolon right after it opens a text field. Anywhere else it is
/// an ordinary (non-ASCII) character.
inline constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

/// Where the content of `text` starts: past a byte-order mark, if it opens the text.
constexpr std::size_t content_start(std::string_view text) noexcept {
  return text.starts_with(kByteOrderMark) ? kByteOrderMark.size() : 0;
}

// --- line ends -----------------------------------------------------------------------------

/// The core reads text whose line ends are normalised to line feeds.
struct Normalised {
  /// The core reports characters CIF 1.1 does not allow where strings hold them.
  static constexpr bool kCif1Chars = true;
  static constexpr bool line_end(char c) noexcept { return c == '\n'; }
  /// What may follow a CIF 1.1 closing quote: a blank, a line end, or NUL (a lenient reading:
  /// some writers pad fixed-width records with NUL).
  static constexpr bool closes_cif1_quote(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\n' || c == '\0';
  }
};

/// The conformance checks read the raw text, where a carriage return ends a line too.
struct Raw {
  /// The conformance checks sweep every character of the raw text on their own.
  static constexpr bool kCif1Chars = false;
  static constexpr bool line_end(char c) noexcept { return c == '\n' || c == '\r'; }
  static constexpr bool closes_cif1_quote(char c) noexcept { return is_white(c); }
};

// --- scans ---------------------------------------------------------------------------------

// Sixteen bytes at a time where SIMD is there: words and blank runs vary in length from token
// to token, and a byte loop mispredicts its exit on almost every one.

inline const char* skip_blanks_scalar(const char* p, const char* end) noexcept {
  while (p < end && (*p == ' ' || *p == '\t')) ++p;
  return p;
}

inline const char* find_word_end_scalar(const char* p, const char* end, bool brackets) noexcept {
  const std::uint16_t stop = brackets ? kBlank | kLineFeed | kBracket : kBlank | kLineFeed;
  while (p < end && (flags(*p) & stop) == 0) ++p;
  return p;
}

inline const char* find_white_scalar(const char* p, const char* end) noexcept {
  while (p < end && !is_white(*p)) ++p;
  return p;
}

inline const char* skip_white_scalar(const char* p, const char* end) noexcept {
  while (p < end && is_white(*p)) ++p;
  return p;
}

/// Bit i set where byte i of the 16 at `p` has none of the low eight flags: printable ASCII
/// other than the blank, quotes, the number sign and brackets, the bytes a written word may
/// hold anywhere.
inline unsigned classless_lanes_scalar(const char* p) noexcept {
  unsigned m = 0;
  for (int i = 0; i < 16; ++i) m |= ((flags(p[i]) & 0xFF) == 0 ? 1u : 0u) << i;
  return m;
}

#if TESSRIN_X86_SIMD
namespace simd {

[[gnu::always_inline]] inline __m128i load(const char* p) noexcept {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}
[[gnu::always_inline]] inline __m128i eq(__m128i v, char c) noexcept {
  return _mm_cmpeq_epi8(v, _mm_set1_epi8(c));
}
[[gnu::always_inline]] inline unsigned bits(__m128i m) noexcept {
  return static_cast<unsigned>(_mm_movemask_epi8(m));
}
[[gnu::always_inline]] inline __m128i blanks(__m128i v) noexcept {
  return _mm_or_si128(eq(v, ' '), eq(v, '\t'));
}
[[gnu::always_inline]] inline __m128i brackets(__m128i v) noexcept {
  return _mm_or_si128(_mm_or_si128(eq(v, '['), eq(v, ']')), _mm_or_si128(eq(v, '{'), eq(v, '}')));
}
[[gnu::always_inline]] inline __m128i white(__m128i v) noexcept {
  return _mm_or_si128(blanks(v), _mm_or_si128(eq(v, '\n'), eq(v, '\r')));
}

}  // namespace simd

[[gnu::always_inline]] inline unsigned classless_lanes_simd(const char* p) noexcept {
  const __m128i v = simd::load(p);
  // Signed compares: bytes from 0x80 on are negative, so below 0x21 too.
  const __m128i printable =
      _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8(0x20)), _mm_cmplt_epi8(v, _mm_set1_epi8(0x7F)));
  const __m128i special = _mm_or_si128(_mm_or_si128(simd::eq(v, '\''), simd::eq(v, '"')),
                                       _mm_or_si128(simd::eq(v, '#'), simd::brackets(v)));
  return simd::bits(_mm_andnot_si128(special, printable));
}

[[gnu::always_inline]] inline const char* skip_blanks_simd(const char* p,
                                                           const char* end) noexcept {
  for (; end - p >= 16; p += 16) {
    const unsigned blank = simd::bits(simd::blanks(simd::load(p)));
    if (blank != 0xFFFF) return p + std::countr_zero(~blank);
  }
  return skip_blanks_scalar(p, end);
}

[[gnu::always_inline]] inline const char* find_word_end_simd(const char* p, const char* end,
                                                             bool brackets) noexcept {
  for (; end - p >= 16; p += 16) {
    const __m128i v = simd::load(p);
    __m128i hit = _mm_or_si128(simd::blanks(v), simd::eq(v, '\n'));
    if (brackets) hit = _mm_or_si128(hit, simd::brackets(v));
    const unsigned m = simd::bits(hit);
    if (m != 0) return p + std::countr_zero(m);
  }
  return find_word_end_scalar(p, end, brackets);
}

[[gnu::always_inline]] inline const char* find_white_simd(const char* p, const char* end) noexcept {
  for (; end - p >= 16; p += 16) {
    const unsigned m = simd::bits(simd::white(simd::load(p)));
    if (m != 0) return p + std::countr_zero(m);
  }
  return find_white_scalar(p, end);
}

[[gnu::always_inline]] inline const char* skip_white_simd(const char* p, const char* end) noexcept {
  for (; end - p >= 16; p += 16) {
    const unsigned m = simd::bits(simd::white(simd::load(p)));
    if (m != 0xFFFF) return p + std::countr_zero(~m);
  }
  return skip_white_scalar(p, end);
}

[[gnu::always_inline]] inline std::uint64_t mask16(__m128i hit, int chunk) noexcept {
  return static_cast<std::uint64_t>(simd::bits(hit) & 0xFFFF) << (16 * chunk);
}

/// Where the 64 bytes at `p` of normalised text hold blanks or line feeds (`white`), line
/// feeds alone, and (with `brackets`) the CIF 2.0 brackets, one bit a byte: the core's loop
/// fast path takes every token start and end of a run of bare words from these masks.
struct TokenWindow {
  std::uint64_t white;
  std::uint64_t newlines;
  std::uint64_t brackets;
};

[[gnu::always_inline]] inline TokenWindow token_window(const char* p, bool brackets) noexcept {
  TokenWindow w{0, 0, 0};
  for (int chunk = 0; chunk < 4; ++chunk) {
    const __m128i v = simd::load(p + std::ptrdiff_t{16} * chunk);
    const __m128i newline = simd::eq(v, '\n');
    w.newlines |= mask16(newline, chunk);
    w.white |= mask16(_mm_or_si128(simd::blanks(v), newline), chunk);
    if (brackets) w.brackets |= mask16(simd::brackets(v), chunk);
  }
  return w;
}

/// Where the 64 bytes at `p` of raw text hold white space, underscores, and lead characters
/// that change what the conformance checks make of a CIF 1.1 word (kPlainStart false for
/// them: _ ' " ; # $ [ ]), one bit a byte. Braces and colons are plain values in CIF 1.1.
struct StrictWindow {
  std::uint64_t space;
  std::uint64_t underscore;
  std::uint64_t lead;
};

[[gnu::always_inline]] inline StrictWindow strict_window(const char* p) noexcept {
  StrictWindow w{0, 0, 0};
  for (int chunk = 0; chunk < 4; ++chunk) {
    const __m128i v = simd::load(p + std::ptrdiff_t{16} * chunk);
    const auto eq = [&v](char c) { return simd::eq(v, c); };
    const __m128i under = eq('_');
    const __m128i lead =
        _mm_or_si128(_mm_or_si128(_mm_or_si128(under, eq('\'')), _mm_or_si128(eq('"'), eq(';'))),
                     _mm_or_si128(_mm_or_si128(eq('#'), eq('$')), _mm_or_si128(eq('['), eq(']'))));
    w.space |= mask16(simd::white(v), chunk);
    w.underscore |= mask16(under, chunk);
    w.lead |= mask16(lead, chunk);
  }
  return w;
}
#endif

/// See classless_lanes_scalar.
[[gnu::always_inline]] inline unsigned classless_lanes(const char* p) noexcept {
#if TESSRIN_X86_SIMD
  return classless_lanes_simd(p);
#else
  return classless_lanes_scalar(p);
#endif
}

/// First byte at or after `p` that is not a space or a tab.
[[gnu::always_inline]] inline const char* skip_blanks(const char* p, const char* end) noexcept {
#if TESSRIN_X86_SIMD
  return skip_blanks_simd(p, end);
#else
  return skip_blanks_scalar(p, end);
#endif
}

/// First byte at or after `p` that ends a bare word of normalised text: a blank or a line
/// feed, and with `brackets` (CIF 2.0 values) a bracket or brace. Quotes and the number sign
/// start a string or a comment only at the start of a token; inside a word they belong to it,
/// as in both CIF grammars: primed atom labels (C1', O5'') and values such as O1W# are
/// everywhere in real files.
[[gnu::always_inline]] inline const char* find_word_end(const char* p, const char* end,
                                                        bool brackets) noexcept {
#if TESSRIN_X86_SIMD
  return find_word_end_simd(p, end, brackets);
#else
  return find_word_end_scalar(p, end, brackets);
#endif
}

/// First raw white-space byte at or after `p`, or `end`.
[[gnu::always_inline]] inline const char* find_white(const char* p, const char* end) noexcept {
#if TESSRIN_X86_SIMD
  return find_white_simd(p, end);
#else
  return find_white_scalar(p, end);
#endif
}

/// First byte at or after `p` that is not raw white space, or `end`.
[[gnu::always_inline]] inline const char* skip_white(const char* p, const char* end) noexcept {
#if TESSRIN_X86_SIMD
  return skip_white_simd(p, end);
#else
  return skip_white_scalar(p, end);
#endif
}

/// The line end that closes a comment starting at `p`, or `end`.
template <class Ends>
inline const char* comment_end(const char* p, const char* end) noexcept {
  if constexpr (Ends::line_end('\r')) {
    // Comments are short; no need for more than a byte loop.
    while (p < end && !Ends::line_end(*p)) ++p;
    return p;
  } else {
    const void* nl = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
    return nl ? static_cast<const char*>(nl) : end;
  }
}

/// A one-line quoted string scanned from just past its opening quote.
struct QuotedScan {
  const char* stop;  // the closing quote when `closed`, else the line end or the end of text
  bool closed;
  bool inner;       // CIF 1.1: a quote inside that did not close the string
  bool cif1_clean;  // CIF 1.1, Ends::kCif1Chars: no byte CIF 1.1 disallows before `stop`
};

/// CIF 2.0 ends a quoted string at its first matching quote; CIF 1.1 only at a quote that a
/// blank, a line end or the end of the text follows, so that a name such as O'Brien stays one
/// value. Neither crosses a line end.
template <class Ends>
[[gnu::always_inline]] inline QuotedScan scan_quoted(const char* p, const char* end, char quote,
                                                     bool cif2) noexcept {
  QuotedScan scan{p, false, false, true};
  std::uint16_t seen = 0;
  if (cif2) {
    while (p < end && *p != quote && !Ends::line_end(*p)) ++p;
    scan.closed = p < end && *p == quote;
  } else {
    for (; p < end && !Ends::line_end(*p); ++p) {
      if (*p == quote) {
        if (p + 1 == end || Ends::closes_cif1_quote(p[1])) {
          scan.closed = true;
          break;
        }
        scan.inner = true;
      }
      if constexpr (Ends::kCif1Chars) seen |= flags(*p);
    }
  }
  scan.stop = p;
  scan.cif1_clean = (seen & kNotCif11) == 0;
  return scan;
}

/// The first run of three `quote`s at or after `p` (the close of a triple-quoted string), or
/// nullptr.
inline const char* find_triple_close(const char* p, const char* end, char quote) noexcept {
  while (p < end) {
    const void* hit = std::memchr(p, quote, static_cast<std::size_t>(end - p));
    if (hit == nullptr) return nullptr;
    const char* q = static_cast<const char*>(hit);
    if (end - q >= 3 && q[1] == quote && q[2] == quote) return q;
    p = q + 1;
  }
  return nullptr;
}

/// True when the line end at `nl` closes a text field: a semicolon starts the next line.
template <class Ends>
constexpr bool closes_text_field(const char* nl, const char* end) noexcept {
  return nl + 1 < end && nl[1] == ';';
}

/// The semicolon that closes a text field whose content starts at `p`, or nullptr.
template <class Ends>
inline const char* find_text_field_close(const char* p, const char* end) noexcept {
  for (;;) {
    const void* hit = std::memchr(p, ';', static_cast<std::size_t>(end - p));
    if (hit == nullptr) return nullptr;
    const char* s = static_cast<const char*>(hit);
    if (Ends::line_end(s[-1])) return s;
    p = s + 1;
  }
}

}  // namespace tessrin::grammar
