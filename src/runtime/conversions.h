#pragma once

#include <cstdint>
#include <string_view>

namespace pelvaro {

// Reads the number at the start of a text: leading blanks, tabs and line feeds are skipped, a sign
// may lead, a period is the decimal point and an exponent (e or E) may follow. Reading stops at the
// first character that cannot continue the number; a text that does not begin with one reads 0.
// Digits are ASCII only, and a blank ends the number ("1 2" reads 1).
double read_number(std::u16string_view text);

// Rounds to the nearest integer, halves to the even neighbour (2.5 gives 2, 3.5 gives 4). Throws
// RuntimeError overflow when the result lies outside -32768 ... 32767 (or the value is not finite).
std::int16_t to_int16(double value);

}  // namespace pelvaro
