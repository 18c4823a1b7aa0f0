#include "write/cif_writer.hpp"

#include <algorithm>
#include <cstring>

namespace tessrin {

CifWriter::CifWriter(bool cif2, std::size_t width, ByteBuffer::Storage* storage)
    // A CIF 1.1 line holds at most 2048 characters, whatever width was asked for.
    : out_(storage), width_(cif2 ? width : std::min(width, kCif11MaxLine)) {
  out_.reserve(1 << 16);
  // Only loops are laid out in bulk; the rest goes through append_cell.
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

void CifWriter::append_cell(const Cell& cell) {
  scratch_.clear();
  append_value(scratch_, cell.text, cell.form);
  out_.append(scratch_);
}

void CifWriter::write_own_lines(const Cell& cell) {
  if (!out_.empty() && out_.back() != '\n') out_.push_back('\n');
  append_cell(cell);
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
    append_cell(cell);
    out_.push_back('\n');
    return;
  }
  out_.push_back('\n');
  append_cell(cell);
  out_.push_back('\n');
}

void CifWriter::begin_loop(const std::vector<std::string_view>& tags,
                           const std::vector<std::size_t>& widths) {
  if (frame_started_) out_.push_back('\n');
  frame_started_ = true;
  out_.append("loop_\n");
  for (std::string_view tag : tags) out_.append(tag).push_back('\n');
  widths_ = widths;
  offset_.assign(widths.size(), 0);
  starts_line_.assign(widths.size(), 1);
  std::size_t pos = 0;
  for (std::size_t c = 0; c < widths.size(); ++c) {
    if (c > 0 && pos + 1 + widths[c] <= width_) {
      starts_line_[c] = 0;
      pos += 1;
    } else {
      pos = 0;
    }
    offset_[c] = pos;
    pos += widths[c];
  }
}

// Writes into space reserved in one step, so the rows go out as plain copies with no
// per-value growth check.
std::size_t CifWriter::layout_rows(const std::vector<const char*>& columns, std::size_t rows,
                                   char* dst) const {
  const std::size_t count = offset_.size();
  std::vector<const char*> cursor = columns;
  std::size_t pos = 0;
  // Short values and pads go as one 16-byte block: a fixed-size copy is a single move, where
  // a call per two-byte value would cost more than the value. What spills past the end is
  // overwritten by the next write (the caller leaves kCopySlack bytes of room).
  auto copy = [&](const char* text, std::size_t size) {
    if (size <= kCopySlack) {
      std::memcpy(dst + pos, text, kCopySlack);  // a constant size: one move, no call
    } else {
      std::memcpy(dst + pos, text, size);
    }
    pos += size;
  };
  for (std::size_t r = 0; r < rows; ++r) {
    std::size_t line_len = 0;
    for (std::size_t c = 0; c < count; ++c) {
      const char* p = cursor[c];
      std::size_t size = static_cast<unsigned char>(*p++);
      std::size_t width = size;
      bool multiline = false;
      if (size == kLongCell) {
        std::uint32_t words[2];
        std::memcpy(words, p, sizeof words);
        p += sizeof words;
        size = words[0];
        width = words[1] & ~kMultiline;
        multiline = (words[1] & kMultiline) != 0;
      }
      cursor[c] = p + size;
      if (multiline) {
        if (line_len > 0) dst[pos++] = '\n';
        copy(p, size);
        dst[pos++] = '\n';
        line_len = 0;
        continue;
      }
      if (line_len > 0) {
        if (starts_line_[c]) {
          dst[pos++] = '\n';
          line_len = 0;
        } else {
          const std::size_t pad = offset_[c] > line_len ? offset_[c] - line_len : 1;
          if (pad <= kCopySlack) {
            std::memset(dst + pos, ' ', kCopySlack);
          } else {
            std::memset(dst + pos, ' ', pad);
          }
          pos += pad;
          line_len += pad;
        }
      }
      copy(p, size);
      line_len += width;
    }
    if (line_len > 0) dst[pos++] = '\n';
  }
  return pos;
}

// The common loop: every value short and on its row's lines, so each column starts at its
// own offset on its line in every row. A value goes out as one 16-byte block (short ones)
// and the pad after it as 16-byte blocks of blanks up to the next column; what spills past
// either is overwritten by what follows on the line.
std::size_t CifWriter::layout_regular_rows(const std::vector<const char*>& columns,
                                           std::size_t rows, char* dst) {
  static constexpr char kBlanks[kCopySlack] = {' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
                                               ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
  const std::size_t count = offset_.size();
  std::vector<LaidColumn>& cols = laid_columns_;
  cols.resize(count);
  std::vector<std::size_t>& line_ends = line_ends_;
  line_ends.clear();
  for (std::size_t c = 0; c < count; ++c) {
    const bool shared = c + 1 < count && !starts_line_[c + 1];
    const std::size_t pad_end = shared ? offset_[c + 1] : 0;
    // A value shorter than this leaves a pad longer than one block of blanks covers.
    const std::size_t need =
        pad_end > offset_[c] + kCopySlack ? pad_end - offset_[c] - kCopySlack : 0;
    cols[c] = LaidColumn{columns[c], offset_[c], pad_end, need <= kCopySlack ? need : kLongCell + 1,
                     need <= kCopySlack ? kCopySlack - need : 0};
    if (!shared) line_ends.push_back(c + 1);
  }
  LaidColumn* const first = cols.data();
  char* out = dst;
  for (std::size_t r = 0; r < rows; ++r) {
    LaidColumn* col = first;
    for (const std::size_t line_end : line_ends) {
      char* const line = out;
      char* text_end = line;
      for (LaidColumn* const stop = first + line_end; col != stop; ++col) {
        const char* p = col->next;
        const std::size_t size = static_cast<unsigned char>(*p);
        char* at = line + col->offset;
        std::memcpy(at, p + 1, kCopySlack);
        col->next = p + 1 + size;
        text_end = at + size;
        std::memcpy(text_end, kBlanks, kCopySlack);
        if (size - col->short_from > col->short_span) {
          if (size > kCopySlack) {
            std::memcpy(at + kCopySlack, p + 1 + kCopySlack, size - kCopySlack);
          }
          for (char* pad = text_end + kCopySlack; pad < line + col->pad_end; pad += kCopySlack) {
            std::memcpy(pad, kBlanks, kCopySlack);
          }
        }
      }
      *text_end = '\n';
      out = text_end + 1;
    }
  }
  return static_cast<std::size_t>(out - dst);
}

void CifWriter::loop_rows(const std::vector<const char*>& columns, std::size_t rows,
                          std::size_t column_bytes, std::size_t multiline, bool regular) {
  const std::size_t count = offset_.size();
  if (count == 0) return;
  // Room for every byte: the texts; per row its pads, which on each line add up to at most
  // the aligned line's length, and a line feed per column at most; a value on lines of its
  // own starts a line afresh, so it may add a line's worth of pads and two line feeds.
  std::size_t line = 0;
  for (std::size_t c = 0; c < count; ++c) {
    if (c + 1 == count || starts_line_[c + 1]) line += offset_[c] + widths_[c];
  }
  const std::size_t room =
      column_bytes + rows * (line + count + 1) + multiline * (line + 2) + kCopySlack;
  char* dst = out_.reserve(room);
  out_.commit(regular && multiline == 0 ? layout_regular_rows(columns, rows, dst)
                                        : layout_rows(columns, rows, dst));
}

void CifWriter::end_loop() { after_loop_ = true; }

}  // namespace tessrin
