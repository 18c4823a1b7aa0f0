// The CIF 2.0 lists and tables being read, innermost last. The raw collector and the table
// collector build container values alike; they differ only in where a finished outermost
// value goes.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "collect/raw_model.hpp"

namespace tessrin {

class ContainerStack {
 public:
  bool empty() const noexcept { return open_.empty(); }
  void clear() noexcept { open_.clear(); }

  /// Opens a list or table inside the innermost container, or at the top.
  void start(RawValue::Kind kind);

  /// A key for the innermost container's next value, if that container is a table.
  void key(std::string_view key);

  /// Adds a scalar to the innermost container. A table with no key waiting has no place for it
  /// (the parser reported that) and drops it.
  void add_scalar(std::string_view text);

  /// Closes the innermost container when it is of `kind` (a mismatched end drops it; the parser
  /// reported that). A container closed inside another joins it; the outermost one is returned
  /// for the caller to file.
  std::optional<RawValue> end(RawValue::Kind kind);

 private:
  struct Open {
    RawValue value;  // the list or table being filled
    std::string pending_key{};
    bool has_pending_key = false;
    bool has_keyless = false;
    std::size_t keyless = 0;  // position of the kKeylessKey list, once there is one
  };

  void add(RawValue&& value);

  std::vector<Open> open_;
};

}  // namespace tessrin
