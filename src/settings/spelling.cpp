#include "settings/spelling.h"

#include <algorithm>
#include <string>

#include "platform/text_encoding.h"

namespace pelvaro {

namespace {

constexpr char16_t dotless_small_i = u'\u0131';   // ı
constexpr char16_t dotted_capital_i = u'\u0130';  // İ

// Whether `c` is the letter `capital` (an ASCII capital) in either case; Turkish writes I in
// capitals and ı in small letters, and İ is the capital of i.
bool is_letter(char32_t c, char16_t capital) {
  if (c == capital || c == static_cast<char32_t>(capital - u'A' + u'a')) return true;
  return capital == u'I' && (c == dotless_small_i || c == dotted_capital_i);
}

// The number of bytes at the start of `bytes` that spell ı or İ in UTF-8 or in Turkish 8-bit text;
// 0 if they spell neither.
std::size_t turkish_i_length(std::string_view bytes) {
  if (bytes.starts_with("\xC4\xB1") || bytes.starts_with("\xC4\xB0")) return 2;
  if (bytes.starts_with('\xFD') || bytes.starts_with('\xDD')) return 1;
  return 0;
}

bool bytes_spell(std::string_view bytes, std::u16string_view word) {
  for (const char16_t capital : word) {
    if (bytes.empty()) return false;
    std::size_t length = capital == u'I' ? turkish_i_length(bytes) : 0;
    if (length == 0) {
      if (!is_letter(static_cast<unsigned char>(bytes.front()), capital)) return false;
      length = 1;
    }
    bytes.remove_prefix(length);
  }
  return bytes.empty();
}

}  // namespace

bool spells_choice(std::u16string_view value, std::u16string_view word) {
  return std::ranges::equal(value, word, is_letter) || bytes_spell(to_ansi(value), word);
}

}  // namespace pelvaro
