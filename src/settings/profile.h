#pragma once

#include <span>
#include <string>
#include <string_view>

#include "runtime/runtime_error.h"

namespace pelvaro {

// Size of the read buffer handed to the profile lookup: a value comes back with at most
// profile_buffer_size - 1 characters.
inline constexpr std::size_t profile_buffer_size = 255;

// The text stored under `key` in `section` of the profile file `file`, or the empty text when the
// file, the section, the key or its value is missing. A value longer than 254 characters is cut
// to its first 254. The strings cross to the system's 8-bit text and back at the lookup, except a
// value with characters that the system's code page cannot spell, which comes as the file has it.
std::u16string ReadProfileValue(std::u16string_view section, std::u16string_view key,
                                std::u16string_view file);

// The error to report when the value of `key` in `section` of `file`, `value` as the lookup gave
// it, is not one of `choices`: the refusal's number, and a text that names the file and says what
// is wrong there (the file missing or unreadable, the section or key missing, or the value and
// the choices). Asks the system about the file only when the value is empty.
RuntimeError unusable_setting(ErrorNumber number, std::u16string_view section,
                              std::u16string_view key, std::u16string_view file,
                              std::u16string_view value,
                              std::span<const std::u16string_view> choices);

// The settings file's path: the application directory, the separator (always added, so a root
// directory gives a doubled one) and "pelvaro.txt".
std::u16string settings_path(std::u16string_view application_directory, char16_t separator);

}  // namespace pelvaro
