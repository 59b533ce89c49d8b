// The program as an install lays it out: the executable in its own folder, reached through the
// link in bin/, its settings in etc/ through the link beside it. pelvaro finds its folder through
// the running image, so both links lead it to the right settings.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "support/shipped_program.h"

namespace {

namespace fs = std::filesystem;
using pelvaro::testing::TemporaryDirectory;

class InstalledProgram : public pelvaro::testing::ShippedProgramTest {
 protected:
  void SetUp() override {
    ShippedProgramTest::SetUp();
    if (IsSkipped()) return;
    install();
  }

  // The sender's part of the install, with the prefix chosen now, at install time.
  void install() const {
    const auto result = vcom::run_process({PELVARO_CMAKE, "--install", PELVARO_BUILD_DIR,
                                           "--prefix", prefix().string(), "--component", "core"},
                                          std::chrono::seconds{60});
    ASSERT_EQ(result.exit_status, 0) << result.standard_output << result.standard_error;
  }

  fs::path prefix() const { return folder.path() / "prefix"; }
  fs::path settings() const { return prefix() / "etc/pelvaro/pelvaro.txt"; }

  std::string settings_text() const {
    std::ifstream file{settings(), std::ios::binary};
    return {std::istreambuf_iterator<char>{file}, {}};
  }
};

TEST_F(InstalledProgram, LaysOutTheProgramItsLinksAndItsSwitchedOffSettings) {
  EXPECT_TRUE(fs::is_symlink(prefix() / "bin/pelvaro"));
  EXPECT_EQ(fs::canonical(prefix() / "bin/pelvaro"),
            fs::canonical(prefix() / "lib/pelvaro/pelvaro"));
  EXPECT_TRUE(fs::is_symlink(prefix() / "lib/pelvaro/pelvaro.txt"));
  EXPECT_EQ(fs::canonical(prefix() / "lib/pelvaro/pelvaro.txt"), fs::canonical(settings()));
  EXPECT_EQ(settings_text(), "[ayar]\ncom=KAPALI\n");
}

TEST_F(InstalledProgram, StartedThroughTheLinkReadsTheSettingsTheOtherLinkLeadsTo) {
  auto lines = ports({1, 3});
  EXPECT_EQ(run_program(lines, prefix() / "bin/pelvaro").exit_status, 3);  // as shipped: KAPALI
  expect_silence(lines);

  TemporaryDirectory::write_to(settings(), "[ayar]\ncom=3\n");
  const auto result = run_program(lines, prefix() / "bin/pelvaro");
  EXPECT_EQ(result.exit_status, 0) << result.standard_error;
  EXPECT_EQ(lines[1].take_received(), "a");
  EXPECT_EQ(lines[0].take_received(), "");
}

TEST_F(InstalledProgram, AnInstallAgainKeepsTheEditedSettings) {
  TemporaryDirectory::write_to(settings(), "[ayar]\ncom=7\n");
  install();
  EXPECT_EQ(settings_text(), "[ayar]\ncom=7\n");
}

}  // namespace
