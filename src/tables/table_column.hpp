// One text column of a category table, laid out as Arrow lays out a string array (one text
// buffer, 32-bit offsets), with the kind of each cell beside it.
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
  std::size_t size() const noexcept { return offsets_.empty() ? 0 : offsets_.size() - 1; }
  std::size_t null_count() const noexcept { return null_count_; }

  /// Kinds are stored one byte per cell only once a column holds two different ones: most
  /// columns hold one kind throughout (bare numbers, or `?` everywhere), and skipping the
  /// byte keeps their memory and time at what the text alone costs.
  bool mixed_kinds() const noexcept { return mixed_; }
  /// The kind of every cell while !mixed_kinds() (kNoKindYet for an empty column).
  std::uint8_t uniform_kind() const noexcept { return uniform_; }
  static constexpr std::uint8_t kNoKindYet = 0xff;
  /// The kind of each cell; filled only when mixed_kinds().
  PodBuffer<std::uint8_t>& kinds() noexcept { return kinds_; }
  std::uint8_t kind(std::size_t row) const noexcept { return mixed_ ? kinds_[row] : uniform_; }

  [[gnu::always_inline]] void append(std::string_view text, std::uint8_t kind) {
    if (offsets_.empty()) [[unlikely]] offsets_.push_back(0);
    if (data_.size() + text.size() > kMaxBytes) [[unlikely]] too_large();
    note_kind(kind, 1);
    char* out = data_.extend(text.size());
    if (!text.empty()) std::memcpy(out, text.data(), text.size());
    offsets_.push_back(static_cast<std::uint32_t>(data_.size()));
  }

  /// Most loop values are copied as one fixed block of this many bytes, instead of with a copy
  /// whose branches follow the length of each value.
  static constexpr std::size_t kBlock = 16;

  /// Appends the texts of `count` values, every `stride`-th from `first`, for as long as each
  /// is at most one block long with a block readable before `readable_end` and `plain(value)`
  /// says it is stored as it stands (and, while the column holds one kind, is of that kind);
  /// returns how many were appended. Sizes stay in registers for the whole run.
  template <class Value, class Plain>
  [[gnu::always_inline]] std::size_t append_run(const Value* first, std::size_t count,
                                                std::size_t stride, const char* readable_end,
                                                Plain&& plain) {
    if (offsets_.empty() || data_.size() + count * kBlock > kMaxBytes) return 0;
    if (mixed_) {
      std::uint8_t* const kinds = kinds_.room(count);
      const std::size_t k = copy_run(first, count, stride, readable_end, plain,
                                     [&](std::size_t i, std::uint8_t kind) {
                                       kinds[i] = kind;
                                       return true;
                                     });
      kinds_.commit(k);
      return k;
    }
    if (uniform_ == kNoKindYet) uniform_ = first->kind;
    const std::uint8_t uniform = uniform_;
    return copy_run(first, count, stride, readable_end, plain,
                    [uniform](std::size_t, std::uint8_t kind) { return kind == uniform; });
  }

  /// Null cells up to `rows` rows (and the leading offset of an empty column, so append_run
  /// can start on it).
  void pad_to(std::size_t rows) {
    if (offsets_.empty()) offsets_.push_back(0);
    if (rows <= size()) return;
    const std::size_t n = rows - size();
    note_kind(kNullCell, n);
    null_count_ += n;
    const std::uint32_t end = offsets_.back();
    std::uint32_t* offsets = offsets_.extend(n);
    for (std::size_t i = 0; i < n; ++i) offsets[i] = end;
  }

  /// Drops every row from `rows` on.
  void truncate(std::size_t rows) noexcept {
    if (rows >= size()) return;
    offsets_.shrink_to(rows + 1);
    data_.shrink_to(offsets_.back());
    if (mixed_) {
      kinds_.shrink_to(rows);
      null_count_ = 0;
      for (std::size_t i = 0; i < rows; ++i) null_count_ += kinds_[i] == kNullCell;
    } else {
      null_count_ = uniform_ == kNullCell ? rows : 0;
    }
  }

  PodBuffer<char>& data() noexcept { return data_; }
  /// size() + 1 offsets starting at 0 (none at all while the column is empty).
  PodBuffer<std::uint32_t>& offsets() noexcept { return offsets_; }

  /// Bookkeeping of the frames being read, [0] for the block and [1] for its open save frame
  /// (a block's plain tags may go on after a save frame ends): the frame each last saw this
  /// column in as a plain tag and how often, and the frame a loop last named it in.
  struct FrameMarks {
    std::uint32_t plain_frame = 0;
    std::uint32_t plain_count = 0;
    std::uint32_t loop_frame = 0;
  };
  FrameMarks marks[2];

 private:
  template <class Value, class Plain, class Kind>
  [[gnu::always_inline]] std::size_t copy_run(const Value* first, std::size_t count,
                                              std::size_t stride, const char* readable_end,
                                              Plain& plain, Kind&& take_kind) {
    char* const data = data_.room(count * kBlock);
    std::uint32_t* const offsets = offsets_.room(count);
    const auto base = static_cast<std::uint32_t>(data_.size());
    std::size_t size = 0;
    std::size_t k = 0;
    for (; k < count; ++k) {
      const Value& value = first[k * stride];
      const auto length = static_cast<std::size_t>(value.end - value.begin);
      if (length > kBlock || readable_end - value.begin < std::ptrdiff_t{kBlock} ||
          !plain(value) || !take_kind(k, value.kind)) {
        break;
      }
      std::memcpy(data + size, value.begin, kBlock);
      size += length;
      offsets[k] = base + static_cast<std::uint32_t>(size);
    }
    data_.commit(size);
    offsets_.commit(k);
    return k;
  }

  /// Records `n` cells of `kind` about to be appended.
  [[gnu::always_inline]] void note_kind(std::uint8_t kind, std::size_t n) {
    if (!mixed_) {
      if (kind == uniform_) return;
      if (uniform_ == kNoKindYet && size() == 0) {
        uniform_ = kind;
        return;
      }
      become_mixed();
    }
    std::memset(kinds_.extend(n), kind, n);
  }

  [[gnu::noinline]] void become_mixed() {
    const std::size_t n = size();
    if (n != 0) std::memset(kinds_.extend(n), uniform_, n);
    mixed_ = true;
  }

  [[noreturn]] void too_large() const {
    throw ColumnTooLarge("column '" + name_ + "' needs more than " + std::to_string(kMaxBytes) +
                         " bytes of text, more than an Arrow utf8 column holds");
  }

  std::string name_;
  PodBuffer<char> data_;
  PodBuffer<std::uint32_t> offsets_;
  PodBuffer<std::uint8_t> kinds_;
  std::uint8_t uniform_ = kNoKindYet;
  bool mixed_ = false;
  std::size_t null_count_ = 0;
};

}  // namespace tessrin
