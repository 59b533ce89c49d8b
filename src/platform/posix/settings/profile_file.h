#pragma once

#include <optional>
#include <string>

namespace pelvaro {

// The text the profile lookup of this system searches: the start of `file` up to its size limit,
// a UTF-16 little-endian file turned into 8-bit text, a line the limit cuts left out. Nothing when
// no regular file can be opened at the path.
std::optional<std::string> read_profile_text(const std::string& file);

}  // namespace pelvaro
