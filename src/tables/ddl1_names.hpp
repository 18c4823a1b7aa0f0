// The category and object id of each DDL1 data name (`_atom_site_fract_x`), generated from the
// DDLm dictionaries' aliases by tools/gen_ddl1_names.py.
#pragma once

#include <string_view>

namespace tessrin {

struct Ddl1Name {
  std::string_view tag;       // lower case, leading underscore
  std::string_view category;  // as the dictionary spells it
  std::string_view object;
};

/// The entry of a lower-cased DDL1 tag, or null for a name no dictionary aliases.
const Ddl1Name* find_ddl1_name(std::string_view lower_tag) noexcept;

}  // namespace tessrin
