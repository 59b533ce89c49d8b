#pragma once

#include <string>

namespace pelvaro {

// The directory of the running executable as the system records it (never argv[0], never the
// current directory), without a trailing separator unless it is the root. Throws RuntimeError
// path_access if the system cannot tell.
std::u16string executable_directory();

// The separator between a directory and a file name on this system.
char16_t path_separator();

}  // namespace pelvaro
