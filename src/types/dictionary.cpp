#include "types/dictionary.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "collect/raw_builder.hpp"
#include "text/text_file.hpp"
#include "text/unicode.hpp"

namespace tessrin {
namespace {

/// The values of `tag` (lower case, as collected) in `frame`, or none.
const ValueList* values_of(const FrameData& frame, std::string_view tag) {
  for (std::size_t i = 0; i < frame.tag_order.size(); ++i) {
    if (frame.tag_order[i] == tag) return &frame.values[i];
  }
  return nullptr;
}

/// The scalar texts of `tag` in `frame`, in order (lists and tables skipped).
std::vector<std::string_view> texts_of(const FrameData& frame, std::string_view tag) {
  std::vector<std::string_view> out;
  if (const ValueList* values = values_of(frame, tag)) {
    values->for_each([&](std::size_t, std::string_view text) { out.push_back(text); },
                     [](std::size_t, const RawValue&) {});
  }
  return out;
}

std::string_view first_text(const FrameData& frame, std::string_view tag) {
  const std::vector<std::string_view> texts = texts_of(frame, tag);
  return texts.empty() ? std::string_view() : texts.front();
}

bool contains(std::string_view text, std::string_view part) {
  return text.find(part) != std::string_view::npos;
}

/// Everything a DDL2 dictionary says, gathered from the block and all its save frames.
struct Ddl2Facts {
  std::unordered_map<std::string, std::string> primitive_of_code;
  std::vector<std::pair<std::string, std::string>> typed_items;  // item name, type code
  std::vector<std::pair<std::string, std::string>> child_parent;

