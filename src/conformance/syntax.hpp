// The syntax pass of the conformance checker: the text tokenised again under the strict rules
// of its version (raw line ends, quotes that close only where the standard says, reserved words
// as the standard reserves them), with the structure and the uniqueness of names checked as the
// tokens go by. The core's lexer is deliberately lenient; this one is not.
#pragma once

#include <cstddef>
#include <string_view>

#include "conformance/names.hpp"
#include "conformance/rules.hpp"

namespace tessrin::conformance {

/// Checks the tokens of `text` from `start` (past the byte-order mark, if any). Returns whether
/// the text holds any data block header.
bool check_syntax(std::string_view text, std::size_t start, bool cif2, const NameFolder& fold,
                  Findings& findings);

}  // namespace tessrin::conformance
