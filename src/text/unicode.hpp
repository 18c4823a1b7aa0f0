// Case folding of block names, frame codes and tags as Python's str.lower() does it, and the quoted
// form in which diagnostics show a text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tessrin {

/// Appends the full lower-case mapping of UTF-8 `text` to `out`, exactly as Python's str.lower():
/// characters that map to several (U+0130 -> "i\u0307"), and capital sigma becoming final sigma
/// in the same context CPython uses. Malformed bytes are copied unchanged.
void append_lower(std::string_view text, std::string& out);

/// Lower-cased copy of `text`, as append_lower.
std::string to_lower(std::string_view text);

/// True when to_lower(text) == text (cheap check so callers can skip a copy).
bool is_lower(std::string_view text) noexcept;

/// Quoted form of a text for messages: a double quote; then the text with backslash written as
/// two backslashes, double quote as \", tab/CR/LF/NUL as \t \r \n \0; every other character that
/// is not printable (Python's str.isprintable()) or is a combining mark (Mn, Me) as \u{hex}
/// (lower-case hex, no leading zeros, e.g. \u{7f}, \u{301}, \u{200b}); then a closing double
/// quote. Everything else stands as it is; a malformed byte shows as U+FFFD.
std::string quoted(std::string_view text);

namespace detail {

/// What the generated tables (unicode_tables.cpp) know about one code point.
struct CharInfo {
  /// Added to the code point to lower-case it; with kLowerMulti, an index for lower_multi().
  std::int32_t lower;
  std::uint8_t flags;
};

/// Cased and not case-ignorable (the final-sigma rule never asks about ignorable ones).
inline constexpr std::uint8_t kCased = 1;
/// Skipped when looking for the cased neighbours of a capital sigma.
inline constexpr std::uint8_t kCaseIgnorable = 2;
/// Written as \u{hex} by quoted().
inline constexpr std::uint8_t kEscaped = 4;
/// Lower-cases to several code points.
inline constexpr std::uint8_t kLowerMulti = 8;

/// Table entry for `c`; values above U+10FFFF get that of U+10FFFF.
const CharInfo& char_info(char32_t c) noexcept;

/// UTF-8 lower-case form of a character flagged kLowerMulti.
std::string_view lower_multi(std::int32_t index) noexcept;

}  // namespace detail
}  // namespace tessrin
