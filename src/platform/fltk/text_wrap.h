#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace pelvaro {

// Breaks UTF-8 text into lines no wider than `width` as `width_of` measures them: at blanks
// where it can, inside a word (between characters) where a word alone is wider than a line, so
// that a long path or value is shown whole. Line breaks in the text are kept; the blank at which
// a line is broken is dropped.
std::vector<std::string> wrap_text(std::string_view text, int width,
                                   const std::function<int(std::string_view)>& width_of);

}  // namespace pelvaro
