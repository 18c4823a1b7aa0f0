// Diagnostics: the one record every stage reports through, and the lexer's own record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace tessrin {

/// The complete set of error kinds.
inline constexpr std::string_view kLexical = "lexical";
inline constexpr std::string_view kSyntactic = "syntactic";
inline constexpr std::string_view kSemantic = "semantic";

/// Recovery action of a lexer problem once the parser relays it, unless it names its own.
inline constexpr std::string_view kLexerRecovery = "lexer recovery";

/// One diagnostic, as exported to Python (field order is the export order). The context and
/// the recovery action repeat across records (one recovery text per kind of problem, one
/// context per collector), so they view texts stored once by the record's owner.
struct ParseDiagnostic {
  std::string_view error_type;  // one of the three kinds above (static text)
  std::string message;
  std::uint32_t line = 0;
  std::uint32_t column = 0;
  std::string_view context;
  std::string_view recovery_action;
};

/// A problem found while making a token; it travels inside the token.
struct LexerError {
  std::string message;
  std::string context;
  std::uint32_t line = 0;
  std::uint32_t column = 0;
  std::string_view recovery = kLexerRecovery;  // a static text
};

/// The lexical diagnostic the parser reports for a lexer problem (viewing `error`'s context).
ParseDiagnostic to_diagnostic(const LexerError& error);

/// Distinct texts, each stored once; views stay valid while the pool lives, moves included.
class TextPool {
 public:
  std::string_view intern(std::string_view text);

 private:
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept {
      return std::hash<std::string_view>{}(s);
    }
  };
  std::unordered_set<std::string, Hash, std::equal_to<>> texts_;
};

/// The diagnostics of one parse, at most `limit` of them: a file of millions of stray values
/// must not make millions of records. Past the limit problems are only counted, and `finish`
/// adds one record saying how many were not recorded.
class DiagnosticLog {
 public:
  static constexpr std::size_t kUnlimited = std::numeric_limits<std::size_t>::max();

  explicit DiagnosticLog(std::size_t limit = kUnlimited) : limit_(limit) {}

  /// False once the limit is reached; the caller then calls `skip` instead of `add` and
  /// spares itself building the message.
  bool accepts() const noexcept { return records_.size() < limit_; }
  void skip() noexcept { ++skipped_; }

  void add(std::string_view error_type, std::string message, std::uint32_t line,
           std::uint32_t column, std::string_view context, std::string_view recovery_action);

  /// The records, with the closing count of unrecorded ones if any.
  std::vector<ParseDiagnostic> finish() &&;
  /// The texts the records view; must outlive them.
  TextPool take_texts() { return std::move(texts_); }

  std::size_t skipped() const noexcept { return skipped_; }

 private:
  std::vector<ParseDiagnostic> records_;
  TextPool texts_;
  std::size_t limit_;
  std::size_t skipped_ = 0;
};

/// The record that closes a log past its limit.
std::string unrecorded_message(std::size_t skipped, std::size_t limit);
inline constexpr std::string_view kUnrecordedContext = "diagnostic limit";
inline constexpr std::string_view kUnrecordedRecovery = "not recorded; parsing went on";

}  // namespace tessrin
