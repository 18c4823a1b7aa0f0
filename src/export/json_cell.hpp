// Cell text of the columnar export: scalars as they are, containers as NUL-marked JSON.
#pragma once

#include <string>
#include <string_view>

#include "collect/raw_model.hpp"

namespace tessrin {

/// Appends `text` as a JSON string. Tab, line feed, carriage return, quote and backslash get
/// their short escapes, the other characters below U+0020 \u00xx; everything else is copied.
void json_str(std::string_view text, std::string& out);

/// Appends the compact JSON text of `value`: every scalar a JSON string, lists as arrays, tables
/// as objects with their entries in order (a repeated key is written twice). Nesting depth is
/// unlimited: the walk keeps its own stack.
void json_val(const RawValue& value, std::string& out);

/// True for the rare scalar whose text itself begins with NUL (the lexer lets a stray NUL
/// through). Left as it is, its cell would read as a NUL-marked container.
constexpr bool needs_marking(std::string_view scalar) noexcept {
  return !scalar.empty() && scalar.front() == '\0';
}

/// Appends the cell text of a scalar: its text unchanged, or, when it begins with NUL, NUL
/// followed by its JSON string, so that the one decoding rule below gives the text back.
void scalar_cell(std::string_view text, std::string& out);

/// Appends the cell text of `value`: a scalar as `scalar_cell` writes it, a list or table as
/// NUL followed by its JSON text. A reader decodes every cell that begins with NUL as JSON and
/// takes every other cell as a scalar's text.
void cell_text(const RawValue& value, std::string& out);

}  // namespace tessrin
