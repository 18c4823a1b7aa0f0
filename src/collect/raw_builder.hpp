// RawBuilder: the event sink that collects a whole parse natively, with the checks the parser
// cannot make (duplicate names, incomplete loop rows) and strict collection.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "collect/collection_checks.hpp"
#include "collect/container_stack.hpp"
#include "collect/raw_model.hpp"
#include "text/lexer.hpp"
#include "text/version.hpp"

namespace tessrin {

class RawBuilder {
 public:
  /// At most `max_errors` diagnostics are recorded (DiagnosticLog).
  RawBuilder(CifVersion version, bool strict, std::size_t max_errors = DiagnosticLog::kUnlimited);

  /// Records where each value stood in `text` (the lexer's text), for a writer that keeps a
  /// file's layout (ValueList::origins). Costs a branch per value when not asked for.
  void keep_origins(std::string_view text) noexcept {
    origin_base_ = text.data();
    origin_end_ = text.data() + text.size();
  }

  /// Appends a diagnostic received before the parse (version detection).
  void push_error(const ParseDiagnostic& diagnostic);

  void on_data_block(std::string_view name, SourcePosition at);
  void on_save_frame_start(std::string_view name, SourcePosition at);
  void on_save_frame_end();
  void add_tag(std::string_view tag, SourcePosition at);
  void add_value(std::string_view text, std::uint8_t kind);
  /// The same as add_value for each, for a run of loop values read by the lexer's fast path;
  /// their texts lie in the lexer's text, which ends at `text_end`.
  void add_plain_values(std::span<const PlainValue> values, const char* text_end);
  void on_loop_start(std::span<const std::string_view> tags,
                     std::span<const SourcePosition> tag_positions, SourcePosition at);
  void on_loop_end();
  void on_list_start();
  void on_list_end();
  void on_table_start();
  void on_table_key(std::string_view key, std::uint8_t kind);
  void on_table_end();
  void on_parse_error(std::string_view error_type, std::string_view message, std::uint32_t line,
                      std::uint32_t column, std::string_view context,
                      std::string_view recovery_action);

  /// The collected parse; the builder is spent afterwards.
  ParsedCif finish() &&;

 private:
  FrameData* current_frame() noexcept;
  /// Files a scalar; returns the list it went to, or null (inside a container, or not kept).
  [[gnu::always_inline]] ValueList* route_scalar(std::string_view text);
  [[gnu::noinline]] void record_origin(ValueList* target, std::string_view token,
                                       std::uint8_t kind);
  /// Files a finished outermost list or table where a scalar would go.
  void file_container(RawValue&& value);
  /// Where a value of the pending tag outside a loop goes, or null when it is not kept (the
  /// tag belongs to a loop of the frame); reports every redefinition.
  ValueList* scalar_target(FrameData& frame);
  void redefined(std::string_view tag, SourcePosition at, const std::string& recovery_action);
  void reset_loop();
  [[gnu::always_inline]] std::size_t next_loop_column() noexcept;
  /// Counts a repeat of `column`'s tag in the loop header; true for its first repeat.
  bool repeated_once(std::size_t column);
  /// The lower-cased `tag`, from the pool.
  std::string_view pooled_lower(std::string_view tag);

  CollectionChecks checks_;
  std::vector<ParsedBlock> blocks_;
  std::optional<ParsedBlock> current_block_;
  std::optional<ParsedSaveFrame> current_save_frame_;
  TagPool tags_;
  std::string lowered_;           // scratch for lower-casing names
  std::string_view pending_tag_;  // pooled
  SourcePosition pending_at_;
  bool has_pending_tag_ = false;
  bool in_loop_ = false;
  SourcePosition loop_at_;
  std::vector<std::string_view> loop_tags_;     // pooled
  std::vector<SourcePosition> loop_positions_;  // of loop_tags_
  std::vector<std::size_t> loop_column_of_;     // header position -> column (repeats share one)
  std::vector<std::uint32_t> column_uses_;      // repeats per column, once a header has one
  std::vector<ValueList> loop_columns_;
  std::vector<ValueList*> loop_targets_;  // header position -> its column
  std::size_t loop_value_count_ = 0;
  std::size_t loop_cursor_ = 0;  // header position of the next value
  ContainerStack containers_;
  std::string scratch_;
  CifVersion version_;
  const char* origin_base_ = nullptr;  // set by keep_origins
  const char* origin_end_ = nullptr;
};

/// The whole native pipeline: version detection, lexer, parser and raw builder.
ParsedCif collect_raw(std::string_view source, bool strict,
                      std::size_t max_errors = DiagnosticLog::kUnlimited);

/// A lenient collect_raw that keeps every value's origin (ValueList::origins); `text_start` is
/// where in `source` the offsets count from (past a byte-order mark), or -1 when the lexer
/// read a copy (line ends normalised).
ParsedCif collect_raw_with_origins(std::string_view source, std::int64_t& text_start);

}  // namespace tessrin
