#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "support/temporary_directory.h"
#include "virtual_com.h"

namespace pelvaro::testing {

// Opens `path` for reading and writing as the user nobody, in a child process; returns 0 or the
// errno of the failure: whether the port is left open to an ordinary user.
inline int open_error_as_nobody(const std::string& path) {
  constexpr uid_t nobody = 65534;
  const pid_t child = ::fork();
  if (child == 0) {
    if (::setgid(nobody) != 0 || ::setuid(nobody) != 0) ::_exit(255);
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ::_exit(fd >= 0 ? 0 : errno);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// The built program as it ships (the executable and, where built, its window helper), copied
// into a folder of its own, run with virtual COM ports. Skips where no private mount namespace
// can be made.
class ShippedProgramTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { unavailable_ = vcom::namespace_unavailable_reason(); }

  void SetUp() override {
    if (!unavailable_.empty()) GTEST_SKIP() << "no private mount namespace here: " << unavailable_;
    const std::filesystem::path built = PELVARO_EXECUTABLE;
    std::filesystem::copy_file(built, program());
    const auto helper = built.parent_path() / "pelvaro-window";
    if (std::filesystem::exists(helper)) std::filesystem::copy_file(helper, window_helper());
  }

  std::filesystem::path program() const { return folder.path() / "pelvaro"; }
  std::filesystem::path window_helper() const { return folder.path() / "pelvaro-window"; }

  void write_settings(std::string_view content) const { folder.write("pelvaro.txt", content); }

  static std::vector<vcom::VirtualPort> ports(std::initializer_list<int> coms) {
    return vcom::virtual_ports(coms);
  }

  // `lock_directory` stands in for /run/lock, which is otherwise empty.
  vcom::ProcessResult run(std::vector<vcom::VirtualPort>& lines,
                          const std::vector<std::string>& environment = {},
                          const std::filesystem::path& lock_directory = {}) const {
    return run_program(lines, program(), environment, lock_directory);
  }

  static vcom::ProcessResult run_program(std::vector<vcom::VirtualPort>& lines,
                                         const std::filesystem::path& path,
                                         std::vector<std::string> environment = {},
                                         const std::filesystem::path& lock_directory = {}) {
    pass_on_sanitizer_options(environment);
    vcom::ProcessResult result = vcom::run_with_ports(
        lines, {path.string()}, std::chrono::seconds{20}, environment, lock_directory);
    EXPECT_FALSE(result.timed_out);
    return result;
  }

  // A sanitized build's programs take the sanitizers' settings of the test that starts them,
  // unless the test sets its own.
  static void pass_on_sanitizer_options(std::vector<std::string>& environment) {
    for (const char* name : {"ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS"}) {
      const char* value = std::getenv(name);
      const std::string prefix = std::string{name} + "=";
      const bool set = std::any_of(environment.begin(), environment.end(),
                                   [&](const std::string& e) { return e.starts_with(prefix); });
      if (value && !set) environment.push_back(prefix + value);
    }
  }

  static void expect_silence(std::vector<vcom::VirtualPort>& lines) {
    for (auto& line : lines) EXPECT_EQ(line.take_received(), "") << "COM" << line.com();
  }

  TemporaryDirectory folder;
  static inline std::string unavailable_;
};

}  // namespace pelvaro::testing
