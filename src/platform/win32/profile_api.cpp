#include <windows.h>

#include "platform/profile_api.h"

namespace pelvaro {

std::size_t get_private_profile_string(const std::string& section, const std::string& key,
                                       const std::string& default_value, std::span<char> buffer,
                                       const std::string& file) {
  return GetPrivateProfileStringA(section.c_str(), key.c_str(), default_value.c_str(),
                                  buffer.data(), static_cast<DWORD>(buffer.size()), file.c_str());
}

}  // namespace pelvaro
