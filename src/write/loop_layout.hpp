// The columns of one loop on their way to the writer: each column's cells in put_cell's
// layout, its widest one-line cell, how many cells stand on lines of their own, and whether
// every cell took the short layout (the writer's fast row layout). Plain C++: the walk over
// Python containers (src/python/py_dumps.cpp) and the writer's fuzz target feed it alike.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "write/byte_buffer.hpp"
#include "write/cif_writer.hpp"

namespace tessrin {

/// Plain items of one category pad their tags to the longest tag of the run, up to this.
inline constexpr std::size_t kMaxTagPad = 40;

class LoopLayout {
 public:
  /// `arenas` hold the columns; kept by the caller from loop to loop (and call to call), so
  /// that their pages are not faulted in afresh each time.
  explicit LoopLayout(std::vector<ByteBuffer>& arenas) : arenas_(arenas) {}

  /// Starts a loop of `columns` empty columns.
  void begin(std::size_t columns);

  /// The arena of column `c`, for a caller that appends short cells itself (then `widen`).
  ByteBuffer& column(std::size_t c) { return arenas_[c]; }

  /// Appends `cell` to column `c` in the general layout, with its delimiters; false when the
  /// value is too long to describe (2 GiB).
  bool add(std::size_t c, const Cell& cell) {
    scratch_.clear();
    append_value(scratch_, cell.text, cell.form);
    if (!put_cell(arenas_[c], scratch_, cell.width, cell.multiline)) return false;
    regular_ = regular_ && is_short_cell(scratch_, cell.width, cell.multiline);
    if (cell.multiline) {
      ++multiline_;
    } else {
      widen(c, cell.width);
    }
    return true;
  }

  /// Column `c` holds a one-line cell `width` columns wide.
  void widen(std::size_t c, std::size_t width) { widths_[c] = std::max(widths_[c], width); }

  /// Column `c` is complete: the row layout copies short values in whole 16-byte blocks, so
  /// bytes past its end must be readable.
  void end_column(std::size_t c) { arenas_[c].reserve(kCopySlack); }

  /// Writes the loop begun last: its header with `names`, its `rows` rows, its end.
  void write(CifWriter& writer, const std::vector<std::string_view>& names, std::size_t rows);

 private:
  std::vector<ByteBuffer>& arenas_;
  std::vector<std::size_t> widths_;
  std::vector<const char*> columns_;
  std::string scratch_;
  std::size_t count_ = 0;      // columns of the current loop
  std::size_t multiline_ = 0;  // cells on lines of their own
  bool regular_ = true;        // every cell in the short layout
};

}  // namespace tessrin
