#pragma once

#include <windows.h>

#include <string>

namespace pelvaro {

// The system's text for an error code, e.g. "Access is denied."
std::string system_error_text(DWORD code);

}  // namespace pelvaro
