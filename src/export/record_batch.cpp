#include "export/record_batch.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "export/field_name.hpp"
#include "export/json_cell.hpp"
#include "text/unicode.hpp"
#include "text/utf8.hpp"

namespace tessrin {
namespace {

constexpr std::int64_t kMaxText = static_cast<std::int64_t>(ValueList::kMaxPackedBytes);

// A name as an error message shows it: long ones cut at a character boundary.
std::string_view shown(std::string_view name) {
  constexpr std::size_t kLimit = 60;
  return utf8_prefix(name, kLimit);
}

std::string describe(const BatchOrigin& origin) {
  std::string where;
  auto quote = [&](std::string_view name) {
    where.append("'").append(shown(name)).append(name.size() > shown(name).size() ? "...'" : "'");
  };
  if (origin.frame_name) {
    where.append("save frame ");
    quote(*origin.frame_name);
    where.append(" of ");
  }
  where.append("block ");
  quote(origin.block_name);
  return where;
}

[[noreturn]] void text_too_large(std::string_view what, std::int64_t bytes,
                                 const BatchOrigin& origin) {
  throw ExportError(ExportError::Kind::capacity,
                    std::string(what) + " of " + describe(origin) + " needs " +
                        std::to_string(bytes) + " bytes of text, more than the " +
                        std::to_string(kMaxText) + " that an Arrow utf8 column can hold");
}

[[noreturn]] void invalid(const std::string& message) {
  throw ExportError(ExportError::Kind::invalid, message);
}

/// The leading columns are built like the value columns, on the collector's buffers:
/// written once and handed over, so nothing holds on to a pool several times their size.
Column constant_text(std::string_view text, std::int64_t rows, std::string_view what,
                     const BatchOrigin& origin) {
  const auto len = static_cast<std::int64_t>(text.size());
  if (len != 0 && rows > kMaxText / len) text_too_large(what, len * rows, origin);
  return constant_utf8(text, rows);
}

// The first `rows` rows of a column whose cells are all null or none.
Column first_rows(const Column& column, std::int64_t rows) {
  Column out = column;
  out.length = rows;
  out.null_count = column.null_count == 0 ? 0 : rows;
  return out;
}

/// The leading columns of a frame's batches, built once for its longest batch: each batch shows
/// the first rows of the same buffers, so a frame of many small loops pays for them once.
class LeadColumns {
 public:
  LeadColumns(const BatchOrigin& origin, std::int64_t rows)
      : origin_(origin),
        rows_(rows),
        block_idx_(constant_int32(origin.block_idx, rows)),
        block_name_(constant_text(origin.block_name, rows, "the block name column", origin)),
        frame_idx_(origin.frame_idx ? constant_int32(*origin.frame_idx, rows)
                                    : null_column(NANOARROW_TYPE_INT32, rows)),
        frame_name_(origin.frame_name ? constant_text(*origin.frame_name, rows,
                                                      "the save frame name column", origin)
                                      : null_column(NANOARROW_TYPE_STRING, rows)) {}

  const BatchOrigin& origin() const noexcept { return origin_; }

  /// The five leading columns of a batch of `rows` rows (at most the frame's longest).
  std::array<Column, 5> for_batch(std::string_view loop_id, std::int64_t rows) const {
    if (rows > rows_) invalid("a batch longer than its frame's longest in " + describe(origin_));
    return {first_rows(block_idx_, rows), first_rows(block_name_, rows),
            first_rows(frame_idx_, rows), first_rows(frame_name_, rows),
            constant_text(loop_id, rows, "the loop id column", origin_)};
  }

