#include "types/number.hpp"

#include <charconv>
#include <cstring>
#include <limits>
#include <system_error>

namespace tessrin {
namespace {

// Powers of ten that float64 holds exactly: a mantissa below 2^53 times or divided by one of
// them is a single correctly rounded operation (Clinger's fast path), which covers nearly
// every value in a real file; the rest go to std::from_chars.
constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                             1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                             1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr std::uint64_t kExactMantissa = std::uint64_t{1} << 53;
constexpr int kMaxDigits = 19;  // any 19 digits fit a uint64

inline bool is_digit(char c) noexcept { return static_cast<unsigned char>(c - '0') < 10; }

/// Digits read into a uint64, leading zeros skipped; `many` once more than 19 count.
struct Digits {
  std::uint64_t value = 0;
  int significant = 0;
  bool many = false;

  void add(char c) noexcept {
    const auto d = static_cast<std::uint64_t>(c - '0');
    if (significant == 0 && d == 0) return;
    if (significant == kMaxDigits) {
      many = true;
      return;
    }
    value = value * 10 + d;
    ++significant;
  }
};

/// `digits` × 10^`scale`, exactly when both are small, else through from_chars on `text`.
/// Returns false when the result is past float64's range (or below its smallest value).
bool scaled(const Digits& digits, long scale, std::string_view text, double& out) noexcept {
  if (!digits.many && digits.value <= kExactMantissa && scale >= -22 && scale <= 22) {
    const auto m = static_cast<double>(digits.value);
    out = scale < 0 ? m / kPow10[-scale] : m * kPow10[scale];
    return true;
  }
  if (digits.value == 0 && !digits.many) {
    out = 0;
    return true;
  }
  const auto result = std::from_chars(text.data(), text.data() + text.size(), out);
  return result.ec == std::errc() && result.ptr == text.data() + text.size();
}

/// Whether the whole number `d` written out in full is `digits` (no sign, no leading zeros).
bool integer_text_is(double d, std::string_view digits) noexcept {
  char buffer[400];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, d, std::chars_format::fixed, 0);
  if (result.ec != std::errc()) return false;
  return std::string_view(buffer, static_cast<std::size_t>(result.ptr - buffer)) == digits;
}

}  // namespace

CifNumber parse_number(std::string_view text) noexcept {
  CifNumber out;
  const char* p = text.data();
  const char* const end = p + text.size();
  if (p == end) return out;
  const bool negative = *p == '-';
  if (*p == '+' || *p == '-') ++p;
  // from_chars takes a minus sign but no plus sign.
  const char* const unsigned_begin = p;

  Digits mantissa;
  bool any_digit = false;
  while (p < end && is_digit(*p)) {
    mantissa.add(*p++);
    any_digit = true;
  }
  const char* const integer_end = p;
  long fraction_digits = 0;
  const bool point = p < end && *p == '.';
  if (point) {
    ++p;
    while (p < end && is_digit(*p)) {
      // Digits past the 19th only round; from_chars sees them all.
      if (!mantissa.many) ++fraction_digits;
      mantissa.add(*p++);
      any_digit = true;
    }
    if (mantissa.many) fraction_digits = 0;  // unused: the slow path reads the text
  }
  if (!any_digit) return out;

  long exponent = 0;
  const bool has_exponent = p < end && (*p == 'e' || *p == 'E');
  if (has_exponent) {
    ++p;
    const bool exponent_negative = p < end && *p == '-';
    if (p < end && (*p == '+' || *p == '-')) ++p;
    if (p == end || !is_digit(*p)) return out;
    // Capped: anything this large is out of range or zero either way, and from_chars decides.
    for (; p < end && is_digit(*p); ++p) {
      if (exponent < 100000) exponent = exponent * 10 + (*p - '0');
    }
    if (exponent_negative) exponent = -exponent;
  }
  const char* const number_end = p;

  Digits su_digits;
  const char* su_begin = nullptr;
  const char* su_end = nullptr;
  if (p < end && *p == '(') {
    su_begin = ++p;
    while (p < end && is_digit(*p)) su_digits.add(*p++);
    su_end = p;
    if (su_begin == su_end || p == end || *p != ')') return out;  // `1.2(3` and `1.2()` are text
    ++p;
  }
  if (p != end) return out;

  const char* const signed_begin = negative ? text.data() : unsigned_begin;
  const std::string_view from_chars_text(signed_begin,
                                         static_cast<std::size_t>(number_end - signed_begin));

  if (!point && !has_exponent && su_begin == nullptr) {
    constexpr std::uint64_t kMaxPositive = std::numeric_limits<std::int64_t>::max();
    if (!mantissa.many && mantissa.value <= kMaxPositive + (negative ? 1 : 0)) {
      out.kind = CifNumber::Kind::Integer;
      out.integer = negative ? static_cast<std::int64_t>(0 - mantissa.value)
                             : static_cast<std::int64_t>(mantissa.value);
      return out;
    }
    // Past int64: float64 only when it holds the integer exactly (10^20 yes, 2^63 + 1 no).
    double d = 0;
    if (!scaled(mantissa, 0, from_chars_text, d)) return out;
    std::string_view digits(unsigned_begin, static_cast<std::size_t>(integer_end - unsigned_begin));
    while (digits.size() > 1 && digits.front() == '0') digits.remove_prefix(1);
    out.kind = integer_text_is(negative ? -d : d, digits) ? CifNumber::Kind::Real
                                                         : CifNumber::Kind::Inexact;
    out.value = d;
    return out;
  }

  double value = 0;
  if (!scaled(mantissa, exponent - fraction_digits, from_chars_text, value)) return out;
  if (negative && value > 0) value = -value;  // the fast path works on the magnitude
  if (negative && value == 0) value = -0.0;
  out.kind = CifNumber::Kind::Real;
  out.value = value;
  if (su_begin == nullptr) return out;

  // The uncertainty counts units of the last digit written: 1.2e3(4) is 4 × 10^(3 - 1).
  long last_digit_scale = exponent;
  if (point) {
    const char* fraction = integer_end + 1;
    const char* fraction_end = fraction;
    while (fraction_end < number_end && is_digit(*fraction_end)) ++fraction_end;
    last_digit_scale -= static_cast<long>(fraction_end - fraction);
  }
  char buffer[64];
  const auto su_length = static_cast<std::size_t>(su_end - su_begin);
  std::string_view su_text;
  if (su_length + 24 <= sizeof buffer) {
    std::memcpy(buffer, su_begin, su_length);
    buffer[su_length] = 'e';
    const auto written = std::to_chars(buffer + su_length + 1, buffer + sizeof buffer, last_digit_scale);
    su_text = std::string_view(buffer, static_cast<std::size_t>(written.ptr - buffer));
  } else if (!(su_digits.value == 0 && !su_digits.many)) {
    return CifNumber{};  // an uncertainty of dozens of digits: not a number anyone wrote
  }
  if (!scaled(su_digits, last_digit_scale, su_text, out.su)) return CifNumber{};
  out.has_su = true;
  return out;
}

}  // namespace tessrin
