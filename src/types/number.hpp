// CIF numbers: `-12`, `1.234(5)`, `1.2e3(4)`, `.5`, `12(3)`. One function reads a value's text
// as a number with its standard uncertainty, or says it is not one.
#pragma once

#include <cstdint>
#include <string_view>

namespace tessrin {

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
  double value = 0;          // Integer and Real
  double su = 0;             // has_su: the uncertainty in the value's units
};

/// Reads `text` (the whole of it: no surrounding blanks) as a CIF number. Correctly rounded:
/// exact small cases directly, the rest through std::from_chars, never the C locale.
CifNumber parse_number(std::string_view text) noexcept;

/// The shapes that fill structure files (`-12`, `27.340`, `0.5`), read inline: true with
/// `out` set, or false when parse_number must decide. Digits are few enough (at most 15) for
/// the result to be exact, or a single correctly rounded division.
[[gnu::always_inline]] inline bool parse_plain_number(std::string_view text, CifNumber& out) noexcept {
  constexpr double kPow10[] = {1e0, 1e1, 1e2, 1e3, 1e4, 1e5, 1e6, 1e7,
                               1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
  const char* p = text.data();
  const char* const end = p + text.size();
  if (text.empty() || text.size() > 16) return false;
  const bool negative = *p == '-';
  p += negative;
  std::uint64_t m = 0;
  const char* const digits = p;
  while (p < end && static_cast<unsigned char>(*p - '0') < 10) m = m * 10 + static_cast<unsigned>(*p++ - '0');
  if (p == digits) return false;
  if (p == end) {
    out.kind = CifNumber::Kind::Integer;
    out.has_su = false;
    out.integer = negative ? -static_cast<std::int64_t>(m) : static_cast<std::int64_t>(m);
    out.value = static_cast<double>(out.integer);
    return true;
  }
  if (*p != '.') return false;
  const char* const fraction = ++p;
  while (p < end && static_cast<unsigned char>(*p - '0') < 10) m = m * 10 + static_cast<unsigned>(*p++ - '0');
  if (p != end) return false;
  const double magnitude = static_cast<double>(m) / kPow10[end - fraction];
  out.kind = CifNumber::Kind::Real;
  out.has_su = false;
  out.value = negative ? -magnitude : magnitude;
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
