#include "collect/raw_builder.hpp"

#include <algorithm>
#include <unordered_map>

#include "parse/parser.hpp"
#include "text/textfield.hpp"
#include "text/unicode.hpp"

namespace tessrin {

RawBuilder::RawBuilder(CifVersion version, bool strict, std::size_t max_errors)
    : checks_(strict, max_errors), version_(version) {}

void RawBuilder::push_error(const ParseDiagnostic& d) {
  checks_.relay(d.error_type, d.message, d.line, d.column, d.context, d.recovery_action);
}

std::string_view RawBuilder::pooled_lower(std::string_view tag) {
  if (is_lower(tag)) return tags_.intern(tag);
  lowered_.clear();
  append_lower(tag, lowered_);
  return tags_.intern(lowered_);
}

FrameData* RawBuilder::current_frame() noexcept {
  if (current_save_frame_) return &current_save_frame_->data;
  if (current_block_) return &current_block_->data;
  return nullptr;
}

inline std::size_t RawBuilder::next_loop_column() noexcept {
  // Values fill the loop row by row; a running cursor avoids a division per value.
  const std::size_t column = loop_column_of_[loop_cursor_];
  if (++loop_cursor_ == loop_column_of_.size()) loop_cursor_ = 0;
  ++loop_value_count_;
  return column;
}

void RawBuilder::reset_loop() {
  in_loop_ = false;
  loop_cursor_ = 0;
  loop_tags_.clear();
  loop_positions_.clear();
  column_uses_.clear();
  loop_column_of_.clear();
  loop_columns_.clear();
  loop_targets_.clear();
  loop_value_count_ = 0;
}

void RawBuilder::on_parse_error(std::string_view error_type, std::string_view message,
                                std::uint32_t line, std::uint32_t column, std::string_view context,
                                std::string_view recovery_action) {
  // Diagnostics are collected even after a strict stop: the parser keeps reporting.
  checks_.relay(error_type, message, line, column, context, recovery_action);
}

void RawBuilder::on_data_block(std::string_view name, SourcePosition at) {
  if (checks_.stopped()) return;
  if (current_block_) {
    blocks_.push_back(std::move(*current_block_));
    current_block_.reset();
  }
  std::string lowered = checks_.data_block(name, at);
  current_save_frame_.reset();
  has_pending_tag_ = false;
  reset_loop();
  containers_.clear();
  current_block_.emplace();
  current_block_->name = std::move(lowered);
}

void RawBuilder::on_save_frame_start(std::string_view name, SourcePosition at) {
  if (checks_.stopped() || !current_block_) return;
  std::string lowered = checks_.save_frame(name, at);
  current_save_frame_.emplace();
  current_save_frame_->name = std::move(lowered);
}

void RawBuilder::on_save_frame_end() {
  if (checks_.stopped() || !current_block_ || !current_save_frame_) return;
  current_block_->save_frames.push_back(std::move(*current_save_frame_));
  current_save_frame_.reset();
}

void RawBuilder::add_tag(std::string_view tag, SourcePosition at) {
  if (checks_.stopped()) return;
  pending_tag_ = pooled_lower(tag);
  pending_at_ = at;
  has_pending_tag_ = true;
}

namespace {

/// A quoted "." or "?" is a real value, not a placeholder: it keeps its quotes to tell them
/// apart.
[[gnu::always_inline]] inline std::string_view stored_text(std::string_view text,
                                                           std::uint8_t kind) {
  if (kind != kPlaceholder && text.size() == 1 && (text[0] == '.' || text[0] == '?')) {
    return text[0] == '.' ? std::string_view("\".\"") : std::string_view("\"?\"");
  }
  return text;
}

void append_plain(ValueList& column, const PlainValue& value, const char* text_end) {
  const std::string_view text = value.text();
  const std::string_view stored = stored_text(text, value.kind);
  if (stored.data() == text.data()) [[likely]] {
    column.append_scalar(text, text_end);
  } else {
    column.append_scalar(stored);
  }
}

}  // namespace

void RawBuilder::add_value(std::string_view text, std::uint8_t kind) {
  if (checks_.stopped()) return;
  const std::string_view token = text;
  if (kind == kMultilineString) {
    if (transform_multiline(text, scratch_)) text = scratch_;
  } else {
    text = stored_text(text, kind);
  }
  ValueList* target = route_scalar(text);
  if (origin_base_ != nullptr) [[unlikely]]
    record_origin(target, token, kind);
}

void RawBuilder::record_origin(ValueList* target, std::string_view token, std::uint8_t kind) {
  if (target == nullptr) return;
  // The delimiters around the text the lexer gives: quotes, or a text field's opening
  // semicolon and its closing line feed and semicolon.
  std::size_t open = 0;
  std::size_t close = 0;
  switch (kind) {
    case kSingleQuoted:
    case kDoubleQuoted:
      open = close = 1;
      break;
    case kTripleSingleQuoted:
    case kTripleDoubleQuoted:
      open = close = 3;
      break;
    case kMultilineString:
      open = 1;
      close = 2;
      break;
    default:
      break;
  }
  const char* start = token.data() - open;
  const char* end = token.data() + token.size() + close;
  if (token.data() < origin_base_ + open || end > origin_end_) {
    target->append_origin(ValueList::kNoOrigin, ValueList::kNoOrigin);  // not from the text
    return;
  }
  target->append_origin(static_cast<std::uint64_t>(start - origin_base_),
                        static_cast<std::uint64_t>(end - origin_base_));
}

void RawBuilder::add_plain_values(std::span<const PlainValue> values, const char* text_end) {
  if (checks_.stopped() || !in_loop_ || !containers_.empty() || loop_tags_.empty()) {
    for (const PlainValue& value : values) add_value(value.text(), value.kind);
    return;
  }
  // Straight into the columns (the checks above hold for the whole run), column by column: a
  // column's values are `width` apart, and those that fit the one-block copy and need no
  // rewriting ("." and "?" in quotes) are copied in runs. A header that names a tag twice
  // feeds one column from two positions, whose values must stay in row order: such a loop
  // goes value by value.
  const std::size_t width = loop_targets_.size();
  const std::size_t n = values.size();
  const bool by_column = loop_columns_.size() == width;
  auto stored_as_read = [](const PlainValue& v) {
    return stored_text(v.text(), v.kind).data() == v.begin;
  };
  for (std::size_t j = 0; j < (by_column ? std::min(width, n) : 0); ++j) {
    ValueList& column = *loop_targets_[(loop_cursor_ + j) % width];
    // Runs of block copies, each broken by one value that takes the general path.
    for (std::size_t i = j; i < n; i += width) {
      i += width * column.append_block_run(values.data() + i, (n - i + width - 1) / width, width,
                                           text_end, stored_as_read);
      if (i < n) append_plain(column, values[i], text_end);
    }
  }
  if (!by_column) {
    std::size_t cursor = loop_cursor_;
    for (const PlainValue& value : values) {
      append_plain(*loop_targets_[cursor], value, text_end);
      if (++cursor == width) cursor = 0;
    }
  }
  if (origin_base_ != nullptr) [[unlikely]] {
    std::size_t cursor = loop_cursor_;
    for (const PlainValue& value : values) {
      record_origin(loop_targets_[cursor], value.text(), value.kind);
      if (++cursor == width) cursor = 0;
    }
  }
  loop_cursor_ = (loop_cursor_ + n) % width;
  loop_value_count_ += n;
}

inline ValueList* RawBuilder::route_scalar(std::string_view text) {
  if (!containers_.empty()) {
    containers_.add_scalar(text);
    return nullptr;
  }
  if (in_loop_) {
    if (loop_tags_.empty()) return nullptr;
    ValueList& column = loop_columns_[next_loop_column()];
    column.append_scalar(text);
    return &column;
  }
  if (!has_pending_tag_) return nullptr;
  has_pending_tag_ = false;
  FrameData* frame = current_frame();
  if (frame == nullptr) return nullptr;
  ValueList* values = scalar_target(*frame);
  if (values != nullptr) values->append_scalar(text);
  return values;
}

void RawBuilder::file_container(RawValue&& value) {
  ValueList* target = nullptr;
  if (in_loop_) {
    if (loop_tags_.empty()) return;
    target = &loop_columns_[next_loop_column()];
  } else {
    if (!has_pending_tag_) return;
    has_pending_tag_ = false;
    FrameData* frame = current_frame();
    if (frame == nullptr) return;
    target = scalar_target(*frame);
    if (target == nullptr) return;
  }
  target->append_value(std::move(value));
  if (origin_base_ != nullptr) target->append_origin(ValueList::kNoOrigin, ValueList::kNoOrigin);
}

ValueList* RawBuilder::scalar_target(FrameData& frame) {
  const std::size_t known = frame.tag_order.size();
  const std::size_t slot = frame.slot(pending_tag_);
  ValueList& values = frame.values[slot];
  // Strays without a tag of their own gather under the error tag, each reported already.
  if (slot == known || pending_tag_ == kErrorValueTag) return &values;
  if (frame.looped[slot]) {
    // Appended, the value would become one more row of that loop's column only.
    redefined(pending_tag_, pending_at_,
              "kept its loop's " + std::to_string(values.size()) + " value(s); 1 value not kept");
    return nullptr;
  }
  redefined(pending_tag_, pending_at_,
            "kept every value of the tag as one list; 0 values not kept");
  return &values;
}

void RawBuilder::redefined(std::string_view tag, SourcePosition at,
                           const std::string& recovery_action) {
  checks_.defined_again(tag, current_save_frame_.has_value(), at, recovery_action);
}

void RawBuilder::on_loop_start(std::span<const std::string_view> tags,
                               std::span<const SourcePosition> tag_positions, SourcePosition at) {
  if (checks_.stopped()) return;
  reset_loop();
  in_loop_ = true;
  loop_at_ = at;
  loop_tags_.reserve(tags.size());
  loop_column_of_.reserve(tags.size());
  for (std::string_view tag : tags) loop_tags_.push_back(pooled_lower(tag));
  loop_positions_.assign(tag_positions.begin(), tag_positions.end());
  // A tag named twice shares its first occurrence's column. Headers are short, except in
  // generated files, so only long ones pay for a hash map.
  static constexpr std::size_t kLinearLimit = 32;
  std::unordered_map<std::string_view, std::size_t> first_column;
  for (std::size_t i = 0; i < loop_tags_.size(); ++i) {
    std::size_t column = loop_columns_.size();
    if (loop_tags_.size() <= kLinearLimit) {
      for (std::size_t j = 0; j < i; ++j) {
        if (loop_tags_[j] == loop_tags_[i]) {
          column = loop_column_of_[j];
          break;
        }
      }
    } else {
      column = first_column.emplace(loop_tags_[i], column).first->second;
    }
    if (column == loop_columns_.size()) {
      loop_columns_.emplace_back();
    } else if (repeated_once(column)) {
      // Its values stay in one column, in file order, beside rows they did not share.
      if (FrameData* frame = current_frame(); frame != nullptr) {
        checks_.repeated_in_loop(
            tags[i],
            CollectionChecks::place(current_block_->name,
                                    current_save_frame_ ? &current_save_frame_->name : nullptr),
            "", tag_positions[i], "the values of every repeat kept in one column, in file order");
        if (checks_.stopped()) {
          reset_loop();
          return;
        }
      }
    }
    loop_column_of_.push_back(column);
  }
  for (std::size_t column : loop_column_of_) loop_targets_.push_back(&loop_columns_[column]);
}

bool RawBuilder::repeated_once(std::size_t column) {
  // Only headers that repeat a tag come here: the counts are made for them alone.
  if (column_uses_.size() < loop_columns_.size()) column_uses_.resize(loop_columns_.size(), 0);
  return ++column_uses_[column] == 1;
}

void RawBuilder::on_loop_end() {
  if (checks_.stopped()) return;
  const std::size_t tag_count = loop_tags_.size();
  if (tag_count == 0) {
    in_loop_ = false;
    return;
  }
  const std::size_t missing = checks_.missing_values(loop_value_count_, loop_tags_, loop_at_);
  if (checks_.stopped()) {
    reset_loop();
    return;
  }
  for (std::size_t i = 0; i < missing; ++i) {
    ValueList& column = loop_columns_[next_loop_column()];
    column.append_scalar("?");
    if (origin_base_ != nullptr) column.append_origin(ValueList::kNoOrigin, ValueList::kNoOrigin);
  }
  if (FrameData* frame = current_frame()) {
    std::vector<std::size_t> positions;
    positions.reserve(tag_count);
    // Per column: not seen yet, kept, or dropped because the frame defined its tag before.
    enum : std::uint8_t { kUnseen, kKept, kDropped };
    std::vector<std::uint8_t> state(loop_columns_.size(), kUnseen);
    std::vector<std::size_t> slot_of(loop_columns_.size());
    for (std::size_t i = 0; i < tag_count; ++i) {
      const std::size_t column = loop_column_of_[i];
      // A tag named twice in one header keeps the column its first occurrence stored, rather
      // than losing its values to an empty list.
      if (state[column] == kUnseen) {
        const std::size_t known = frame->tag_order.size();
        const std::size_t slot = frame->slot(loop_tags_[i]);
        if (slot < known) {
          // The first definition stays; pairing the values of another loop or a scalar with
          // this loop's rows would misalign them.
          redefined(loop_tags_[i], loop_positions_[i],
                    "kept the first definition (" + std::to_string(frame->values[slot].size()) +
                        " value(s)); " + std::to_string(loop_columns_[column].size()) +
                        " value(s) of this loop not kept");
          if (checks_.stopped()) break;
          state[column] = kDropped;
          continue;
        }
        frame->values[slot] = std::move(loop_columns_[column]);
        frame->looped[slot] = true;
        slot_of[column] = slot;
        state[column] = kKept;
      }
      if (state[column] == kKept) positions.push_back(slot_of[column]);
    }
    if (!positions.empty()) frame->loops.push_back(std::move(positions));
  }
  reset_loop();
}

void RawBuilder::on_list_start() {
  if (!checks_.stopped()) containers_.start(RawValue::Kind::List);
}

void RawBuilder::on_table_start() {
  if (!checks_.stopped()) containers_.start(RawValue::Kind::Table);
}

void RawBuilder::on_table_key(std::string_view key, std::uint8_t /*kind*/) {
  if (!checks_.stopped()) containers_.key(key);
}

void RawBuilder::on_list_end() {
  if (checks_.stopped()) return;
  if (auto value = containers_.end(RawValue::Kind::List)) file_container(std::move(*value));
}

void RawBuilder::on_table_end() {
  if (checks_.stopped()) return;
  if (auto value = containers_.end(RawValue::Kind::Table)) file_container(std::move(*value));
}

ParsedCif RawBuilder::finish() && {
  if (current_block_) blocks_.push_back(std::move(*current_block_));
  ParsedCif result;
  result.version = static_cast<std::uint8_t>(version_);
  result.tags = std::move(tags_);
  DiagnosticLog log = std::move(checks_).take_log();
  result.diagnostic_texts = log.take_texts();
  result.errors = std::move(log).finish();
  result.blocks = std::move(blocks_);
  return result;
}

ParsedCif collect_raw_with_origins(std::string_view source, std::int64_t& text_start) {
  VersionResult detected;
  detect_version(source, detected);
  RawBuilder builder(detected.version, false);
  builder.keep_origins(detected.text);
  const bool views_source = detected.text.data() >= source.data() &&
                            detected.text.data() <= source.data() + source.size();
  text_start = views_source ? detected.text.data() - source.data() : -1;
  for (const ParseDiagnostic& diagnostic : detected.errors) builder.push_error(diagnostic);
  run_parser(detected, builder);
  return std::move(builder).finish();
}

ParsedCif collect_raw(std::string_view source, bool strict, std::size_t max_errors) {
  VersionResult detected;
  detect_version(source, detected);
  RawBuilder builder(detected.version, strict, max_errors);
  for (const ParseDiagnostic& diagnostic : detected.errors) builder.push_error(diagnostic);
  run_parser(detected, builder);
  return std::move(builder).finish();
}

}  // namespace tessrin
