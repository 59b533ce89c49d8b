#include "settings/profile.h"

#include <algorithm>
#include <optional>
#include <string>
#include <utility>

#include "platform/profile_api.h"
#include "platform/profile_diagnosis.h"
#include "platform/text_encoding.h"
#include "runtime/characters.h"

namespace pelvaro {

std::u16string ReadProfileValue(std::u16string_view section, std::u16string_view key,
                                std::u16string_view file) {
  std::string buffer(profile_buffer_size, '\0');
  const std::size_t count =
      get_private_profile_string(to_ansi(section), to_ansi(key), "", buffer, to_ansi(file));
  // The count is in 8-bit characters: convert just those, so that a multi-byte character can
  // never pull the buffer's padding into the result.
  std::u16string value =
      from_ansi(std::string_view{buffer}.substr(0, std::min(count, buffer.size() - 1)));
  // The 8-bit lookup puts a '?' for each character of a Unicode file that the code page has no
  // code for: "kapalı" comes as "kapal?" under a Cyrillic code page. Such a value is taken as the
  // file spells it. A port number is ASCII, so it never comes this way.
  if (value.find(u'?') != std::u16string::npos) {
    value = profile_value_as_spelled(section, key, file, std::move(value), profile_buffer_size - 1);
  }
  return value;
}

std::u16string settings_path(std::u16string_view application_directory, char16_t separator) {
  std::u16string path{application_directory};
  path += separator;
  path += u"pelvaro.txt";
  return path;
}

namespace {

// Enough of a value to recognise it; a settings value has up to 254 characters.
constexpr std::size_t shown_value_length = 40;

bool is_control(char16_t c) {
  return c < 0x20 || (c >= 0x7F && c < 0xA0);
}

// Characters that change how the text around them is laid out (direction marks and overrides,
// line and paragraph separators): shown as they are, they could make a report read otherwise.
bool is_layout_character(char16_t c) {
  return c == 0x061C || c == 0x200E || c == 0x200F || (c >= 0x2028 && c <= 0x202E) ||
         (c >= 0x2066 && c <= 0x2069);
}

// A byte that is no character of the system's text travels as a lone surrogate U+DC80 + byte
// (text_encoding.h).
bool is_byte_in_disguise(char16_t c) {
  return c >= 0xDC80 && c <= 0xDCFF;
}

std::string hex_escape(const char* prefix, unsigned value, int digits) {
  constexpr char hex[] = "0123456789ABCDEF";
  std::string escape{prefix};
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) escape += hex[(value >> shift) & 0xF];
  return escape;
}

// How a text is shown: a value inside quotes, or a name or path as it is.
enum class Shown { quoted, plain };

std::string escape_character(char16_t c, Shown shown) {
  if (shown == Shown::quoted && (c == u'\\' || c == u'"')) return {'\\', static_cast<char>(c)};
  switch (c) {
    case u'\t':
      return "\\t";
    case u'\n':
      return "\\n";
    case u'\r':
      return "\\r";
    default:
      break;
  }
  if (is_control(c)) return hex_escape("\\x", c, 2);
  if (is_byte_in_disguise(c)) return hex_escape("\\x", c - 0xDC00u, 2);
  if (is_surrogate(c) || is_layout_character(c)) {
    return hex_escape("\\u", c, 4);
  }
  return to_ansi(std::u16string_view{&c, 1});
}

// `text` with every character that a report cannot show as it is escaped.
std::string escaped(std::u16string_view text, Shown shown = Shown::plain) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (is_high_surrogate(text[i]) && i + 1 < text.size() && is_low_surrogate(text[i + 1])) {
      out += to_ansi(text.substr(i, 2));  // a character beyond the first 65536, whole
      ++i;
    } else {
      out += escape_character(text[i], shown);
    }
  }
  return out;
}

// "KAPALI, 1, 2, ..., 25": the first choices and the last, enough to show what they are.
std::string describe_choices(std::span<const std::u16string_view> choices) {
  constexpr std::size_t shown_in_full = 5;
  std::string text;
  for (std::size_t i = 0; i < choices.size(); ++i) {
    const bool elided = choices.size() > shown_in_full && i >= 3 && i + 1 < choices.size();
    if (elided && i > 3) continue;
    if (i > 0) text += ", ";
    text += elided ? std::string{"..."} : escaped(choices[i]);
  }
  return text;
}

// What keeps the lookup from finding `key`, or nothing when the key is there.
std::optional<std::string> what_is_missing(std::u16string_view section, std::u16string_view key,
                                           std::u16string_view file) {
  const ProfileDiagnosis diagnosis =
      diagnose_profile_lookup(to_ansi(section), to_ansi(key), to_ansi(file));
  std::string section_header{"["};
  section_header += escaped(section);
  section_header += ']';
  switch (diagnosis.fault) {
    case ProfileFault::file_missing:
      return "not found";
    case ProfileFault::file_unreadable:
      return "not readable: " + diagnosis.system_reason;
    case ProfileFault::not_a_regular_file:
      return "not a regular file";
    case ProfileFault::section_missing:
      switch (diagnosis.unread_mark) {
        case UnreadByteOrderMark::utf8:
          return "no section " + section_header +
                 " (the file starts with a UTF-8 byte-order mark, which hides a section on its "
                 "first line from Windows: save it as ANSI or UTF-16)";
        case UnreadByteOrderMark::utf16_big_endian:
          return "no section " + section_header +
                 " (the file is UTF-16 big-endian, which is not read: save it as ANSI or "
                 "UTF-16 little-endian)";
        case UnreadByteOrderMark::none:
          break;
      }
      return "no section " + section_header;
    case ProfileFault::key_missing:
      return "no key " + escaped(key) + " in section " + section_header;
    case ProfileFault::key_present:
      break;
  }
  return std::nullopt;
}

// A value as a report shows it: in quotes, cut after `limit` characters, escaped.
std::string quoted_for_report(std::u16string_view text, std::size_t limit) {
  std::size_t shown = std::min(text.size(), limit);
  if (shown > 0 && shown < text.size() && is_high_surrogate(text[shown - 1])) --shown;
  std::string quoted{"\""};
  quoted += escaped(text.substr(0, shown), Shown::quoted);
  quoted += '"';
  // No length beside it: the lookup has cut a long value already, so it would not be the file's.
  if (shown < text.size()) quoted += " (cut short)";
  return quoted;
}

}  // namespace

RuntimeError unusable_setting(ErrorNumber number, std::u16string_view section,
                              std::u16string_view key, std::u16string_view file,
                              std::u16string_view value,
                              std::span<const std::u16string_view> choices) {
  std::string where{"settings file "};
  where += escaped(file);
  if (const auto target = link_target(to_ansi(file))) {
    where += " (a link to " + escaped(from_ansi(*target)) + ")";
  }
  where += ": ";
  if (value.empty()) {
    if (auto missing = what_is_missing(section, key, file)) return {number, where + *missing};
    return {number,
            where + escaped(key) + " is empty: the choices are " + describe_choices(choices)};
  }
  return {number, where + escaped(key) + "=" + quoted_for_report(value, shown_value_length) +
                      " is not one of the choices " + describe_choices(choices)};
}

}  // namespace pelvaro
