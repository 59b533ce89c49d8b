// Why the profile lookup of this system found no value: the file as the system sees it, then its
// text as the lookup reads it.

#include "platform/profile_diagnosis.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>

#include "platform/posix/file_descriptor.h"
#include "platform/posix/settings/profile_file.h"
#include "platform/posix/settings/profile_syntax.h"
#include "runtime/characters.h"

namespace pelvaro {

namespace {

ProfileDiagnosis unreadable(int error) {
  return {ProfileFault::file_unreadable, std::strerror(error)};
}

// The fault of the file itself, if it has one: what keeps the lookup from reading it.
std::optional<ProfileDiagnosis> file_fault(const std::string& file) {
  struct stat status {};
  if (::stat(file.c_str(), &status) != 0) {
    const int error = errno;
    if (error == ENOENT || error == ENOTDIR) return ProfileDiagnosis{ProfileFault::file_missing};
    return unreadable(error);
  }
  if (!S_ISREG(status.st_mode)) return ProfileDiagnosis{ProfileFault::not_a_regular_file};
  const FileDescriptor opened{::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)};
  if (!opened.valid()) return unreadable(errno);
  char first = 0;
  if (::read(opened.get(), &first, 1) < 0) return unreadable(errno);
  return std::nullopt;
}

}  // namespace

std::optional<std::string> link_target(const std::string& file) {
  struct stat status {};
  if (::lstat(file.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) return std::nullopt;
  std::error_code error;
  const auto resolved = std::filesystem::canonical(file, error);
  if (!error) return resolved.string();
  const auto said = std::filesystem::read_symlink(file, error);
  if (error) return std::nullopt;  // no longer a link
  return said.string();
}

ProfileDiagnosis diagnose_profile_lookup(const std::string& section, const std::string& key,
                                         const std::string& file) {
  if (auto fault = file_fault(file)) return *std::move(fault);
  const std::optional<std::string> text = read_profile_text(file);
  if (!text) return {ProfileFault::not_a_regular_file};  // replaced since it was looked at
  if (!has_profile_section(*text, section)) {
    // A big-endian file is read as 8-bit text, in which no header can be found.
    const bool big_endian = text->starts_with(utf16be_byte_order_mark);
    return {ProfileFault::section_missing,
            {},
            big_endian ? UnreadByteOrderMark::utf16_big_endian : UnreadByteOrderMark::none};
  }
  if (!find_profile_value(*text, section, key)) return {ProfileFault::key_missing};
  return {ProfileFault::key_present};
}

}  // namespace pelvaro
