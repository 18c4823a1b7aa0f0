#include "write/number_text.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>

namespace tessrin {

namespace {

// The uncertainty digits the number reader accepts (its buffer holds them and an exponent).
constexpr std::size_t kMaxSuDigits = 40;

/// A finite double's shortest round-trip digits: value = 0.d1d2d3... × 10^(point), i.e. the
/// first digit's scale is point - 1 and the last digit's scale is point - digits.size().
struct Shortest {
  bool negative = false;
  std::string digits;  // no leading or trailing zeros; "0" for zero
  int point = 0;
};

Shortest shortest(double value) {
  char buffer[64];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific);
  std::string_view text(buffer, static_cast<std::size_t>(result.ptr - buffer));
  Shortest out;
  if (!text.empty() && text.front() == '-') {
    out.negative = true;
    text.remove_prefix(1);
  }
  const std::size_t e = text.find('e');
  for (char c : text.substr(0, e)) {
    if (c != '.') out.digits.push_back(c);
  }
  const std::string_view exponent = text.substr(e + 1);
  int exp = 0;
  std::from_chars(exponent.data() + (exponent.front() == '+'), exponent.data() + exponent.size(),
                  exp);
  while (out.digits.size() > 1 && out.digits.back() == '0') out.digits.pop_back();
  out.point = exp + 1;
  if (out.digits == "0") out.point = 1;
  return out;
}

/// Appends the number whose digits are `digits` (the first at scale `first`, none dropped):
/// fixed notation (a point only before fraction digits, or `.0` when `always_point`) or
/// scientific as Python writes it (`1.5e-05`, `1e+16`).
void append_digits(std::string& out, bool negative, const std::string& digits, int first,
                   bool fixed, bool always_point) {
  if (negative) out.push_back('-');
  if (fixed) {
    if (first < 0) {
      out.append("0.");
      out.append(static_cast<std::size_t>(-first - 1), '0');
      out.append(digits);
      return;
    }
    const std::size_t whole = static_cast<std::size_t>(first) + 1;
    if (digits.size() <= whole) {
      out.append(digits);
      out.append(whole - digits.size(), '0');
      if (always_point) out.append(".0");
      return;
    }
    out.append(digits, 0, whole);
    out.push_back('.');
    out.append(std::string_view(digits).substr(whole));
    return;
  }
  out.push_back(digits[0]);
  if (digits.size() > 1) {
    out.push_back('.');
    out.append(digits, 1, std::string::npos);
  }
  out.push_back('e');
  out.push_back(first < 0 ? '-' : '+');
  const int magnitude = std::abs(first);
  if (magnitude < 10) out.push_back('0');
  char buffer[16];
  const auto r = std::to_chars(buffer, buffer + sizeof buffer, magnitude);
  out.append(buffer, r.ptr);
}

}  // namespace

bool append_real(std::string& out, double value) {
  if (!std::isfinite(value)) return false;
  const Shortest s = shortest(value);
  const int first = s.point - 1;
  // Python's repr switches to scientific outside 1e-4 <= |x| < 1e16.
  append_digits(out, s.negative, s.digits, first, first >= -4 && first < 16, true);
  return true;
}

bool append_real_su(std::string& out, double value, double su) {
  if (!std::isfinite(value) || !std::isfinite(su) || std::signbit(su)) return false;
  const Shortest v = shortest(value);
  const Shortest u = shortest(su);
  const bool value_zero = v.digits == "0";
  const bool su_zero = u.digits == "0";
  // The last written digit's scale: where the finer of the two ends (a zero has no digit of
  // its own), and in fixed notation never left of the units: `1200(300)`.
  const int v_last = v.point - static_cast<int>(v.digits.size());
  const int u_last = u.point - static_cast<int>(u.digits.size());
  int last = value_zero ? (su_zero ? 0 : u_last) : (su_zero ? v_last : std::min(v_last, u_last));
  int first = value_zero ? 0 : v.point - 1;
  if (first < 16 && last > 0) last = 0;
  if (value_zero) first = std::max(last, 0);
  const bool fixed = first >= -5 && first < 16 && last >= -20;
  // The value's digits padded down to `last`.
  std::string digits = value_zero ? std::string("0") : v.digits;
  digits.append(static_cast<std::size_t>(first - last + 1) - digits.size(), '0');
  // The uncertainty in units of the last digit.
  std::string su_digits = "0";
  if (!su_zero) {
    su_digits = u.digits;
    su_digits.append(static_cast<std::size_t>(u_last - last), '0');
    if (su_digits.size() > kMaxSuDigits) return false;
  }
  if (fixed) {
    append_digits(out, v.negative, digits, first, true, false);
  } else {
    // Python's exponent form with the sign and two digits reads back alike; plain is shorter.
    if (v.negative) out.push_back('-');
    out.push_back(digits[0]);
    if (digits.size() > 1) {
      out.push_back('.');
      out.append(digits, 1, std::string::npos);
    }
    char buffer[16];
    const auto r = std::to_chars(buffer, buffer + sizeof buffer, first);
    out.push_back('e');
    out.append(buffer, r.ptr);
  }
  out.push_back('(');
  out.append(su_digits);
  out.push_back(')');
  return true;
}

void append_integer(std::string& out, std::int64_t value) {
  char buffer[24];
  const auto r = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, r.ptr);
}

}  // namespace tessrin
