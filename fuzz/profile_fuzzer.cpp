// Fuzzes the settings lookup and its error report: arbitrary file bytes, section and key. The file
// is an in-memory one, reached through /proc/self/fd as the program reaches its file through a
// path.

#include <fuzzer/FuzzedDataProvider.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "platform/posix/settings/profile_syntax.h"
#include "platform/text_encoding.h"
#include "settings/profile.h"

namespace {

int settings_file() {
  static const int fd = ::memfd_create("pelvaro.txt", 0);
  return fd;
}

void check(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input{data, size};
  const std::string section = input.ConsumeRandomLengthString(64);
  const std::string key = input.ConsumeRandomLengthString(64);
  const std::string content = input.ConsumeRemainingBytesAsString();

  const auto found = pelvaro::find_profile_value(content, section, key);
  if (found) {
    check(found->data() >= content.data() &&
          found->data() + found->size() <= content.data() + content.size());
    check(found->find_first_of("\r\n") == std::string_view::npos);
    check(pelvaro::has_profile_section(content, section));
  }

  const int fd = settings_file();
  check(::ftruncate(fd, 0) == 0);
  check(::pwrite(fd, content.data(), content.size(), 0) == static_cast<ssize_t>(content.size()));
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  const std::u16string value = pelvaro::ReadProfileValue(
      pelvaro::from_ansi(section), pelvaro::from_ansi(key), pelvaro::from_ansi(path));
  const std::string bytes = pelvaro::to_ansi(value);
  check(bytes.size() <= pelvaro::profile_buffer_size - 1);
  if (!content.starts_with("\xFF\xFE")) {  // a UTF-16 file is transcoded before it is searched
    const std::string_view expected = found ? found->substr(0, 254) : std::string_view{};
    check(bytes == expected);
  }

  // Whatever the file, section and key hold, the report about them is one line with no control
  // character in it.
  static constexpr std::u16string_view choices[] = {u"KAPALI", u"1", u"2", u"3", u"4", u"25"};
  const pelvaro::RuntimeError report = pelvaro::unusable_setting(
      pelvaro::ErrorNumber::invalid_property_value, pelvaro::from_ansi(section),
      pelvaro::from_ansi(key), pelvaro::from_ansi(path), value, choices);
  for (const char c : std::string_view{report.what()}) {
    check(static_cast<unsigned char>(c) >= 0x20 && c != 0x7F);
  }
  return 0;
}
