#include "collect/collection_checks.hpp"

#include "text/unicode.hpp"

namespace tessrin {

void CollectionChecks::relay(std::string_view error_type, std::string_view message,
                             std::uint32_t line, std::uint32_t column, std::string_view context,
                             std::string_view recovery_action) {
  // Past the limit the message is not even copied: a file can hold millions of problems.
  if (!log_.accepts()) return log_.skip();
  log_.add(error_type, std::string(message), line, column, context, recovery_action);
}

void CollectionChecks::report(std::string message, std::string_view context, SourcePosition at,
                              std::string_view recovery_action) {
  log_.add(kSemantic, std::move(message), at.line, at.column, context, recovery_action);
  if (strict_) stopped_ = true;
}

std::string CollectionChecks::checked_name(std::string_view name, NameSet& seen,
                                           std::string_view what, std::string_view stored_as,
                                           SourcePosition at) {
  std::string lowered = is_lower(name) ? std::string(name) : to_lower(name);
  if (!seen.insert(lowered).second) {
    report("duplicate " + std::string(what) + " name: " + quoted(name), name, at,
           "duplicate " + std::string(stored_as) + " stored with distinct internal id");
  }
  return lowered;
}

std::string CollectionChecks::data_block(std::string_view name, SourcePosition at) {
  save_frame_names_.clear();
  return checked_name(name, block_names_, "data block", "block", at);
}

std::string CollectionChecks::save_frame(std::string_view name, SourcePosition at) {
  return checked_name(name, save_frame_names_, "save frame", "save frame", at);
}

void CollectionChecks::defined_again(std::string_view tag, bool in_save_frame, SourcePosition at,
                                     std::string_view recovery_action) {
  report("tag " + quoted(tag) + " defined again in the same " +
             (in_save_frame ? "save frame" : "data block"),
         tag, at, recovery_action);
}

std::size_t CollectionChecks::missing_values(std::size_t value_count,
                                             std::span<const std::string_view> tags,
                                             SourcePosition at) {
  const std::size_t tag_count = tags.size();
  if (tag_count == 0 || value_count % tag_count == 0) return 0;
  const std::size_t missing = tag_count - value_count % tag_count;
  // The tags lower-cased, however the header spelled them.
  std::string names;
  for (std::size_t i = 0; i < tag_count; ++i) {
    if (i > 0) names.append(", ");
    append_lower(tags[i], names);
  }
  const std::string first = to_lower(tags[0]);
  report(
      "loop value count " + std::to_string(value_count) + " is not divisible by tag count " +
          std::to_string(tag_count) + " (" + std::to_string(missing) +
          " value(s) missing from final row); tags: " + names,
      first, at,
      strict_ ? std::string("stopped") : "padded " + std::to_string(missing) + " placeholder(s)");
  return stopped_ ? 0 : missing;
}

void CollectionChecks::repeated_in_loop(std::string_view tag, std::string_view place,
                                        std::string_view detail, SourcePosition at,
                                        std::string_view recovery_action) {
  report("loop names tag " + quoted(tag) + " more than once in " + std::string(place) +
             std::string(detail),
         tag, at, recovery_action);
}

std::string CollectionChecks::place(std::string_view block, const std::string* frame) {
  std::string text = "block " + quoted(block);
  if (frame != nullptr) text = "save frame " + quoted(*frame) + " of " + text;
  return text;
}

}  // namespace tessrin
