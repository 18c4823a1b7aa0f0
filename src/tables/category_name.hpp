// Which category table a data name belongs to, and its column there.
//
// A name with a period (`_atom_site.Cartn_x`, DDL2 and DDLm) splits at its first period: the
// category is what lies between the underscore and the period, the column the rest. A name
// without one (`_atom_site_fract_x`, DDL1) is looked up in the names the DDLm dictionaries
// alias (ddl1_names); the column is the dictionary's object id. Names found neither way are
// unknown: a loop places them beside its known names or under its tags' common prefix
// (resolve_loop), a plain tag goes to the `_unknown` table under its full name.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tessrin {

/// Category of the plain tags that no rule places.
inline constexpr std::string_view kUnknownCategory = "_unknown";

/// A tag's place: category and column, spelled as in the file where the file spells them.
struct TagPlace {
  std::string_view category;  // empty when the name is unknown
  std::string_view column;
};

/// The place of `tag` (as written, leading underscore included) by the period rule or the
/// DDL1 table; an empty category when neither applies. The views point into `tag` or into the
/// static table.
TagPlace place_of(std::string_view tag) noexcept;

/// The place of each tag of a loop header: unknown names take the category of the header's
/// first known name, else the longest common `_`-separated prefix of all its tags (at least
/// one part, and never a whole tag), else `_unknown` with the full tag as column. Views point
/// into `tags`, the static table, or `storage`.
std::vector<TagPlace> resolve_loop(std::span<const std::string_view> tags,
                                   std::vector<std::string>& storage);

/// The place of a plain tag: place_of, or `_unknown` with the full tag as column.
TagPlace resolve_plain(std::string_view tag) noexcept;

}  // namespace tessrin
