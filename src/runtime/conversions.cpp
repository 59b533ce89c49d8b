#include "runtime/conversions.h"

#include <algorithm>
#include <charconv>
#include <limits>
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

// Decimal order of magnitude of a well-formed number ("123.4e5" gives 8, "0.004" gives -2); only
// its sign matters, to tell a number that is too large for a double from one that is too small.
std::int64_t decimal_magnitude(std::string_view number) {
  const std::size_t e = number.find_first_of("eE");
  std::int64_t exponent = 0;
  if (e != std::string_view::npos) {
    std::string_view exponent_text = number.substr(e + 1);
    if (exponent_text.front() == '+') exponent_text.remove_prefix(1);
    const auto result = std::from_chars(exponent_text.data(),
                                        exponent_text.data() + exponent_text.size(), exponent);
    if (result.ec == std::errc::result_out_of_range) {
      exponent = exponent_text.front() == '-' ? -(std::int64_t{1} << 40) : (std::int64_t{1} << 40);
    }
  }
  std::string_view mantissa = number.substr(0, e);
  if (mantissa.front() == '+' || mantissa.front() == '-') mantissa.remove_prefix(1);
  const std::size_t point = std::min(mantissa.find('.'), mantissa.size());
  const std::string_view integer = mantissa.substr(0, point);
  const std::size_t first_significant = integer.find_first_not_of('0');
  if (first_significant != std::string_view::npos) {
    return static_cast<std::int64_t>(integer.size() - first_significant) + exponent;
  }
  const std::string_view fraction = mantissa.substr(std::min(point + 1, mantissa.size()));
  const std::size_t leading_zeros = std::min(fraction.find_first_not_of('0'), fraction.size());
  return exponent - static_cast<std::int64_t>(leading_zeros);
}

}  // namespace

double read_number(std::u16string_view text) {
  std::size_t start = 0;
  while (start < text.size() && is_leading_space(text[start])) ++start;
  const std::size_t length = number_length(text, start);
  if (length == 0) return 0.0;

  // Everything in the prefix is ASCII, so narrowing each character is exact.
  std::string ascii;
  ascii.reserve(length);
  for (char16_t c : text.substr(start, length)) ascii.push_back(static_cast<char>(c));
  const char* first = ascii.data();
  if (*first == '+') ++first;  // from_chars takes a minus sign only

  double value = 0.0;
  const auto result = std::from_chars(first, ascii.data() + ascii.size(), value);
  if (result.ec == std::errc::result_out_of_range) {
    // Too large in magnitude reads as infinite (an overflow on conversion), too small as zero.
    const double magnitude =
        decimal_magnitude(ascii) > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    return ascii.front() == '-' ? -magnitude : magnitude;
  }
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
