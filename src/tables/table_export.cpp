#include "tables/table_export.hpp"

#include <cstring>
#include <string>
#include <vector>

#include "export/arrow_stream.hpp"
#include "export/field_name.hpp"

namespace tessrin {
namespace {

/// The validity bitmap of a column, or an empty one when no cell is null.
SharedBytes validity_of(TableColumn& column) {
  const std::size_t rows = column.size();
  if (column.null_count() == 0) return {};
  SharedBytes bits = SharedBytes::zeros((rows + 7) / 8);
  if (!column.mixed_kinds()) return bits;  // every cell null
  std::uint8_t* out = bits.data();
  const std::uint8_t* kinds = column.kinds().data();
  for (std::size_t i = 0; i < rows; ++i) {
    out[i / 8] |= static_cast<std::uint8_t>(kinds[i] != kNullCell) << (i % 8);
  }
  return bits;
}

/// The utf8 column of one item; the kinds give the validity and are freed afterwards.
Column item_column(TableColumn& column) {
  Column out;
  out.length = static_cast<std::int64_t>(column.size());
  out.null_count = static_cast<std::int64_t>(column.null_count());
  out.buffers[0] = validity_of(column);
  column.kinds().release().free();
  if (column.offsets().empty()) column.offsets().push_back(0);
  out.buffers[1] = SharedBytes::take(column.offsets());
  out.buffers[2] = SharedBytes::take(column.data());
  return out;
}

/// The `block` column (frame = false) or the `frame` column of the table's rows.
Column origin_column(const TableSet& set, const CategoryTable& table, bool frame) {
  TableColumn column(frame ? "frame" : "block");
  column.pad_to(0);
  for (std::size_t r = 0; r < table.runs.size(); ++r) {
    const std::size_t end = r + 1 < table.runs.size() ? table.runs[r + 1].first_row : table.rows;
    const RowOrigin& origin = set.origins[table.runs[r].origin];
    if (frame && origin.frame < 0) {
      column.pad_to(end);
      continue;
    }
    const std::string& name =
        set.names[frame ? static_cast<std::size_t>(origin.frame) : origin.block];
    for (std::size_t row = table.runs[r].first_row; row < end; ++row) column.append(name, kString);
  }
  column.pad_to(table.rows);
  return item_column(column);
}

bool equals_lower_ascii(std::string_view text, std::string_view lower) {
  if (text.size() != lower.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] + 32) : text[i];
    if (c != lower[i]) return false;
  }
  return true;
}

/// A column typed int64 or float64 (src/types): its values, or its uncertainties (`su`).
/// Its text was freed when it was typed.
Column typed_column(TypedColumn& typed, bool su) {
  Column out;
  if (su) {
    out.length = static_cast<std::int64_t>(typed.sus.size());
    out.type = NANOARROW_TYPE_DOUBLE;
    out.null_count = static_cast<std::int64_t>(typed.su_null_count);
    if (out.null_count != 0) out.buffers[0] = SharedBytes::take(typed.su_validity);
    out.buffers[1] = SharedBytes::take(typed.sus);
    return out;
  }
  const bool ints = typed.type == TypedColumn::Type::Int64;
  out.length = static_cast<std::int64_t>(ints ? typed.ints.size() : typed.reals.size());
  out.type = ints ? NANOARROW_TYPE_INT64 : NANOARROW_TYPE_DOUBLE;
  out.null_count = static_cast<std::int64_t>(typed.null_count);
  if (out.null_count != 0) out.buffers[0] = SharedBytes::take(typed.validity);
  out.buffers[1] = ints ? SharedBytes::take(typed.ints) : SharedBytes::take(typed.reals);
  return out;
}

/// The rules of a typed table as encoded schema metadata (in `out`).
void rules_metadata(const std::string& rules, nanoarrow::UniqueBuffer& out) {
  const ArrowStringView key{kTypesMetadataKey.data(),
                            static_cast<std::int64_t>(kTypesMetadataKey.size())};
  const ArrowStringView value{rules.data(), static_cast<std::int64_t>(rules.size())};
  if (ArrowMetadataBuilderInit(out.get(), nullptr) != NANOARROW_OK ||
      ArrowMetadataBuilderAppend(out.get(), key, value) != NANOARROW_OK) {
    throw std::bad_alloc();
  }
}

}  // namespace

std::string item_field_name(const CategoryTable& table, const TableColumn& column) {
  const std::string& name = column.name();
  const bool clashes = equals_lower_ascii(name, "block") || equals_lower_ascii(name, "frame");
  return arrow_field_name(clashes ? "_" + table.name + "." + name : name);
}

void export_table(const TableSet& set, CategoryTable& table, TableTyping* typing,
                  ArrowArrayStream* out) {
  const std::size_t n = table.columns.size() * 2 + 2;  // room for every uncertainty column
  std::vector<Column> columns;
  std::vector<std::string> names;
  columns.reserve(n);
  names.reserve(n);
  columns.push_back(origin_column(set, table, false));
  names.emplace_back("block");
  columns.push_back(origin_column(set, table, true));
  names.emplace_back("frame");
  for (std::size_t i = 0; i < table.columns.size(); ++i) {
    TableColumn& column = table.columns[i];
    names.push_back(item_field_name(table, column));
    TypedColumn* typed = typing != nullptr ? &typing->columns[i] : nullptr;
    if (typed == nullptr || typed->type == TypedColumn::Type::String) {
      columns.push_back(item_column(column));
      continue;
    }
    if (typed->has_su) {
      columns.push_back(typed_column(*typed, true));
      names.push_back(typing->su_names[i]);
    }
    // The values before their uncertainties.
    columns.insert(columns.end() - (typed->has_su ? 1 : 0), typed_column(*typed, false));
  }
  std::vector<Field> fields;
  fields.reserve(columns.size());
  for (std::size_t i = 0; i < columns.size(); ++i) fields.push_back({names[i], i != 0, &columns[i]});
  nanoarrow::UniqueBuffer metadata;
  if (typing != nullptr) rules_metadata(typing->rules, metadata);
  const std::span<const char> metadata_bytes(reinterpret_cast<const char*>(metadata->data),
                                             static_cast<std::size_t>(metadata->size_bytes));
  make_stream(make_record_batch(fields, static_cast<std::int64_t>(table.rows), metadata_bytes),
              out);
}

}  // namespace tessrin
