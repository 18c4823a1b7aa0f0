// Typing of category tables: every item column typed from its values (or as a dictionary
// declares it), uncertainties as companion columns, the rules as schema metadata.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tables/table_builder.hpp"
#include "types/column_types.hpp"
#include "types/dictionary.hpp"

namespace tessrin {

/// What `types=` asked for.
struct TypesOption {
  enum class Mode : std::uint8_t { Infer, Text, Dictionary };
  Mode mode = Mode::Infer;
  std::shared_ptr<const ItemTypes> dictionary;  // Mode::Dictionary
};

/// Schema metadata key of the per-column rules (a JSON object from column name to rule).
inline constexpr std::string_view kTypesMetadataKey = "tessrin.types";

/// The typing of one table, parallel to its columns.
struct TableTyping {
  std::vector<TypedColumn> columns;
  std::vector<std::string> su_names;  // the companion's name where columns[i].has_su
  std::string rules;                  // JSON: {"column": rule, ...}
};

/// Types the columns of `table`. A value that does not fit the type a dictionary declares
/// becomes a "semantic" diagnostic in `set.errors` naming tag, block and row.
TableTyping type_table(TableSet& set, CategoryTable& table, const TypesOption& option);

}  // namespace tessrin
