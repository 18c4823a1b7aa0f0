// The conformance checker on any bytes: findings in text order, inside the text, within the
// cap, and a capped check reporting only findings of the full one, placed alike. Input: one
// flag byte (the cap, 0 to 7, or none when bit 3 is set), then the bytes.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "conformance/conformance.hpp"
#include "fuzz_common.hpp"

using namespace tessrin;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::string_view text = fuzz::as_text(data + 1, size - 1);
  conformance::Options all;
  const conformance::Report full = conformance::check_conformance(text, all);
  std::size_t lines = 1;
  for (std::size_t i = 0; i < text.size(); ++i) {
    lines += text[i] == '\n' || (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n'));
  }
  for (std::size_t i = 0; i < full.findings.size(); ++i) {
    const conformance::Finding& f = full.findings[i];
    FUZZ_CHECK(f.line >= 1 && f.line <= lines && f.column >= 1 && f.offset <= text.size());
    FUZZ_CHECK(!conformance::rule_info(f.rule).id.empty());
    if (i > 0) FUZZ_CHECK(full.findings[i - 1].offset <= f.offset);
  }
  if (data[0] & 8) return 0;
  conformance::Options capped;
  capped.max_findings = data[0] & 7;
  const conformance::Report cut = conformance::check_conformance(text, capped);
  FUZZ_CHECK(cut.findings.size() <= capped.max_findings);
  // A capped check stops early, yet what it reports is what the full check reports, at the
  // same line and column: nothing measured or located from a pass cut short.
  for (const conformance::Finding& f : cut.findings) {
    bool found = false;
    for (const conformance::Finding& g : full.findings) {
      found |= g.offset == f.offset && g.rule == f.rule && g.line == f.line &&
               g.column == f.column && g.message == f.message;
    }
    FUZZ_CHECK(found);
  }
  return 0;
}
