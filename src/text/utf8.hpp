// UTF-8 helpers shared by every stage that looks at characters rather than bytes.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/simd.hpp"
#if TESSRIN_X86_SIMD
#include <emmintrin.h>
#endif

namespace tessrin {

/// True for bytes that continue a multi-byte UTF-8 sequence.
constexpr bool is_continuation(unsigned char b) noexcept { return (b & 0xC0) == 0x80; }

/// The first `limit` bytes of `text`, cut before a character that would straddle the limit.
inline std::string_view utf8_prefix(std::string_view text, std::size_t limit) noexcept {
  if (text.size() <= limit) return text;
  while (limit > 0 && is_continuation(static_cast<unsigned char>(text[limit]))) --limit;
  return text.substr(0, limit);
}

/// Number of characters in [begin, end): every byte that is not a continuation byte starts one.
/// Eight bytes at a time, since columns are counted for every token.
inline std::size_t count_chars(const char* begin, const char* end) noexcept {
  std::size_t n = static_cast<std::size_t>(end - begin);
  const char* p = begin;
  for (; end - p >= 8; p += 8) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    // A continuation byte is 10xxxxxx: its top bit set and the next bit clear.
    n -= static_cast<std::size_t>(std::popcount(w & ~(w << 1) & 0x8080808080808080ULL));
  }
  for (; p < end; ++p) n -= is_continuation(static_cast<unsigned char>(*p));
  return n;
}

inline std::size_t count_chars(std::string_view s) noexcept {
  return count_chars(s.data(), s.data() + s.size());
}

/// One step over UTF-8: the length of the character at `p`, or of the maximal ill-formed
/// subsequence there (as Unicode and Python's decoder count them, one U+FFFD each), and whether
/// it was well formed. Every decoder here takes its steps from this function.
struct Utf8Step {
  int length;
  char32_t code_point;  // U+FFFD when ill formed
  bool ok;
};

inline Utf8Step utf8_step(const unsigned char* p, const unsigned char* end) noexcept {
  const unsigned char b0 = p[0];
  if (b0 < 0x80) return {1, b0, true};
  int need = 0;
  // The second byte's range rules out overlongs, surrogates and code points past U+10FFFF.
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

inline Utf8Step utf8_step(const char* p, const char* end) noexcept {
  return utf8_step(reinterpret_cast<const unsigned char*>(p),
                   reinterpret_cast<const unsigned char*>(end));
}

/// Decodes one scalar at `p` and advances past it. Malformed input (possible only when native
/// code is fed raw bytes, e.g. by a fuzzer) yields U+FFFD and advances one byte, so callers never
/// read out of bounds and always make progress.
inline char32_t decode_utf8(const char*& p, const char* end) noexcept {
  const auto b0 = static_cast<unsigned char>(*p);
  if (b0 < 0x80) {
    ++p;
    return b0;
  }
  const Utf8Step step = utf8_step(p, end);
  p += step.ok ? step.length : 1;
  return step.code_point;
}

/// Appends the UTF-8 encoding of `c` (a valid scalar value) to `out`.
inline void append_utf8(char32_t c, std::string& out) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (c >> 18)));
    out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

/// Unicode White_Space.
constexpr bool is_unicode_whitespace(char32_t c) noexcept {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

/// `word` equals `lower` (an ASCII lower-case literal) ignoring ASCII case.
inline bool iequals_ascii(std::string_view word, std::string_view lower) noexcept {
  if (word.size() != lower.size()) return false;
  for (std::size_t i = 0; i < word.size(); ++i) {
    char c = word[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    if (c != lower[i]) return false;
  }
  return true;
}

/// `word` begins with `lower` ignoring ASCII case.
inline bool istarts_ascii(std::string_view word, std::string_view lower) noexcept {
  return word.size() >= lower.size() && iequals_ascii(word.substr(0, lower.size()), lower);
}

/// What a whole source text holds, found in one pass over it.
struct TextTraits {
  bool ascii = true;    // every byte is ASCII
  bool has_cr = false;  // some line ends in a carriage return
};

inline TextTraits inspect_text(std::string_view s) noexcept {
  const char* p = s.data();
  const char* end = p + s.size();
  bool high = false;
  bool cr = false;
#if TESSRIN_X86_SIMD
  // Four vectors a step; the byte masks are only looked at once per step.
  const __m128i kCr = _mm_set1_epi8('\r');
  for (; end - p >= 64; p += 64) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16));
    const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 32));
    const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 48));
    const __m128i any = _mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d));
    const __m128i crs = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(a, kCr), _mm_cmpeq_epi8(b, kCr)),
                                     _mm_or_si128(_mm_cmpeq_epi8(c, kCr), _mm_cmpeq_epi8(d, kCr)));
    high |= _mm_movemask_epi8(any) != 0;
    cr |= _mm_movemask_epi8(crs) != 0;
  }
#endif
  for (; p < end; ++p) {
    high |= static_cast<unsigned char>(*p) >= 0x80;
    cr |= *p == '\r';
  }
  return TextTraits{!high, cr};
}

/// True when every byte is ASCII.
inline bool is_ascii(std::string_view s) noexcept {
  const char* p = s.data();
  const char* end = p + s.size();
  std::uint64_t acc = 0;
  for (; end - p >= 8; p += 8) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    acc |= w;
  }
  for (; p < end; ++p) acc |= static_cast<unsigned char>(*p);
  return (acc & 0x8080808080808080ULL) == 0;
}

/// Offset of the first byte that is not UTF-8 (no overlongs, no surrogates, nothing above
/// U+10FFFF), or the size of `s` when it is all valid.
inline std::size_t first_invalid_utf8(std::string_view s) noexcept {
  const char* p = s.data();
  const char* end = p + s.size();
  while (p < end) {
    // Eight ASCII bytes at a time: files are mostly ASCII.
    while (end - p >= 8) {
      std::uint64_t w;
      std::memcpy(&w, p, 8);
      if (w & 0x8080808080808080ULL) break;
      p += 8;
    }
    if (p >= end) break;
    if (static_cast<unsigned char>(*p) < 0x80) {
      ++p;
      continue;
    }
    const char* before = p;
    if (decode_utf8(p, end) == 0xFFFD && p - before == 1) {
      // A genuine U+FFFD is three bytes; a one-byte advance means malformed input.
      return static_cast<std::size_t>(before - s.data());
    }
  }
  return s.size();
}

inline bool is_valid_utf8(std::string_view s) noexcept { return first_invalid_utf8(s) == s.size(); }

}  // namespace tessrin
