// The conformance checker: every violation of the CIF 1.1 and CIF 2.0 syntax in a text, as
// findings with a rule id, under the version the standards give the text (which may differ
// from the version the lenient core reads it as).
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

#include "conformance/names.hpp"
#include "conformance/rules.hpp"

namespace tessrin::conformance {

struct Options {
  std::size_t max_findings = kUnlimited;
  NameFolder fold;  // comparison form of non-ASCII CIF 2.0 names; may be empty
};

struct Report {
  std::vector<Finding> findings;  // in text order, positions filled in
  bool cif2 = false;              // the version the standards give the text
  bool truncated = false;         // the cap cut the list short
};

/// Checks raw bytes (any bytes: ill-formed UTF-8 is a finding, and reads as U+FFFD).
Report check_conformance(std::string_view text, const Options& options);

}  // namespace tessrin::conformance
