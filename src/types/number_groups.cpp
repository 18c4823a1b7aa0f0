#include "types/number_groups.hpp"

#include <immintrin.h>

#include <cstring>

#include "text/lexer.hpp"
#include "types/number.hpp"

namespace tessrin {
namespace {

bool has_avx2() noexcept {
  static const bool supported = __builtin_cpu_supports("avx2") != 0;
  return supported;
}

/// Whether the four cells from `i` are unquoted words (always, in a column of one kind).
inline bool four_words(const std::uint8_t* kinds, std::size_t i) noexcept {
  if (kinds == nullptr) return true;
  std::uint32_t four;
  std::memcpy(&four, kinds + i, sizeof four);
  return four == kString * 0x01010101u;
}

/// One value of a group: its text after the sign, and the sign.
struct Lane {
  const char* p;
  std::uint64_t length;  // after the sign
  std::uint64_t negative;
};

inline Lane lane(const char* data, const std::uint32_t* offsets, std::size_t i) noexcept {
  const char* p = data + offsets[i];
  const std::uint64_t negative = *p == '-';
  return {p + negative, offsets[i + 1] - offsets[i] - negative, negative};
}

/// The numbers of the digits in each 64-bit lane of `d` (a byte 0 to 9 each, most
/// significant lowest), or false where any byte is no digit.
[[gnu::target("avx2")]] inline bool lane_digits(__m256i d, __m256i& out) noexcept {
  if (!_mm256_testz_si256(_mm256_adds_epu8(d, _mm256_set1_epi8(0x76)),
                          _mm256_set1_epi8(static_cast<char>(0x80)))) {
    return false;
  }
  const __m256i pairs = _mm256_maddubs_epi16(d, _mm256_set1_epi16(0x010A));
  const __m256i fours = _mm256_madd_epi16(pairs, _mm256_set1_epi32(0x00010064));
  out = _mm256_add_epi64(_mm256_mul_epu32(fours, _mm256_set1_epi64x(10000)),
                         _mm256_srli_epi64(fours, 32));
  return true;
}

/// The lanes' texts less '0' in each byte, moved up so that the last of `count` digits is the
/// top byte (what lies past a value goes out at the top, zeros come in below).
[[gnu::target("avx2")]] inline __m256i align_digits(__m256i w, __m256i count) noexcept {
  const __m256i shift = _mm256_slli_epi64(_mm256_sub_epi64(_mm256_set1_epi64x(8), count), 3);
  return _mm256_sllv_epi64(_mm256_sub_epi8(w, _mm256_set1_epi8('0')), shift);
}

[[gnu::target("avx2")]] std::size_t integer_groups(const TextColumnView& column, std::size_t i,
                                                   std::size_t rows, std::int64_t* out) noexcept {
  const char* const data = column.data;
  const std::uint32_t* const offsets = column.offsets;
  for (; i + 4 <= rows; i += 4) {
    if (!four_words(column.kinds, i)) break;
    const Lane a = lane(data, offsets, i), b = lane(data, offsets, i + 1),
               c = lane(data, offsets, i + 2), d = lane(data, offsets, i + 3);
    if (((a.length - 1) | (b.length - 1) | (c.length - 1) | (d.length - 1)) >= 8) break;
    const __m256i words = _mm256_set_epi64x(
        load_word<std::int64_t>(d.p), load_word<std::int64_t>(c.p),
        load_word<std::int64_t>(b.p), load_word<std::int64_t>(a.p));
    const __m256i lengths = _mm256_set_epi64x(static_cast<std::int64_t>(d.length),
                                              static_cast<std::int64_t>(c.length),
                                              static_cast<std::int64_t>(b.length),
                                              static_cast<std::int64_t>(a.length));
    __m256i values;
    if (!lane_digits(align_digits(words, lengths), values)) break;
    // Negated where the sign was '-': (v ^ m) - m with m all ones.
    const __m256i minus = _mm256_sub_epi64(
        _mm256_setzero_si256(),
        _mm256_set_epi64x(static_cast<std::int64_t>(d.negative), static_cast<std::int64_t>(c.negative),
                          static_cast<std::int64_t>(b.negative),
                          static_cast<std::int64_t>(a.negative)));
    values = _mm256_sub_epi64(_mm256_xor_si256(values, minus), minus);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), values);
  }
  return i;
}

