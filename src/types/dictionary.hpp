// Declared item types from a DDL2 (mmCIF) or DDLm dictionary, read from the dictionary's own
// collected parse.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "collect/raw_model.hpp"
#include "types/column_types.hpp"

namespace tessrin {

/// What each item of a dictionary holds, keyed by lower-case `category.object`.
class ItemTypes {
 public:
  /// The declared type of column `object` of `category` (any letter case), None if unknown.
  DeclaredType find(std::string_view category, std::string_view object) const;

  void declare(std::string_view item_name, DeclaredType type);
  std::size_t size() const noexcept { return items_.size(); }
  /// About what the types take in memory: names, map nodes and buckets.
  std::size_t memory() const noexcept;
  bool empty() const noexcept { return items_.empty(); }

 private:
  std::unordered_map<std::string, DeclaredType, StringHash, std::equal_to<>> items_;
};

/// The save frame `save` of the template file `file` that a DDLm `_import.get` names, or null.
using ImportResolver = std::function<const FrameData*(std::string_view file, std::string_view save)>;

/// Reads DDL2 `_item_type.code` (through `_item_type_list.primitive_code` and parent items
/// of `_item_linked`) and DDLm `_type.contents` (also from imported templates); items of
/// other types stay None.
ItemTypes read_item_types(const ParsedCif& dictionary, const ImportResolver& resolve = {});

/// Why a dictionary could not be read.
struct DictionaryError {
  int error_number = 0;  // errno of a failed read, 0 for anything else
  std::string message;   // empty when there was no error
};

/// Reads the dictionary at `path` with its imports from the same directory. Sets `error` (and
/// returns no types) when the file cannot be read or declares no item types.
ItemTypes read_dictionary_file(const std::string& path, DictionaryError& error);

/// The type a DDL2 type code stands for, given its primitive code (`numb`, `char`, `uchar`,
/// or empty when the dictionary does not list it).
DeclaredType ddl2_type(std::string_view code, std::string_view primitive);

/// The type a DDLm `_type.contents` stands for.
DeclaredType ddlm_type(std::string_view contents);

}  // namespace tessrin
