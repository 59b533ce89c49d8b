#pragma once

#include <cstddef>
#include <span>
#include <string>

namespace pelvaro {

// The system's profile (INI file) lookup with 8-bit strings, as Kernel32's
// GetPrivateProfileStringA: copies the value of `key` in `section` of `file` into `buffer`, or
// `default_value` when the file, the section or the key is missing, cut to buffer.size() - 1
// characters and followed by a 0. Returns the number of characters placed, not counting the 0.
std::size_t get_private_profile_string(const std::string& section, const std::string& key,
                                       const std::string& default_value, std::span<char> buffer,
                                       const std::string& file);

}  // namespace pelvaro
