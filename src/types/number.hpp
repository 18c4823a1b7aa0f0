// CIF numbers: `-12`, `1.234(5)`, `1.2e3(4)`, `.5`, `12(3)`. One function reads a value's text
// as a number with its standard uncertainty, or says it is not one.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace tessrin {

// The short-number reader and the validity bitmaps take bytes 8 at a time, first byte lowest.
static_assert(std::endian::native == std::endian::little);

/// What a text is as a CIF number (CIF 1.1 paragraph 15: numbers with an optional standard
/// uncertainty in parentheses, in units of the last digit).
struct CifNumber {
  enum class Kind : std::uint8_t {
    NotNumber,  // anything else: words, `nan`, `inf`, hex, `1,000`, `1.2(3`, `1e400`
    Integer,    // sign and digits only, within int64, no uncertainty
    Real,       // every other number float64 holds
    Inexact,    // an integer past int64 that float64 would round: never silently rounded
  };
  Kind kind = Kind::NotNumber;
  bool has_su = false;
  std::int64_t integer = 0;  // Kind::Integer
  double value = 0;          // Real and Inexact (an Integer is `integer` only)
  double su = 0;             // has_su: the uncertainty in the value's units
};

/// Reads `text` (the whole of it: no surrounding blanks) as a CIF number. Correctly rounded:
/// exact small cases directly, the rest through std::from_chars, never the C locale.
CifNumber parse_number(std::string_view text) noexcept;

/// The number of up to 8 digits, one per byte from the lowest (most significant first, each
/// 0 to 9): three multiplications instead of a loop (Lemire's eight-digit conversion).
inline std::uint32_t eight_digits(std::uint64_t digits) noexcept {
  constexpr std::uint64_t kMask = 0x000000FF000000FF;
  constexpr std::uint64_t kMul1 = 100 + (1000000ULL << 32);
  constexpr std::uint64_t kMul2 = 1 + (10000ULL << 32);
  digits = digits * 10 + (digits >> 8);
  return static_cast<std::uint32_t>(
      (((digits & kMask) * kMul1) + (((digits >> 16) & kMask) * kMul2)) >> 32);
}

/// Whether the integer whose digits start at `first` (after a sign, if any) may be read as
/// a number by inference: its text must be the one writing it back gives, an optional '-'
/// and then `0` or digits without a leading zero. `007`, `-0` and `+5` are not (a leading
/// zero marks a code such as `0433`; a '+' or the sign of zero is text an int64 cannot keep);
/// the short readers leave them to the general loop, which decides by the column's rule.
inline bool canonical_integer_start(char first, std::size_t digits, bool negative) noexcept {
  return first != '0' || (digits == 1 && !negative);
}

/// Whether `text` is a sign and digits only, but not in that canonical form.
inline bool noncanonical_integer(std::string_view text) noexcept {
  if (text.empty() || (text[0] != '0' && text[0] != '+' && text[0] != '-')) return false;
  const std::size_t sign = text[0] == '+' || text[0] == '-';
  if (text.size() == sign) return false;
  for (std::size_t i = sign; i < text.size(); ++i) {
    if (static_cast<unsigned char>(text[i] - '0') >= 10) return false;
  }
  return text[0] == '+' || !canonical_integer_start(text[sign], text.size() - sign, sign != 0);
}

/// A number the inline reader took, or Other for parse_number to decide.
struct PlainNumber {
  enum class Kind : std::uint8_t { Other, Integer, Real };
  static constexpr double kPow10[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                      1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};

  std::int64_t mantissa = 0;  // the digits with the sign, the point left out
  Kind kind = Kind::Other;
  std::uint8_t fraction_digits = 0;

  /// The value of a Real: both operands are exact (the mantissa is below 2^53, the power at
  /// most 10^15), so the one division is correctly rounded.
  double real() const noexcept { return static_cast<double>(mantissa) / kPow10[fraction_digits]; }
};