[[gnu::target("avx2")]] std::size_t real_groups(const TextColumnView& column, std::size_t i,
                                                std::size_t rows, double* out) noexcept {
  const char* const data = column.data;
  const std::uint32_t* const offsets = column.offsets;
  const __m256i exponent = _mm256_set1_epi64x(0x4330000000000000);  // 2^52 as a double
  for (; i + 4 <= rows; i += 4) {
    if (!four_words(column.kinds, i)) break;
    const Lane lanes[4] = {lane(data, offsets, i), lane(data, offsets, i + 1),
                           lane(data, offsets, i + 2), lane(data, offsets, i + 3)};
    const __m256i head = _mm256_set_epi64x(
        load_word<std::int64_t>(lanes[3].p), load_word<std::int64_t>(lanes[2].p),
        load_word<std::int64_t>(lanes[1].p), load_word<std::int64_t>(lanes[0].p));
    // Each value: 2 to 9 characters with a point among the first 8, so 1 to 8 digits.
    const auto points_at = static_cast<std::uint32_t>(
        _mm256_movemask_epi8(_mm256_cmpeq_epi8(head, _mm256_set1_epi8('.'))));
    std::uint64_t point[4];
    bool shaped = true;
    for (int k = 0; k < 4; ++k) {
      point[k] = static_cast<std::uint64_t>(__builtin_ctz(((points_at >> (8 * k)) & 0xFF) | 0x100));
      shaped &= (lanes[k].length - 2 < 8) & (point[k] < lanes[k].length) & (point[k] < 8);
    }
    if (!shaped) break;
    // The digits after the point are read one byte further on, over it.
    const __m256i tail = _mm256_set_epi64x(
        load_word<std::int64_t>(lanes[3].p + 1), load_word<std::int64_t>(lanes[2].p + 1),
        load_word<std::int64_t>(lanes[1].p + 1), load_word<std::int64_t>(lanes[0].p + 1));
    const __m256i points = _mm256_set_epi64x(
        static_cast<std::int64_t>(point[3]), static_cast<std::int64_t>(point[2]),
        static_cast<std::int64_t>(point[1]), static_cast<std::int64_t>(point[0]));
    const __m256i above =
        _mm256_sllv_epi64(_mm256_set1_epi64x(-1), _mm256_slli_epi64(points, 3));
    const __m256i closed =
        _mm256_or_si256(_mm256_andnot_si256(above, head), _mm256_and_si256(above, tail));
    const __m256i digit_counts = _mm256_set_epi64x(
        static_cast<std::int64_t>(lanes[3].length - 1), static_cast<std::int64_t>(lanes[2].length - 1),
        static_cast<std::int64_t>(lanes[1].length - 1), static_cast<std::int64_t>(lanes[0].length - 1));
    __m256i mantissas;
    if (!lane_digits(align_digits(closed, digit_counts), mantissas)) break;
    const auto scale = [&](int k) {
      return PlainNumber::kPow10[lanes[k].length - 1 - point[k]];
    };
    // Below 10^8, so exact as the low bits of a double of exponent 52; both operands of the
    // division are exact and the quotient correctly rounded, as read_short_real's.
    const __m256d magnitudes = _mm256_div_pd(
        _mm256_sub_pd(_mm256_castsi256_pd(_mm256_or_si256(mantissas, exponent)),
                      _mm256_castsi256_pd(exponent)),
        _mm256_set_pd(scale(3), scale(2), scale(1), scale(0)));
    const __m256i signs = _mm256_slli_epi64(
        _mm256_set_epi64x(static_cast<std::int64_t>(lanes[3].negative),
                          static_cast<std::int64_t>(lanes[2].negative),
                          static_cast<std::int64_t>(lanes[1].negative),
                          static_cast<std::int64_t>(lanes[0].negative)),
        63);
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

}  // namespace tessrin
