// TableBuilder: the event sink that files every value straight into the column of its
// category's table (category_name.hpp says which), across all blocks and save frames, with the
// collector's recovery and diagnostics and the conflicts of its own.
//
// Rows: each loop gives its rows; the plain tags of one category in one block or save frame
// give one row, filed when the frame ends. A value is never put in a row beside values it did
// not stand beside in the file: a plain tag given twice, a loop header naming a tag twice, and
// a tag named both plainly and in a loop of one frame each put the extra values in rows of
// their own, with a "semantic" diagnostic.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "collect/collection_checks.hpp"
#include "collect/container_stack.hpp"
#include "collect/raw_model.hpp"
#include "parse/error.hpp"
#include "tables/category_name.hpp"
#include "tables/table_column.hpp"
#include "text/lexer.hpp"
#include "text/version.hpp"

namespace tessrin {

/// Where a stretch of rows came from: a block, and a save frame of it or none.
struct RowOrigin {
  std::uint32_t block = 0;  // index into TableSet::names
  std::int64_t frame = -1;  // index into TableSet::names, or -1 for the block itself
};

/// One category's table: its item columns and where its rows came from.
struct CategoryTable {
  struct Run {
    std::size_t first_row;
    std::uint32_t origin;  // index into TableSet::origins
  };

  std::string name;  // spelled as it first appeared
  std::vector<TableColumn> columns;
  std::unordered_map<std::string, std::uint32_t, StringHash, std::equal_to<>> column_of;
  std::size_t rows = 0;
  std::vector<Run> runs;  // by first row; each lasts until the next
  // Ordering of the plain values of one frame when they are filed.
  std::uint32_t flush_mark = 0;
  std::uint32_t flush_rank = 0;
  std::uint32_t flush_groups = 0;
  // Its place among the categories of the loop being read.
  std::uint32_t loop_mark = 0;
  std::uint32_t loop_index = 0;
};

/// Every category of a parse, in order of first appearance, with the diagnostics.
struct TableSet {
  TextPool diagnostic_texts;  // the contexts and recovery actions `errors` view
  std::vector<ParseDiagnostic> errors;
  std::vector<std::string> names;  // block and save-frame names (lower-cased)
  std::vector<RowOrigin> origins;
  std::vector<CategoryTable> categories;
  CifVersion version = CifVersion::Cif11;  // typing reads quoted values as text in CIF 2.0
};

class TableBuilder {
 public:
  /// At most `max_errors` diagnostics are recorded (DiagnosticLog).
  TableBuilder(CifVersion version, bool strict, std::size_t max_errors = DiagnosticLog::kUnlimited);

  /// Appends a diagnostic received before the parse (version detection).
  void push_error(const ParseDiagnostic& diagnostic);

  void on_data_block(std::string_view name, SourcePosition at);
  void on_save_frame_start(std::string_view name, SourcePosition at);
  void on_save_frame_end();
  void add_tag(std::string_view tag, SourcePosition at);
  void add_value(std::string_view text, std::uint8_t kind);
  /// add_value for each of a run of loop values read by the lexer's fast path.
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

  /// The tables; the builder is spent afterwards.
  TableSet finish() &&;

