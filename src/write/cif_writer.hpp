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

/// A loop column as the writer lays it out: per value, one byte with its size (which is also
/// the columns it takes) and its written text. A value whose size is kLongCell or more, or
/// differs from its width (non-ASCII), or that stands on lines of its own, has the byte
/// kLongCell followed by its size and its width as two 32-bit words, kMultiline set in the
/// width for a value on lines of its own. Read in sequence, with no per-value array beside.
inline constexpr unsigned char kLongCell = 255;
inline constexpr std::uint32_t kMultiline = 0x80000000u;
/// Readable bytes after the end of each column: short values are copied as one block.
inline constexpr std::size_t kCopySlack = 16;

/// Whether a value takes the short layout in a column: one size byte, then its text.
inline bool is_short_cell(std::string_view text, std::size_t width, bool multiline) {
  return !multiline && text.size() == width && text.size() < kLongCell;
}

/// Appends one value to a column (the general case; the writer of a parse inlines the short
/// one). False when the value is too long to describe (2 GiB).

inline bool put_cell(ByteBuffer& column, std::string_view text, std::size_t width, bool multiline) {
  if (is_short_cell(text, width, multiline)) {
    column.push_back(static_cast<char>(text.size()));
    column.append(text);
    return true;
  }
  if (text.size() >= kMultiline || width >= kMultiline) return false;
  const std::uint32_t words[2] = {static_cast<std::uint32_t>(text.size()),
                                  static_cast<std::uint32_t>(width) | (multiline ? kMultiline : 0)};
  column.push_back(static_cast<char>(kLongCell));
  column.append(reinterpret_cast<const char*>(words), sizeof words);
  column.append(text);
  return true;
}

/// Writes CIF text into `out()`: the caller walks the data in order and hands over names and
/// cells; the writer decides lines, alignment and blank lines between categories.
class CifWriter {
 public:
  /// `storage` holds the output (malloc when null).
  CifWriter(bool cif2, std::size_t width, ByteBuffer::Storage* storage = nullptr);

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
  /// All `rows` rows of the loop begun last, from its columns (put_cell's layout, kCopySlack
  /// readable bytes after each); `column_bytes` is the columns' total size and `multiline`
  /// the number of values on lines of their own; `regular` when every value has the short
  /// layout (one size byte, as many columns as bytes).
  void loop_rows(const std::vector<const char*>& columns, std::size_t rows,
                 std::size_t column_bytes, std::size_t multiline, bool regular);
  void end_loop();

  /// The category a tag belongs to: up to the first full stop (mmCIF), else up to the second
  /// underscore (CIF 1.1 core names such as _cell_length_a).
  static std::string_view category(std::string_view tag);

 private:
  void separate(std::string_view tag);
  void write_own_lines(const Cell& cell);
  std::size_t layout_rows(const std::vector<const char*>& columns, std::size_t rows,
                          char* dst) const;
  std::size_t layout_regular_rows(const std::vector<const char*>& columns, std::size_t rows,
                                  char* dst);

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
  // Per column of a regular loop, in one place: where its next value is, where it starts on
  // its line, where the pad after it ends (the next column's offset on a shared line, else
  // the value's end) and the sizes from `short_from` to `short_from + short_span` (unsigned,
  // so one test) that need neither a second copy nor a second block of blanks.
  struct LaidColumn {
    const char* next;
    std::size_t offset;
    std::size_t pad_end;
    std::size_t short_from;
    std::size_t short_span;
  };
  std::vector<LaidColumn> laid_columns_;
  std::vector<std::size_t> line_ends_;  // one past the last column of each line of a row
};

}  // namespace tessrin
