// Columns of short numbers read four values at a time with AVX2, where the processor has it.
// Once a column's type is known nearly all of its values are short plain numbers of one shape
// (`-12`, `27.340`), and reading them one by one cost about as much as parsing the file did.
#pragma once

#include <cstddef>
#include <cstdint>

#include "types/column_types.hpp"

namespace tessrin {

/// Rows from `i`, in groups of four up to `rows`, of a column whose cells are all unquoted
/// words (no kinds kept), for as long as each value of a group is a sign and 1 to 8 digits
/// in canonical form (no leading zero, no `-0`: number.hpp);
/// returns the first row of the first group not read (`i` itself where the processor has no
/// AVX2). Every value needs kShortReadBytes readable from its start (short_read_rows).
std::size_t read_integer_groups(const TextColumnView& column, std::size_t i, std::size_t rows,
                                std::int64_t* out) noexcept;

/// The same for reals: at most 8 characters, a sign and digits with one point among them.
/// Each value is the value read_short_real gives, to the bit.
std::size_t read_real_groups(const TextColumnView& column, std::size_t i, std::size_t rows,
                             double* out) noexcept;

}  // namespace tessrin
