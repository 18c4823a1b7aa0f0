// UTF-8 helpers shared by every stage that looks at characters rather than bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/simd.hpp"
#if TESSRIN_X86_SIMD
#include <emmintrin.h>
#endif

namespace tessrin {

/// True for bytes that continue a multi-byte UTF-8 sequence.
constexpr bool is_continuation(unsigned char b) noexcept { return (b & 0xC0) == 0x80; }

/// Number of characters in [begin, end): every byte that is not a continuation byte starts one.
/// Eight bytes at a time, since columns are counted for every token.
inline std::size_t count_chars(const char* begin, const char* end) noexcept {
  std::size_t n = static_cast<std::size_t>(end - begin);
  const char* p = begin;
  for (; end - p >= 8; p += 8) {
    std::uint64_t w;
    __builtin_memcpy(&w, p, 8);
    // A continuation byte is 10xxxxxx: its top bit set and the next bit clear.
    n -= static_cast<std::size_t>(
        __builtin_popcountll(w & ~(w << 1) & 0x8080808080808080ULL));
  }
  for (; p < end; ++p) n -= is_continuation(static_cast<unsigned char>(*p));
  return n;
}

inline std::size_t count_chars(std::string_view s) noexcept {
  return count_chars(s.data(), s.data() + s.size());
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
  int len = b0 >= 0xF0 ? 4 : b0 >= 0xE0 ? 3 : b0 >= 0xC0 ? 2 : 0;
  if (len == 0 || b0 > 0xF4 || end - p < len) {
    ++p;
    return 0xFFFD;
  }
  char32_t c = b0 & (0x7F >> len);
  for (int i = 1; i < len; ++i) {
    const auto b = static_cast<unsigned char>(p[i]);
    if (!is_continuation(b)) {
      ++p;
      return 0xFFFD;
    }
    c = (c << 6) | (b & 0x3F);
  }
  static constexpr char32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
  if (c < kMin[len] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
    ++p;
    return 0xFFFD;
  }
  p += len;
  return c;
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
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
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
  bool ascii = true;   // every byte is ASCII
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
    const __m128i crs = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(a, kCr), _mm_cmpeq_epi8(b, kCr)),
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
    __builtin_memcpy(&w, p, 8);
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
      __builtin_memcpy(&w, p, 8);
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

inline bool is_valid_utf8(std::string_view s) noexcept {
  return first_invalid_utf8(s) == s.size();
}

}  // namespace tessrin
