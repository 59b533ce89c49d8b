#include "settings/profile.h"

#include <algorithm>
#include <string>

#include "platform/profile_api.h"
#include "platform/text_encoding.h"

namespace pelvaro {

std::u16string ReadProfileValue(std::u16string_view section, std::u16string_view key,
                                std::u16string_view file) {
  std::string buffer(profile_buffer_size, '\0');
  const std::size_t count =
      get_private_profile_string(to_ansi(section), to_ansi(key), "", buffer, to_ansi(file));
  // The count is in 8-bit characters: convert just those, so that a multi-byte character can
  // never pull the buffer's padding into the result.
  return from_ansi(std::string_view{buffer}.substr(0, std::min(count, buffer.size() - 1)));
}

std::u16string settings_path(std::u16string_view application_directory, char16_t separator) {
  std::u16string path{application_directory};
  path += separator;
  path += u"pelvaro.txt";
  return path;
}

}  // namespace pelvaro
