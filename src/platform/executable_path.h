#pragma once

#include <string>

namespace pelvaro {

// The directory of the running executable as the system records it (never argv[0], never the
// current directory), without a trailing separator unless it is the root, spelled so that the
// system's profile lookup reaches the files in it: on Windows its short name, or "." once it has
// been made the current directory, where the ANSI profile API cannot take its full name. Throws
// RuntimeError path_access if the system cannot tell, or no spelling reaches it.
std::u16string executable_directory();

// The separator between a directory and a file name on this system.
char16_t path_separator();

}  // namespace pelvaro
