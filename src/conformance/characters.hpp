// The character pass of the conformance checker: encoding, character set and line length, one
// sweep over the raw bytes with line ends as the standards define them (CR, LF or CR LF).
#pragma once

#include <cstddef>
#include <string_view>

#include "conformance/rules.hpp"
#include "text/utf8.hpp"

namespace tessrin::conformance {

/// What the character pass learnt about the text, for turning offsets into positions.
struct TextFacts {
  bool has_cr = false;     // some line ends are CR or CR LF
  bool valid_utf8 = true;  // columns may be counted by lead bytes
};

/// Checks every character of `text` from `start` (past an allowed byte-order mark) under the
/// given version. Character rules report their first occurrence on each line only.
void check_characters(std::string_view text, std::size_t start, bool cif2, Findings& findings,
                      TextFacts& facts);

}  // namespace tessrin::conformance
