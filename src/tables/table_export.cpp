#include "tables/table_export.hpp"

#include <cstring>
#include <string>
#include <vector>

#include "export/arrow_stream.hpp"

namespace tessrin {
namespace {

/// The validity bitmap of a column's kinds, or an empty one when no cell is null.
SharedBytes validity_of(PodBuffer<std::uint8_t>& kinds, std::int64_t& nulls) {
  const std::size_t rows = kinds.size();
  nulls = 0;
  for (std::size_t i = 0; i < rows; ++i) nulls += kinds[i] == kNullCell;
  if (nulls == 0) return {};
  SharedBytes bits = SharedBytes::zeros((rows + 7) / 8);
  std::uint8_t* out = bits.data();
  for (std::size_t i = 0; i < rows; ++i) {
    out[i / 8] |= static_cast<std::uint8_t>(kinds[i] != kNullCell) << (i % 8);
  }
  return bits;
}

/// The utf8 column of one item; the kinds give the validity and are freed afterwards.
Column item_column(TableColumn& column) {
  Column out;
  out.length = static_cast<std::int64_t>(column.size());
  out.buffers[0] = validity_of(column.kinds(), out.null_count);
  column.kinds().release().free();
  if (column.offsets().empty()) column.offsets().push_back(0);
  out.buffers[1] = SharedBytes::take(column.offsets());
  out.buffers[2] = SharedBytes::take(column.data());
  return out;
}

/// The `block` column (frame = false) or the `frame` column of the table's rows.
Column origin_column(const TableSet& set, const CategoryTable& table, bool frame) {
  PodBuffer<std::uint32_t> offsets;
  PodBuffer<char> data;
  PodBuffer<std::uint8_t> kinds;  // only nulls matter here
  offsets.push_back(0);
  for (std::size_t r = 0; r < table.runs.size(); ++r) {
    const std::size_t end = r + 1 < table.runs.size() ? table.runs[r + 1].first_row : table.rows;
    const RowOrigin& origin = set.origins[table.runs[r].origin];
    const bool null = frame && origin.frame < 0;
    const std::string& name =
        set.names[frame ? static_cast<std::size_t>(null ? 0 : origin.frame) : origin.block];
    const std::size_t count = end - table.runs[r].first_row;
    std::memset(kinds.extend(count), null ? kNullCell : kString, count);
    for (std::size_t row = 0; row < count; ++row) {
      if (!null) {
        if (data.size() + name.size() > TableColumn::kMaxBytes) {
          throw ColumnTooLarge("the block and frame names of table '" + table.name +
                               "' need more text than an Arrow utf8 column holds");
        }
        std::memcpy(data.extend(name.size()), name.data(), name.size());
      }
      offsets.push_back(static_cast<std::uint32_t>(data.size()));
    }
  }
  Column out;
  out.length = static_cast<std::int64_t>(table.rows);
  out.buffers[0] = validity_of(kinds, out.null_count);
  out.buffers[1] = SharedBytes::take(offsets);
  out.buffers[2] = SharedBytes::take(data);
  return out;
}

bool equals_lower_ascii(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] + 32) : text[i];
    if (c != lower[i]) return false;
  }
  return true;
}

/// The field name of an item column. One named like a leading column
/// (`_array_data_external_data.frame`) would give the table two columns of one name, which
/// pandas, polars and DuckDB cannot tell apart: it takes its full DDLm name. The C interface
/// carries names NUL-terminated, so a stray NUL in a name is written as U+FFFD.
std::string field_name(const CategoryTable& table, const TableColumn& column) {
  const std::string& name = column.name();
  std::string full = equals_lower_ascii(name, "block") || equals_lower_ascii(name, "frame")
                         ? "_" + table.name + "." + name
                         : name;
  std::string out;
  for (char c : full) {
    if (c == '\0') {
      out.append("\xef\xbf\xbd");
    } else {
      out.push_back(c);
    }
  }
  return out;
}

}  // namespace

void export_table(const TableSet& set, CategoryTable& table, ArrowArrayStream* out) {
  const std::size_t n = table.columns.size() + 2;
  std::vector<Column> columns;
  std::vector<std::string> names;
  columns.reserve(n);
  names.reserve(n);
  columns.push_back(origin_column(set, table, false));
  names.emplace_back("block");
  columns.push_back(origin_column(set, table, true));
  names.emplace_back("frame");
  for (TableColumn& column : table.columns) {
    columns.push_back(item_column(column));
    names.push_back(field_name(table, column));
  }
  std::vector<Field> fields;
  fields.reserve(n);
  for (std::size_t i = 0; i < n; ++i) fields.push_back({names[i], i != 0, &columns[i]});
  make_stream(make_record_batch(fields, static_cast<std::int64_t>(table.rows)), out);
}

}  // namespace tessrin
