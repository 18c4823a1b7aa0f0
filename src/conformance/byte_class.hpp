// Byte classes of the strict tokeniser in the conformance checker, and the scans built on them
// (sixteen and sixty-four bytes at a time). Unlike the core lexer's, these read raw text, where a
// carriage return is a line end and so white space.
#pragma once

#include <array>
#include <cstdint>

#include "platform/simd.hpp"
#if TESSRIN_X86_SIMD
#include <emmintrin.h>
#endif

namespace tessrin::conformance::bytes {

// Byte classes. Legend: O other; S white space (space, tab, line feed and carriage return: this
// pass reads the raw text, so CR is a line end here, unlike in the core's lexer, which sees
// normalised text); K bracket or brace, which CIF 2.0 treats as punctuation.
enum ByteClass : std::uint8_t { O, S, K };

constexpr std::array<std::uint8_t, 256> make_classes() {
  std::array<std::uint8_t, 256> t{};
  for (unsigned char c : {' ', '\t', '\n', '\r'}) t[c] = S;
  for (unsigned char c : {'[', ']', '{', '}'}) t[c] = K;
  return t;
}
constexpr auto kClass = make_classes();

// First bytes of CIF 1.1 bare words that need no look beyond a possible reserved word: not a
// tag, string, text field, comment or reserved lead character, and not white space.
constexpr std::array<bool, 256> make_plain_starts() {
  std::array<bool, 256> t{};
  for (int c = 0; c < 256; ++c) t[c] = kClass[c] == O;
  for (unsigned char c : {'_', '\'', '"', ';', '#', '$', '[', ']'}) t[c] = false;
  return t;
}
constexpr auto kPlainStart = make_plain_starts();

constexpr std::uint8_t u8(char c) { return static_cast<std::uint8_t>(c); }

#if TESSRIN_X86_SIMD
/// Bit i set where byte i of the 16 at `p` is white space (space, tab, LF, CR).
[[gnu::always_inline]] inline unsigned space_mask(const char* p) noexcept {
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i a = _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8(' ')),
                                 _mm_cmpeq_epi8(v, _mm_set1_epi8('\t')));
  const __m128i b = _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('\n')),
                                 _mm_cmpeq_epi8(v, _mm_set1_epi8('\r')));
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(a, b)));
}
#endif

#if TESSRIN_X86_SIMD
/// Where the 64 bytes at `p` hold white space, underscores, and lead characters that a plain
/// word may not start with (kPlainStart false, white space aside), one bit a byte.
struct Window {
  std::uint64_t space;
  std::uint64_t underscore;
  std::uint64_t lead;
};

[[gnu::always_inline]] inline Window classify64(const char* p) noexcept {
  Window w{0, 0, 0};
  for (int chunk = 0; chunk < 4; ++chunk) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * chunk));
    const auto eq = [&v](char c) { return _mm_cmpeq_epi8(v, _mm_set1_epi8(c)); };
    const __m128i space =
        _mm_or_si128(_mm_or_si128(eq(' '), eq('\t')), _mm_or_si128(eq('\n'), eq('\r')));
    const __m128i under = eq('_');
    const __m128i lead = _mm_or_si128(
        _mm_or_si128(_mm_or_si128(under, eq('\'')), _mm_or_si128(eq('"'), eq(';'))),
        _mm_or_si128(_mm_or_si128(eq('#'), eq('$')), _mm_or_si128(eq('['), eq(']'))));
    const auto bits = [chunk](__m128i m) {
      return static_cast<std::uint64_t>(static_cast<unsigned>(_mm_movemask_epi8(m)) & 0xFFFF)
             << (16 * chunk);
    };
    w.space |= bits(space);
    w.underscore |= bits(under);
    w.lead |= bits(lead);
  }
  return w;
}
#endif

// Words and blank runs, sixteen bytes at a time: the loop bodies of mmCIF files are almost all
// short values between runs of alignment blanks.

/// First white-space byte at or after `p`, or `end`.
[[gnu::always_inline]] inline const char* find_space(const char* p, const char* end) noexcept {
#if TESSRIN_X86_SIMD
  for (; end - p >= 16; p += 16) {
    const unsigned m = space_mask(p);
    if (m != 0) return p + __builtin_ctz(m);
  }
#endif
  while (p < end && kClass[u8(*p)] != S) ++p;
  return p;
}

/// First byte at or after `p` that is not white space, or `end`.
[[gnu::always_inline]] inline const char* skip_space(const char* p, const char* end) noexcept {
#if TESSRIN_X86_SIMD
  for (; end - p >= 16; p += 16) {
    const unsigned m = space_mask(p);
    if (m != 0xFFFF) return p + __builtin_ctz(~m);
  }
#endif
  while (p < end && kClass[u8(*p)] == S) ++p;
  return p;
}

}  // namespace tessrin::conformance::bytes
