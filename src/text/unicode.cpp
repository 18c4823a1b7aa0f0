// Lower-casing identical to Python's str.lower(), with a fast path for ASCII, which is nearly all
// of any CIF file; and the quoted form of texts in messages.
#include "text/unicode.hpp"

#include <charconv>
#include <cstring>

#include "text/utf8.hpp"

namespace tessrin {
namespace {

using detail::char_info;

constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kHighBits = 0x80 * kOnes;

std::uint64_t load8(const char* p) noexcept {
  std::uint64_t w;
  std::memcpy(&w, p, 8);
  return w;
}

/// High bit set in each byte of an all-ASCII word that is A-Z. No byte carries into the next,
/// since an ASCII byte plus 0x3F stays below 0x100.
constexpr std::uint64_t upper_bits(std::uint64_t w) noexcept {
  return (w + (0x80 - 'A') * kOnes) & ~(w + (0x80 - 'Z' - 1) * kOnes) & kHighBits;
}

constexpr bool is_ascii_upper(unsigned char b) noexcept { return b >= 'A' && b <= 'Z'; }

/// End of the run of ASCII bytes starting at `p`.
const char* ascii_run_end(const char* p, const char* end) noexcept {
  while (end - p >= 8 && !(load8(p) & kHighBits)) p += 8;
  while (p < end && static_cast<unsigned char>(*p) < 0x80) ++p;
  return p;
}

/// Appends the ASCII bytes [p, end) lower-cased.
void append_lower_ascii(const char* p, const char* end, std::string& out) {
  const std::size_t at = out.size();
  out.resize(at + static_cast<std::size_t>(end - p));
  char* dst = out.data() + at;
  for (; end - p >= 8; p += 8, dst += 8) {
    const std::uint64_t w = load8(p);
    const std::uint64_t lower = w | (upper_bits(w) >> 2);  // 0x80 >> 2 is the case bit 0x20
    std::memcpy(dst, &lower, 8);
  }
  for (; p < end; ++p) {
    const auto b = static_cast<unsigned char>(*p);
    *dst++ = static_cast<char>(is_ascii_upper(b) ? b | 0x20 : b);
  }
}

/// True when decode_utf8 returned U+FFFD for a malformed byte rather than decoding a real one,
/// which always takes three bytes.
bool is_malformed(char32_t c, const char* start, const char* after) noexcept {
  return c == 0xFFFD && after - start == 1;
}

/// Decodes the character ending just before `p` and moves `p` to its start. A byte that does not
/// end a well-formed sequence counts as one U+FFFD by itself.
char32_t decode_utf8_before(const char* begin, const char*& p) noexcept {
  const char* start = p - 1;
  while (start > begin && p - start < 4 && is_continuation(static_cast<unsigned char>(*start))) {
    --start;
  }
  const char* q = start;
  const char32_t c = decode_utf8(q, p);
  if (q == p) {
    p = start;
    return c;
  }
  --p;
  return 0xFFFD;
}

/// CPython's handle_capital_sigma: the sigma at [sigma, after) is final when, looking past
/// case-ignorable characters, a cased one precedes it and none follows.
bool is_final_sigma(const char* begin, const char* sigma, const char* after,
                    const char* end) noexcept {
  std::uint8_t flags = 0;
  for (const char* p = sigma; p > begin;) {
    flags = char_info(decode_utf8_before(begin, p)).flags;
    if (!(flags & detail::kCaseIgnorable)) break;
  }
  // Reaching the start on an ignorable character leaves kCased clear: only non-ignorable
  // characters carry it.
  if (!(flags & detail::kCased)) return false;
  for (const char* p = after; p < end;) {
    flags = char_info(decode_utf8(p, end)).flags;
    if (!(flags & detail::kCaseIgnorable)) return !(flags & detail::kCased);
  }
  return true;
}

}  // namespace

void append_lower(std::string_view text, std::string& out) {
  const char* const begin = text.data();
  const char* const end = begin + text.size();
  out.reserve(out.size() + text.size());
  for (const char* p = begin; p < end;) {
    const char* run_end = ascii_run_end(p, end);
    append_lower_ascii(p, run_end, out);
    p = run_end;
    if (p == end) break;
    const char* start = p;
    const char32_t c = decode_utf8(p, end);
    if (is_malformed(c, start, p)) {
      out.push_back(*start);
    } else if (c == 0x3A3) {
      out.append(is_final_sigma(begin, start, p, end) ? "\xCF\x82" : "\xCF\x83");  // ς or σ
    } else if (const detail::CharInfo& info = char_info(c); info.flags & detail::kLowerMulti) {
      out.append(detail::lower_multi(info.lower));
    } else {
      append_utf8(static_cast<char32_t>(static_cast<std::int32_t>(c) + info.lower), out);
    }
  }
}

std::string to_lower(std::string_view text) {
  std::string out;
  append_lower(text, out);
  return out;
}

bool is_lower(std::string_view text) noexcept {
  const char* p = text.data();
  const char* const end = p + text.size();
  while (p < end) {
    for (; end - p >= 8; p += 8) {
      const std::uint64_t w = load8(p);
      if (w & kHighBits) break;
      if (upper_bits(w)) return false;
    }
    if (p == end) break;
    const auto b = static_cast<unsigned char>(*p);
    if (b < 0x80) {
      if (is_ascii_upper(b)) return false;
      ++p;
      continue;
    }
    const char* start = p;
    const char32_t c = decode_utf8(p, end);
    if (is_malformed(c, start, p)) continue;  // append_lower copies it unchanged
    // Lower-casing is per character except for sigma, and capital sigma always changes, so the
    // text is unchanged exactly when each character maps to itself.
    const detail::CharInfo& info = char_info(c);
    if (info.lower != 0 || (info.flags & detail::kLowerMulti)) return false;
  }
  return true;
}

std::string quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  const char* p = text.data();
  const char* const end = p + text.size();
  while (p < end) {
    const char32_t c = decode_utf8(p, end);
    switch (c) {
      case '\\':
        out += "\\\\";
        continue;
      case '"':
        out += "\\\"";
        continue;
      case '\t':
        out += "\\t";
        continue;
      case '\r':
        out += "\\r";
        continue;
      case '\n':
        out += "\\n";
        continue;
      case '\0':
        out += "\\0";
        continue;
      default:
        break;
    }
    if (char_info(c).flags & detail::kEscaped) {
      char hex[8];
      const auto res = std::to_chars(hex, hex + sizeof hex, static_cast<std::uint32_t>(c), 16);
      out += "\\u{";
      out.append(hex, res.ptr);
      out.push_back('}');
    } else {
      append_utf8(c, out);  // a malformed byte becomes U+FFFD, so messages stay valid UTF-8
    }
  }
  out.push_back('"');
  return out;
}

}  // namespace tessrin
