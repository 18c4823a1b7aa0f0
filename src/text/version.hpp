// Version detection: the magic comment decides CIF 1.1 or 2.0 and is cut off the text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "parse/error.hpp"

namespace tessrin {

enum class CifVersion : std::uint8_t { Cif11 = 0, Cif20 = 1 };

/// Result of `detect_version`. `text` views either the caller's source or `owned` (when line
/// ends had to be normalised), so the common case copies nothing.
struct VersionResult {
  std::string owned;
  std::string_view text;
  std::vector<ParseDiagnostic> errors;  // empty or one record
  std::string error_context;            // the text that record's context views
  std::uint32_t line_offset = 0;        // source lines that precede `text`
  bool ascii = false;                   // `text` is pure ASCII
  CifVersion version = CifVersion::Cif11;

  VersionResult() = default;
  VersionResult(const VersionResult&) = delete;
  VersionResult& operator=(const VersionResult&) = delete;
};

/// Decides the version of `source` (UTF-8). Never fails. The result must outlive `source`'s
/// use only as long as `source` itself lives (it may view it).
void detect_version(std::string_view source, VersionResult& result);

/// Replaces CR LF and lone CR with LF. Returns false (leaving `out` untouched) when `text`
/// holds no CR, so callers can keep viewing the original.
bool normalise_line_ends(std::string_view text, std::string& out);

}  // namespace tessrin
