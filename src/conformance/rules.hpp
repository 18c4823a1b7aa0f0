// The conformance rules and the findings they produce. One table gives each rule its stable id
// and its severity; every stage of the checker reports through `Findings`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <limits>
#include <string_view>
#include <vector>

namespace tessrin::conformance {

inline constexpr std::size_t kUnlimited = std::numeric_limits<std::size_t>::max();

enum class Severity : std::uint8_t { Error, Warning };

// In the order of the rule table; X(name, id, severity).
#define TESSRIN_CONFORMANCE_RULES(X)                                        \
  X(Encoding, "encoding", Error)                                            \
  X(MagicNotRecognised, "magic-not-recognised", Warning)                    \
  X(Cif2NotUtf8, "cif2-not-utf8", Error)                                    \
  X(BomCif1, "bom-cif1", Error)                                             \
  X(BomMisplaced, "bom-misplaced", Error)                                   \
  X(CharControl, "char-control", Error)                                     \
  X(CtrlZ, "ctrl-z", Error)                                                 \
  X(CharNonAscii, "char-non-ascii", Error)                                  \
  X(CharC1OrNoncharacter, "char-c1-or-noncharacter", Error)                 \
  X(LineTooLong, "line-too-long", Error)                                    \
  X(DataNameTooLong, "data-name-too-long", Error)                           \
  X(BlockCodeTooLong, "block-code-too-long", Error)                         \
  X(FrameCodeTooLong, "frame-code-too-long", Error)                         \
  X(EmptyDataName, "empty-data-name", Error)                                \
  X(EmptyBlockCode, "empty-block-code", Error)                              \
  X(GlobalBlock, "global-block", Error)                                     \
  X(StopKeyword, "stop-keyword", Error)                                     \
  X(NestedLoop, "nested-loop", Error)                                       \
  X(ReservedWordAsValue, "reserved-word-as-value", Error)                   \
  X(DollarValue, "dollar-value", Error)                                     \
  X(BracketValueCif1, "bracket-value-cif1", Error)                          \
  X(NoBlockHeader, "no-block-header", Error)                                \
  X(MissingValue, "missing-value", Error)                                   \
  X(ValueWithoutTag, "value-without-tag", Error)                            \
  X(LoopWithoutTags, "loop-without-tags", Error)                            \
  X(LoopWithoutValues, "loop-without-values", Error)                        \
  X(LoopCountMismatch, "loop-count-mismatch", Error)                        \
  X(SaveFrameNested, "save-frame-nested", Error)                            \
  X(SaveFrameUnterminated, "save-frame-unterminated", Error)                \
  X(SaveEndUnexpected, "save-end-unexpected", Error)                        \
  X(SaveFrameEmpty, "save-frame-empty", Error)                              \
  X(DuplicateTag, "duplicate-tag", Error)                                   \
  X(DuplicateBlockCode, "duplicate-block-code", Error)                      \
  X(DuplicateFrameCode, "duplicate-frame-code", Error)                      \
  X(UnterminatedQuote, "unterminated-quote", Error)                         \
  X(UnterminatedTextField, "unterminated-text-field", Error)                \
  X(TextFieldNoTrailingSpace, "text-field-no-trailing-space", Error)        \
  X(Cif2MissingWhitespace, "cif2-missing-whitespace", Error)                \
  X(Cif2EmbeddedQuote, "cif2-embedded-quote", Error)                        \
  X(Cif2BracketInUnquoted, "cif2-bracket-in-unquoted", Error)               \
  X(UnterminatedTripleQuote, "unterminated-triple-quote", Error)            \
  X(UnterminatedList, "unterminated-list", Error)                           \
  X(UnterminatedTable, "unterminated-table", Error)                         \
  X(UnexpectedClosingDelimiter, "unexpected-closing-delimiter", Error)      \
  X(TableKeyNotQuoted, "table-key-not-quoted", Error)                       \
  X(TableKeyTextField, "table-key-text-field", Error)                       \
  X(TableEntryNoKey, "table-entry-no-key", Error)                           \
  X(TableEntryNoValue, "table-entry-no-value", Error)                       \
  X(TableKeyColonSpace, "table-key-colon-space", Error)                     \
  X(TableDuplicateKey, "table-duplicate-key", Error)                        \
  X(VersionCommentMissing, "version-comment-missing", Warning)              \
  X(VersionCodeUnknown, "version-code-unknown", Warning)                    \
  X(Cif2MagicTrailingText, "cif2-magic-trailing-text", Warning)

enum class Rule : std::uint8_t {
#define TESSRIN_RULE_ENUM(name, id, severity) name,
  TESSRIN_CONFORMANCE_RULES(TESSRIN_RULE_ENUM)
#undef TESSRIN_RULE_ENUM
};
inline constexpr Rule kLastRule = Rule::Cif2MagicTrailingText;

struct RuleInfo {
  std::string_view id;
  Severity severity;
};

const RuleInfo& rule_info(Rule rule) noexcept;

/// One violation. `offset` is the byte offset in the checked text; line and column (1-based,
/// columns in characters) are filled in once all findings are known.
struct Finding {
  std::size_t offset = 0;
  std::uint32_t line = 0;
  std::uint32_t column = 0;
  Rule rule = Rule::Encoding;
  std::string message;
  std::string context;
};

/// The findings of one stage, up to a cap: a file of nothing but bad bytes must not produce
/// millions of records.
class Findings {
 public:
  explicit Findings(std::size_t cap) : cap_(cap) {}

  /// Records a finding unless the cap is reached; `context` is cut to a short excerpt.
  void add(Rule rule, std::size_t offset, std::string message, std::string_view context);
  bool full() const noexcept { return items_.size() >= cap_; }
  std::vector<Finding>& items() noexcept { return items_; }

 private:
  std::vector<Finding> items_;
  std::size_t cap_;
};

/// At most `limit` bytes of `text`, cut before a UTF-8 character that would straddle the limit.
std::string_view excerpt(std::string_view text, std::size_t limit = 40) noexcept;

}  // namespace tessrin::conformance
