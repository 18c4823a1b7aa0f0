// The multi-line transform of text-field content (text prefixes and line folding), against a
// plain reading of the rules written here step by step with no attention to speed.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_common.hpp"
#include "text/textfield.hpp"

namespace {

bool blank(char c) { return c == ' ' || c == '\t'; }

std::vector<std::string> lines_of(std::string_view text) {
  std::vector<std::string> lines(1);
  for (char c : text) {
    if (c == '\n') {
      lines.emplace_back();
    } else {
      lines.back().push_back(c);
    }
  }
  return lines;
}

std::string joined(const std::vector<std::string>& lines) {
  std::string out;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) out.push_back('\n');
    out.append(lines[i]);
  }
  return out;
}

/// The transformed text, or nothing when the text stands unchanged.
std::optional<std::string> reference(std::string_view text) {
  std::vector<std::string> lines = lines_of(text);
  const std::size_t backslash = lines[0].find('\\');
  if (backslash == std::string::npos) return std::nullopt;
  const std::string prefix = lines[0].substr(0, backslash);
  const bool two = backslash + 1 < lines[0].size() && lines[0][backslash + 1] == '\\';
  const bool folding = two || prefix.empty();  // `;\` alone folds too
  for (std::size_t i = backslash + (two ? 2 : 1); i < lines[0].size(); ++i) {
    if (!blank(lines[0][i])) return std::nullopt;
  }
  if (!prefix.empty()) {
    for (std::size_t i = 1; i < lines.size(); ++i) {
      if (lines[i].compare(0, prefix.size(), prefix) != 0 || lines[i].size() < prefix.size()) {
        return std::nullopt;
      }
    }
    for (std::string& line : lines) line.erase(0, prefix.size());
  }
  if (!folding) {
    lines.erase(lines.begin());
    return joined(lines);
  }
  if (two) lines[0].erase(0, 1);
  std::vector<std::string> out;
  std::string accumulator;
  bool last_folded = false;
  for (const std::string& line : lines) {
    std::size_t end = line.size();
    while (end > 0 && blank(line[end - 1])) --end;
    last_folded = end > 0 && line[end - 1] == '\\';
    if (last_folded) {
      accumulator.append(line, 0, end - 1);
      continue;
    }
    out.push_back(accumulator + line);
    accumulator.clear();
  }
  if (last_folded && !accumulator.empty()) out.push_back(accumulator);
  return joined(out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tessrin;
  const std::string_view text = fuzz::as_text(data, size);
  constexpr std::string_view kUntouched = "untouched";
  std::string out(kUntouched);
  const bool applied = transform_multiline(text, out);
  const std::optional<std::string> expected = reference(text);
  FUZZ_CHECK(applied == expected.has_value());
  if (!applied) {
    FUZZ_CHECK(out == kUntouched);
    FUZZ_CHECK(transform_multiline(text) == text);
    return 0;
  }
  FUZZ_CHECK(out == *expected);
  // Both conventions only remove text: prefixes, the marker line, backslashes and blanks.
  FUZZ_CHECK(out.size() <= text.size());
  // Only ASCII bytes and whole prefixes are removed, so UTF-8 stays UTF-8.
  if (is_valid_utf8(text)) FUZZ_CHECK(is_valid_utf8(out));
  FUZZ_CHECK(transform_multiline(text) == out);
  return 0;
}
