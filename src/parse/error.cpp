#include "parse/error.hpp"

namespace tessrin {

ParseDiagnostic to_diagnostic(const LexerError& error) {
  return ParseDiagnostic{kLexical, error.message, error.line, error.column, error.context,
                         error.recovery};
}

std::string_view TextPool::intern(std::string_view text) {
  auto it = texts_.find(text);
  if (it == texts_.end()) it = texts_.emplace(text).first;
  return *it;
}

void DiagnosticLog::add(std::string_view error_type, std::string message, std::uint32_t line,
                        std::uint32_t column, std::string_view context,
                        std::string_view recovery_action) {
  if (!accepts()) {
    skip();
    return;
  }
  records_.push_back(ParseDiagnostic{error_type, std::move(message), line, column,
                                     texts_.intern(context), texts_.intern(recovery_action)});
}

std::string unrecorded_message(std::size_t skipped, std::size_t limit) {
  return std::to_string(skipped) + " more diagnostic(s) found and not recorded (max_errors=" +
         std::to_string(limit) + ")";
}

std::vector<ParseDiagnostic> DiagnosticLog::finish() && {
  if (skipped_ > 0) {
    records_.push_back(ParseDiagnostic{kSemantic, unrecorded_message(skipped_, limit_), 0, 0,
                                       kUnrecordedContext, kUnrecordedRecovery});
  }
  return std::move(records_);
}

}  // namespace tessrin
