// Typing of one table column: every value of a text column read as int64, float64 (with a
// companion column of standard uncertainties) or left as text, with the rule that decided.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "collect/pod_buffer.hpp"

namespace tessrin {

/// What a dictionary says an item holds.
enum class DeclaredType : std::uint8_t { None, Integer, Real, Text };

/// A text column in Arrow's string layout with the kind of each cell, as a table column keeps
/// them (table_column.hpp): the lexer's value kinds, a missing value, a list or table.
/// Typing reads only unquoted words as numbers; the unquoted `?` and `.` and missing values
/// are nulls.
struct TextColumnView {
  const char* data = nullptr;
  const std::uint32_t* offsets = nullptr;  // rows + 1
  const std::uint8_t* kinds = nullptr;     // rows, or null when every cell is `uniform_kind`
  std::uint8_t uniform_kind = 0;
  std::size_t rows = 0;

  std::string_view text(std::size_t i) const noexcept {
    return {data + offsets[i], offsets[i + 1] - offsets[i]};
  }
};

/// Why a column has its type; published per column in the table's schema metadata.
struct ColumnRule {
  enum class Source : std::uint8_t { Inferred, Declared, TextRequested };
  static constexpr std::size_t kNoRow = static_cast<std::size_t>(-1);

  Source source = Source::Inferred;
  DeclaredType declared = DeclaredType::None;
  std::string reason;          // why a column stayed text; empty for a typed column
  std::size_t row = kNoRow;    // the first value that kept it text, from 0
  std::string value;           // that value's text
  bool mismatch = false;       // a declared numeric item whose value does not fit
};

/// The outcome of typing a column. Buffers are in Arrow's layout: values for every row, and
/// validity bitmaps (bit i of byte i / 8, set for a value) sized for all rows.
struct TypedColumn {
  enum class Type : std::uint8_t { Int64, Float64, String };

  Type type = Type::String;
  ColumnRule rule;
  PodBuffer<std::int64_t> ints;         // Int64
  PodBuffer<double> reals;              // Float64
  PodBuffer<std::uint8_t> validity;     // Int64 and Float64
  std::size_t null_count = 0;
  bool has_su = false;                  // Float64 with at least one uncertainty
  PodBuffer<double> sus;                // has_su: the uncertainty, 0 where none
  PodBuffer<std::uint8_t> su_validity;
  std::size_t su_null_count = 0;
};

/// Types `column` from its values, or as `declared` says. `quotes_are_text` is true for
/// CIF 2.0, where a quoted value is a string; CIF 1.1 quotes only delimit.
TypedColumn type_column(const TextColumnView& column, DeclaredType declared,
                        bool quotes_are_text);

/// Appends the rule of `column` as one JSON object: {"type", "source", and for a column
/// left as text "reason", "row" and "value"; for one with uncertainties "su", the name of
/// its companion column}. Tables publish these in their schema metadata.
void append_rule_json(const TypedColumn& column, std::string_view su_column, std::string& out);

/// Name of a type as the rule metadata and the command show it.
std::string_view type_name(TypedColumn::Type type) noexcept;
std::string_view declared_name(DeclaredType type) noexcept;

}  // namespace tessrin
