#include "text/textfield.hpp"

#include <vector>

namespace tessrin {

namespace {

constexpr bool is_blank(char c) { return c == ' ' || c == '\t'; }

bool all_blank(std::string_view s) {
  for (char c : s) {
    if (!is_blank(c)) return false;
  }
  return true;
}

std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  std::size_t start = 0;
  for (;;) {
    std::size_t nl = text.find('\n', start);
    if (nl == std::string_view::npos) {
      lines.push_back(text.substr(start));
      return lines;
    }
    lines.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
}

}  // namespace

bool transform_multiline(std::string_view text, std::string& out) {
  const std::string_view first = text.substr(0, text.find('\n'));
  const std::size_t backslash = first.find('\\');
  if (backslash == std::string_view::npos) return false;
  const std::string_view prefix = first.substr(0, backslash);
  const bool two = backslash + 1 < first.size() && first[backslash + 1] == '\\';
  const std::size_t marker_end = backslash + (two ? 2 : 1);
  if (!all_blank(first.substr(marker_end))) return false;
  // CIF 1.1 paragraph 26: `;\` alone on the opening line announces line folding; with a
  // prefix, one backslash announces only the prefix and two announce both.
  const bool folding = two || prefix.empty();

  std::vector<std::string_view> lines = split_lines(text);
  if (!prefix.empty()) {
    for (std::size_t i = 1; i < lines.size(); ++i) {
      if (!lines[i].starts_with(prefix)) return false;
    }
    for (auto& line : lines) line.remove_prefix(prefix.size());
  }

  out.clear();
  out.reserve(text.size());
  if (!folding) {
    for (std::size_t i = 1; i < lines.size(); ++i) {
      if (i > 1) out.push_back('\n');
      out.append(lines[i]);
    }
    return true;
  }

  // Line 0 is now the marker and blanks; with two backslashes, dropping one makes it an
  // ordinary fold line that contributes nothing, as the one-backslash marker already is.
  if (two) lines[0].remove_prefix(1);
  std::string pending;
  bool emitted = false;
  bool last_folded = false;
  for (std::string_view line : lines) {
    std::size_t end = line.size();
    while (end > 0 && is_blank(line[end - 1])) --end;
    last_folded = end > 0 && line[end - 1] == '\\';
    if (last_folded) {
      pending.append(line.substr(0, end - 1));
      continue;
    }
    if (emitted) out.push_back('\n');
    out.append(pending).append(line);
    pending.clear();
    emitted = true;
  }
  if (last_folded && !pending.empty()) {
    if (emitted) out.push_back('\n');
    out.append(pending);
  }
  return true;
}

}  // namespace tessrin
