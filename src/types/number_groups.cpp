#include "types/number_groups.hpp"

#include "platform/simd.hpp"

#if TESSRIN_X86_AVX2
#include <immintrin.h>

#include <cstring>

#include "text/lexer.hpp"
#include "types/number.hpp"
#endif

namespace tessrin {

#if TESSRIN_X86_AVX2

namespace {

bool has_avx2() noexcept {
  static const bool supported = __builtin_cpu_supports("avx2") != 0;
  return supported;
}

/// Digits in each 64-bit lane to numbers. Its constants are made once, ahead of a loop,
/// so that they stay in registers.
struct LaneDigits {
  __m256i zeros, digit_limit, high_bits, pair_weights, four_weights, ten_thousand, eight;

  [[gnu::target("avx2")]] LaneDigits()
      : zeros(_mm256_set1_epi8('0')),
        digit_limit(_mm256_set1_epi8(0x76)),
        high_bits(_mm256_set1_epi8(static_cast<char>(0x80))),
        pair_weights(_mm256_set1_epi16(0x010A)),
        four_weights(_mm256_set1_epi32(0x00010064)),
        ten_thousand(_mm256_set1_epi64x(10000)),
        eight(_mm256_set1_epi64x(8)) {}

  /// The lanes' texts less '0' in each byte, moved up so that the last of `count` digits is
  /// the top byte (what lies past a value goes out at the top, zeros come in below).
  [[gnu::target("avx2")]] __m256i align(__m256i w, __m256i count) const noexcept {
    const __m256i shift = _mm256_slli_epi64(_mm256_sub_epi64(eight, count), 3);
    return _mm256_sllv_epi64(_mm256_sub_epi8(w, zeros), shift);
  }

  /// The numbers of the digits in each lane of `d` (a byte 0 to 9 each, most significant
  /// lowest), or false where any byte is no digit.
  [[gnu::target("avx2")]] bool read(__m256i d, __m256i& out) const noexcept {
    if (!_mm256_testz_si256(_mm256_adds_epu8(d, digit_limit), high_bits)) return false;
    const __m256i fours = _mm256_madd_epi16(_mm256_maddubs_epi16(d, pair_weights), four_weights);
    out = _mm256_add_epi64(_mm256_mul_epu32(fours, ten_thousand), _mm256_srli_epi64(fours, 32));
    return true;
  }
};

/// Four values from row `i` of a column: each one's first eight bytes with a leading '-'
/// shifted out (so a negative value keeps seven), all ones in the lanes that had it, and the
/// length after the sign.
struct Group {
  __m256i words;
  __m256i minus;
  __m256i lengths;
};

/// The group at row `i`, when every value is from `shortest` to `longest` bytes long (sign
/// included) and, in a column of several kinds, an unquoted word.
[[gnu::target("avx2")]] inline bool group_at(const TextColumnView& column, std::size_t i,
                                             int shortest, int longest, Group& g) noexcept {
  if (column.kinds != nullptr) {
    std::uint32_t four;
    std::memcpy(&four, column.kinds + i, sizeof four);
    if (four != kString * 0x01010101u) return false;
  }
  const __m128i starts = _mm_loadu_si128(reinterpret_cast<const __m128i*>(column.offsets + i));
  const __m128i lengths = _mm_sub_epi32(
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(column.offsets + i + 1)), starts);
  // Unsigned: a length below `shortest` wraps past the top.
  const __m128i over = _mm_sub_epi32(lengths, _mm_set1_epi32(shortest));
  const __m128i limit = _mm_set1_epi32(longest - shortest);
  if (_mm_movemask_epi8(_mm_cmpeq_epi32(_mm_min_epu32(over, limit), over)) != 0xFFFF) return false;
  const char* const data = column.data;
  const auto word = [&](std::uint32_t start) { return load_word<std::int64_t>(data + start); };
  const __m256i words =
      _mm256_set_epi64x(word(static_cast<std::uint32_t>(_mm_extract_epi32(starts, 3))),
                        word(static_cast<std::uint32_t>(_mm_extract_epi32(starts, 2))),
                        word(static_cast<std::uint32_t>(_mm_extract_epi32(starts, 1))),
                        word(static_cast<std::uint32_t>(_mm_cvtsi128_si32(starts))));
  g.minus = _mm256_cmpeq_epi64(_mm256_and_si256(words, _mm256_set1_epi64x(0xFF)),
                               _mm256_set1_epi64x('-'));
  g.words = _mm256_srlv_epi64(words, _mm256_and_si256(g.minus, _mm256_set1_epi64x(8)));
  g.lengths = _mm256_add_epi64(_mm256_cvtepu32_epi64(lengths), g.minus);
  return true;
}

[[gnu::target("avx2")]] std::size_t integer_groups(const TextColumnView& column, std::size_t i,
                                                   std::size_t rows, std::int64_t* out) noexcept {
  const LaneDigits digits_of;
  const __m256i one = _mm256_set1_epi64x(1);
  for (; i + 4 <= rows; i += 4) {
    Group g;
    if (!group_at(column, i, 1, 8, g)) break;
    // A '-' alone, and what is no integer in canonical form: a first digit '0' with more
    // digits or a sign (`007`, `-0`), left to the general loop.
    const __m256i zero_first = _mm256_cmpeq_epi64(
        _mm256_and_si256(g.words, _mm256_set1_epi64x(0xFF)), _mm256_set1_epi64x('0'));
    const __m256i refused = _mm256_or_si256(
        _mm256_cmpeq_epi64(g.lengths, _mm256_setzero_si256()),
        _mm256_and_si256(zero_first, _mm256_or_si256(g.minus, _mm256_cmpgt_epi64(g.lengths, one))));
    if (!_mm256_testz_si256(refused, refused)) break;
    __m256i values;
    if (!digits_of.read(digits_of.align(g.words, g.lengths), values)) break;
    // Negated where the sign was '-': (v ^ m) - m with m all ones.
    values = _mm256_sub_epi64(_mm256_xor_si256(values, g.minus), g.minus);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), values);
  }
  return i;
}

