#pragma once

#include <optional>
#include <string>
#include <utility>

namespace pelvaro {

// What the system finds at the settings file when a profile lookup has brought back nothing
// usable. The lookup itself never tells (it gives the empty text for every missing piece), so
// this is asked only after it failed, and a run that succeeds never pays for it.
enum class ProfileFault {
  file_missing,        // nothing at the path, or a folder on the way is missing
  file_unreadable,     // there, but it cannot be opened or read: the system's reason says why
  not_a_regular_file,  // a folder, a device, a pipe, ...
  section_missing,
  key_missing,
  key_present,  // the key is there: its value is the one the lookup gave
};

// A byte-order mark at the start of the file that this system's profile lookup does not read as
// one, so that it hides a section header on the first line.
enum class UnreadByteOrderMark { none, utf8, utf16_big_endian };

struct ProfileDiagnosis {
  ProfileDiagnosis(ProfileFault fault, std::string system_reason = {},
                   UnreadByteOrderMark unread_mark = UnreadByteOrderMark::none)
      : fault(fault), system_reason(std::move(system_reason)), unread_mark(unread_mark) {}

  ProfileFault fault;
  std::string system_reason;        // for file_unreadable
  UnreadByteOrderMark unread_mark;  // for section_missing
};

// Looks at `file` as the system's profile lookup sees it, with 8-bit strings as that lookup takes
// them: why `key` in `section` has no value there.
ProfileDiagnosis diagnose_profile_lookup(const std::string& section, const std::string& key,
                                         const std::string& file);

// The file `file` leads to when it is a symbolic link, as the system resolves it (what the link
// says, when it leads nowhere); nothing when it is no link. A report names both: the path read,
// and the file a person edits.
std::optional<std::string> link_target(const std::string& file);

}  // namespace pelvaro
