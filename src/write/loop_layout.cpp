#include "write/loop_layout.hpp"

namespace tessrin {

void LoopLayout::begin(std::size_t columns) {
  if (arenas_.size() < columns) arenas_.resize(columns);
  for (std::size_t c = 0; c < columns; ++c) arenas_[c].clear();
  widths_.assign(columns, 0);
  count_ = columns;
  multiline_ = 0;
  regular_ = true;
}

void LoopLayout::write(CifWriter& writer, const std::vector<std::string_view>& names,
                       std::size_t rows) {
  writer.begin_loop(names, widths_);
  columns_.resize(count_);
  std::size_t column_bytes = 0;
  for (std::size_t c = 0; c < count_; ++c) {
    columns_[c] = arenas_[c].data();
    column_bytes += arenas_[c].size();
  }
  writer.loop_rows(columns_, rows, column_bytes, multiline_, regular_);
  writer.end_loop();
}

}  // namespace tessrin