[[gnu::target("avx2")]] std::size_t real_groups(const TextColumnView& column, std::size_t i,
                                                std::size_t rows, double* out) noexcept {
  const __m256i ones = _mm256_set1_epi64x(-1);
  const __m256i exponent = _mm256_set1_epi64x(0x4330000000000000);  // 2^52 as a double
  const LaneDigits digits_of;
  for (; i + 4 <= rows; i += 4) {
    // 2 to 8 characters, so one word holds each value: after the sign, a point and 1 to 7
    // digits.
    Group g;
    if (!group_at(column, i, 2, 8, g)) break;
    const __m256i head = g.words;
    // The digits after the point are read one byte further on, over it.
    const __m256i tail = _mm256_srli_epi64(head, 8);
    const __m256i length = g.lengths;
    // The first point: all ones below its byte, and its index (the bytes below it).
    const __m256i points = _mm256_cmpeq_epi8(head, _mm256_set1_epi8('.'));
    const __m256i first =
        _mm256_and_si256(points, _mm256_sub_epi64(_mm256_setzero_si256(), points));
    const __m256i below = _mm256_sub_epi64(first, _mm256_set1_epi64x(1));
    const __m256i point =
        _mm256_sad_epu8(_mm256_and_si256(below, _mm256_set1_epi8(1)), _mm256_setzero_si256());
    // A point in the value, which is more than a point. (Without one, `below` is all ones
    // and the point's index 8, past every value here.)
    const __m256i digits = _mm256_sub_epi64(length, _mm256_set1_epi64x(1));
    const __m256i shaped = _mm256_and_si256(_mm256_cmpgt_epi64(length, point),
                                            _mm256_cmpgt_epi64(length, _mm256_set1_epi64x(1)));
    if (!_mm256_testc_si256(shaped, ones)) break;
    const __m256i closed =
        _mm256_or_si256(_mm256_and_si256(below, head), _mm256_andnot_si256(below, tail));
    __m256i mantissas;
    if (!digits_of.read(digits_of.align(closed, digits), mantissas)) break;
    // 10^fraction from a table of eight floats (each exact), picked by the fractions packed
    // into the low four 32-bit lanes.
    const __m256 powers = _mm256_setr_ps(1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f, 1e6f, 1e7f);
    const __m256i packed = _mm256_permutevar8x32_epi32(_mm256_sub_epi64(digits, point),
                                                       _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6));
    const __m256d scale =
        _mm256_cvtps_pd(_mm256_castps256_ps128(_mm256_permutevar8x32_ps(powers, packed)));
    // Below 10^8, so exact as the low bits of a double of exponent 52; both operands of the
    // division are exact and the quotient correctly rounded, as read_short_real's.
    const __m256d magnitudes =
        _mm256_div_pd(_mm256_sub_pd(_mm256_castsi256_pd(_mm256_or_si256(mantissas, exponent)),
                                    _mm256_castsi256_pd(exponent)),
                      scale);
    const __m256i signs = _mm256_and_si256(g.minus, _mm256_set1_epi64x(INT64_MIN));
    _mm256_storeu_pd(out + i, _mm256_xor_pd(magnitudes, _mm256_castsi256_pd(signs)));
  }
  return i;
}

}  // namespace

std::size_t read_integer_groups(const TextColumnView& column, std::size_t i, std::size_t rows,
                                std::int64_t* out) noexcept {
  return has_avx2() ? integer_groups(column, i, rows, out) : i;
}

std::size_t read_real_groups(const TextColumnView& column, std::size_t i, std::size_t rows,
                             double* out) noexcept {
  return has_avx2() ? real_groups(column, i, rows, out) : i;
}

#else

// No group reader: the caller reads every row one by one, to the same values.
std::size_t read_integer_groups(const TextColumnView&, std::size_t i, std::size_t,
                                std::int64_t*) noexcept {
  return i;
}

std::size_t read_real_groups(const TextColumnView&, std::size_t i, std::size_t, double*) noexcept {
  return i;
}

#endif

}  // namespace tessrin
