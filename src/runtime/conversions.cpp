#include "runtime/conversions.h"

#include <cstdlib>
#include <limits>
#include <optional>
#include <string>

#include "runtime/runtime_error.h"

namespace pelvaro {

namespace {

bool is_digit(char16_t c) {
  return c >= u'0' && c <= u'9';
}

bool is_leading_space(char16_t c) {
  return c == u' ' || c == u'\t' || c == u'\n';
}

std::size_t skip_digits(std::u16string_view text, std::size_t at) {
  while (at < text.size() && is_digit(text[at])) ++at;
  return at;
}

// Length of the longest prefix of `text` (from `start`) that forms a number, or 0 if none does.
std::size_t number_length(std::u16string_view text, std::size_t start) {
  std::size_t at = start;
  if (at < text.size() && (text[at] == u'+' || text[at] == u'-')) ++at;
  const std::size_t integer_end = skip_digits(text, at);
  std::size_t end = integer_end;
  bool has_digits = integer_end > at;
  if (end < text.size() && text[end] == u'.') {
    const std::size_t fraction_end = skip_digits(text, end + 1);
    has_digits = has_digits || fraction_end > end + 1;
    end = fraction_end;
  }
  if (!has_digits) return 0;
  if (end < text.size() && (text[end] == u'e' || text[end] == u'E')) {
    std::size_t exponent = end + 1;
    if (exponent < text.size() && (text[exponent] == u'+' || text[exponent] == u'-')) ++exponent;
    const std::size_t exponent_end = skip_digits(text, exponent);
    if (exponent_end > exponent) end = exponent_end;
  }
  return end - start;
}

// A number of digits alone, few enough to be exact in an int: the usual setting ("3"). Read
// here rather than by strtod, whose code and tables would be paged in for it on every run
// (docs/benchmarks.md).
std::optional<int> plain_whole_number(std::u16string_view number) {
  constexpr std::size_t most_digits = 9;
  if (number.empty() || number.size() > most_digits || skip_digits(number, 0) != number.size()) {
    return std::nullopt;
  }
  int value = 0;
  for (char16_t digit : number) value = value * 10 + (digit - u'0');
  return value;
}

}  // namespace

double read_number(std::u16string_view text) {
  std::size_t start = 0;
  while (start < text.size() && is_leading_space(text[start])) ++start;
  const std::size_t length = number_length(text, start);
  if (length == 0) return 0.0;
  if (const auto whole = plain_whole_number(text.substr(start, length))) return *whole;

  // Everything in the prefix is ASCII, so narrowing each character is exact.
  std::string ascii;
  ascii.reserve(length);
  for (char16_t c : text.substr(start, length)) ascii.push_back(static_cast<char>(c));
  // strtod reads a number of any length or exponent exactly as far as its digits go: too large in
  // magnitude reads as infinite (an overflow on conversion), too small as zero or nearly. It is
  // libc's own; the C++ library's floating-point from_chars would load libm into every run. The
  // program never sets a locale, so the decimal separator is the period.
  const double value = std::strtod(ascii.c_str(), nullptr);
  return value;
}

std::int16_t to_int16(double value) {
  // Out of range before rounding is out of range after it; this also catches infinities and NaN,
  // and keeps the conversion to an integer below defined.
  if (!(value >= -32769.0 && value <= 32768.0)) throw RuntimeError{ErrorNumber::overflow};
  // Within this range the whole part and the fraction are exact in a double.
  const auto whole = static_cast<std::int32_t>(value);
  const double fraction = value - whole;
  std::int32_t rounded = whole;
  if (fraction > 0.5 || (fraction == 0.5 && whole % 2 != 0)) ++rounded;
  if (fraction < -0.5 || (fraction == -0.5 && whole % 2 != 0)) --rounded;
  if (rounded < std::numeric_limits<std::int16_t>::min() ||
      rounded > std::numeric_limits<std::int16_t>::max()) {
    throw RuntimeError{ErrorNumber::overflow};
  }
  return static_cast<std::int16_t>(rounded);
}

}  // namespace pelvaro
