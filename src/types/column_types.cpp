#include "types/column_types.hpp"

#include <algorithm>
#include <cstring>
#include <type_traits>
#include <utility>

#include "export/json_cell.hpp"
#include "tables/table_column.hpp"
#include "text/lexer.hpp"
#include "types/number.hpp"
#include "types/number_groups.hpp"

namespace tessrin {
namespace {

inline void set_bit(PodBuffer<std::uint8_t>& bits, std::size_t i) noexcept {
  bits.data()[i >> 3] |= static_cast<std::uint8_t>(1u << (i & 7));
}

/// Byte k is 1 where cell k of the (up to 8) `kinds` holds a value, 0 where it is null (the
/// placeholder kind 6 and the missing kind 7 are the two kinds that are 7 with bit 0 set).
inline std::uint64_t valid_cells(const std::uint8_t* kinds, std::size_t n) noexcept {
  static_assert(kPlaceholder == 6 && kNullCell == 7);
  std::uint64_t w = 0x0707070707070707;  // bytes past n read as null
  std::memcpy(&w, kinds, n);
  const std::uint64_t t = (w | 0x0101010101010101) ^ 0x0707070707070707;  // 0 for a null
  const std::uint64_t high = 0x8080808080808080;
  const std::uint64_t nonzero = (((t & ~high) + ~high) | t) & high;
  return nonzero >> 7;
}

/// The rule of a column typed by inference, or by what a dictionary declares.
ColumnRule rule_for(DeclaredType declared) {
  ColumnRule rule;
  rule.declared = declared;
  rule.source = declared == DeclaredType::None ? ColumnRule::Source::Inferred
                                               : ColumnRule::Source::Declared;
  return rule;
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
  out.rule = rule_for(declared);
  out.rule.reason.assign(reason);
  out.rule.row = row;
  if (row != ColumnRule::kNoRow) out.rule.value.assign(column.text(row));
  out.rule.mismatch = declared == DeclaredType::Integer || declared == DeclaredType::Real;
  return out;
}

/// The rows whose values the short readers may take: they read kShortReadBytes from a
/// value's start, so the last few rows of a column are left to the general loop.
std::size_t short_read_rows(const TextColumnView& column) noexcept {
  const std::uint32_t size = column.rows == 0 ? 0 : column.offsets[column.rows];
  if (size < kShortReadBytes) return 0;
  return static_cast<std::size_t>(
      std::upper_bound(column.offsets, column.offsets + column.rows, size - kShortReadBytes) -
      column.offsets);
}

/// Rows from `i` up to `rows` (short_read_rows) of a column already typed as `T` (int64 or
/// float64), read into `out` for as long as each is a short plain number of that type or, in
/// a Mixed column, a null; returns the first row it did not take, for the general loop. Once
/// a column's type is known nearly every value takes this loop: four at a time where they
/// allow (number_groups.hpp), one by one across a group that does not.
template <bool Mixed, class T>
[[gnu::noinline]] std::size_t read_run(const TextColumnView& column, std::size_t i,
                                       std::size_t rows, T* out) noexcept {
  // Rows read one by one after a group was refused: a few, or many where the groups were
  // refused at once, so a column of values they never take does not try every group.
  constexpr std::size_t kAfterRefusal = 4;
  constexpr std::size_t kAfterNoGroup = 64;
  const std::uint8_t* const kinds = column.kinds;
  const std::uint32_t* const offsets = column.offsets;
  const char* const data = column.data;
  unsigned fraction = 0;  // digits after the point of the last real read
  while (i < rows) {
    const std::size_t from = i;
    if constexpr (std::is_same_v<T, std::int64_t>) {
      i = read_integer_groups(column, i, rows, out);
    } else {
      i = read_real_groups(column, i, rows, out);
    }
    const std::size_t stop = std::min(rows, i + (i == from ? kAfterNoGroup : kAfterRefusal));
    std::uint32_t begin = offsets[i];
    for (; i < stop; ++i) {
      const std::uint32_t end = offsets[i + 1];
      if constexpr (Mixed) {
        const std::uint8_t kind = kinds[i];
        if (kind != kString) {
          if (kind != kPlaceholder && kind != kNullCell) return i;
          out[i] = 0;
          begin = end;
          continue;
        }
      }
      bool taken;
      if constexpr (std::is_same_v<T, std::int64_t>) {
        taken = read_short_integer(data + begin, end - begin, out[i]);
      } else {
        taken = read_short_real(data + begin, end - begin, fraction, out[i]);
      }
      if (!taken) return i;
      begin = end;
    }
  }
  return i;
}

/// A column of unquoted one-character values that are all digits (ids and codes: `1` in
/// every row) as int64, or false. Its text is then the digits themselves, one per row.
bool one_digit_column(const TextColumnView& column, TypedColumn& out) {
  const std::size_t rows = column.rows;
  if (rows == 0 || column.kinds != nullptr || column.uniform_kind != kString ||
      column.offsets[rows] - column.offsets[0] != rows) {
    return false;
  }
  const auto* digits = reinterpret_cast<const unsigned char*>(column.data + column.offsets[0]);
  // Checked before anything is allocated: most one-character columns are letters (element
  // symbols, chain ids). Both passes vectorise; a byte that is no digit leaves a bit above the
  // lowest four in `over` (its value less '0', plus 6, is 16 or more).
  unsigned over = 0;
  for (std::size_t i = 0; i < rows; ++i) over |= static_cast<unsigned char>(digits[i] - '0') + 6u;
  if (over > 15) return false;
  std::int64_t* ints = out.ints.extend(rows);
  for (std::size_t i = 0; i < rows; ++i) ints[i] = digits[i] - '0';
  out.type = TypedColumn::Type::Int64;
  return true;
}

/// The typing of a column whose cells are all of one kind (Mixed false: `column.kinds` is
/// null, and that kind is a value's) or of several.
template <bool Mixed>
TypedColumn type_cells(const TextColumnView& column, DeclaredType declared,
                       bool quotes_are_text) {
  const std::size_t rows = column.rows;
  auto text = [&](std::size_t row, std::string_view reason) {
    return text_column(column, declared, row, reason);
  };
  constexpr std::string_view kRounded =
      "an integer past 2^53 among real numbers: float64 would round it";
  // Inference only; what a dictionary declares an integer is read as one.
  constexpr std::string_view kNotCanonical =
      "an integer not in canonical form (a leading zero, a plus sign, -0)";

  TypedColumn out;
  out.rule = rule_for(declared);
  out.type = declared == DeclaredType::Real ? TypedColumn::Type::Float64
                                            : TypedColumn::Type::Int64;
  // The value buffer is made at the first value, as int64 or float64 by what that value is
  // (most numeric columns are one or the other from their first row); every row is written
  // once, nulls as 0, so nothing is zeroed ahead. Validity comes from the cell kinds at the
  // end: nothing in the loop depends on the row before.
  std::int64_t* ints = nullptr;
  double* reals = nullptr;
  // Locals, so the loop does not reload them after every store through ints or reals.
  const std::uint8_t* const kinds = column.kinds;
  const std::uint32_t* const offsets = column.offsets;
  const char* const data = column.data;
  const char* const data_end = rows == 0 ? data : data + offsets[rows];
  std::size_t with_su = 0;

  // Worked out once: a column of values the short readers refuse (uncertainties, exponents)
  // comes back to the general loop at every row.
  const std::size_t run_rows =
      Mixed || column.uniform_kind == kString ? short_read_rows(column) : 0;
  for (std::size_t i = 0; i < rows; ++i) {
    if (i < run_rows && ints != nullptr) {
      i = read_run<Mixed>(column, i, run_rows, ints);
    } else if (i < run_rows && reals != nullptr) {
      i = read_run<Mixed>(column, i, run_rows, reals);
    }
    if (i == rows) break;
    const std::uint8_t kind = Mixed ? kinds[i] : column.uniform_kind;
    const std::string_view value(data + offsets[i], offsets[i + 1] - offsets[i]);
    if (kind == kString) [[likely]] {
      // The common case: a short plain number of the column's type.
      const PlainNumber plain = read_plain_number(value, data_end);
      if (plain.kind == PlainNumber::Kind::Integer) {
        if (ints != nullptr) {
          ints[i] = plain.mantissa;
          continue;
        }
        if (reals != nullptr && exact_in_double(plain.mantissa)) {
          reals[i] = static_cast<double>(plain.mantissa);
          continue;
        }
      } else if (plain.kind == PlainNumber::Kind::Real && reals != nullptr) {
        reals[i] = plain.real();
        continue;
      }
    } else if (kind == kPlaceholder || kind == kNullCell) {
      if (ints != nullptr) ints[i] = 0;
      if (reals != nullptr) reals[i] = 0;
      continue;
    } else if (kind == kContainerCell) {
      return text(i, "a list or table");
    } else if (quotes_are_text) {
      return text(i, "quoted, so text in CIF 2.0");
    }

    // Everything else: the first value, a change from int64 to float64, uncertainties,
    // longer numbers, and what is no number at all.
    const CifNumber number = parse_number(value);
    if (declared == DeclaredType::None && number.kind != CifNumber::Kind::NotNumber &&
        noncanonical_integer(value)) {
      return text(i, kNotCanonical);
    }
    switch (number.kind) {
      case CifNumber::Kind::Integer:
      case CifNumber::Kind::Real:
        break;
      case CifNumber::Kind::Inexact:
        return text(i, "an integer that neither int64 nor float64 holds exactly");
      case CifNumber::Kind::NotNumber:
        return text(i, "not a number");
    }
    const bool integer = number.kind == CifNumber::Kind::Integer;
    if (!integer && declared == DeclaredType::Integer) return text(i, "not an integer");
    if (ints == nullptr && reals == nullptr) {
      if (!integer) out.type = TypedColumn::Type::Float64;
      if (out.type == TypedColumn::Type::Int64) {
        ints = out.ints.extend(rows);
        std::memset(ints, 0, i * sizeof *ints);
      } else {
        reals = out.reals.extend(rows);
        std::memset(reals, 0, i * sizeof *reals);
      }
    } else if (!integer && ints != nullptr) {
      reals = out.reals.extend(rows);
      for (std::size_t j = 0; j < i; ++j) {
        if (!exact_in_double(ints[j])) return text(j, kRounded);
        reals[j] = static_cast<double>(ints[j]);
      }
      out.ints.release().free();
      ints = nullptr;
      out.type = TypedColumn::Type::Float64;
    }
    if (ints != nullptr) {
      ints[i] = number.integer;
      continue;
    }
    if (integer && !exact_in_double(number.integer)) return text(i, kRounded);
    reals[i] = integer ? static_cast<double>(number.integer) : number.value;
    if (number.has_su) {
      if (!out.has_su) {
        out.has_su = true;
        zeroed(out.sus, rows);
        zeroed(out.su_validity, (rows + 7) / 8);
      }
      out.sus.data()[i] = number.su;
      set_bit(out.su_validity, i);
      ++with_su;
    }
  }
  if (ints == nullptr && reals == nullptr) {
    // No values at all: a declared type still holds (all nulls); inference has nothing to go on.
    if (declared == DeclaredType::None) {
      return text(ColumnRule::kNoRow, "no values to infer a type from");
    }
    if (out.type == TypedColumn::Type::Int64) {
      zeroed(out.ints, rows);
    } else {
      zeroed(out.reals, rows);
    }
  }
  out.su_null_count = rows - with_su;
  // Every cell that is no null is a value here (anything else made the column text).
  if (!Mixed) return out;
  std::uint8_t* const validity = out.validity.extend((rows + 7) / 8);
  std::size_t values = 0;
  for (std::size_t i = 0; i < rows; i += 8) {
    const std::uint64_t valid = valid_cells(kinds + i, std::min<std::size_t>(8, rows - i));
    validity[i / 8] = static_cast<std::uint8_t>((valid * 0x0102040810204080) >> 56);
    values += static_cast<std::size_t>((valid * 0x0101010101010101) >> 56);
  }
  out.null_count = rows - values;
  return out;
}

}  // namespace

TypedColumn type_column(const TextColumnView& column, DeclaredType declared,
                        bool quotes_are_text) {
  if (declared == DeclaredType::Text) {
    TypedColumn out;
    out.rule.source = ColumnRule::Source::Declared;
    out.rule.declared = declared;
    out.rule.reason = "declared text";
    return out;
  }
  if (column.kinds != nullptr) return type_cells<true>(column, declared, quotes_are_text);
  const std::uint8_t kind = column.uniform_kind;
  if (column.rows != 0 && (kind == kPlaceholder || kind == kNullCell)) {
    // Nothing but nulls (a column of `?`): a declared type holds, inference has nothing to go on.
    if (declared == DeclaredType::None) {
      return text_column(column, declared, ColumnRule::kNoRow, "no values to infer a type from");
    }
    TypedColumn out;
    out.rule.source = ColumnRule::Source::Declared;
    out.rule.declared = declared;
    out.type = declared == DeclaredType::Integer ? TypedColumn::Type::Int64
                                                 : TypedColumn::Type::Float64;
    if (out.type == TypedColumn::Type::Int64) {
      zeroed(out.ints, column.rows);
    } else {
      zeroed(out.reals, column.rows);
    }
    zeroed(out.validity, (column.rows + 7) / 8);
    out.null_count = column.rows;
    return out;
  }
  if (declared != DeclaredType::Real) {
    TypedColumn out;
    out.rule = rule_for(declared);
    if (one_digit_column(column, out)) return out;
  }
  return type_cells<false>(column, declared, quotes_are_text);
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
