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

// The value of `key` in `section` of `file` as the file spells it, when `eight_bit_value`, what
// the 8-bit lookup brought back, may have a '?' for a character the 8-bit text has no code for.
// On Windows that is the lookup with wide strings (GetPrivateProfileStringW), cut to `limit`
// characters. On Linux the 8-bit text is UTF-8 with any other byte carried through, which has a
// code for every character: `eight_bit_value` is the file's spelling already.
std::u16string profile_value_as_spelled(std::u16string_view section, std::u16string_view key,
                                        std::u16string_view file, std::u16string eight_bit_value,
                                        std::size_t limit);

}  // namespace pelvaro
