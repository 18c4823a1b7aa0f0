#include "types/table_types.hpp"

#include <algorithm>
#include <string_view>

#include "export/json_cell.hpp"
#include "parse/error.hpp"
#include "tables/table_export.hpp"
#include "text/unicode.hpp"
#include "text/version.hpp"

namespace tessrin {
namespace {

/// The block (and save frame) that row `row` of `table` came from, for a diagnostic.
std::string origin_of_row(const TableSet& set, const CategoryTable& table, std::size_t row) {
  const auto run = std::upper_bound(
      table.runs.begin(), table.runs.end(), row,
      [](std::size_t r, const CategoryTable::Run& run) { return r < run.first_row; });
  if (run == table.runs.begin()) return {};
  const RowOrigin& origin = set.origins[std::prev(run)->origin];
  std::string text = "block " + quoted(set.names[origin.block]);
  if (origin.frame >= 0) {
    text = "save frame " + quoted(set.names[static_cast<std::size_t>(origin.frame)]) + " of " + text;
  }
  return text;
}

/// `<column>_su`, or `<column>_su_derived` when the table has a column of that name already
/// (DDLm files give the uncertainty as an item of its own: `_atom_site.fract_x_su`).
std::string su_name(const CategoryTable& table, const TableColumn& column) {
  std::string name = item_field_name(table, column) + "_su";
  if (table.column_of.contains(to_lower(name))) name += "_derived";
  return name;
}

}  // namespace

TableTyping type_table(TableSet& set, CategoryTable& table, const TypesOption& option) {
  TableTyping out;
  out.columns.reserve(table.columns.size());
  out.su_names.resize(table.columns.size());
  out.rules = "{";
  const bool quotes_are_text = set.version == CifVersion::Cif20;
  for (std::size_t c = 0; c < table.columns.size(); ++c) {
    TableColumn& column = table.columns[c];
    TypedColumn typed;
    if (option.mode == TypesOption::Mode::Text) {
      typed.rule.source = ColumnRule::Source::TextRequested;
    } else {
      const DeclaredType declared = option.dictionary
                                        ? option.dictionary->find(table.name, column.name())
                                        : DeclaredType::None;
      if (column.offsets().empty()) column.offsets().push_back(0);
      const TextColumnView view{column.data().data(), column.offsets().data(),
                                column.mixed_kinds() ? column.kinds().data() : nullptr,
                                column.uniform_kind(), column.size()};
      typed = type_column(view, declared, quotes_are_text);
      if (typed.type != TypedColumn::Type::String) {
        // The text is no longer needed: its pages go back now, for the next columns' values.
        column.data().release().free();
        column.offsets().release().free();
        column.kinds().release().free();
      }
      if (typed.rule.mismatch) {
        set.errors.push_back(ParseDiagnostic{
            kSemantic,
            "value " + quoted(typed.rule.value) + " of _" + table.name + "." + column.name() +
                " (" + origin_of_row(set, table, typed.rule.row) + ", row " +
                std::to_string(typed.rule.row) + " of table " + quoted(table.name) +
                ") does not fit its declared type " +
                std::string(declared_name(typed.rule.declared)) + ": " + typed.rule.reason,
            0, 0, set.diagnostic_texts.intern(typed.rule.value), "column kept as text"});
      }
    }
    if (typed.has_su) out.su_names[c] = su_name(table, column);
    if (c != 0) out.rules += ',';
    json_str(item_field_name(table, column), out.rules);
    out.rules += ':';
    append_rule_json(typed, out.su_names[c], out.rules);
    out.columns.push_back(std::move(typed));
  }
  out.rules += '}';
  return out;
}

}  // namespace tessrin
