// The character pass of the conformance checker: encoding, character set and line length, one
// sweep over the raw bytes with line ends as the standards define them (CR, LF or CR LF).
#pragma once

#include <cstddef>
#include <string_view>

#include "conformance/rules.hpp"

namespace tessrin::conformance {

/// One step over UTF-8: the length of the character at `p`, or of the maximal ill-formed
/// subsequence there (as Unicode and Python's "replace" error handler count them, one U+FFFD
/// each), and whether it was well formed.
struct Utf8Step {
  int length;
  char32_t code_point;  // U+FFFD when ill formed
  bool ok;
};

inline Utf8Step utf8_step(const unsigned char* p, const unsigned char* end) noexcept {
  const unsigned char b0 = p[0];
  if (b0 < 0x80) return {1, b0, true};
  int need = 0;
  unsigned char lo = 0x80;
  unsigned char hi = 0xBF;
  char32_t c = 0;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
    c = b0 & 0x1F;
  } else if (b0 == 0xE0) {
    need = 2;
    lo = 0xA0;
  } else if ((b0 >= 0xE1 && b0 <= 0xEC) || b0 == 0xEE || b0 == 0xEF) {
    need = 2;
    c = b0 & 0x0F;
  } else if (b0 == 0xED) {  // no encoded surrogates
    need = 2;
    hi = 0x9F;
    c = 0xD;
  } else if (b0 == 0xF0) {
    need = 3;
    lo = 0x90;
  } else if (b0 >= 0xF1 && b0 <= 0xF3) {
    need = 3;
    c = b0 & 0x07;
  } else if (b0 == 0xF4) {
    need = 3;
    hi = 0x8F;
    c = 4;
  } else {
    return {1, 0xFFFD, false};
  }
  for (int i = 1; i <= need; ++i) {
    if (end - p <= i || p[i] < lo || p[i] > hi) return {i, 0xFFFD, false};
    c = (c << 6) | (p[i] & 0x3F);
    lo = 0x80;
    hi = 0xBF;
  }
  return {need + 1, c, true};
}

/// What the character pass learnt about the text, for turning offsets into positions.
struct TextFacts {
  bool has_cr = false;         // some line ends are CR or CR LF
  bool valid_utf8 = true;      // columns may be counted by lead bytes
};

/// Checks every character of `text` from `start` (past an allowed byte-order mark) under the
/// given version. Character rules report their first occurrence on each line only.
void check_characters(std::string_view text, std::size_t start, bool cif2, Findings& findings,
                      TextFacts& facts);

}  // namespace tessrin::conformance
