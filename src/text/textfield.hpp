// The multi-line transform of text-field content: text prefixes and line folding.
#pragma once

#include <string>
#include <string_view>

namespace tessrin {

/// Applies the text-prefix and line-folding conventions to text-field content. Returns false,
/// leaving `out` untouched, when the text does not use them (it then stands unchanged); this
/// is the common case and costs one scan of the first line.
bool transform_multiline(std::string_view text, std::string& out);

/// Convenience form: the transformed text, or a copy of `text`.
inline std::string transform_multiline(std::string_view text) {
  std::string out;
  if (!transform_multiline(text, out)) out.assign(text);
  return out;
}

}  // namespace tessrin
