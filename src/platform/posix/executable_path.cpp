#include "platform/executable_path.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/text_encoding.h"
#include "runtime/runtime_error.h"

namespace pelvaro {

namespace {

// The kernel's record of the running image, which follows the file even when started through a
// symbolic link or from another directory.
std::string running_image_path() {
  std::string path(256, '\0');
  for (;;) {
    const ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size());
    if (length < 0) {
      throw RuntimeError{ErrorNumber::path_access,
                         std::string{"/proc/self/exe: "} + std::strerror(errno)};
    }
    if (static_cast<std::size_t>(length) < path.size()) {
      path.resize(static_cast<std::size_t>(length));
      return path;
    }
    path.resize(path.size() * 2);
  }
}

}  // namespace

std::u16string executable_directory() {
  const std::string image = running_image_path();
  const std::size_t slash = image.rfind('/');
  if (slash == std::string::npos) {
    throw RuntimeError{ErrorNumber::path_access, "running image has no directory: " + image};
  }
  return from_ansi(slash == 0 ? std::string{"/"} : image.substr(0, slash));
}

char16_t path_separator() {
  return u'/';
}

}  // namespace pelvaro
