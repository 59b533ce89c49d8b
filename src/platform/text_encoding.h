#pragma once

#include <string>
#include <string_view>

namespace pelvaro {

// Conversion between the program's wide strings and the system's 8-bit text (the ANSI code page
// on Windows, UTF-8 on Linux). On Linux the conversion is lossless for any bytes: a byte that is
// not part of valid UTF-8 travels as the lone surrogate U+DC80 + byte and comes back unchanged,
// so a file name of any encoding still names its file.
std::string to_ansi(std::u16string_view text);
std::u16string from_ansi(std::string_view text);

}  // namespace pelvaro
