#include <windows.h>

#include <optional>
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

// `path` (absolute, as the loader names a module) in the form that the wide file API takes at any
// length.
std::wstring long_path_form(const std::wstring& path) {
  if (path.starts_with(L"\\\\?\\")) return path;
  if (path.starts_with(L"\\\\")) return L"\\\\?\\UNC\\" + path.substr(2);
  return L"\\\\?\\" + path;
}

// `path` without the prefix of that form, as the profile API and the user know it.
std::wstring without_long_path_prefix(const std::wstring& path) {
  if (path.starts_with(L"\\\\?\\UNC\\")) return L"\\\\" + path.substr(8);
  if (path.starts_with(L"\\\\?\\")) return path.substr(4);
  return path;
}

// The name of the file at `path` once every symbolic link on the way is followed, or nothing if
// the system cannot tell.
std::optional<std::wstring> final_name_of(const std::wstring& path) {
  const WinHandle file{CreateFileW(long_path_form(path).c_str(), 0,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr)};
  if (!file.valid()) return std::nullopt;
  std::wstring name(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetFinalPathNameByHandleW(
        file.get(), name.data(), static_cast<DWORD>(name.size()), VOLUME_NAME_DOS);
    if (length == 0) return std::nullopt;
    const bool fits = length < name.size();
    name.resize(length);  // the name, or the room it needs with its terminating 0
    if (fits) return without_long_path_prefix(name);
  }
}

// The file the program runs from, with symbolic links followed: a link to pelvaro.exe reads the
// settings beside the real file. Where the system cannot follow them, the module's own name serves
// unless that is itself a link.
std::wstring running_file() {
  const std::wstring module = module_file_name();
  if (auto name = final_name_of(module)) return *name;
  const DWORD attributes = GetFileAttributesW(long_path_form(module).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
    throw RuntimeError{ErrorNumber::path_access,
                       "cannot tell which folder the program runs from: the system does not "
                       "resolve the name it was started by"};
  }
  return module;
}

bool fits_ansi_code_page(const std::wstring& text) {
  BOOL lost = FALSE;
  WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, text.data(), static_cast<int>(text.size()),
                      nullptr, 0, nullptr, &lost);
  return !lost;
}

// The profile API takes paths of fewer than MAX_PATH characters, the full path it makes of a
// relative one included. The one file read beside the program is pelvaro.txt: a folder leaves room
// for a separator and that name.
constexpr std::size_t file_name_room = 1 + std::char_traits<wchar_t>::length(L"pelvaro.txt");

bool short_enough(const std::wstring& directory) {
  return directory.size() + file_name_room < MAX_PATH;
}

// The settings file is read through the ANSI profile API, so the folder must be spelled in the
// ANSI code page and short enough for it.
bool usable_by_profile_api(const std::wstring& directory) {
  return short_enough(directory) && fits_ansi_code_page(directory);
}

// The folder's short (8.3) name, which spells each part in ASCII, if the volume keeps short names.
// A short name can be longer than the long one ("röle" becomes "R_LE~GY1"): ask for the size.
std::optional<std::wstring> short_name_of(const std::wstring& directory) {
  const DWORD size = GetShortPathNameW(directory.c_str(), nullptr, 0);
  if (size == 0) return std::nullopt;
  std::wstring short_name(size, L'\0');
  const DWORD length = GetShortPathNameW(directory.c_str(), short_name.data(), size);
  if (length == 0 || length >= size) return std::nullopt;
  short_name.resize(length);
  return short_name;
}

// Whether `directory` can be the current directory through which the profile API reaches the
// files in it: the current directory takes a folder the ANSI profile API cannot spell, but the
// full path that the API makes of ".\pelvaro.txt" must still fit.
bool reachable_as_current_directory(const std::wstring& directory) {
  return short_enough(directory) && SetCurrentDirectoryW(directory.c_str());
}

// A spelling of `directory` by which the profile API reaches the files in it: the folder itself,
// else its short name, else "." with the folder made the current directory through the wide API
// (so that no 8-bit spelling of it is needed at all). Throws RuntimeError path_access if none
// reaches it.
std::wstring reachable_spelling(const std::wstring& directory) {
  if (usable_by_profile_api(directory)) return directory;
  if (const auto short_name = short_name_of(directory);
      short_name && usable_by_profile_api(*short_name)) {
    return *short_name;
  }
  if (reachable_as_current_directory(directory)) return L".";
  throw RuntimeError{ErrorNumber::path_access,
                     "the executable's folder has no name the profile API can take (longer than " +
                         std::to_string(MAX_PATH - 1 - file_name_room) +
                         " characters, or not in the ANSI code page, and no short name fits)"};
}

}  // namespace

std::u16string executable_directory() {
  const std::wstring image = running_file();
  const std::size_t separator = image.find_last_of(L"\\/");
  if (separator == std::wstring::npos) {
    throw RuntimeError{ErrorNumber::path_access, "running image has no directory"};
  }
  // A drive's root keeps its separator ("C:\"), a folder has none at its end.
  const bool root = separator > 0 && image[separator - 1] == L':';
  const std::wstring directory =
      reachable_spelling(image.substr(0, root ? separator + 1 : separator));
  return {reinterpret_cast<const char16_t*>(directory.data()), directory.size()};
}

char16_t path_separator() {
  return u'\\';
}

}  // namespace pelvaro
