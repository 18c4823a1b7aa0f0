// Diagnostics: the one record every stage reports through, and the lexer's own record.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tessrin {

/// The complete set of error kinds.
inline constexpr std::string_view kLexical = "lexical";
inline constexpr std::string_view kSyntactic = "syntactic";
inline constexpr std::string_view kSemantic = "semantic";

/// Recovery action of a lexer problem once the parser relays it, unless it names its own.
inline constexpr std::string_view kLexerRecovery = "lexer recovery";

/// One diagnostic, as exported to Python (field order is the export order).
struct ParseDiagnostic {
  std::string_view error_type;  // one of the three kinds above (static text)
  std::string message;
  std::uint32_t line = 0;
  std::uint32_t column = 0;
  std::string context;
  std::string recovery_action;
};

/// A problem found while making a token; it travels inside the token.
struct LexerError {
  std::string message;
  std::string context;
  std::uint32_t line = 0;
  std::uint32_t column = 0;
  std::string_view recovery = kLexerRecovery;  // a static text
};

/// The lexical diagnostic the parser reports for a lexer problem.
ParseDiagnostic to_diagnostic(const LexerError& error);

}  // namespace tessrin
