// Layout of written CIF: blocks, save frames, items and aligned loops, into one growing string.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

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

/// Writes CIF text into `out()`: the caller walks the data in order and hands over names and
/// cells; the writer decides lines, alignment and blank lines between categories.
class CifWriter {
 public:
  CifWriter(bool cif2, std::size_t width);

  std::string& out() { return out_; }

  void begin_block(std::string_view name);
  void begin_save_frame(std::string_view name);
  void end_save_frame();

  /// One tag and one value; `tag_width` pads the tag so that values of a category line up.
  void item(std::string_view tag, std::size_t tag_width, const Cell& cell);

  /// A loop header; `widths` are the widest one-line cells of each column, which decide
  /// whether rows fit on one aligned line.
  void begin_loop(const std::vector<std::string_view>& tags,
                  const std::vector<std::size_t>& widths);
  void loop_cell(std::size_t column, const Cell& cell);
  void end_row();
  void end_loop();

  /// The category a tag belongs to: up to the first full stop (mmCIF), else up to the second
  /// underscore (CIF 1.1 core names such as _cell_length_a).
  static std::string_view category(std::string_view tag);

 private:
  void separate(std::string_view tag);
  void write_own_lines(const Cell& cell);

  std::string out_;
  std::size_t width_;
  std::string_view last_category_;
  bool after_loop_ = false;
  bool frame_started_ = false;
  // Loop state.
  std::vector<std::size_t> widths_;
  bool aligned_ = false;
  std::size_t line_len_ = 0;
  std::size_t pad_ = 0;
};

}  // namespace tessrin
