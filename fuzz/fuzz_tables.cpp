// The category tables: collect_tables, then every table typed (or as text) and exported. The
// table collector is a second reading of the events beside collect_raw, so the two are held to
// each other: both make the same collection checks, so it repeats every diagnostic of the
// collector at the same place, word for word up to what each made of the problem (a
// repeated loop tag is told with its category; it adds conflicts of its own), and every value
// the collector keeps is a cell of some table (the tables keep more, never fewer: values that
// cannot share a row go into rows of their own), except where a strict parse stops the tables
// earlier on a conflict of their own (two names of one item). Each table's
// columns are as long as its rows, and each exported table is a valid Arrow batch of that many
// rows whose `block` and `frame` columns name the rows' origins.
#include <cstddef>
#include <cstdint>
#include <map>
#include <nanoarrow/nanoarrow.hpp>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "collect/raw_builder.hpp"
#include "export/json_cell.hpp"
#include "fuzz_common.hpp"
#include "tables/table_builder.hpp"
#include "tables/table_export.hpp"
#include "types/table_types.hpp"

namespace {

using namespace tessrin;

using Multiset = std::map<std::string, std::size_t>;

void count_raw_values(const FrameData& frame, Multiset& out) {
  std::string cell;
  for (const ValueList& values : frame.values) {
    values.for_each(
        [&](std::size_t, std::string_view text) {
          cell.clear();
          scalar_cell(text, cell);
          ++out[cell];
        },
        [&](std::size_t, const RawValue& value) {
          cell.clear();
          cell_text(value, cell);
          ++out[cell];
        });
  }
}

std::string_view cell_of(TableColumn& column, std::size_t row) {
  const std::uint32_t* offsets = column.offsets().data();
  return {column.data().data() + offsets[row], offsets[row + 1] - offsets[row]};
}

/// The table's shape, and its non-null cells counted into `cells`.
void check_table(const TableSet& set, CategoryTable& table, Multiset& cells) {
  FUZZ_CHECK(!table.runs.empty() || table.rows == 0);
  for (std::size_t r = 0; r < table.runs.size(); ++r) {
    FUZZ_CHECK(table.runs[r].origin < set.origins.size());
    FUZZ_CHECK(r == 0 ? table.runs[r].first_row == 0
                      : table.runs[r].first_row > table.runs[r - 1].first_row);
    FUZZ_CHECK(table.runs[r].first_row < table.rows);
  }
  for (TableColumn& column : table.columns) {
    FUZZ_CHECK(column.size() == table.rows);
    std::size_t nulls = 0;
    for (std::size_t row = 0; row < table.rows; ++row) {
      if (column.kind(row) == kNullCell) {
        ++nulls;
        FUZZ_CHECK(cell_of(column, row).empty());
      } else {
        ++cells[std::string(cell_of(column, row))];
      }
    }
    FUZZ_CHECK(nulls == column.null_count());
  }
}

std::string_view text_at(const ArrowArrayView* column, std::int64_t row) {
  const ArrowStringView cell = ArrowArrayViewGetStringUnsafe(column, row);
  return {cell.data, static_cast<std::size_t>(cell.size_bytes)};
}

/// The table through its C stream, as pyarrow would import it.
void check_export(TableSet& set, CategoryTable& table, bool typed) {
  const std::size_t rows = table.rows;
  // Where each row came from, before the export consumes the table.
  std::vector<std::tuple<std::string_view, const std::string*>> origins;
  for (std::size_t r = 0; r < table.runs.size(); ++r) {
    const RowOrigin& origin = set.origins[table.runs[r].origin];
    const std::size_t end = r + 1 < table.runs.size() ? table.runs[r + 1].first_row : rows;
    for (std::size_t row = table.runs[r].first_row; row < end; ++row) {
      origins.emplace_back(set.names[origin.block],
                           origin.frame < 0 ? nullptr : &set.names[origin.frame]);
    }
  }
  TableTyping typing;
  if (typed) typing = type_table(set, table, TypesOption{});
  nanoarrow::UniqueArrayStream stream;
  export_table(set, table, typed ? &typing : nullptr, stream.get());
  nanoarrow::UniqueSchema schema;
  nanoarrow::UniqueArray array;
  FUZZ_CHECK(stream->get_schema(stream.get(), schema.get()) == 0);
  FUZZ_CHECK(stream->get_next(stream.get(), array.get()) == 0);
  nanoarrow::UniqueArray end;
  FUZZ_CHECK(stream->get_next(stream.get(), end.get()) == 0 && end->release == nullptr);
  nanoarrow::UniqueArrayView view;
  ArrowError error{};
  FUZZ_CHECK(ArrowArrayViewInitFromSchema(view.get(), schema.get(), &error) == 0);
  FUZZ_CHECK(ArrowArrayViewSetArray(view.get(), array.get(), &error) == 0);
  FUZZ_CHECK(ArrowArrayViewValidate(view.get(), NANOARROW_VALIDATION_LEVEL_FULL, &error) == 0);
  FUZZ_CHECK(array->length == static_cast<std::int64_t>(rows) && schema->n_children >= 2);
  FUZZ_CHECK(origins.size() == rows);
  for (std::size_t row = 0; row < rows; ++row) {
    const auto r = static_cast<std::int64_t>(row);
    const auto& [block, frame] = origins[row];
    FUZZ_CHECK(text_at(view->children[0], r) == block);
    FUZZ_CHECK(ArrowArrayViewIsNull(view->children[1], r) == (frame == nullptr));
    if (frame != nullptr) FUZZ_CHECK(text_at(view->children[1], r) == *frame);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::uint8_t flags = data[0];
  const std::string source = fuzz::flagged_source(data, size);
  // The Python entry points hand over UTF-8 only.
  if (!is_valid_utf8(source)) return -1;
  const bool strict = flags & 1;
  const bool typed = flags & 8;

  TableSet set = collect_tables(source, strict);
  const ParsedCif raw = collect_raw(source, strict);

  const fuzz::Positions positions(source);
  using Key = std::tuple<std::string, std::string, std::uint32_t, std::uint32_t, std::string>;
  auto key = [](const ParseDiagnostic& d) -> Key {
    std::string_view message = d.message;
    // The tables name the category a repeated loop tag fills; the collector has none.
    if (d.error_type == kSemantic && message.starts_with("loop names tag ")) {
      message = message.substr(0, message.rfind("; each repeat fills rows of its own"));
    }
    return {std::string(d.error_type), std::string(message), d.line, d.column,
            std::string(d.context)};
  };
  std::map<Key, long> balance;  // the tables' count of each diagnostic less the collector's
  for (const ParseDiagnostic& d : set.errors) {
    fuzz::check_diagnostic(d, positions, true);
    ++balance[key(d)];
  }
  for (const ParseDiagnostic& d : raw.errors) --balance[key(d)];
  // In strict mode a conflict only the tables see (two names of one item) stops them earlier
  // than the collector; the two are comparable only when neither did.
  bool comparable = true;
  for (const auto& [k, n] : balance) {
    comparable &= !strict || n <= 0 || std::get<0>(k) != kSemantic;
  }
  for (const auto& [k, n] : balance) FUZZ_CHECK(!comparable || n >= 0);

  Multiset kept;
  for (const ParsedBlock& block : raw.blocks) {
    count_raw_values(block.data, kept);
    for (const ParsedSaveFrame& frame : block.save_frames) count_raw_values(frame.data, kept);
  }
  Multiset cells;
  for (CategoryTable& table : set.categories) check_table(set, table, cells);
  for (const auto& [cell, n] : kept) {
    if (!comparable) break;
    const auto it = cells.find(cell);
    FUZZ_CHECK(it != cells.end() && it->second >= n);
  }

  for (CategoryTable& table : set.categories) check_export(set, table, typed);
  return 0;
}
