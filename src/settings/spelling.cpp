#include "settings/spelling.h"

#include <string>

#include "platform/text_encoding.h"

namespace pelvaro {

namespace {

constexpr char16_t dotless_small_i = u'\u0131';   // ı
constexpr char16_t dotted_capital_i = u'\u0130';  // İ
constexpr char16_t combining_dot_above = u'\u0307';

// Whether `c` is the letter `capital` (an ASCII capital) in either case; Turkish writes I in
// capitals and ı in small letters, and İ is the capital of i.
bool is_letter(char32_t c, char16_t capital) {
  if (c == capital || c == static_cast<char32_t>(capital - u'A' + u'a')) return true;
  return capital == u'I' && (c == dotless_small_i || c == dotted_capital_i);
}

// Whether `c` is I or i with a combining dot above after it: İ decomposed, and what lowercasing İ
// gives outside a Turkish locale.
bool is_dotted_i(char16_t c, char16_t next) {
  return (c == u'I' || c == u'i') && next == combining_dot_above;
}

bool wide_spells(std::u16string_view value, std::u16string_view word) {
  for (const char16_t capital : word) {
    if (value.empty() || !is_letter(value.front(), capital)) return false;
    const bool dotted = capital == u'I' && value.size() > 1 && is_dotted_i(value[0], value[1]);
    value.remove_prefix(dotted ? 2 : 1);
  }
  return value.empty();
}

// The number of bytes at the start of `bytes` that spell ı or İ in UTF-8 (İ decomposed too) or in
// Turkish 8-bit text; 0 if they spell none of them.
std::size_t turkish_i_length(std::string_view bytes) {
  if (bytes.starts_with("\xC4\xB1") || bytes.starts_with("\xC4\xB0")) return 2;
  if ((bytes.starts_with('I') || bytes.starts_with('i')) &&
      bytes.substr(1).starts_with("\xCC\x87")) {
    return 3;
  }
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
  return wide_spells(value, word) || bytes_spell(to_ansi(value), word);
}

}  // namespace pelvaro
