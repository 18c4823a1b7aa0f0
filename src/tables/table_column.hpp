// One text column of a category table, laid out as Arrow lays out a string array (one text
// buffer, 32-bit offsets) with one kind byte per row beside it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>

#include "collect/pod_buffer.hpp"

namespace tessrin {

/// Kind of a cell: the value kinds 0..6 of the lexer (so a typed reader can tell a quoted
/// "1.5" or a quoted "." from the bare ones), and two of the table's own.
inline constexpr std::uint8_t kNullCell = 7;       // the row has no value in this column
inline constexpr std::uint8_t kContainerCell = 8;  // a list or table, as NUL + JSON text

/// Thrown when a column's text outgrows what 32-bit offsets address.
struct ColumnTooLarge : std::length_error {
  using std::length_error::length_error;
};

class TableColumn {
 public:
  static constexpr std::size_t kMaxBytes = std::numeric_limits<std::int32_t>::max();

  explicit TableColumn(std::string name) : name_(std::move(name)) {}

  /// The column's name, spelled as it first appeared.
  const std::string& name() const noexcept { return name_; }
  std::size_t size() const noexcept { return kinds_.size(); }

  [[gnu::always_inline]] void append(std::string_view text, std::uint8_t kind) {
    if (offsets_.empty()) [[unlikely]] offsets_.push_back(0);
    if (data_.size() + text.size() > kMaxBytes) [[unlikely]] too_large();
    char* out = data_.extend(text.size());
    if (!text.empty()) std::memcpy(out, text.data(), text.size());
    offsets_.push_back(static_cast<std::uint32_t>(data_.size()));
    kinds_.push_back(kind);
  }

  /// Null cells up to `rows` rows.
  void pad_to(std::size_t rows) {
    if (rows <= size()) return;
    if (offsets_.empty()) offsets_.push_back(0);
    const std::size_t n = rows - size();
    const std::uint32_t end = offsets_.back();
    std::uint32_t* offsets = offsets_.extend(n);
    for (std::size_t i = 0; i < n; ++i) offsets[i] = end;
    std::memset(kinds_.extend(n), kNullCell, n);
  }

  /// Drops every row from `rows` on.
  void truncate(std::size_t rows) noexcept {
    if (rows >= size()) return;
    kinds_.shrink_to(rows);
    offsets_.shrink_to(rows + 1);
    data_.shrink_to(offsets_.back());
  }

  PodBuffer<char>& data() noexcept { return data_; }
  /// size() + 1 offsets starting at 0 (none at all while the column is empty).
  PodBuffer<std::uint32_t>& offsets() noexcept { return offsets_; }
  PodBuffer<std::uint8_t>& kinds() noexcept { return kinds_; }

  /// Bookkeeping of the frame being read: how often this frame gave the column as a plain tag,
  /// and whether a loop of this frame named it.
  std::uint32_t plain_frame = 0;
  std::uint32_t plain_count = 0;
  std::uint32_t loop_frame = 0;

 private:
  [[noreturn]] void too_large() const {
    throw ColumnTooLarge("column '" + name_ + "' needs more than " + std::to_string(kMaxBytes) +
                         " bytes of text, more than an Arrow utf8 column holds");
  }

  std::string name_;
  PodBuffer<char> data_;
  PodBuffer<std::uint32_t> offsets_;
  PodBuffer<std::uint8_t> kinds_;
};

}  // namespace tessrin
