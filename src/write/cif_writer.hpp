// Layout of written CIF: blocks, save frames, items and aligned loops, into one growing string.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "write/byte_buffer.hpp"
#include "write/value_form.hpp"

namespace tessrin {

/// One value ready to write: its text, its form, and the columns it takes on a line.
struct Cell {
  std::string_view text;
  std::size_t width = 0;
  ValueForm form = ValueForm::Bare;
  bool multiline = false;  // a text field, or a value with a line feed inside (own lines)
};

/// Makes a cell of a value whose form is chosen; `chars` is its length in characters.
inline Cell make_cell(std::string_view text, std::size_t chars, ValueForm form) {
  // Only text fields and triple quotes can hold a line feed.
  const bool triple = form == ValueForm::TripleSingle || form == ValueForm::TripleDouble;
  return Cell{text, chars + delimiter_width(form), form,
              is_text_field(form) || (triple && text.find('\n') != std::string_view::npos)};
}

/// One value of a loop as pass 2 needs it: the size of its written text and the columns it
/// takes, with kMultiline set for a value on lines of its own.
struct LoopCell {
  std::uint32_t size;
  std::uint32_t width;
};
inline constexpr std::uint32_t kMultiline = 0x80000000u;
/// Readable bytes past the end of each column's text: short values are copied as one block.
inline constexpr std::size_t kCopySlack = 16;

/// Writes CIF text into `out()`: the caller walks the data in order and hands over names and
/// cells; the writer decides lines, alignment and blank lines between categories.
class CifWriter {
 public:
  CifWriter(bool cif2, std::size_t width);

  const ByteBuffer& out() const { return out_; }

  void begin_block(std::string_view name);
  void begin_save_frame(std::string_view name);
  void end_save_frame();

  /// One tag and one value; `tag_width` pads the tag so that values of a category line up.
  void item(std::string_view tag, std::size_t tag_width, const Cell& cell);

  /// A loop header; `widths` are the widest one-line cells of each column. Columns go on a
  /// row's line while it stays within the width, the rest on further lines, so every row
  /// breaks at the same columns and each column keeps its place.
  void begin_loop(const std::vector<std::string_view>& tags,
                  const std::vector<std::size_t>& widths);
  /// All rows of the loop begun last, from pre-formatted cells: `column_text[c]` holds the
  /// written texts of column c one after another (kCopySlack readable bytes after them);
  /// `cells` has one entry per value, row by row; `text_bytes` is their total size.
  void loop_rows(const std::vector<const char*>& column_text, const std::vector<LoopCell>& cells,
                 std::size_t text_bytes);
  void end_loop();

  /// The category a tag belongs to: up to the first full stop (mmCIF), else up to the second
  /// underscore (CIF 1.1 core names such as _cell_length_a).
  static std::string_view category(std::string_view tag);

 private:
  void separate(std::string_view tag);
  void write_own_lines(const Cell& cell);
  std::size_t layout_rows(const std::vector<const char*>& column_text,
                          const std::vector<LoopCell>& cells, char* dst) const;

  void append_cell(const Cell& cell);

  ByteBuffer out_;
  std::string scratch_;
  std::size_t width_;
  std::string_view last_category_;
  bool after_loop_ = false;
  bool frame_started_ = false;
  // Loop state.
  std::vector<std::size_t> widths_;
  std::vector<std::size_t> offset_;    // where each column starts on its line
  std::vector<std::uint8_t> starts_line_;  // whether a column starts a new line of its row
};

}  // namespace tessrin
