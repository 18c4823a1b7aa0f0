#include "conformance/rules.hpp"

#include <array>

#include "text/utf8.hpp"

namespace tessrin::conformance {

namespace {

constexpr std::array kRules = {
#define TESSRIN_RULE_INFO(name, id, severity) RuleInfo{id, Severity::severity},
    TESSRIN_CONFORMANCE_RULES(TESSRIN_RULE_INFO)
#undef TESSRIN_RULE_INFO
};

}  // namespace

const RuleInfo& rule_info(Rule rule) noexcept { return kRules[static_cast<std::size_t>(rule)]; }

std::string_view excerpt(std::string_view text, std::size_t limit) noexcept {
  return utf8_prefix(text, limit);
}

void Findings::add(Rule rule, std::size_t offset, std::string message, std::string_view context) {
  if (full()) return;
  items_.push_back(Finding{offset, 0, 0, rule, std::move(message), std::string(excerpt(context))});
}

}  // namespace tessrin::conformance
