#pragma once

#include <optional>
#include <string_view>

namespace pelvaro {

// Finds the value of `key` in `section` of profile (INI) text, following the Windows profile API:
// section and key names compare without regard to ASCII letter case; blanks (spaces, tabs) around
// names and values are ignored; one pair of matching quotes around a value is removed; only the
// first section of the name is searched and its first matching key wins; a line whose first
// non-blank character is ';' is a comment; CR LF, LF and CR each end a line; a leading UTF-8
// byte-order mark is skipped. Returns nothing when the section or the key is missing.
std::optional<std::string_view> find_profile_value(std::string_view text, std::string_view section,
                                                   std::string_view key);

// What is left of a text whose end was cut off once its last, partial line is dropped: the text
// up to and including its last line break (nothing if it has none), so that no value is ever
// taken from a cut line.
std::string_view without_cut_line(std::string_view text);

// Whether profile text has a header of `section`, read as find_profile_value reads it.
bool has_profile_section(std::string_view text, std::string_view section);

}  // namespace pelvaro
