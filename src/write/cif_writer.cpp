#include "write/cif_writer.hpp"

namespace tessrin {

CifWriter::CifWriter(bool cif2, std::size_t width) : width_(width) {
  out_.reserve(1 << 16);
  out_.append(cif2 ? "#\\#CIF_2.0\n" : "#\\#CIF_1.1\n");
}

void CifWriter::begin_block(std::string_view name) {
  out_.append("\ndata_").append(name).push_back('\n');
  frame_started_ = false;
  after_loop_ = false;
}

void CifWriter::begin_save_frame(std::string_view name) {
  out_.append("\nsave_").append(name).push_back('\n');
  frame_started_ = false;
  after_loop_ = false;
}

void CifWriter::end_save_frame() {
  out_.append("save_\n");
  frame_started_ = true;
  after_loop_ = true;  // what follows the frame in its block stands apart
  last_category_ = {};
}

std::string_view CifWriter::category(std::string_view tag) {
  const std::size_t dot = tag.find('.');
  if (dot != std::string_view::npos) return tag.substr(0, dot);
  const std::size_t underscore = tag.find('_', 1);
  return underscore == std::string_view::npos ? tag : tag.substr(0, underscore);
}

/// A blank line between categories, and around loops.
void CifWriter::separate(std::string_view tag) {
  const std::string_view cat = category(tag);
  if (frame_started_ && (after_loop_ || cat != last_category_)) out_.push_back('\n');
  frame_started_ = true;
  after_loop_ = false;
  last_category_ = cat;
}

void CifWriter::write_own_lines(const Cell& cell) {
  if (!out_.empty() && out_.back() != '\n') out_.push_back('\n');
  append_value(out_, cell.text, cell.form);
  out_.push_back('\n');
}

void CifWriter::item(std::string_view tag, std::size_t tag_width, const Cell& cell) {
  separate(tag);
  out_.append(tag);
  if (is_text_field(cell.form)) {
    write_own_lines(cell);
    return;
  }
  const std::size_t pad = tag_width > tag.size() ? tag_width - tag.size() : 0;
  if (cell.multiline || tag_width + 1 + cell.width <= width_) {
    out_.append(pad + 1, ' ');
    append_value(out_, cell.text, cell.form);
    out_.push_back('\n');
    return;
  }
  out_.push_back('\n');
  append_value(out_, cell.text, cell.form);
  out_.push_back('\n');
}

void CifWriter::begin_loop(const std::vector<std::string_view>& tags,
                           const std::vector<std::size_t>& widths) {
  if (frame_started_) out_.push_back('\n');
  frame_started_ = true;
  out_.append("loop_\n");
  for (std::string_view tag : tags) out_.append(tag).push_back('\n');
  widths_ = widths;
  std::size_t total = widths.empty() ? 0 : widths.size() - 1;
  for (std::size_t w : widths) total += w;
  aligned_ = total <= width_;
  line_len_ = 0;
  pad_ = 0;
}

void CifWriter::loop_cell(std::size_t column, const Cell& cell) {
  if (cell.multiline) {
    if (line_len_ > 0) out_.push_back('\n');
    append_value(out_, cell.text, cell.form);
    out_.push_back('\n');
    line_len_ = 0;
    pad_ = 0;
    return;
  }
  if (line_len_ > 0) {
    if (line_len_ + pad_ + 1 + cell.width > width_) {
      out_.push_back('\n');
      line_len_ = 0;
    } else {
      out_.append(pad_ + 1, ' ');
      line_len_ += pad_ + 1;
    }
  }
  append_value(out_, cell.text, cell.form);
  line_len_ += cell.width;
  pad_ = aligned_ && cell.width < widths_[column] ? widths_[column] - cell.width : 0;
}

void CifWriter::end_row() {
  if (line_len_ > 0) out_.push_back('\n');
  line_len_ = 0;
  pad_ = 0;
}

void CifWriter::end_loop() { after_loop_ = true; }

}  // namespace tessrin
