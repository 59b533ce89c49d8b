#pragma once

#include <array>
#include <string>
#include <string_view>

namespace pelvaro::testing {

// KAPALI as people write it: Turkish small letters (dotless ı), a capital first, the ASCII word,
// and Turkish capitals of a word typed with a dotted i.
inline constexpr std::array<std::u16string_view, 5> kapali_spellings{
    u"kapal\u0131", u"Kapal\u0131", u"KAPALI", u"kapali", u"KAPAL\u0130"};

// The encodings a Windows editor saves a settings file in.
enum class SavedAs { utf8, utf8_with_mark, utf16_little_endian, windows_1254 };
inline constexpr std::array<SavedAs, 4> editor_encodings{
    SavedAs::utf8, SavedAs::utf8_with_mark, SavedAs::utf16_little_endian, SavedAs::windows_1254};

inline const char* name_of(SavedAs encoding) {
  switch (encoding) {
    case SavedAs::utf8:
      return "UTF-8";
    case SavedAs::utf8_with_mark:
      return "UTF-8 with a byte-order mark";
    case SavedAs::utf16_little_endian:
      return "UTF-16 LE";
    case SavedAs::windows_1254:
      return "windows-1254";
  }
  return "?";
}

// `text` (ASCII and Turkish letters only) encoded as `encoding` would save it.
inline std::string encoded(std::u16string_view text, SavedAs encoding) {
  std::string out;
  for (const char16_t c : text) {
    switch (encoding) {
      case SavedAs::utf8:
      case SavedAs::utf8_with_mark:
        if (c < 0x80) {
          out += static_cast<char>(c);
        } else {  // below U+0800, all that Turkish needs
          out += static_cast<char>(0xC0 | (c >> 6));
          out += static_cast<char>(0x80 | (c & 0x3F));
        }
        break;
      case SavedAs::utf16_little_endian:
        out += static_cast<char>(c & 0xFF);
        out += static_cast<char>(c >> 8);
        break;
      case SavedAs::windows_1254:
        out += c == u'\u0131' ? '\xFD' : c == u'\u0130' ? '\xDD' : static_cast<char>(c);
        break;
    }
  }
  return out;
}

// A settings file whose com is `value`, saved as `encoding`, with CR LF line ends. Saved with a
// UTF-8 mark it starts with a comment: Windows takes the mark for part of the first line.
inline std::string settings_saved_as(std::u16string_view value, SavedAs encoding) {
  std::u16string text = u"[ayar]\r\ncom=";
  text += value;
  text += u"\r\n";
  switch (encoding) {
    case SavedAs::utf8_with_mark:
      return "\xEF\xBB\xBF; pelvaro\r\n" + encoded(text, encoding);
    case SavedAs::utf16_little_endian:
      return "\xFF\xFE" + encoded(text, encoding);
    default:
      return encoded(text, encoding);
  }
}

}  // namespace pelvaro::testing
