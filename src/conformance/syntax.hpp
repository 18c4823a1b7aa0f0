// The syntax pass of the conformance checker: the text tokenised again under the strict rules
// of its version (raw line ends, quotes that close only where the standard says, reserved words
// as the standard reserves them, glued runs taken into the value they follow), with the
// structure and the uniqueness of names checked as the tokens go by. The token dispatch and the
// scans are the grammar's, shared with the core's lexer; the lexer is deliberately lenient,
// this pass is not.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "conformance/names.hpp"
#include "conformance/rules.hpp"

namespace tessrin::conformance {

/// Checks the tokens of `text` from `start` (past the byte-order mark, if any). Returns whether
/// the text holds any data block header.
bool check_syntax(std::string_view text, std::size_t start, bool cif2, const NameFolder& fold,
                  Findings& findings);

/// Where a token of this pass starts and what it is: 't' tag, 'r' reserved word, 'b' bare
/// value, 'q' quoted string, '3' triple-quoted string, ';' text field, 'p' CIF 2.0
/// punctuation (a bracket, brace or a key's colon).
struct TokenMark {
  std::size_t offset;
  char kind;
};

/// The tokens this pass reads in `text` from `start`, in order: what the property test holds
/// against the core lexer's tokens of the same text.
std::vector<TokenMark> syntax_tokens(std::string_view text, std::size_t start, bool cif2);

}  // namespace tessrin::conformance
