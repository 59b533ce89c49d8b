// Why the profile API found no value: the file as the system sees it, its first bytes, and the
// profile API's own view of its sections and keys.

#include <windows.h>

#include <algorithm>
#include <optional>
#include <string>
#include <string_view>

#include "platform/profile_diagnosis.h"
#include "platform/win32/system_error.h"
#include "platform/win32/win_handle.h"
#include "runtime/characters.h"

namespace pelvaro {

namespace {

// Section names are listed up to this size: far beyond any settings file's.
constexpr DWORD section_names_limit = 1 << 20;

ProfileDiagnosis unreadable(DWORD error) {
  return {ProfileFault::file_unreadable, system_error_text(error)};
}

bool is_missing(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
         error == ERROR_BAD_NETPATH || error == ERROR_BAD_NET_NAME || error == ERROR_INVALID_DRIVE;
}

// The fault of the file itself if it has one; else the first bytes of the file.
std::optional<ProfileDiagnosis> file_fault(const std::string& file, std::string& first_bytes) {
  const DWORD attributes = GetFileAttributesA(file.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    if (is_missing(error)) return ProfileDiagnosis{ProfileFault::file_missing};
    return unreadable(error);
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
    return ProfileDiagnosis{ProfileFault::not_a_regular_file};
  }
  const WinHandle opened{CreateFileA(file.c_str(), GENERIC_READ,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                     nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)};
  if (!opened.valid()) return unreadable(GetLastError());
  if (GetFileType(opened.get()) != FILE_TYPE_DISK) {
    return ProfileDiagnosis{ProfileFault::not_a_regular_file};
  }
  first_bytes.assign(utf8_byte_order_mark.size(), '\0');
  DWORD got = 0;
  if (!ReadFile(opened.get(), first_bytes.data(), static_cast<DWORD>(first_bytes.size()), &got,
                nullptr)) {
    return unreadable(GetLastError());
  }
  first_bytes.resize(got);
  return std::nullopt;
}

// The names of the file's sections, as the profile API lists them: each ended by a 0.
std::string section_names(const std::string& file) {
  std::string names(4096, '\0');
  for (;;) {
    const DWORD size = static_cast<DWORD>(names.size());
    const DWORD length = GetPrivateProfileSectionNamesA(names.data(), size, file.c_str());
    // A list that did not fit comes back cut, its length then being the size less 2.
    if (length + 2 < size || names.size() >= section_names_limit) {
      names.resize(length);
      return names;
    }
    names.resize(names.size() * 4);
  }
}

bool has_section(const std::string& section, const std::string& file) {
  const std::string names = section_names(file);
  for (std::size_t at = 0; at < names.size();) {
    const std::size_t end = std::min(names.find('\0', at), names.size());
    if (lstrcmpiA(names.substr(at, end - at).c_str(), section.c_str()) == 0) return true;
    at = end + 1;
  }
  return false;
}

// An empty value and a missing key both give the empty text: a default that no value in a file
// can be tells them apart.
bool has_key(const std::string& section, const std::string& key, const std::string& file) {
  constexpr char absent[] = "\x01\x02";
  char value[sizeof absent] = {};
  GetPrivateProfileStringA(section.c_str(), key.c_str(), absent, value, sizeof value, file.c_str());
  return std::string_view{value} != absent;
}

UnreadByteOrderMark byte_order_mark(std::string_view first_bytes) {
  if (first_bytes.starts_with(utf8_byte_order_mark)) return UnreadByteOrderMark::utf8;
  if (first_bytes.starts_with(utf16be_byte_order_mark)) {
    return UnreadByteOrderMark::utf16_big_endian;
  }
  return UnreadByteOrderMark::none;
}

}  // namespace

// The settings file lies in the program's folder itself there: no installation makes it a link.
std::optional<std::string> link_target(const std::string&) {
  return std::nullopt;
}

ProfileDiagnosis diagnose_profile_lookup(const std::string& section, const std::string& key,
                                         const std::string& file) {
  std::string first_bytes;
  if (auto fault = file_fault(file, first_bytes)) return *std::move(fault);
  if (!has_section(section, file)) {
    return {ProfileFault::section_missing, {}, byte_order_mark(first_bytes)};
  }
  if (!has_key(section, key, file)) return {ProfileFault::key_missing};
  return {ProfileFault::key_present};
}

}  // namespace pelvaro
