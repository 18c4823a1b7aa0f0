#include "conformance/conformance.hpp"

#include <algorithm>
#include <cstring>

#include "conformance/characters.hpp"
#include "conformance/syntax.hpp"
#include "text/grammar.hpp"
#include "text/version.hpp"

namespace tessrin::conformance {

namespace {

constexpr std::string_view kMagicPrefix = "#\\#CIF_";

bool cif_space_or_end(std::string_view text, std::size_t i) {
  return i >= text.size() || text[i] == ' ' || text[i] == '\t' || text[i] == '\n' ||
         text[i] == '\r';
}

/// The version by the standards: CIF 2.0 only when `#\#CIF_2.0` starts the text (after at
/// most a byte-order mark) and white space or the end follows.
bool strict_cif2(std::string_view text, std::size_t start) {
  const std::string_view rest = text.substr(start);
  return rest.starts_with("#\\#CIF_2.0") && cif_space_or_end(rest, 10);
}

/// The version the core's lenient detection gives. It only looks at the first line that is
/// not blank, so it is handed the text up to the end of that line (a blank line is made of
/// white space in the Unicode sense, which only ASCII controls, space and non-ASCII bytes can
/// start).
bool core_cif2(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b < 0x80 && !(b >= 0x09 && b <= 0x0D) && b != 0x20) break;
    ++i;
  }
  while (i < text.size() && text[i] != '\n' && text[i] != '\r') ++i;
  VersionResult result;
  detect_version(text.substr(0, std::min(text.size(), i + 1)), result);
  return result.version == CifVersion::Cif20;
}

void check_version(std::string_view text, std::size_t start, bool cif2, bool any_block,
                   Findings& out) {
  // Only the lenient reading that makes CIF 2.0 of a CIF 1.1 text misleads a reader; a text
  // that is CIF 2.0 by the standards is checked as such whatever the core makes of it.
  if (!cif2 && core_cif2(text)) {
    out.add(Rule::MagicNotRecognised, 0,
            "this is not a CIF 2.0 version code: '#\\#CIF_2.0' must start the first line and "
            "be followed by white space; the file is checked as CIF 1.1",
            text.substr(0, std::min<std::size_t>(text.size(), 40)));
  }
  // The first line that is not blank.
  std::size_t first = start;
  while (first < text.size() && cif_space_or_end(text, first)) ++first;
  std::size_t line_end = first;
  while (line_end < text.size() && text[line_end] != '\n' && text[line_end] != '\r') ++line_end;
  const std::string_view line = text.substr(first, line_end - first);
  bool exact = false;
  if (first == start && (line.starts_with("#\\#CIF_1.1") || line.starts_with("#\\#CIF_2.0"))) {
    exact = cif_space_or_end(text, first + 10);
  }
  std::string lower(line.substr(0, 5));
  for (char& c : lower) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  if (!exact && lower == "#\\#ci") {
    out.add(Rule::VersionCodeUnknown, first,
            "this looks like a CIF version code but is not one: only '#\\#CIF_1.1' and "
            "'#\\#CIF_2.0' at the very start of the file are",
            line);
  }
  if (cif2) {
    std::size_t i = start + 10;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    if (i < text.size() && text[i] != '\n' && text[i] != '\r' && text[i] != '#') {
      out.add(Rule::Cif2MagicTrailingText, i, "text after the CIF 2.0 version code on its line",
              text.substr(i, line_end - i));
    }
  } else if (any_block && !(first == start && exact && line.starts_with("#\\#CIF_1.1"))) {
    out.add(Rule::VersionCommentMissing, start,
            "a CIF 1.1 file should start with the version comment '#\\#CIF_1.1'",
            text.substr(start, std::min<std::size_t>(line_end - start, 40)));
  }
}

/// Fills in line and column (characters, 1-based) of findings sorted by offset; line ends are
/// CR, LF or CR LF.
void locate(std::string_view text, const TextFacts& facts, std::vector<Finding>& findings) {
  const char* b = text.data();
  const char* e = b + text.size();
  const char* cursor = b;
  const char* line_start = b;
  std::uint32_t line = 1;
  const char* column_at = b;  // position whose column is `column`, on the current line
  std::uint32_t column = 1;
  for (Finding& f : findings) {
    const char* target = b + std::min(f.offset, text.size());
    if (!facts.has_cr) {
      for (;;) {
        const void* nl = std::memchr(cursor, '\n', static_cast<std::size_t>(target - cursor));
        if (nl == nullptr) break;
        cursor = static_cast<const char*>(nl) + 1;
        line_start = cursor;
        ++line;
      }
    } else {
      for (; cursor < target; ++cursor) {
        if (*cursor == '\n' || (*cursor == '\r' && (cursor + 1 >= e || cursor[1] != '\n'))) {
          line_start = cursor + 1;
          ++line;
        }
      }
    }
    cursor = target;
    if (column_at < line_start) {
      column_at = line_start;
      column = 1;
    }
    const auto* p = reinterpret_cast<const unsigned char*>(column_at);
    const auto* t = reinterpret_cast<const unsigned char*>(target);
    const auto* end = reinterpret_cast<const unsigned char*>(e);
    if (facts.valid_utf8) {
      column += static_cast<std::uint32_t>(
          count_chars(reinterpret_cast<const char*>(p), reinterpret_cast<const char*>(t)));
      p = t;
    } else {
      while (p < t) {
        p += utf8_step(p, end).length;
        ++column;
      }
    }
    column_at = reinterpret_cast<const char*>(p);
    f.line = line;
    f.column = column;
  }
}

}  // namespace

Report check_conformance(std::string_view text, const Options& options) {
  Report report;
  const std::size_t cap = options.max_findings;
  if (text.starts_with("\xFF\xFE") || text.starts_with("\xFE\xFF")) {
    Findings findings(cap);
    findings.add(Rule::Encoding, 0,
                 "the file is UTF-16 or UTF-32 (it starts with a byte-order mark for them); CIF "
                 "files are ASCII (CIF 1.1) or UTF-8 (CIF 2.0)",
                 "");
    report.findings = std::move(findings.items());
    for (Finding& f : report.findings) f.line = f.column = 1;
    return report;
  }
  const std::size_t start = grammar::content_start(text);
  report.cif2 = strict_cif2(text, start);

  Findings characters(cap);
  if (start != 0 && !report.cif2) {
    characters.add(Rule::BomCif1, 0, "a byte-order mark is not allowed in CIF 1.1", "\uFEFF");
  }
  TextFacts facts;
  check_characters(text, start, report.cif2, characters, facts);
  Findings syntax(cap);
  const bool any_block = check_syntax(text, start, report.cif2, options.fold, syntax);
  Findings version(cap);
  check_version(text, start, report.cif2, any_block, version);

  std::vector<Finding>& all = report.findings;
  all = std::move(characters.items());
  for (Findings* more : {&syntax, &version}) {
    std::move(more->items().begin(), more->items().end(), std::back_inserter(all));
  }
  report.truncated = characters.full() || syntax.full();
  std::stable_sort(all.begin(), all.end(),
                   [](const Finding& a, const Finding& b) { return a.offset < b.offset; });
  if (all.size() > cap) {
    all.resize(cap);
    report.truncated = true;
  }
  locate(text, facts, all);
  return report;
}

}  // namespace tessrin::conformance
