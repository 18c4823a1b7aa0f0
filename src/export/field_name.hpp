// The Arrow field name of a tag. The C stream interface carries field names as NUL-terminated
// strings, so a NUL inside a tag (reported by the lexer) would cut the name short, or make it
// the name of another tag: it becomes U+FFFD there, while every other export keeps the tag as
// it stands.
#pragma once

#include <string>
#include <string_view>

namespace tessrin {

inline std::string arrow_field_name(std::string_view tag) {
  std::string name;
  name.reserve(tag.size());
  for (char c : tag) {
    if (c == '\0') {
      name.append("\xEF\xBF\xBD");
    } else {
      name.push_back(c);
    }
  }
  return name;
}

}  // namespace tessrin
