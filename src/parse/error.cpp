#include "parse/error.hpp"

namespace tessrin {

ParseDiagnostic to_diagnostic(const LexerError& error) {
  return ParseDiagnostic{kLexical,     error.message, error.line, error.column, error.context,
                         std::string(error.recovery)};
}

}  // namespace tessrin
