#include "collect/container_stack.hpp"

#include <utility>

#include "parse/parser.hpp"

namespace tessrin {

void ContainerStack::start(RawValue::Kind kind) { open_.push_back(Open{RawValue(kind)}); }

void ContainerStack::key(std::string_view key) {
  if (open_.empty() || open_.back().value.kind != RawValue::Kind::Table) return;
  open_.back().pending_key.assign(key);
  open_.back().has_pending_key = true;
}

void ContainerStack::add_scalar(std::string_view text) {
  const Open& top = open_.back();
  if (top.value.kind == RawValue::Kind::Table && !top.has_pending_key) return;
  RawValue scalar;
  scalar.text.assign(text);
  add(std::move(scalar));
}

std::optional<RawValue> ContainerStack::end(RawValue::Kind kind) {
  if (open_.empty()) return std::nullopt;
  RawValue value = std::move(open_.back().value);
  open_.pop_back();
  if (value.kind != kind) return std::nullopt;
  if (open_.empty()) return value;
  add(std::move(value));
  return std::nullopt;
}

void ContainerStack::add(RawValue&& value) {
  Open& top = open_.back();
  if (top.value.kind == RawValue::Kind::List) {
    top.value.items.push_back(std::move(value));
  } else if (top.has_pending_key) {
    top.value.keys.push_back(std::move(top.pending_key));
    top.value.items.push_back(std::move(value));
    top.has_pending_key = false;
  } else {
    // A container a table holds without a key (the parser reported it) joins the table's one
    // list under kKeylessKey.
    if (!top.has_keyless) {
      top.keyless = top.value.items.size();
      top.has_keyless = true;
      top.value.keys.emplace_back(kKeylessKey);
      top.value.items.emplace_back(RawValue::Kind::List);
    }
    top.value.items[top.keyless].items.push_back(std::move(value));
  }
}

}  // namespace tessrin
