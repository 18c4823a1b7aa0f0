#include "text/version.hpp"

#include <cstring>

#include "text/grammar.hpp"
#include "text/utf8.hpp"

namespace tessrin {

namespace {

constexpr std::string_view kMagic = "#\\#CIF_";

std::string_view strip_bom(std::string_view line) {
  return line.substr(grammar::content_start(line));
}

bool is_blank(std::string_view line) {
  line = strip_bom(line);
  const char* p = line.data();
  const char* end = p + line.size();
  while (p < end) {
    if (!is_unicode_whitespace(decode_utf8(p, end))) return false;
  }
  return true;
}

/// The version tag of a magic line, or an empty view when `line` is not one.
std::string_view magic_tag(std::string_view line) {
  if (!line.starts_with(kMagic)) return {};
  std::string_view rest = line.substr(kMagic.size());
  // Strip trailing whitespace: walk forward, remembering where the last non-blank ended.
  const char* p = rest.data();
  const char* end = p + rest.size();
  const char* tag_end = p;
  bool inner_blank = false;
  bool seen_blank = false;
  while (p < end) {
    if (is_unicode_whitespace(decode_utf8(p, end))) {
      seen_blank = true;
    } else {
      inner_blank |= seen_blank;
      tag_end = p;
    }
  }
  if (inner_blank) return {};
  return rest.substr(0, static_cast<std::size_t>(tag_end - rest.data()));
}

}  // namespace

bool normalise_line_ends(std::string_view text, std::string& out) {
  // The text after a final magic line is an empty view with no data; memchr must not see it.
  if (text.empty()) return false;
  const char* cr = static_cast<const char*>(std::memchr(text.data(), '\r', text.size()));
  if (cr == nullptr) return false;
  out.clear();
  out.reserve(text.size());
  const char* p = text.data();
  const char* end = p + text.size();
  while (cr != nullptr) {
    out.append(p, cr);
    out.push_back('\n');
    p = cr + 1;
    if (p < end && *p == '\n') ++p;
    cr = static_cast<const char*>(std::memchr(p, '\r', static_cast<std::size_t>(end - p)));
  }
  out.append(p, end);
  return true;
}

void detect_version(std::string_view source, VersionResult& result) {
  std::string_view text = source;
  const TextTraits traits = inspect_text(source);
  result.ascii = traits.ascii;
  if (traits.has_cr && normalise_line_ends(source, result.owned)) text = result.owned;

  std::size_t line_start = 0;
  std::uint32_t index = 0;
  for (;;) {
    std::size_t nl = text.find('\n', line_start);
    std::size_t line_end = nl == std::string_view::npos ? text.size() : nl;
    std::string_view line = text.substr(line_start, line_end - line_start);
    if (!is_blank(line)) {
      std::string_view tag = magic_tag(strip_bom(line));
      if (tag.empty()) {
        result.text = text.substr(line_start);
        result.line_offset = index;
        result.version = CifVersion::Cif11;
        return;
      }
      result.text = nl == std::string_view::npos ? std::string_view{} : text.substr(nl + 1);
      result.line_offset = index + 1;
      if (tag == "2.0") {
        result.version = CifVersion::Cif20;
      } else if (tag == "1.1") {
        result.version = CifVersion::Cif11;
      } else {
        result.version = CifVersion::Cif20;
        result.error_context = std::string(kMagic).append(tag);
        result.errors.push_back(
            ParseDiagnostic{kLexical, "unrecognised CIF version: " + result.error_context,
                            index + 1, 1, result.error_context, "defaulting to CIF 2.0"});
      }
      return;
    }
    if (nl == std::string_view::npos) break;
    line_start = nl + 1;
    ++index;
  }
  // Every line is blank: the whole source goes on, its line ends normalised like any text.
  result.text = text;
  result.line_offset = 0;
  result.version = CifVersion::Cif11;
}

}  // namespace tessrin