 private:
  struct Slot {
    std::uint32_t category;
    std::uint32_t column;
  };
  struct HeaderSlot {
    Slot slot;
    std::uint32_t group;  // how often the header named this column before
    std::uint32_t tag;    // the tag's id (tag_id)
  };
  struct TagSlot {
    Slot slot;
    std::uint32_t tag;
  };
  /// Where a tag was last defined, per level ([0] block, [1] save frame), for the collector's
  /// "defined again" diagnostics, which go by tag whatever column the tag lands in.
  struct TagMark {
    std::uint32_t frame = 0;
    std::uint32_t loop = 0;  // the loop header that last named it
    bool looped = false;
  };
  struct PendingValue {
    Slot slot;
    std::uint32_t group;  // 0 for a tag's first value in the frame, 1 for its repeat, ...
    std::uint8_t kind;
    std::size_t offset;
    std::size_t size;
  };
  /// The plain values of one block or save frame, filed as rows when the frame ends.
  struct PendingRows {
    std::string text;
    std::vector<PendingValue> values;
  };
  struct LoopTarget {
    TableColumn* column;
    std::uint32_t category;  // index into loop_categories_
    std::uint32_t group;
  };
  struct LoopCategory {
    std::uint32_t category;
    std::size_t base;  // the table's rows when the loop began
    std::uint32_t groups;
  };
  /// A tag a loop defines again, reported when the loop ends, at its place in the header.
  struct LoopRedefinition {
    std::uint32_t tag;
    SourcePosition at;
  };
  bool has_frame() const noexcept { return has_block_; }
  std::uint32_t frame_serial() const noexcept { return in_frame_ ? frame_serial_ : block_serial_; }
  PendingRows& pending() noexcept { return in_frame_ ? frame_rows_ : block_rows_; }
  Slot slot_for(TagPlace place);
  TagSlot plain_slot(std::string_view tag);
  /// The id of a tag (case aside), new ones numbered as they come.
  std::uint32_t tag_id(std::string_view tag);
  /// Notes that the current frame defines tag `id`; true when it did so before.
  bool defined_again(std::uint32_t id, bool looped);
  void route(std::string_view text, std::uint8_t kind);
  /// Files a finished outermost list or table as one cell.
  void file_container(RawValue&& value);
  void plain_value(std::string_view text, std::uint8_t kind);
  [[gnu::always_inline]] void loop_value(std::string_view text, std::uint8_t kind);
  void flush(PendingRows& rows, std::uint32_t origin);
  static void note_rows(CategoryTable& category, std::size_t first_row, std::uint32_t origin);
  void reset_loop();
  const std::vector<HeaderSlot>& header_slots(std::span<const std::string_view> tags);
  std::string where() const;
  std::string shared_column(std::string_view tag, Slot slot) const;

  TableSet out_;
  CollectionChecks checks_;
  std::unordered_map<std::string, std::uint32_t, StringHash, std::equal_to<>> category_of_;
  std::unordered_map<std::string, TagSlot, StringHash, std::equal_to<>> slot_of_tag_;
  std::unordered_map<std::string, std::uint32_t, StringHash, std::equal_to<>> tag_ids_;
  std::vector<const std::string*> tag_names_;  // lower-cased, by id
  std::vector<TagMark> tag_marks_[2];
  std::vector<LoopRedefinition> loop_redefined_;
  std::string lowered_;
  std::string scratch_;
  std::vector<std::string> place_storage_;

  bool has_block_ = false;
  bool in_frame_ = false;
  std::uint32_t block_origin_ = 0;
  std::uint32_t frame_origin_ = 0;
  std::uint32_t block_serial_ = 0;
  std::uint32_t frame_serial_ = 0;
  std::uint32_t serial_ = 0;
  std::uint32_t flush_count_ = 0;
  std::uint32_t serial_loop_ = 0;
  PendingRows block_rows_;
  PendingRows frame_rows_;

  std::string pending_tag_;
  SourcePosition pending_at_;
  bool has_pending_tag_ = false;

  bool in_loop_ = false;
  SourcePosition loop_at_;
  std::string loop_header_;                  // the header's tags as written, each followed by '\n'
  std::vector<std::string_view> loop_tags_;  // views into loop_header_
  // Files with many blocks repeat a few loop headers in every block: each is resolved once.
  std::unordered_map<std::string, std::vector<HeaderSlot>, StringHash, std::equal_to<>>
      header_slots_;
  std::vector<LoopTarget> loop_targets_;  // by header position; empty without a frame
  std::vector<LoopCategory> loop_categories_;
  bool loop_simple_ = true;  // every group 0: each column takes its values in plain order
  std::size_t loop_value_count_ = 0;
  std::size_t loop_cursor_ = 0;
  std::size_t loop_row_ = 0;

  ContainerStack containers_;
};

/// Version detection, lexer and parser into a TableBuilder.
TableSet collect_tables(std::string_view source, bool strict,
                        std::size_t max_errors = DiagnosticLog::kUnlimited);

}  // namespace tessrin
