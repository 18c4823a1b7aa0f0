#include "conformance/characters.hpp"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace tessrin::conformance {

namespace {

constexpr std::size_t kMaxLine = 2048;  // characters, CIF 1.1 paragraph 28 (kept by CIF 2.0)

// Eight bytes at a time: true when all of them are printable ASCII (0x20 to 0x7E), the bulk of
// every CIF, so the byte loop below only sees line ends, tabs, controls and non-ASCII.
inline bool all_printable(const unsigned char* p) noexcept {
  std::uint64_t w;
  std::memcpy(&w, p, 8);
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  constexpr std::uint64_t kHigh = 0x8080808080808080ULL;
  const std::uint64_t below_space = (w - 0x20 * kOnes) & ~w & kHigh;
  const std::uint64_t del_or_high = (w | ((w & ~kHigh) + kOnes)) & kHigh;
  return (below_space | del_or_high) == 0;
}

std::string hex(char32_t c) {
  char buffer[16];
  std::snprintf(buffer, sizeof buffer, "U+%04X", static_cast<unsigned>(c));
  return buffer;
}

class CharacterPass {
 public:
  CharacterPass(std::string_view text, bool cif2, Findings& findings, TextFacts& facts)
      : begin_(reinterpret_cast<const unsigned char*>(text.data())),
        end_(begin_ + text.size()),
        cif2_(cif2),
        findings_(findings),
        facts_(facts) {}

  void run(std::size_t start) {
    const unsigned char* p = begin_ + start;
    line_start_ = p;
    while (p < end_ && !findings_.full()) {
      while (end_ - p >= 8 && all_printable(p)) p += 8;
      if (p >= end_) break;
      const unsigned char b = *p;
      if ((b >= 0x20 && b < 0x7F) || b == '\t') {
        ++p;
      } else if (b == '\n' || b == '\r') {
        end_line(p);
        if (b == '\r') facts_.has_cr = true;
        p += (b == '\r' && p + 1 < end_ && p[1] == '\n') ? 2 : 1;
        line_start_ = p;
        extra_bytes_ = 0;
        reported_ = 0;
      } else if (b < 0x80) {
        if (b == 0x1A) {
          once(Rule::CtrlZ, p, "DOS end-of-file mark (Ctrl-Z, 0x1A) is not allowed in CIF", "\x1A");
        } else {
          once(Rule::CharControl, p,
               "control character " + hex(b) +
                   " is not allowed in CIF (only tab, line feed "
                   "and carriage return are)",
               std::string_view(reinterpret_cast<const char*>(p), 1));
        }
        ++p;
      } else {
        p += non_ascii(p);
      }
    }
    // Stopped at the cap, the line the pass is in was not read to its end: it has no length
    // to report (nor could one be recorded). The facts need not cover the unread text: every
    // finding kept after the merge lies before the last one recorded here.
    if (p < end_) return;
    end_line(end_);
  }

 private:
  /// Checks the character starting with byte >= 0x80 at `p`; returns its length.
  int non_ascii(const unsigned char* p) {
    const Utf8Step step = utf8_step(p, end_);
    extra_bytes_ += static_cast<std::size_t>(step.length - 1);
    const std::string_view bytes(reinterpret_cast<const char*>(p),
                                 static_cast<std::size_t>(step.length));
    if (!step.ok) {
      facts_.valid_utf8 = false;
      char byte[8];
      std::snprintf(byte, sizeof byte, "0x%02X", static_cast<unsigned>(p[0]));
      if (cif2_) {
        once(Rule::Cif2NotUtf8, p,
             std::string("byte ") + byte + " is not UTF-8; a CIF 2.0 file must be UTF-8", bytes);
      } else {
        once(Rule::Encoding, p,
             std::string("byte ") + byte + " is not UTF-8 (read as U+FFFD); CIF 1.1 is ASCII",
             bytes);
      }
      return step.length;
    }
    const char32_t c = step.code_point;
    if (!cif2_) {
      once(Rule::CharNonAscii, p,
           "character " + hex(c) +
               " is not ASCII; CIF 1.1 allows other characters only "
               "through its backslash escapes",
           bytes);
    } else if (c == 0xFEFF) {
      once(Rule::BomMisplaced, p,
           "byte-order mark U+FEFF is allowed only as the first character of the file", bytes);
    } else if ((c >= 0x80 && c <= 0x9F) || (c >= 0xFDD0 && c <= 0xFDEF) || (c & 0xFFFE) == 0xFFFE) {
      once(Rule::CharC1OrNoncharacter, p,
           "character " + hex(c) + " is not allowed in CIF 2.0 (C1 control or noncharacter)",
           bytes);
    }
    return step.length;
  }

  /// Reports `rule` at `p` unless it was already reported on this line.
  void once(Rule rule, const unsigned char* p, std::string message, std::string_view context) {
    const std::uint64_t bit = std::uint64_t{1} << static_cast<unsigned>(rule);
    if (reported_ & bit) return;
    reported_ |= bit;
    findings_.add(rule, static_cast<std::size_t>(p - begin_), std::move(message), context);
  }

  /// The line from line_start_ ends at `p`: checks its length in characters.
  void end_line(const unsigned char* p) {
    const std::size_t bytes = static_cast<std::size_t>(p - line_start_);
    if (bytes <= kMaxLine || bytes - extra_bytes_ <= kMaxLine) return;
    // Where character 2049 starts.
    const unsigned char* q = line_start_;
    for (std::size_t n = 0; n < kMaxLine && q < p; ++n) q += utf8_step(q, p).length;
    const std::size_t length = bytes - extra_bytes_;
    findings_.add(
        Rule::LineTooLong, static_cast<std::size_t>(q - begin_),
        "line is " + std::to_string(length) + " characters long; CIF allows at most 2048",
        std::string_view(reinterpret_cast<const char*>(q), static_cast<std::size_t>(p - q)));
  }

  const unsigned char* begin_;
  const unsigned char* end_;
  const unsigned char* line_start_ = nullptr;
  std::size_t extra_bytes_ = 0;  // bytes of the current line beyond one per character
  std::uint64_t reported_ = 0;   // rules already reported on the current line
  bool cif2_;
  Findings& findings_;
  TextFacts& facts_;
};

}  // namespace

void check_characters(std::string_view text, std::size_t start, bool cif2, Findings& findings,
                      TextFacts& facts) {
  CharacterPass(text, cif2, findings, facts).run(start);
}

}  // namespace tessrin::conformance
