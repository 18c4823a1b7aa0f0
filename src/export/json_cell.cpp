#include "export/json_cell.hpp"

#include <array>
#include <cstddef>
#include <vector>

namespace tessrin {
namespace {

// What follows the backslash for each byte that needs an escape; 0 means copy the byte, 'u'
// means \u00xx. Control characters beyond the three short escapes must be escaped too, or
// strict JSON readers (Python's json.loads among them) refuse the cell.
constexpr std::array<char, 256> kEscape = [] {
  std::array<char, 256> table{};
  for (int c = 0; c < 0x20; ++c) table[c] = 'u';
  table['\t'] = 't';
  table['\n'] = 'n';
  table['\r'] = 'r';
  table['"'] = '"';
  table['\\'] = '\\';
  return table;
}();

}  // namespace

void json_str(std::string_view text, std::string& out) {
  static constexpr char kHex[] = "0123456789abcdef";
  out.push_back('"');
  std::size_t run = 0;  // start of the bytes not yet copied
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto b = static_cast<unsigned char>(text[i]);
    const char escape = kEscape[b];
    if (escape == 0) continue;
    out.append(text.data() + run, i - run);
    run = i + 1;
    out.push_back('\\');
    out.push_back(escape);
    if (escape == 'u') {
      out.append("00", 2);
      out.push_back(kHex[b >> 4]);
      out.push_back(kHex[b & 0xF]);
    }
  }
  out.append(text.data() + run, text.size() - run);
  out.push_back('"');
}

void json_val(const RawValue& value, std::string& out) {
  struct Open {
    const RawValue* container;
    std::size_t next;  // index of the next item to write
  };
  std::vector<Open> stack;
  auto start = [&](const RawValue& v) {
    if (v.kind == RawValue::Kind::Scalar) {
      json_str(v.text, out);
      return;
    }
    out.push_back(v.kind == RawValue::Kind::List ? '[' : '{');
    stack.push_back({&v, 0});
  };

  start(value);
  while (!stack.empty()) {
    const RawValue& v = *stack.back().container;
    const std::size_t i = stack.back().next++;
    const bool is_list = v.kind == RawValue::Kind::List;
    if (i == v.items.size()) {
      out.push_back(is_list ? ']' : '}');
      stack.pop_back();
      continue;
    }
    if (i != 0) out.push_back(',');
    if (!is_list) {
      json_str(i < v.keys.size() ? std::string_view(v.keys[i]) : std::string_view(), out);
      out.push_back(':');
    }
    start(v.items[i]);  // may grow the stack; nothing above holds a reference into it
  }
}

void scalar_cell(std::string_view text, std::string& out) {
  if (!needs_marking(text)) {
    out.append(text);
    return;
  }
  out.push_back('\0');
  json_str(text, out);
}

void cell_text(const RawValue& value, std::string& out) {
  if (value.kind == RawValue::Kind::Scalar) {
    scalar_cell(value.text, out);
    return;
  }
  out.push_back('\0');
  json_val(value, out);
}

}  // namespace tessrin
