#include <windows.h>

#include <string>

#include "platform/executable_path.h"
#include "platform/win32/system_error.h"
#include "platform/win32/win_handle.h"
#include "runtime/runtime_error.h"

namespace pelvaro {

namespace {

std::wstring module_file_name() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) {
      throw RuntimeError{ErrorNumber::path_access, system_error_text(GetLastError())};
    }
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

bool fits_ansi_code_page(const std::wstring& text) {
  BOOL lost = FALSE;
  WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), static_cast<int>(text.size()),
                      nullptr, 0, nullptr, &lost);
  return !lost;
}

// The settings file is read through the ANSI profile API. A folder name that the ANSI code page
// cannot spell is given by its short (8.3) name instead, which names the same folder in ASCII.
std::wstring spelled_in_ansi(const std::wstring& directory) {
  if (fits_ansi_code_page(directory)) return directory;
  // A short name can be longer than the long one ("röle" becomes "R_LE~GY1"): ask for the size.
  const DWORD size = GetShortPathNameW(directory.c_str(), nullptr, 0);
  if (size == 0) return directory;
  std::wstring short_name(size, L'\0');
  const DWORD length = GetShortPathNameW(directory.c_str(), short_name.data(), size);
  if (length == 0 || length >= size) return directory;
  short_name.resize(length);
  return short_name;
}

}  // namespace

std::u16string executable_directory() {
  const std::wstring image = module_file_name();
  const std::size_t separator = image.find_last_of(L"\\/");
  if (separator == std::wstring::npos) {
    throw RuntimeError{ErrorNumber::path_access, "running image has no directory"};
  }
  // A drive's root keeps its separator ("C:\"), a folder has none at its end.
  const bool root = separator > 0 && image[separator - 1] == L':';
  const std::wstring directory = spelled_in_ansi(image.substr(0, root ? separator + 1 : separator));
  return {reinterpret_cast<const char16_t*>(directory.data()), directory.size()};
}

char16_t path_separator() {
  return u'\\';
}

}  // namespace pelvaro