  void read(const FrameData& frame) {
    const auto codes = texts_of(frame, "_item_type_list.code");
    const auto primitives = texts_of(frame, "_item_type_list.primitive_code");
    for (std::size_t i = 0; i < codes.size() && i < primitives.size(); ++i) {
      primitive_of_code[to_lower(codes[i])] = to_lower(primitives[i]);
    }
    // A frame's `_item_type.code` applies to every name of its `_item.name` loop (an item
    // defined together with the children that share its type).
    const std::string_view code = first_text(frame, "_item_type.code");
    if (!code.empty()) {
      for (std::string_view name : texts_of(frame, "_item.name")) {
        typed_items.emplace_back(name, to_lower(code));
      }
    }
    const auto children = texts_of(frame, "_item_linked.child_name");
    const auto parents = texts_of(frame, "_item_linked.parent_name");
    for (std::size_t i = 0; i < children.size() && i < parents.size(); ++i) {
      child_parent.emplace_back(to_lower(children[i]), to_lower(parents[i]));
    }
  }
};

/// The (file, save) pairs of a frame's `_import.get`, a list of tables in CIF 2.0.
std::vector<std::pair<std::string_view, std::string_view>> imports_of(const FrameData& frame) {
  std::vector<std::pair<std::string_view, std::string_view>> out;
  const ValueList* values = values_of(frame, "_import.get");
  if (values == nullptr) return out;
  for (const auto& [position, value] : values->others()) {
    if (value.kind != RawValue::Kind::List) continue;
    for (const RawValue& table : value.items) {
      if (table.kind != RawValue::Kind::Table) continue;
      std::string_view file;
      std::string_view save;
      for (std::size_t k = 0; k < table.keys.size(); ++k) {
        if (table.items[k].kind != RawValue::Kind::Scalar) continue;
        if (table.keys[k] == "file") file = table.items[k].text;
        if (table.keys[k] == "save") save = table.items[k].text;
      }
      if (!file.empty() && !save.empty()) out.emplace_back(file, save);
    }
  }
  return out;
}

std::string item_key(std::string_view name) {
  if (!name.empty() && name.front() == '_') name.remove_prefix(1);
  return to_lower(name);
}

}  // namespace

DeclaredType ItemTypes::find(std::string_view category, std::string_view object) const {
  std::string key = to_lower(category);
  key += '.';
  key += to_lower(object);
  const auto it = items_.find(key);
  return it == items_.end() ? DeclaredType::None : it->second;
}

std::size_t ItemTypes::memory() const noexcept {
  constexpr std::size_t kNode = sizeof(void*) + sizeof(std::size_t) +
                                sizeof(std::pair<const std::string, DeclaredType>);
  std::size_t bytes = sizeof(*this) + items_.bucket_count() * sizeof(void*);
  for (const auto& [name, type] : items_) {
    bytes += kNode + (name.capacity() > 15 ? name.capacity() + 1 : 0);
  }
  return bytes;
}

void ItemTypes::declare(std::string_view item_name, DeclaredType type) {
  if (type == DeclaredType::None) return;
  items_.insert_or_assign(item_key(item_name), type);
}

DeclaredType ddl2_type(std::string_view code, std::string_view primitive) {
  if (primitive == "char" || primitive == "uchar") return DeclaredType::Text;
  // Ranges (`int-range`, `float-range`: "1-5") are numb but not one number each.
  if (contains(code, "range")) return DeclaredType::None;
  if (contains(code, "int")) return DeclaredType::Integer;
  if (contains(code, "float") || primitive == "numb") return DeclaredType::Real;
  if (primitive.empty()) {
    // Dictionaries that import their type list: the codes of mmCIF's own list.
    static constexpr std::array<std::string_view, 9> kText = {
        "code", "ucode", "line", "uline", "text", "name", "idname", "any", "atcode"};
    if (std::find(kText.begin(), kText.end(), code) != kText.end()) return DeclaredType::Text;
  }
  return DeclaredType::None;
}

DeclaredType ddlm_type(std::string_view contents) {
  const std::string c = to_lower(contents);
  if (c == "integer" || c == "count" || c == "index") return DeclaredType::Integer;
  if (c == "real") return DeclaredType::Real;
  static constexpr std::array<std::string_view, 11> kText = {
      "text", "code", "name", "tag", "uri", "date", "datetime", "word", "symop", "version",
      "line"};
  if (std::find(kText.begin(), kText.end(), c) != kText.end()) return DeclaredType::Text;
  return DeclaredType::None;  // Complex, Range, Implied, containers: left to inference
}

ItemTypes read_item_types(const ParsedCif& dictionary, const ImportResolver& resolve) {
  ItemTypes types;
  Ddl2Facts ddl2;
  auto read_ddlm = [&](const FrameData& frame) {
    std::string_view contents = first_text(frame, "_type.contents");
    std::string_view container = first_text(frame, "_type.container");
    // The core dictionary takes most numeric types from templates (templ_attr.cif).
    if (contents.empty() && resolve) {
      for (const auto& [file, save] : imports_of(frame)) {
        const FrameData* imported = resolve(file, save);
        if (imported == nullptr) continue;
        contents = first_text(*imported, "_type.contents");
        if (container.empty()) container = first_text(*imported, "_type.container");
        if (!contents.empty()) break;
      }
    }
    if (contents.empty()) return;
    // A matrix or list holds several numbers per value: no one column type fits it.
    const DeclaredType type =
        container.empty() || to_lower(container) == "single" ? ddlm_type(contents) : DeclaredType::None;
    const std::string_view category = first_text(frame, "_name.category_id");
    const std::string_view object = first_text(frame, "_name.object_id");
    if (!category.empty() && !object.empty()) {
      std::string name(category);
      name += '.';
      name += object;
      types.declare(name, type);
    } else {
      types.declare(first_text(frame, "_definition.id"), type);
    }
  };
  for (const ParsedBlock& block : dictionary.blocks) {
    ddl2.read(block.data);
    read_ddlm(block.data);
    for (const ParsedSaveFrame& frame : block.save_frames) {
      ddl2.read(frame.data);
      read_ddlm(frame.data);
    }
  }

  std::unordered_map<std::string, std::string> code_of;
  for (auto& [name, code] : ddl2.typed_items) code_of[to_lower(name)] = code;
  // A child item without a type of its own takes its parent's, following the chain a few
  // links up (mmCIF chains are short; a cycle must not loop for ever).
  for (int round = 0; round < 8; ++round) {
    bool changed = false;
    for (const auto& [child, parent] : ddl2.child_parent) {
      if (code_of.contains(child)) continue;
      if (const auto it = code_of.find(parent); it != code_of.end()) {
        code_of.emplace(child, it->second);
        changed = true;
      }
    }
    if (!changed) break;
  }
  for (const auto& [name, code] : code_of) {
    const auto primitive = ddl2.primitive_of_code.find(code);
    types.declare(name, ddl2_type(code, primitive == ddl2.primitive_of_code.end()
                                            ? std::string_view()
                                            : std::string_view(primitive->second)));
  }
  return types;
}

ItemTypes read_dictionary_file(const std::string& path, DictionaryError& error) {
  FileText text;
  const TextFileStatus status = read_text_file(path.c_str(), text);
  if (status.kind != TextFileStatus::Kind::Ok) {
    const bool system = status.kind == TextFileStatus::Kind::SystemError;
    error.error_number = system ? status.error_number : 0;
    error.message = "cannot read dictionary " + path + ": " +
                    (system ? std::string(std::strerror(status.error_number)) : "not UTF-8");
    return {};
  }
  const ParsedCif dictionary = collect_raw(text_of(text), false);
  const std::size_t slash = path.rfind('/');
  const std::string directory = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  // Templates are read once each, and only from the dictionary's own directory.
  std::unordered_map<std::string, std::unique_ptr<ParsedCif>> templates;
  const ImportResolver resolve = [&](std::string_view file,
                                     std::string_view save) -> const FrameData* {
    if (file.find('/') != std::string_view::npos || file.find("..") != std::string_view::npos) {
      return nullptr;
    }
    auto [it, added] = templates.try_emplace(std::string(file));
    if (added) {
      FileText template_text;
      if (read_text_file((directory + it->first).c_str(), template_text).kind ==
          TextFileStatus::Kind::Ok) {
        it->second = std::make_unique<ParsedCif>(collect_raw(text_of(template_text), false));
      }
    }
    if (!it->second) return nullptr;
    const std::string name = to_lower(save);
    for (const ParsedBlock& block : it->second->blocks) {
      for (const ParsedSaveFrame& frame : block.save_frames) {
        if (frame.name == name) return &frame.data;
      }
    }
    return nullptr;
  };
  ItemTypes types = read_item_types(dictionary, resolve);
  if (types.empty()) {
    error.message = "dictionary " + path +
                    " declares no item types (a DDL2 or DDLm dictionary is expected)";
  }
  return types;
}

}  // namespace tessrin
