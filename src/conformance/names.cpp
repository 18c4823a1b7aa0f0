#include "conformance/names.hpp"

#include "text/unicode.hpp"

namespace tessrin::conformance {

bool NameSet::insert(std::string_view name, bool cif2, bool key, const NameFolder& fold) {
  scratch_.clear();
  bool ascii = true;
  for (char c : name) ascii &= static_cast<unsigned char>(c) < 0x80;
  if (cif2 && !ascii) {
    if (fold) {
      fold(name, key, scratch_);
    } else if (key) {
      scratch_.assign(name);
    } else {
      append_lower(name, scratch_);
    }
  } else {
    scratch_.assign(name);
    // CIF 1.1 names are ASCII by rule; a stray non-ASCII byte compares as written.
    if (!key) {
      for (char& c : scratch_) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
      }
    }
  }
  return names_.insert(scratch_).second;
}

}  // namespace tessrin::conformance
