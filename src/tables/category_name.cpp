#include "tables/category_name.hpp"

#include <algorithm>

#include "tables/ddl1_names.hpp"

namespace tessrin {
namespace {

constexpr char lower_ascii(char c) noexcept { return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c; }

bool iequal_ascii(std::string_view a, std::string_view b) noexcept {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(),
                    [](char x, char y) { return lower_ascii(x) == lower_ascii(y); });
}

/// The dictionary's names are ASCII, so an ASCII lower-casing finds every one.
const Ddl1Name* find_ddl1(std::string_view tag) noexcept {
  char lowered[128];
  if (tag.size() > sizeof lowered) return nullptr;
  for (std::size_t i = 0; i < tag.size(); ++i) lowered[i] = lower_ascii(tag[i]);
  return find_ddl1_name(std::string_view(lowered, tag.size()));
}

/// `tag` without its underscore when it reads `_` + category + `_` + rest, as most DDL1 names
/// of a category do; the file's own spelling of the rest is kept.
std::string_view rest_after(std::string_view tag, std::string_view category) noexcept {
  if (tag.size() > category.size() + 2 && tag[category.size() + 1] == '_' &&
      iequal_ascii(tag.substr(1, category.size()), category)) {
    return tag.substr(category.size() + 2);
  }
  return {};
}

}  // namespace

TagPlace place_of(std::string_view tag) noexcept {
  const std::size_t dot = tag.find('.');
  if (dot != std::string_view::npos) {
    // `_.x` and `_x.` have no category or no column: such names are left unknown.
    if (dot > 1 && dot + 1 < tag.size()) return {tag.substr(1, dot - 1), tag.substr(dot + 1)};
    return {};
  }
  const Ddl1Name* known = find_ddl1(tag);
  if (known == nullptr) return {};
  // The file's spelling of category and column where the name spells them out, else the
  // dictionary's (`_symmetry_space_group_name_H-M` lies in space_group).
  const std::string_view rest = rest_after(tag, known->category);
  if (!rest.empty()) {
    const std::string_view category = tag.substr(1, known->category.size());
    return {category, iequal_ascii(rest, known->object) ? rest : known->object};
  }
  return {known->category, known->object};
}

TagPlace resolve_plain(std::string_view tag) noexcept {
  const TagPlace place = place_of(tag);
  return place.category.empty() ? TagPlace{kUnknownCategory, tag} : place;
}

std::vector<TagPlace> resolve_loop(std::span<const std::string_view> tags,
                                   std::vector<std::string>& storage) {
  std::vector<TagPlace> places;
  places.reserve(tags.size());
  std::string_view category;
  for (std::string_view tag : tags) {
    places.push_back(place_of(tag));
    if (category.empty()) category = places.back().category;
  }
  if (category.empty()) {
    // No known name: the longest run of `_`-separated parts that every tag starts with (case
    // aside), leaving each tag at least one part of its own.
    std::size_t common = std::string_view::npos;  // bytes after the leading underscore
    const std::string_view first = tags.front().substr(1);
    for (std::string_view tag : tags) {
      const std::string_view body = tag.substr(1);
      std::size_t same = 0;
      while (same < first.size() && same < body.size() &&
             lower_ascii(first[same]) == lower_ascii(body[same])) {
        ++same;
      }
      common = std::min(common, same);
    }
    // Cut back to a part boundary: a `_` both tags have, with more of every tag after it.
    std::size_t cut = 0;
    for (std::size_t i = 0; i < common && i < first.size(); ++i) {
      if (first[i] != '_' || i == 0) continue;
      bool inside = std::all_of(tags.begin(), tags.end(),
                                [&](std::string_view t) { return t.size() > i + 2; });
      if (inside) cut = i;
    }
    if (cut == 0) {
      for (std::size_t i = 0; i < tags.size(); ++i) {
        if (places[i].category.empty()) places[i] = {kUnknownCategory, tags[i]};
      }
      return places;
    }
    storage.emplace_back(first.substr(0, cut));
    category = storage.back();
  }
  for (std::size_t i = 0; i < tags.size(); ++i) {
    if (!places[i].category.empty()) continue;
    const std::string_view rest = rest_after(tags[i], category);
    places[i] = {category, rest.empty() ? tags[i] : rest};
  }
  return places;
}

}  // namespace tessrin