/// `-27.340`, `1.00`, `12`: a sign and at most 8 digits and a point, read 8 bytes at once
/// (which must be readable from `p`, the first digit).
[[gnu::always_inline]] inline PlainNumber read_short_number(const char* p, std::size_t n,
                                                            bool negative) noexcept {
  constexpr std::uint64_t kZeros = 0x3030303030303030;
  // The low `n` bytes.
  static constexpr std::uint64_t kKeep[] = {0,
                                            0xFF,
                                            0xFFFF,
                                            0xFFFFFF,
                                            0xFFFFFFFF,
                                            0xFFFFFFFFFF,
                                            0xFFFFFFFFFFFF,
                                            0xFFFFFFFFFFFFFF,
                                            ~std::uint64_t{0}};
  PlainNumber out;
  std::uint64_t w;
  std::memcpy(&w, p, 8);
  const std::uint64_t keep = kKeep[n];
  // A byte is a digit when its high nibble is 3 both as it is and with 6 added. A carry out
  // of a byte can only make its neighbour fail the test, and failing only means the slow path.
  const std::uint64_t not_digit = (((w & 0xF0F0F0F0F0F0F0F0) ^ kZeros) |
                                   (((w + 0x0606060606060606) & 0xF0F0F0F0F0F0F0F0) ^ kZeros)) &
                                  keep;
  if (not_digit == 0) {
    if (!canonical_integer_start(*p, n, negative)) return out;
    const std::uint64_t digits = ((w & keep) - (kZeros & keep)) << (8 * (8 - n));
    const auto m = static_cast<std::int64_t>(eight_digits(digits));
    out.mantissa = negative ? -m : m;
    out.kind = PlainNumber::Kind::Integer;
    return out;
  }
  const unsigned point = static_cast<unsigned>(std::countr_zero(not_digit)) / 8;
  const std::uint64_t point_byte = std::uint64_t{0xFF} << (8 * point);
  if ((not_digit & ~point_byte) != 0 || ((w >> (8 * point)) & 0xFF) != '.' || n < 2) return out;
  // The point becomes a '0', then its byte is cut out and the digits close up.
  const std::uint64_t values = ((w + (std::uint64_t{2} << (8 * point))) & keep) - (kZeros & keep);
  const std::uint64_t below = (std::uint64_t{1} << (8 * point)) - 1;
  const std::uint64_t digits = (values & below) | ((values >> 8) & ~below);
  const auto m = static_cast<std::int64_t>(eight_digits(digits << (8 * (9 - n))));
  if (negative && m == 0) return out;  // -0.0: parse_number keeps its sign
  out.mantissa = negative ? -m : m;
  out.kind = PlainNumber::Kind::Real;
  out.fraction_digits = static_cast<std::uint8_t>(n - 1 - point);
  return out;
}

/// The shapes that fill structure files (`-12`, `27.340`, `0.5`), read inline; Other when
/// parse_number must decide. At most 15 digits, so every result is exact or one correctly
/// rounded division. `readable_end` bounds the buffer holding `text`: short values are read 8
/// bytes at a time where it allows.
[[gnu::always_inline]] inline PlainNumber read_plain_number(std::string_view text,
                                                            const char* readable_end) noexcept {
  PlainNumber out;
  const char* p = text.data();
  const char* const end = p + text.size();
  if (text.empty() || text.size() > 16) return out;
  const bool negative = *p == '-';
  p += negative;
  const auto n = static_cast<std::size_t>(end - p);
  if (n - 1 < 8 && readable_end - p >= 8) return read_short_number(p, n, negative);
  std::uint64_t m = 0;
  const char* const digits = p;
  while (p < end && static_cast<unsigned char>(*p - '0') < 10)
    m = m * 10 + static_cast<unsigned>(*p++ - '0');
  if (p == digits) return out;
  if (p == end) {
    if (!canonical_integer_start(*digits, n, negative)) return out;
    out.mantissa = negative ? -static_cast<std::int64_t>(m) : static_cast<std::int64_t>(m);
    out.kind = PlainNumber::Kind::Integer;
    return out;
  }
  if (*p != '.') return out;
  const char* const fraction = ++p;
  while (p < end && static_cast<unsigned char>(*p - '0') < 10)
    m = m * 10 + static_cast<unsigned>(*p++ - '0');
  if (p != end || (negative && m == 0)) return out;
  out.mantissa = negative ? -static_cast<std::int64_t>(m) : static_cast<std::int64_t>(m);
  out.kind = PlainNumber::Kind::Real;
  out.fraction_digits = static_cast<std::uint8_t>(end - fraction);
  return out;
}

