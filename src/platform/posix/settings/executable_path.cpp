#include "platform/executable_path.h"

#include <fcntl.h>
#include <limits.h>
#include <linux/openat2.h>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "platform/posix/file_descriptor.h"
#include "platform/text_encoding.h"
#include "runtime/runtime_error.h"

namespace pelvaro {

namespace {

constexpr std::string_view deleted_suffix = " (deleted)";
constexpr std::string_view memory_file_prefix = "/memfd:";

[[noreturn]] void cannot_tell(const std::string& why) {
  throw RuntimeError{ErrorNumber::path_access, why};
}

std::string read_memory_map() {
  const FileDescriptor maps{::open("/proc/self/maps", O_RDONLY | O_CLOEXEC)};
  if (!maps.valid()) cannot_tell(std::string{"/proc/self/maps: "} + std::strerror(errno));
  std::string text;
  std::array<char, 8192> chunk{};
  for (;;) {
    const ssize_t got = ::read(maps.get(), chunk.data(), chunk.size());
    if (got > 0) {
      text.append(chunk.data(), static_cast<std::size_t>(got));
    } else if (got == 0) {
      return text;
    } else if (errno != EINTR) {
      cannot_tell(std::string{"/proc/self/maps: "} + std::strerror(errno));
    }
  }
}

// The name field of a line of /proc/self/maps, given what follows the address range
// (" perms offset dev inode   name"): everything after the inode.
std::string_view name_field(std::string_view rest) {
  const auto skip_blanks = [&] {
    rest.remove_prefix(std::min(rest.find_first_not_of(' '), rest.size()));
  };
  for (int field = 0; field < 4; ++field) {  // perms, offset, dev, inode
    skip_blanks();
    rest.remove_prefix(std::min(rest.find(' '), rest.size()));
  }
  skip_blanks();
  return rest;
}

// The kernel writes a line end in a name as \012.
std::string with_line_ends(std::string_view name) {
  std::string text;
  for (std::size_t at = 0; at < name.size(); ++at) {
    if (name.substr(at, 4) == "\\012") {
      text += '\n';
      at += 3;
    } else {
      text += name[at];
    }
  }
  return text;
}

// The file of a line of /proc/self/maps ("start-end perms offset dev inode   name") if `address`
// lies in its range, else nothing.
std::string file_mapped_at(std::string_view line, std::uintptr_t address) {
  const std::string text{line};
  char* after = nullptr;
  const auto start = static_cast<std::uintptr_t>(std::strtoull(text.c_str(), &after, 16));
  if (*after != '-') return {};
  const auto end = static_cast<std::uintptr_t>(std::strtoull(after + 1, &after, 16));
  if (address < start || address >= end) return {};
  return with_line_ends(name_field(after));
}

// The file the running program's own code was loaded from, found among its mappings. Unlike
// /proc/self/exe it is the program even when the dynamic loader started it
// (ld-linux-x86-64.so.2 /opt/x/pelvaro), where /proc/self/exe is the loader.
std::string mapped_image_path() {
  const auto own_code = reinterpret_cast<std::uintptr_t>(&mapped_image_path);
  const std::string map = read_memory_map();
  for (std::size_t begin = 0; begin < map.size();) {
    const std::size_t end = std::min(map.find('\n', begin), map.size());
    const std::string path =
        file_mapped_at(std::string_view{map}.substr(begin, end - begin), own_code);
    if (!path.empty()) return path;
    begin = end + 1;
  }
  cannot_tell("the running program's file is not among its mappings");
}

// The file the kernel started, as it names it now: the same form as a mapping's name (a file
// deleted since ends in " (deleted)"), line ends as they are.
std::string started_file_path() {
  std::string path(256, '\0');
  for (;;) {
    const ssize_t got = ::readlink("/proc/self/exe", path.data(), path.size());
    if (got < 0) cannot_tell(std::string{"/proc/self/exe: "} + std::strerror(errno));
    if (static_cast<std::size_t>(got) < path.size()) {
      path.resize(static_cast<std::size_t>(got));
      return path;
    }
    path.resize(path.size() * 2);  // cut short: the name is longer
  }
}

// Where a descriptor's name leads, or a device's: no program file lies there.
bool leads_through_a_descriptor(std::string_view path) {
  return path.starts_with("/dev/") || path.starts_with("/proc/");
}

// Whether `path` leads to a file when looked up under the restrictions `resolve` (openat2's
// RESOLVE_*); only the lookup is made. A kernel or sandbox without openat2 says no.
bool leads_to_a_file_under(const char* path, std::uint64_t resolve) {
  open_how how{};
  how.flags = O_PATH | O_CLOEXEC;
  how.resolve = resolve;
  const FileDescriptor file{
      static_cast<int>(::syscall(SYS_openat2, AT_FDCWD, path, &how, sizeof how))};
  return file.valid();
}

// The name the program was started by (AT_EXECFN: the path handed to execve, which the kernel
// opened), as the file itself. Nothing when it is a descriptor's name (fexecve's /dev/fd/N) or
// leads through one anywhere, however /proc is spelled or reached (//proc/<pid>/fd/N, a link to
// /proc): that descriptor, this process's or the starter's, may lead elsewhere by now. Nothing
// either when it no longer leads to a file (deleted since). An absolute name with no link along
// it is taken as it is, in one lookup. This is the one route that works where /proc is not
// mounted (a chroot, a bare container); it is cheaper than /proc/self/exe besides
// (docs/benchmarks.md).
std::optional<std::string> started_name_path() {
  const auto* name = reinterpret_cast<const char*>(::getauxval(AT_EXECFN));
  if (name == nullptr || leads_through_a_descriptor(name)) return std::nullopt;
  if (name[0] == '/' && leads_to_a_file_under(name, RESOLVE_NO_SYMLINKS)) return std::string{name};
  if (!leads_to_a_file_under(name, RESOLVE_NO_MAGICLINKS)) return std::nullopt;
  std::array<char, PATH_MAX> resolved{};
  if (::realpath(name, resolved.data()) == nullptr || leads_through_a_descriptor(resolved.data())) {
    return std::nullopt;
  }
  return std::string{resolved.data()};
}

// The kernel names the dynamic loader to a program it started through one (AT_BASE, where it put
// the loader), the usual start: the name it was started by is then the program, or else
// /proc/self/exe is. Without it the program was the loader's argument, or is linked statically,
// and its mappings tell.
std::string running_image_path() {
  if (::getauxval(AT_BASE) == 0) return mapped_image_path();
  if (std::optional<std::string> started = started_name_path()) return *std::move(started);
  return started_file_path();
}

bool is_directory(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

// The folder of the running image. A file deleted since it was started (replaced by an upgrade,
// say) still belongs to the folder it lay in, as long as that folder is there; a copy in memory
// (memfd) never lay in one.
std::string folder_of(std::string image) {
  const bool deleted = image.ends_with(deleted_suffix);
  if (deleted) image.resize(image.size() - deleted_suffix.size());
  if (deleted && image.starts_with(memory_file_prefix)) {
    cannot_tell("the running program is a copy in memory (" + image + "), in no folder");
  }
  const std::size_t slash = image.rfind('/');
  if (slash == std::string::npos) cannot_tell("running image has no directory: " + image);
  const std::string folder = slash == 0 ? std::string{"/"} : image.substr(0, slash);
  if (deleted && !is_directory(folder)) {
    cannot_tell("the running program was deleted, and its folder " + folder + " is gone");
  }
  return folder;
}

}  // namespace

std::u16string executable_directory() {
  return from_ansi(folder_of(running_image_path()));
}

char16_t path_separator() {
  return u'/';
}

}  // namespace pelvaro