 private:
  const BatchOrigin& origin_;
  std::int64_t rows_;
  Column block_idx_, block_name_, frame_idx_, frame_name_;
};

bool has_marked_scalar(const ValueList& list) noexcept {
  const std::string_view data = list.data();
  const std::span<const std::uint32_t> offsets = list.offsets();
  for (std::size_t i = 0, n = list.size(); i < n; ++i) {
    if (offsets[i] != offsets[i + 1] && data[offsets[i]] == '\0') return true;
  }
  return false;
}

// The column of one tag's values. The value list is emptied: packed scalars hand their buffers
// over as they are (uint32 offsets below 2^31 are valid int32 offsets); a list with
// containers or NUL-led scalars is copied once, those values as NUL-marked JSON.
Column take_column(ValueList& list, std::string_view tag, const BatchOrigin& origin) {
  const auto n = static_cast<std::int64_t>(list.size());
  if (list.others().empty() && !has_marked_scalar(list)) {
    SharedBytes offsets = SharedBytes::take(list.mutable_offsets());
    SharedBytes data = SharedBytes::take(list.mutable_data());
    list = ValueList();
    return Column{
        NANOARROW_TYPE_STRING, n, 0, {SharedBytes(), std::move(offsets), std::move(data)}};
  }

  // The rewritten cells first, back to back, so the text size is known before copying.
  std::string cells;
  std::vector<std::size_t> cell_ends;
  std::size_t replaced = 0;  // packed bytes that a rewritten cell stands in for
  list.for_each(
      [&](std::size_t, std::string_view text) {
        if (!needs_marking(text)) return;
        scalar_cell(text, cells);
        cell_ends.push_back(cells.size());
        replaced += text.size();
      },
      [&](std::size_t, const RawValue& value) {
        cell_text(value, cells);
        cell_ends.push_back(cells.size());
      });
  const auto total = static_cast<std::int64_t>(list.data().size() - replaced + cells.size());
  if (total > kMaxText) {
    text_too_large(std::string("column '").append(shown(tag)).append("'"), total, origin);
  }
  PodBuffer<std::int32_t> offsets;
  PodBuffer<char> data;
  std::int32_t* offset = offsets.extend(static_cast<std::size_t>(n) + 1);
  char* const text_start = data.extend(static_cast<std::size_t>(total));
  char* out = text_start;
  std::size_t next_cell = 0;
  std::size_t cell_start = 0;
  auto append = [&](std::size_t i, const char* from, std::size_t size) {
    if (size != 0) std::memcpy(out, from, size);
    out += size;
    offset[i + 1] = static_cast<std::int32_t>(out - text_start);
  };
  auto append_cell = [&](std::size_t i) {
    append(i, cells.data() + cell_start, cell_ends[next_cell] - cell_start);
    cell_start = cell_ends[next_cell++];
  };
  offset[0] = 0;
  list.for_each(
      [&](std::size_t i, std::string_view text) {
        if (needs_marking(text)) {
          append_cell(i);
        } else {
          append(i, text.data(), text.size());
        }
      },
      [&](std::size_t i, const RawValue&) { append_cell(i); });
  list = ValueList();
  return Column{NANOARROW_TYPE_STRING,
                n,
                0,
                {SharedBytes(), SharedBytes::take(offsets), SharedBytes::take(data)}};
}

Batch lead_batch(const LeadColumns& lead, std::string_view loop_id,
                 std::span<const std::string_view> tags, std::span<const Column* const> columns,
                 std::int64_t rows);

}  // namespace

std::vector<Batch> frame_to_batches(FrameData& frame, const BatchOrigin& origin) {
  const std::size_t n_tags = frame.tag_order.size();
  if (frame.values.size() != n_tags) {
    invalid("tags and value lists of " + describe(origin) + " differ");
  }
  std::vector<char> in_loop(n_tags, 0);
  for (const auto& loop : frame.loops) {
    for (std::size_t position : loop) {
      if (position >= n_tags) invalid("a loop of " + describe(origin) + " names an unknown tag");
      in_loop[position] = 1;
    }
  }

  // A tag can sit in several loops (it then holds the last one's values) and twice in one
  // header; each tag's column is built once and shared by every batch that names it.
  std::vector<std::optional<Column>> built(n_tags);
  auto length_of = [&](std::size_t position) -> std::int64_t {
    return built[position] ? built[position]->length
                           : static_cast<std::int64_t>(frame.values[position].size());
  };
  auto column_of = [&](std::size_t position) -> const Column* {
    if (!built[position]) {
      built[position] = take_column(frame.values[position], frame.tag_order[position], origin);
    }
    return &*built[position];
  };

  // The batches to make, each with its rows, so the leading columns fit the longest.
  struct Planned {
    const std::vector<std::size_t>* positions;
    std::string loop_id;
    std::int64_t rows;
  };
  std::vector<Planned> planned;
  std::int64_t longest = 0;
  auto plan = [&](const std::vector<std::size_t>& positions, std::string loop_id) {
    std::int64_t rows = 0;
    for (std::size_t position : positions) rows = std::max(rows, length_of(position));
    if (positions.empty() || rows == 0) return;
    longest = std::max(longest, rows);
    planned.push_back({&positions, std::move(loop_id), rows});
  };
  std::vector<std::size_t> plain;
  for (std::size_t position = 0; position < n_tags; ++position) {
    if (!in_loop[position]) plain.push_back(position);
  }
  plan(plain, std::string(kScalarsLoopId));
  for (std::size_t i = 0; i < frame.loops.size(); ++i) {
    plan(frame.loops[i], "__loop_" + std::to_string(i) + "__");
  }

  const LeadColumns lead(origin, longest);
  std::vector<Batch> batches;
  batches.reserve(planned.size());
  std::vector<std::string_view> tags;
  std::vector<const Column*> columns;
  for (const Planned& batch : planned) {
    tags.clear();
    columns.clear();
    for (std::size_t position : *batch.positions) {
      tags.push_back(frame.tag_order[position]);
      columns.push_back(column_of(position));
    }
    batches.push_back(lead_batch(lead, batch.loop_id, tags, columns, batch.rows));
  }
  return batches;
}

Batch make_batch(const BatchOrigin& origin, std::string_view loop_id,
                 std::span<const std::string_view> tags, std::span<const Column* const> columns,
                 std::int64_t rows) {
  return lead_batch(LeadColumns(origin, rows), loop_id, tags, columns, rows);
}

namespace {

// A batch whose leading columns come from `lead`.
Batch lead_batch(const LeadColumns& lead, std::string_view loop_id,
                 std::span<const std::string_view> tags, std::span<const Column* const> columns,
                 std::int64_t rows) {
  if (rows < 0 || columns.size() != tags.size()) {
    invalid("malformed batch request for " + describe(lead.origin()));
  }
  constexpr std::size_t kLeading = 5;
  static constexpr std::array<std::string_view, kLeading> kNames = {
      "_tessrin_block_idx", "_block_name", "_frame_idx", "_frame_name", "_loop_id"};
  static constexpr std::array<bool, kLeading> kNullable = {false, false, true, true, false};
  // Every column a field points to lives here until the batch holds its buffers.
  std::vector<Column> owned;
  owned.reserve(kLeading + tags.size());
  std::vector<Field> fields;
  fields.reserve(kLeading + tags.size());
  std::deque<std::string> renamed;  // stable storage for the names fields point to
  auto add = [&](std::string_view name, bool nullable, Column column) {
    owned.push_back(std::move(column));
    fields.push_back(Field{name, nullable, &owned.back()});
  };
  std::array<Column, kLeading> leading = lead.for_batch(loop_id, rows);
  for (std::size_t i = 0; i < kLeading; ++i) add(kNames[i], kNullable[i], std::move(leading[i]));

  for (std::size_t i = 0; i < tags.size(); ++i) {
    // A NUL inside a tag (reported by the lexer) would end the NUL-terminated field name of the
    // C interface: the field shows U+FFFD there instead.
    std::string_view name = tags[i];
    if (name.find('\0') != std::string_view::npos)
      name = renamed.emplace_back(arrow_field_name(name));
    const Column* column = columns[i];
    if (column == nullptr) {
      add(name, true, null_column(NANOARROW_TYPE_STRING, rows));
    } else if (column->type != NANOARROW_TYPE_STRING || column->length > rows) {
      invalid("column '" + std::string(name) + "' of " + describe(lead.origin()) +
              " does not fit its batch");
    } else if (column->length < rows) {
      add(name, true, pad_utf8(*column, rows));
    } else {
      fields.push_back(Field{name, true, column});
    }
  }
  return make_record_batch(fields, rows);
}

}  // namespace

}  // namespace tessrin
