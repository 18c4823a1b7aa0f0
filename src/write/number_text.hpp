// Numbers of typed table columns as CIF text that reads back to the same float64 (and the same
// uncertainty): `3.0`, `-1.5e-05`, `1.234(5)`.
#pragma once

#include <cstdint>
#include <string>

namespace tessrin {

/// Appends `value` as Python's repr writes a float: the shortest digits that read back to it,
/// fixed notation for decimal exponents from -4 to 15 (always with a point, so that it never
/// reads back as an integer), scientific otherwise. False for NaN and infinities, which no CIF
/// number holds.
bool append_real(std::string& out, double value);

/// Appends `value` with its standard uncertainty `su` in units of the last digit
/// (`1.234(5)`), written so that tessrin's number reader gives back both exactly: the last
/// digit sits where both the value's and the uncertainty's shortest digits end. False when
/// either is not finite, `su` is negative, or the uncertainty would need more digits than a
/// reader takes (a value and uncertainty of wildly different scales).
bool append_real_su(std::string& out, double value, double su);

/// Appends an int64 in decimal.
void append_integer(std::string& out, std::int64_t value);

}  // namespace tessrin
