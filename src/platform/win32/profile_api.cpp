#include <windows.h>

#include <algorithm>
#include <string>

#include "platform/profile_api.h"

namespace pelvaro {

std::size_t get_private_profile_string(const std::string& section, const std::string& key,
                                       const std::string& default_value, std::span<char> buffer,
                                       const std::string& file) {
  return GetPrivateProfileStringA(section.c_str(), key.c_str(), default_value.c_str(),
                                  buffer.data(), static_cast<DWORD>(buffer.size()), file.c_str());
}

std::u16string profile_value_as_spelled(std::u16string_view section, std::u16string_view key,
                                        std::u16string_view file, std::u16string,
                                        std::size_t limit) {
  const auto wide = [](std::u16string_view text) { return std::wstring{text.begin(), text.end()}; };
  std::wstring buffer(limit + 1, L'\0');
  const DWORD count =
      GetPrivateProfileStringW(wide(section).c_str(), wide(key).c_str(), L"", buffer.data(),
                               static_cast<DWORD>(buffer.size()), wide(file).c_str());
  buffer.resize(std::min<std::size_t>(count, limit));
  return {buffer.begin(), buffer.end()};
}

}  // namespace pelvaro
