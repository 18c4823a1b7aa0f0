#include "types/column_types.hpp"

#include <cstring>
#include <utility>

#include "export/json_cell.hpp"
#include "tables/table_column.hpp"
#include "text/lexer.hpp"
#include "types/number.hpp"

namespace tessrin {
namespace {

inline void set_bit(PodBuffer<std::uint8_t>& bits, std::size_t i) noexcept {
  bits.data()[i >> 3] |= static_cast<std::uint8_t>(1u << (i & 7));
}

inline bool bit(const PodBuffer<std::uint8_t>& bits, std::size_t i) noexcept {
  return (bits[i >> 3] >> (i & 7)) & 1u;
}

/// `n` zeroed values.
template <class T>
void zeroed(PodBuffer<T>& buffer, std::size_t n) {
  T* out = buffer.extend(n);
  if (n != 0) std::memset(out, 0, n * sizeof(T));
}

/// The column stays text because of value `row` (or of nothing in particular at kNoRow).
TypedColumn text_column(const TextColumnView& column, DeclaredType declared, std::size_t row,
                        std::string_view reason) {
  TypedColumn out;
  out.rule.declared = declared;
  out.rule.source = declared == DeclaredType::None ? ColumnRule::Source::Inferred
                                                   : ColumnRule::Source::Declared;
  out.rule.reason.assign(reason);
  out.rule.row = row;
  if (row != ColumnRule::kNoRow) out.rule.value.assign(column.text(row));
  out.rule.mismatch = declared == DeclaredType::Integer || declared == DeclaredType::Real;
  return out;
}

}  // namespace

TypedColumn type_column(const TextColumnView& column, DeclaredType declared,
                        bool quotes_are_text) {
  const std::size_t rows = column.rows;
  if (declared == DeclaredType::Text) {
    TypedColumn out;
    out.rule.source = ColumnRule::Source::Declared;
    out.rule.declared = declared;
    out.rule.reason = "declared text";
    return out;
  }
  auto text = [&](std::size_t row, std::string_view reason) {
    return text_column(column, declared, row, reason);
  };

  TypedColumn out;
  out.rule.declared = declared;
  out.rule.source = declared == DeclaredType::None ? ColumnRule::Source::Inferred
                                                   : ColumnRule::Source::Declared;
  // Integers until the first other number: most numeric columns of a structure file are one
  // or the other from their first row.
  out.type = declared == DeclaredType::Real ? TypedColumn::Type::Float64
                                            : TypedColumn::Type::Int64;
  if (out.type == TypedColumn::Type::Int64) {
    zeroed(out.ints, rows);
  } else {
    zeroed(out.reals, rows);
  }
  zeroed(out.validity, (rows + 7) / 8);
  std::size_t values = 0;

  for (std::size_t i = 0; i < rows; ++i) {
    const std::uint8_t kind = column.kinds[i];
    if (kind != kString) [[unlikely]] {
      if (kind == kPlaceholder || kind == kNullCell) continue;
      if (kind == kContainerCell) return text(i, "a list or table");
      if (quotes_are_text) return text(i, "quoted, so text in CIF 2.0");
    }
    CifNumber number;
    if (!parse_plain_number(column.text(i), number)) [[unlikely]] {
      number = parse_number(column.text(i));
    }
    switch (number.kind) {
      case CifNumber::Kind::Integer:
        if (out.type == TypedColumn::Type::Int64) {
          out.ints.data()[i] = number.integer;
        } else if (exact_in_double(number.integer)) {
          out.reals.data()[i] = number.value;
        } else {
          return text(i, "an integer past 2^53 among real numbers: float64 would round it");
        }
        break;
      case CifNumber::Kind::Real:
        if (declared == DeclaredType::Integer) return text(i, "not an integer");
        if (out.type == TypedColumn::Type::Int64) {
          zeroed(out.reals, rows);
          for (std::size_t j = 0; j < i; ++j) {
            if (!bit(out.validity, j)) continue;
            if (!exact_in_double(out.ints[j])) {
              return text(j, "an integer past 2^53 among real numbers: float64 would round it");
            }
            out.reals.data()[j] = static_cast<double>(out.ints[j]);
          }
          out.ints.release().free();
          out.type = TypedColumn::Type::Float64;
        }
        out.reals.data()[i] = number.value;
        if (number.has_su) {
          if (!out.has_su) {
            out.has_su = true;
            zeroed(out.sus, rows);
            zeroed(out.su_validity, (rows + 7) / 8);
          }
          out.sus.data()[i] = number.su;
          set_bit(out.su_validity, i);
        }
        break;
      case CifNumber::Kind::Inexact:
        return text(i, "an integer that neither int64 nor float64 holds exactly");
      case CifNumber::Kind::NotNumber:
        return text(i, "not a number");
    }
    set_bit(out.validity, i);
    ++values;
  }
  if (values == 0 && declared == DeclaredType::None) {
    return text(ColumnRule::kNoRow, "no values to infer a type from");
  }
  out.null_count = rows - values;
  if (out.has_su) {
    std::size_t with_su = 0;
    for (std::uint8_t byte : out.su_validity.span()) {
      with_su += static_cast<std::size_t>(__builtin_popcount(byte));
    }
    out.su_null_count = rows - with_su;
  }
  return out;
}

void append_rule_json(const TypedColumn& column, std::string_view su_column, std::string& out) {
  const ColumnRule& rule = column.rule;
  out += "{\"type\":";
  json_str(type_name(column.type), out);
  out += ",\"source\":";
  switch (rule.source) {
    case ColumnRule::Source::Inferred:
      out += "\"inferred\"";
      break;
    case ColumnRule::Source::Declared:
      out += "\"declared ";
      out += declared_name(rule.declared);
      out += '"';
      break;
    case ColumnRule::Source::TextRequested:
      out += "\"types=text\"";
      break;
  }
  if (!rule.reason.empty()) {
    out += ",\"reason\":";
    json_str(rule.reason, out);
  }
  if (rule.row != ColumnRule::kNoRow) {
    out += ",\"row\":";
    out += std::to_string(rule.row);
    out += ",\"value\":";
    json_str(rule.value, out);
  }
  if (column.has_su) {
    out += ",\"su\":";
    json_str(su_column, out);
  }
  out += '}';
}

std::string_view type_name(TypedColumn::Type type) noexcept {
  switch (type) {
    case TypedColumn::Type::Int64:
      return "int64";
    case TypedColumn::Type::Float64:
      return "float64";
    case TypedColumn::Type::String:
      break;
  }
  return "string";
}

std::string_view declared_name(DeclaredType type) noexcept {
  switch (type) {
    case DeclaredType::Integer:
      return "integer";
    case DeclaredType::Real:
      return "real";
    case DeclaredType::Text:
      return "text";
    case DeclaredType::None:
      break;
  }
  return "none";
}

}  // namespace tessrin