/// Short numbers are read as one word of 8 bytes, or of 16 for 9 to 16 characters (after a
/// sign): read_short_integer and read_short_real need this many bytes readable from a value's
/// start (a sign, and 8 from the ninth character, the one after a point, on).
using Word16 = unsigned __int128;
inline constexpr std::uint32_t kShortReadBytes = 18;

/// `byte` in every byte of a word.
template <class Word>
constexpr Word every_byte(std::uint8_t byte) noexcept {
  return static_cast<Word>(~Word{0} / 0xFF) * byte;
}

/// Whether every byte of `d`, a text less '0' in each byte, is a digit 0 to 9. The lowest
/// byte that was below '0' wraps to 0xD0 or more, whatever borrows it passes on; the others
/// reach 0x80 once 0x76 is added.
template <class Word>
inline bool all_digits(Word d) noexcept {
  return (((d + every_byte<Word>(0x76)) | d) & every_byte<Word>(0x80)) == 0;
}

/// The number of the digits of `d` (one per byte, most significant lowest).
inline std::uint64_t digits_value(std::uint64_t d) noexcept { return eight_digits(d); }
inline std::uint64_t digits_value(Word16 d) noexcept {
  return std::uint64_t{eight_digits(static_cast<std::uint64_t>(d))} * 100000000 +
         eight_digits(static_cast<std::uint64_t>(d >> 64));
}

/// The index of the first '.' byte of `w`, or its size. The lowest zero byte of
/// w ^ "...." is found exactly (a false one can only follow it).
inline unsigned first_point(std::uint64_t w) noexcept {
  const std::uint64_t v = w ^ every_byte<std::uint64_t>('.');
  const std::uint64_t zero =
      (v - every_byte<std::uint64_t>(1)) & ~v & every_byte<std::uint64_t>(0x80);
  return zero == 0 ? 8 : static_cast<unsigned>(std::countr_zero(zero)) / 8;
}
inline unsigned first_point(Word16 w) noexcept {
  const unsigned low = first_point(static_cast<std::uint64_t>(w));
  return low < 8 ? low : 8 + first_point(static_cast<std::uint64_t>(w >> 64));
}

/// The `n` digits at the start of `w` (the bytes past them, which may be anything, go out at
/// the top; zeros, leading zeros, come in below; a borrow only runs upwards, out of the
/// value), or false.
template <class Word>
inline bool leading_digits(Word w, std::size_t n, std::uint64_t& out) noexcept {
  const Word digits = (w - every_byte<Word>('0')) << (8 * (sizeof(Word) - n));
  if (!all_digits(digits)) return false;
  out = digits_value(digits);
  return true;
}

