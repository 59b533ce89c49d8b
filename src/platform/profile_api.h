#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace pelvaro {

// The system's profile (INI file) lookup with 8-bit strings, as Kernel32's
// GetPrivateProfileStringA: copies the value of `key` in `section` of `file` into `buffer`, or
// `default_value` when the file, the section or the key is missing, cut to buffer.size() - 1
// characters and followed by a 0. Returns the number of characters placed, not counting the 0.
std::size_t get_private_profile_string(const std::string& section, const std::string& key,
                                       const std::string& default_value, std::span<char> buffer,
                                       const std::string& file);

// The same lookup with wide strings, as Kernel32's GetPrivateProfileStringW: the value as the file
// spells it, with the characters of a Unicode file that the 8-bit lookup has no code for, cut to
// `limit` characters. The empty text when the file, the section or the key is missing.
std::u16string get_private_profile_string_wide(std::u16string_view section, std::u16string_view key,
                                               std::u16string_view file, std::size_t limit);

}  // namespace pelvaro
