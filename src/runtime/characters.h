#pragma once

#include <algorithm>
#include <string_view>

namespace pelvaro {

// Letter case as the profile API and the list boxes ignore it: ASCII letters only, so that no
// locale's rules (the Turkish dotless i, say) make two different names equal.
template <class Char>
constexpr Char fold_ascii_case(Char c) {
  return (c >= Char{'a'} && c <= Char{'z'}) ? static_cast<Char>(c - Char{'a'} + Char{'A'}) : c;
}

template <class Char>
constexpr bool equal_ignoring_ascii_case(std::basic_string_view<Char> a,
                                         std::basic_string_view<Char> b) {
  return std::ranges::equal(a, b, {}, fold_ascii_case<Char>, fold_ascii_case<Char>);
}

// UTF-16's surrogate halves: a high one followed by a low one stands for one character past
// U+FFFF; alone, either is no character at all.
constexpr bool is_high_surrogate(char32_t c) {
  return c >= 0xD800 && c <= 0xDBFF;
}
constexpr bool is_low_surrogate(char32_t c) {
  return c >= 0xDC00 && c <= 0xDFFF;
}
constexpr bool is_surrogate(char32_t c) {
  return is_high_surrogate(c) || is_low_surrogate(c);
}

// The byte-order marks a text file may start with.
inline constexpr std::string_view utf8_byte_order_mark = "\xEF\xBB\xBF";
inline constexpr std::string_view utf16le_byte_order_mark = "\xFF\xFE";
inline constexpr std::string_view utf16be_byte_order_mark = "\xFE\xFF";

}  // namespace pelvaro
