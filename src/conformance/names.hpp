// Name comparison for the uniqueness rules: block codes, frame codes and data names compare
// caselessly (ASCII case in CIF 1.1, Unicode caseless matching in CIF 2.0); CIF 2.0 table keys
// compare after normalisation but keep their case.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>

namespace tessrin::conformance {

/// Appends the comparison form of a non-ASCII CIF 2.0 name (`key` false) or table key (`key`
/// true) to `out`. The Python module supplies NFD, case fold, NFC (and NFC for keys); without
/// one, names are lower-cased as str.lower() does and keys compared as written.
using NameFolder = std::function<void(std::string_view text, bool key, std::string& out)>;

/// The names seen in one scope.
class NameSet {
 public:
  /// Adds `name`; false when an equal name was already there.
  bool insert(std::string_view name, bool cif2, bool key, const NameFolder& fold);
  void clear() noexcept { names_.clear(); }

 private:
  std::unordered_set<std::string> names_;
  std::string scratch_;
};

}  // namespace tessrin::conformance
