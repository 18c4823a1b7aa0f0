#include "tables/table_builder.hpp"

#include <algorithm>

#include "export/json_cell.hpp"
#include "parse/parser.hpp"
#include "text/textfield.hpp"
#include "text/unicode.hpp"

namespace tessrin {
namespace {

/// A quoted "." or "?" is a value, not a placeholder: it keeps its quotes, as in parse_arrow.
[[gnu::always_inline]] inline std::string_view stored_text(std::string_view text,
                                                           std::uint8_t kind) noexcept {
  if (kind != kPlaceholder && text.size() == 1 && (text[0] == '.' || text[0] == '?')) {
    return text[0] == '.' ? std::string_view("\".\"") : std::string_view("\"?\"");
  }
  return text;
}

void lower_into(std::string_view text, std::string& out) {
  out.clear();
  if (is_lower(text)) {
    out.assign(text);
  } else {
    append_lower(text, out);
  }
}

}  // namespace

TableBuilder::TableBuilder(CifVersion /*version*/, bool strict, std::size_t max_errors)
    : checks_(strict, max_errors) {}

void TableBuilder::push_error(const ParseDiagnostic& diagnostic) {
  const ParseDiagnostic& d = diagnostic;
  checks_.relay(d.error_type, d.message, d.line, d.column, d.context, d.recovery_action);
}

void TableBuilder::on_parse_error(std::string_view error_type, std::string_view message,
                                  std::uint32_t line, std::uint32_t column,
                                  std::string_view context, std::string_view recovery_action) {
  // Diagnostics are collected even after a strict stop: the parser keeps reporting.
  checks_.relay(error_type, message, line, column, context, recovery_action);
}

std::string TableBuilder::where() const {
  const RowOrigin& origin = out_.origins[in_frame_ ? frame_origin_ : block_origin_];
  return CollectionChecks::place(
      out_.names[origin.block],
      origin.frame >= 0 ? &out_.names[static_cast<std::size_t>(origin.frame)] : nullptr);
}

// --- blocks and frames -----------------------------------------------------------------------

void TableBuilder::on_data_block(std::string_view name, SourcePosition at) {
  if (checks_.stopped()) return;
  if (has_block_) {
    if (in_frame_) flush(frame_rows_, frame_origin_);
    flush(block_rows_, block_origin_);
  }
  std::string lowered = checks_.data_block(name, at);
  has_block_ = true;
  in_frame_ = false;
  has_pending_tag_ = false;
  reset_loop();
  containers_.clear();
  out_.names.push_back(std::move(lowered));
  block_origin_ = static_cast<std::uint32_t>(out_.origins.size());
  out_.origins.push_back({static_cast<std::uint32_t>(out_.names.size() - 1), -1});
  block_serial_ = ++serial_;
}

void TableBuilder::on_save_frame_start(std::string_view name, SourcePosition at) {
  if (checks_.stopped() || !has_block_) return;
  std::string lowered = checks_.save_frame(name, at);
  if (in_frame_) flush(frame_rows_, frame_origin_);
  in_frame_ = true;
  out_.names.push_back(std::move(lowered));
  frame_origin_ = static_cast<std::uint32_t>(out_.origins.size());
  out_.origins.push_back(
      {out_.origins[block_origin_].block, static_cast<std::int64_t>(out_.names.size() - 1)});
  frame_serial_ = ++serial_;
}

void TableBuilder::on_save_frame_end() {
  if (checks_.stopped() || !has_block_ || !in_frame_) return;
  flush(frame_rows_, frame_origin_);
  in_frame_ = false;
}

// --- where a value goes ------------------------------------------------------------------------

TableBuilder::Slot TableBuilder::slot_for(TagPlace place) {
  lower_into(place.category, lowered_);
  auto found = category_of_.find(lowered_);
  if (found == category_of_.end()) {
    found =
        category_of_.emplace(lowered_, static_cast<std::uint32_t>(out_.categories.size())).first;
    out_.categories.emplace_back().name.assign(place.category);
  }
  CategoryTable& category = out_.categories[found->second];
  lower_into(place.column, lowered_);
  auto column = category.column_of.find(lowered_);
  if (column == category.column_of.end()) {
    column =
        category.column_of.emplace(lowered_, static_cast<std::uint32_t>(category.columns.size()))
            .first;
    category.columns.emplace_back(std::string(place.column));
  }
  return {found->second, column->second};
}

std::uint32_t TableBuilder::tag_id(std::string_view tag) {
  lower_into(tag, lowered_);
  auto found = tag_ids_.find(lowered_);
  if (found == tag_ids_.end()) {
    found = tag_ids_.emplace(lowered_, static_cast<std::uint32_t>(tag_names_.size())).first;
    tag_names_.push_back(&found->first);
    tag_marks_[0].emplace_back();
    tag_marks_[1].emplace_back();
  }
  return found->second;
}

bool TableBuilder::defined_again(std::uint32_t id, bool looped) {
  TagMark& mark = tag_marks_[in_frame_][id];
  const std::uint32_t serial = frame_serial();
  const bool again = mark.frame == serial;
  if (!again) {
    mark.frame = serial;
    mark.looped = false;
  }
  mark.looped = mark.looped || looped;
  return again;
}

TableBuilder::TagSlot TableBuilder::plain_slot(std::string_view tag) {
  // A plain tag's place depends on its spelling alone; files repeat one set of tags in every
  // block, so each spelling is resolved once.
  auto found = slot_of_tag_.find(tag);
  if (found != slot_of_tag_.end()) return found->second;
  const TagSlot slot{slot_for(resolve_plain(tag)), tag_id(tag)};
  slot_of_tag_.emplace(std::string(tag), slot);
  return slot;
}

std::string TableBuilder::shared_column(std::string_view tag, Slot slot) const {
  const CategoryTable& category = out_.categories[slot.category];
  return "tag " + quoted(tag) + " fills column " + quoted(category.columns[slot.column].name()) +
         " of category " + quoted(category.name) + ", which another tag of " + where() +
         " fills as well";
}

void TableBuilder::add_tag(std::string_view tag, SourcePosition at) {
  if (checks_.stopped()) return;
  pending_tag_.assign(tag);
  pending_at_ = at;
  has_pending_tag_ = true;
}

void TableBuilder::add_value(std::string_view text, std::uint8_t kind) {
  if (checks_.stopped()) return;
  if (kind == kMultilineString) {
    if (transform_multiline(text, scratch_)) text = scratch_;
  } else {
    text = stored_text(text, kind);
  }
  if (needs_marking(text) && containers_.empty()) {
    // A cell that begins with NUL would read as a container: marked as parse_arrow marks it.
    // Inside a list or table the scalar is a JSON string of its own and stays as it is.
    std::string marked;
    scalar_cell(text, marked);
    route(marked, kind);
    return;
  }
  route(text, kind);
}

void TableBuilder::route(std::string_view text, std::uint8_t kind) {
  if (!containers_.empty()) {
    containers_.add_scalar(text);
    return;
  }
  if (in_loop_) {
    loop_value(text, kind);
    return;
  }
  plain_value(text, kind);
}

void TableBuilder::file_container(RawValue&& value) {
  std::string cell;
  cell_text(value, cell);
  if (in_loop_) {
    loop_value(cell, kContainerCell);
  } else {
    plain_value(cell, kContainerCell);
  }
}

void TableBuilder::plain_value(std::string_view text, std::uint8_t kind) {
  if (!has_pending_tag_) return;
  has_pending_tag_ = false;
  if (!has_frame()) return;
  const auto [slot, id] = plain_slot(pending_tag_);
  TableColumn& column = out_.categories[slot.category].columns[slot.column];
  const std::uint32_t serial = frame_serial();
  TableColumn::FrameMarks& marks = column.marks[in_frame_];
  // Strays gather under the error tag, each reported by the parser already.
  const bool stray = pending_tag_ == kErrorValueTag;
  const bool looped = tag_marks_[in_frame_][id].frame == serial && tag_marks_[in_frame_][id].looped;
  const bool again = defined_again(id, false);
  if (again && !stray) {
    checks_.defined_again(*tag_names_[id], in_frame_, pending_at_,
                          looped ? "its loop's values and this value kept in separate rows"
                                 : "value kept in a row of its own");
  }
  std::uint32_t group = 0;
  if (marks.plain_frame == serial) {
    group = marks.plain_count++;
    if (!again && !stray) {
      checks_.report(shared_column(pending_tag_, slot), pending_tag_, pending_at_,
                     "value kept in a row of its own");
    }
  } else {
    marks.plain_frame = serial;
    marks.plain_count = 1;
    if (marks.loop_frame == serial && !again) {
      checks_.report(shared_column(pending_tag_, slot), pending_tag_, pending_at_,
                     "the loop's values and this value kept in separate rows");
    }
  }
  // A strict stop here still keeps this value, as its diagnostic says and as the collector
  // does; only what follows is not collected.
  PendingRows& rows = pending();
  rows.values.push_back({slot, group, kind, rows.text.size(), text.size()});
  rows.text.append(text);
}

void TableBuilder::note_rows(CategoryTable& category, std::size_t first_row, std::uint32_t origin) {
  if (category.runs.empty() || category.runs.back().origin != origin) {
    category.runs.push_back({first_row, origin});
  }
}

void TableBuilder::flush(PendingRows& rows, std::uint32_t origin) {
  if (rows.values.empty()) return;
  // Categories in the order their first plain value came, each value in its row (group).
  const std::uint32_t mark = ++flush_count_;
  std::uint32_t ranks = 0;
  for (const PendingValue& value : rows.values) {
    CategoryTable& category = out_.categories[value.slot.category];
    if (category.flush_mark != mark) {
      category.flush_mark = mark;
      category.flush_rank = ranks++;
      category.flush_groups = 0;
    }
    category.flush_groups = std::max(category.flush_groups, value.group + 1);
  }
  std::stable_sort(rows.values.begin(), rows.values.end(),
                   [&](const PendingValue& a, const PendingValue& b) {
                     const std::uint32_t ra = out_.categories[a.slot.category].flush_rank;
                     const std::uint32_t rb = out_.categories[b.slot.category].flush_rank;
                     return ra != rb ? ra < rb : a.group < b.group;
                   });
  for (std::size_t i = 0; i < rows.values.size();) {
    CategoryTable& category = out_.categories[rows.values[i].slot.category];
    const std::size_t base = category.rows;
    for (; i < rows.values.size() && &out_.categories[rows.values[i].slot.category] == &category;
         ++i) {
      const PendingValue& value = rows.values[i];
      TableColumn& column = category.columns[value.slot.column];
      column.pad_to(base + value.group);
      column.append(std::string_view(rows.text).substr(value.offset, value.size), value.kind);
    }
    category.rows = base + category.flush_groups;
    note_rows(category, base, origin);
  }
  rows.values.clear();
  rows.text.clear();
}

// --- loops -----------------------------------------------------------------------------------

void TableBuilder::reset_loop() {
  in_loop_ = false;
  loop_header_.clear();
  loop_tags_.clear();
  loop_targets_.clear();
  loop_categories_.clear();
  loop_redefined_.clear();
  loop_simple_ = true;
  loop_value_count_ = 0;
  loop_cursor_ = 0;
  loop_row_ = 0;
}

const std::vector<TableBuilder::HeaderSlot>& TableBuilder::header_slots(
    std::span<const std::string_view> tags) {
  auto found = header_slots_.find(loop_header_);
  if (found != header_slots_.end()) return found->second;
  place_storage_.clear();
  const std::vector<TagPlace> places = resolve_loop(tags, place_storage_);
  std::vector<HeaderSlot> slots;
  slots.reserve(tags.size());
  // How often the header named each column so far (a map: generated headers run to thousands).
  std::unordered_map<std::uint64_t, std::uint32_t> seen;
  for (std::size_t i = 0; i < tags.size(); ++i) {
    const Slot slot = slot_for(places[i]);
    const std::uint32_t group =
        seen[static_cast<std::uint64_t>(slot.category) << 32 | slot.column]++;
    slots.push_back({slot, group, tag_id(tags[i])});
  }
  return header_slots_.emplace(loop_header_, std::move(slots)).first->second;
}

void TableBuilder::on_loop_start(std::span<const std::string_view> tags,
                                 std::span<const SourcePosition> tag_positions, SourcePosition at) {
  if (checks_.stopped()) return;
  reset_loop();
  in_loop_ = true;
  loop_at_ = at;
  for (std::string_view tag : tags) loop_header_.append(tag).push_back('\n');
  // Views for the last-row check, taken once the header text no longer grows.
  for (std::size_t start = 0; start < loop_header_.size();) {
    const std::size_t end = loop_header_.find('\n', start);
    loop_tags_.push_back(std::string_view(loop_header_).substr(start, end - start));
    start = end + 1;
  }
  if (!has_frame() || tags.empty()) return;
  const std::vector<HeaderSlot>& slots = header_slots(tags);
  ++serial_loop_;
  // Columns are all created now: the pointers below stay valid for the whole loop.
  const std::uint32_t serial = frame_serial();
  for (std::size_t i = 0; i < tags.size(); ++i) {
    const auto [slot, group, id] = slots[i];
    CategoryTable& category = out_.categories[slot.category];
    TableColumn& column = category.columns[slot.column];
    TableColumn::FrameMarks& marks = column.marks[in_frame_];
    // The collector's check goes by tag, once per tag of the header, and reports when the
    // loop ends; the tables' own by column.
    TagMark& mark = tag_marks_[in_frame_][id];
    bool again = mark.loop == serial_loop_ && mark.frame == serial;
    if (!again) {
      mark.loop = serial_loop_;
      if (defined_again(id, true)) {
        loop_redefined_.push_back({id, tag_positions[i]});
        again = true;
      }
    }
    if (group == 1) {
      checks_.repeated_in_loop(
          tags[i], where(),
          "; each repeat fills rows of its own in category " + quoted(category.name),
          tag_positions[i], "repeated column kept in rows of its own");
    }
    if (group == 0 && !again && (marks.loop_frame == serial || marks.plain_frame == serial)) {
      checks_.report(shared_column(tags[i], slot), tags[i], tag_positions[i],
                     "values kept in separate rows");
    }
    marks.loop_frame = serial;
    if (category.loop_mark != serial_loop_ || loop_categories_.empty()) {
      category.loop_mark = serial_loop_;
      category.loop_index = static_cast<std::uint32_t>(loop_categories_.size());
      loop_categories_.push_back({slot.category, category.rows, 1});
    }
    const std::uint32_t at = category.loop_index;
    loop_categories_[at].groups = std::max(loop_categories_[at].groups, group + 1);
    if (group != 0) loop_simple_ = false;
    column.pad_to(category.rows);
    loop_targets_.push_back({&column, at, group});
  }
  if (checks_.stopped()) reset_loop();
}

inline void TableBuilder::loop_value(std::string_view text, std::uint8_t kind) {
  ++loop_value_count_;
  if (loop_targets_.empty()) return;
  const LoopTarget& target = loop_targets_[loop_cursor_];
  if (!loop_simple_) {
    const LoopCategory& category = loop_categories_[target.category];
    target.column->pad_to(category.base + loop_row_ * category.groups + target.group);
  }
  target.column->append(text, kind);
  if (++loop_cursor_ == loop_targets_.size()) {
    loop_cursor_ = 0;
    ++loop_row_;
  }
}

void TableBuilder::add_plain_values(std::span<const PlainValue> values, const char* text_end) {
  if (checks_.stopped() || !in_loop_ || !containers_.empty() || !loop_simple_ ||
      loop_targets_.empty()) {
    for (const PlainValue& value : values) add_value(value.text(), value.kind);
    return;
  }
  // Column by column: the values of one column lie `width` apart and go to its end in order,
  // in runs of block copies, each broken by one value that takes the general path.
  const std::size_t width = loop_targets_.size();
  const std::size_t n = values.size();
  // Stored as read: not a quoted "." or "?" (rewritten with its quotes) and not led by NUL.
  // append_run has made sure a block is readable from the value's start.
  auto as_read = [](const PlainValue& v) {
    const char c = *v.begin;
    return c != '\0' && (v.end - v.begin != 1 || (c != '.' && c != '?') || v.kind == kPlaceholder);
  };
  for (std::size_t j = 0; j < std::min(width, n); ++j) {
    TableColumn& column = *loop_targets_[(loop_cursor_ + j) % width].column;
    for (std::size_t i = j; i < n; i += width) {
      i += width * column.append_run(values.data() + i, (n - i + width - 1) / width, width,
                                     text_end, as_read);
      if (i >= n) break;
      const PlainValue& value = values[i];
      const std::string_view text = stored_text(value.text(), value.kind);
      if (needs_marking(text)) [[unlikely]] {
        std::string marked;
        scalar_cell(text, marked);
        column.append(marked, value.kind);
      } else {
        column.append(text, value.kind);
      }
    }
  }
  loop_value_count_ += n;
  loop_row_ += (loop_cursor_ + n) / width;
  loop_cursor_ = (loop_cursor_ + n) % width;
}

void TableBuilder::on_loop_end() {
  if (checks_.stopped()) return;
  if (loop_tags_.empty()) {
    in_loop_ = false;
    return;
  }
  const std::size_t missing = checks_.missing_values(loop_value_count_, loop_tags_, loop_at_);
  if (checks_.stopped()) {
    // Strict collection drops the loop whole, as the collector does.
    for (const LoopTarget& target : loop_targets_) {
      target.column->truncate(loop_categories_[target.category].base);
    }
    reset_loop();
    return;
  }
  for (std::size_t i = 0; i < missing; ++i) loop_value("?", kPlaceholder);
  for (const LoopRedefinition& again : loop_redefined_) {
    checks_.defined_again(*tag_names_[again.tag], in_frame_, again.at,
                          "the earlier values and this loop's kept in separate rows");
  }
  for (const LoopCategory& loop : loop_categories_) {
    CategoryTable& category = out_.categories[loop.category];
    category.rows = loop.base + loop_row_ * loop.groups;
    if (category.rows > loop.base) {
      note_rows(category, loop.base, in_frame_ ? frame_origin_ : block_origin_);
    }
  }
  reset_loop();
}

// --- lists and tables ------------------------------------------------------------------------

void TableBuilder::on_list_start() {
  if (!checks_.stopped()) containers_.start(RawValue::Kind::List);
}

void TableBuilder::on_table_start() {
  if (!checks_.stopped()) containers_.start(RawValue::Kind::Table);
}

void TableBuilder::on_table_key(std::string_view key, std::uint8_t /*kind*/) {
  if (!checks_.stopped()) containers_.key(key);
}

void TableBuilder::on_list_end() {
  if (checks_.stopped()) return;
  if (auto value = containers_.end(RawValue::Kind::List)) file_container(std::move(*value));
}

void TableBuilder::on_table_end() {
  if (checks_.stopped()) return;
  if (auto value = containers_.end(RawValue::Kind::Table)) file_container(std::move(*value));
}

TableSet TableBuilder::finish() && {
  if (has_block_) {
    if (in_frame_) flush(frame_rows_, frame_origin_);
    flush(block_rows_, block_origin_);
  }
  for (CategoryTable& category : out_.categories) {
    for (TableColumn& column : category.columns) column.pad_to(category.rows);
  }
  DiagnosticLog log = std::move(checks_).take_log();
  out_.diagnostic_texts = log.take_texts();
  out_.errors = std::move(log).finish();
  return std::move(out_);
}

TableSet collect_tables(std::string_view source, bool strict, std::size_t max_errors) {
  VersionResult detected;
  detect_version(source, detected);
  TableBuilder builder(detected.version, strict, max_errors);
  for (const ParseDiagnostic& diagnostic : detected.errors) builder.push_error(diagnostic);
  run_parser(detected, builder);
  TableSet set = std::move(builder).finish();
  set.version = detected.version;
  return set;
}

}  // namespace tessrin