template <class Word>
inline Word load_word(const char* p) noexcept {
  Word w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

/// A sign and 1 to 16 digits at `p` (`n` bytes, kShortReadBytes from `p` readable), in
/// canonical form, into `out`; false for anything else.
[[gnu::always_inline]] inline bool read_short_integer(const char* p, std::size_t n,
                                                      std::int64_t& out) noexcept {
  const bool negative = *p == '-';
  n -= negative;
  p += negative;
  if (!canonical_integer_start(*p, n, negative)) return false;
  std::uint64_t m;
  if (n - 1 < 8) {
    if (!leading_digits(load_word<std::uint64_t>(p), n, m)) return false;
  } else if (n - 1 < 16) {
    if (!leading_digits(load_word<Word16>(p), n, m)) return false;
  } else {
    return false;
  }
  out = negative ? -static_cast<std::int64_t>(m) : static_cast<std::int64_t>(m);
  return true;
}

/// The number of the `count` (0 to 8) digits at `p` (8 bytes readable), or false.
inline bool few_digits(const char* p, unsigned count, std::uint64_t& out) noexcept {
  // Two shifts, as one of 64 bits (no digits) is undefined.
  const unsigned half_shift = 4 * (8 - count);
  const std::uint64_t digits =
      ((load_word<std::uint64_t>(p) - every_byte<std::uint64_t>('0')) << half_shift) << half_shift;
  if (!all_digits(digits)) return false;
  out = eight_digits(digits);
  return true;
}

/// A sign and 1 to 16 characters, digits with at most one point among them, at `p` (`n`
/// bytes, kShortReadBytes from `p` readable) into `out`, as parse_number reads it; false for
/// anything else and for an integer past 2^53, which parse_number decides. `fraction` is the
/// number of digits after the point the value is expected to have (a column's values mostly
/// share it), and becomes the number this one has.
[[gnu::always_inline]] inline bool read_short_real(const char* p, std::size_t n, unsigned& fraction,
                                                   double& out) noexcept {
  const bool negative = *p == '-';
  n -= negative;
  p += negative;
  if (n - 1 >= 16) return false;
  auto point = static_cast<unsigned>(n) - 1 - fraction;  // wraps when fraction is too long
  if (point >= n || p[point] != '.') {
    point = first_point(load_word<Word16>(p));
    if (point >= n) {
      // No point: an integer, exact in float64 up to 2^53.
      if (!canonical_integer_start(*p, n, negative)) return false;
      std::uint64_t m;
      if (n <= 8 ? !leading_digits(load_word<std::uint64_t>(p), n, m)
                 : !leading_digits(load_word<Word16>(p), n, m) || m > (std::uint64_t{1} << 53)) {
        return false;
      }
      const auto v = static_cast<std::int64_t>(m);
      out = static_cast<double>(negative ? -v : v);
      return true;
    }
    fraction = static_cast<unsigned>(n) - 1 - point;
  }
  if (n < 2) return false;  // a point alone
  // At most 15 digits, so the mantissa is exact and the one division correctly rounded.
  std::uint64_t m;
  if (n <= 9) {
    // Up to 8 digits: those past the point are read one byte further on, over it. (Two
    // shifts, as one of 64 bits is undefined.)
    const std::uint64_t below = ((std::uint64_t{1} << (4 * point)) << (4 * point)) - 1;
    const std::uint64_t closed =
        (load_word<std::uint64_t>(p) & below) | (load_word<std::uint64_t>(p + 1) & ~below);
    if (!leading_digits(closed, n - 1, m)) return false;
  } else {
    // Up to 8 digits either side of the point, each side read as one word.
    static constexpr std::uint64_t kScale[] = {1,      10,      100,      1000,     10000,
                                               100000, 1000000, 10000000, 100000000};
    std::uint64_t whole;
    std::uint64_t part;
    if (point > 8 || fraction > 8 || !few_digits(p, point, whole) ||
        !few_digits(p + point + 1, fraction, part)) {
      return false;
    }
    m = whole * kScale[fraction] + part;
  }
  // A negative zero stays one, as parse_number has it.
  const double magnitude = static_cast<double>(m) / PlainNumber::kPow10[fraction];
  out = negative ? -magnitude : magnitude;
  return true;
}

/// True when the integer `v` converts to float64 without rounding.
inline bool exact_in_double(std::int64_t v) noexcept {
  constexpr std::int64_t kExactLimit = std::int64_t{1} << 53;
  if (v >= -kExactLimit && v <= kExactLimit) return true;
  const double d = static_cast<double>(v);
  // d is a whole number of magnitude at most 2^63; 2^63 itself is past int64.
  return d < 9223372036854775808.0 && static_cast<std::int64_t>(d) == v;
}

}  // namespace tessrin
