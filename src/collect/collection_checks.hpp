// CollectionChecks: the semantic checks every collector of the parser's events makes (a name
// used twice, a tag defined again, a loop's short last row), their diagnostics, and strict
// collection's stop at the first of them. Each diagnostic points at the token that caused it
// and names what it concerns as its context; what the collector then keeps is its own, so it
// says so in the recovery action it passes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>

#include "collect/raw_model.hpp"
#include "parse/error.hpp"
#include "parse/event_sink.hpp"

namespace tessrin {

class CollectionChecks {
 public:
  /// At most `max_errors` diagnostics are recorded (DiagnosticLog).
  CollectionChecks(bool strict, std::size_t max_errors) : log_(max_errors), strict_(strict) {}

  bool strict() const noexcept { return strict_; }
  /// True once strict collection met a semantic problem: nothing after it is collected.
  bool stopped() const noexcept { return stopped_; }

  /// A diagnostic of version detection or the parser, kept even after a strict stop.
  void relay(std::string_view error_type, std::string_view message, std::uint32_t line,
             std::uint32_t column, std::string_view context, std::string_view recovery_action);

  /// The lower-cased name of the data block whose header is at `at`, after the diagnostic
  /// when an earlier block had it. Save-frame names start afresh in the new block.
  std::string data_block(std::string_view name, SourcePosition at);
  /// The same for a save frame, among the frames of the current block.
  std::string save_frame(std::string_view name, SourcePosition at);

  /// Reports `tag` (lower-cased) defined again in the current data block or save frame; `at`
  /// is where the repeat stands.
  void defined_again(std::string_view tag, bool in_save_frame, SourcePosition at,
                     std::string_view recovery_action);

  /// Checks a loop's last row (`tags` as in its header, `at` its loop_ keyword). Returns how
  /// many placeholders complete the row: 0 when it is complete, and when strict collection
  /// stops here instead.
  std::size_t missing_values(std::size_t value_count, std::span<const std::string_view> tags,
                             SourcePosition at);

  /// Reports a loop header naming `tag` (as written, at `at`) a second time, in the frame
  /// `place` names; `detail` adds what the collector makes of the repeat.
  void repeated_in_loop(std::string_view tag, std::string_view place, std::string_view detail,
                        SourcePosition at, std::string_view recovery_action);

  /// A frame as messages name it: block "b", or save frame "f" of block "b" (names
  /// lower-cased; `frame` null for the block itself).
  static std::string place(std::string_view block, const std::string* frame);

  /// A semantic problem that only one collector sees.
  void report(std::string message, std::string_view context, SourcePosition at,
              std::string_view recovery_action);

  /// The diagnostics; the checks are spent afterwards.
  DiagnosticLog take_log() && { return std::move(log_); }

 private:
  using NameSet = std::unordered_set<std::string, StringHash, std::equal_to<>>;
  std::string checked_name(std::string_view name, NameSet& seen, std::string_view what,
                           std::string_view stored_as, SourcePosition at);

  DiagnosticLog log_;
  NameSet block_names_;
  NameSet save_frame_names_;
  bool strict_;
  bool stopped_ = false;
};

}  // namespace tessrin
