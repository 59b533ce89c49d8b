// The built program, copied as it ships into a folder of its own with a settings file, run in a
// private mount namespace in which the serial devices are pseudo-terminals. No display here.

#include <fcntl.h>
#include <sys/file.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/shipped_program.h"

namespace {

namespace fs = std::filesystem;
using pelvaro::FileDescriptor;
using pelvaro::testing::TemporaryDirectory;

using OneShotRun = pelvaro::testing::ShippedProgramTest;

TEST_F(OneShotRun, SendsOneByteOnTheChosenPortAndNowhereElse) {
  write_settings("[ayar]\r\ncom=3\r\n");
  auto lines = ports({1, 2, 3, 4, 5});
  const auto result = run(lines);
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.standard_output + result.standard_error, "");
  EXPECT_EQ(lines[2].take_received(), "a");
  EXPECT_EQ(vcom::describe_line(lines[2].line()),
            "9600 baud, 1 stop bit, raw");
  expect_silence(lines);
}

TEST_F(OneShotRun, ReachesTheHighestChoice) {
  write_settings("[ayar]\ncom=25\n");
  auto lines = ports({2, 25});
  EXPECT_EQ(run(lines).exit_status, 0);
  EXPECT_EQ(lines[1].take_received(), "a");
  EXPECT_EQ(lines[0].take_received(), "");
}

TEST_F(OneShotRun, KapaliSendsNothingAnywhere) {
  write_settings("[ayar]\ncom=KAPALI\n");
  auto lines = ports({1, 2, 3});
  const auto result = run(lines);
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.standard_output + result.standard_error, "");
  expect_silence(lines);
}

TEST_F(OneShotRun, WithoutAUsableSettingReportsTheErrorAndSendsNothing) {
  for (const char* settings : {"", "[ayar]\ncom=30\n", "[ayar]\ncom=\n"}) {
    if (*settings) write_settings(settings);  // the first round has no settings file at all
    auto lines = ports({1, 3});
    const auto result = run(lines);
    EXPECT_EQ(result.exit_status, 2) << settings;
    EXPECT_EQ(result.standard_error,
              "pelvaro: run-time error 380: Invalid property value: not one of the list's "
              "choices\n");
    EXPECT_EQ(result.standard_output, "");
    expect_silence(lines);
  }
}

TEST_F(OneShotRun, APortHeldByAnotherProgramIsLeftAlone) {
  write_settings("[ayar]\ncom=3\n");
  auto lines = ports({3});
  FileDescriptor holder{::open(lines[0].pty_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)};
  ASSERT_EQ(::flock(holder.get(), LOCK_EX | LOCK_NB), 0);
  const auto result = run(lines);
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.standard_error, "");
  expect_silence(lines);
  EXPECT_EQ(vcom::describe_line(lines[0].line()),
            "1200 baud, 2 stop bits, cooked");
}

TEST_F(OneShotRun, APortWithNoDeviceFailsQuietly) {
  write_settings("[ayar]\ncom=7\n");
  auto lines = ports({1, 3});
  EXPECT_EQ(run(lines).exit_status, 1);
  expect_silence(lines);
}

TEST_F(OneShotRun, ReadsASettingsFileSavedByAWindowsEditor) {
  write_settings("\xEF\xBB\xBF; pelvaro\r\n[Ayar]\r\n Com = \"3\" \r\n");
  auto lines = ports({3});
  EXPECT_EQ(run(lines).exit_status, 0);
  EXPECT_EQ(lines[0].take_received(), "a");
}

TEST_F(OneShotRun, FindsItsSettingsBesideItselfWhereverItIsStartedFrom) {
  write_settings("[ayar]\ncom=2\n");
  TemporaryDirectory elsewhere;
  elsewhere.write("pelvaro.txt", "[ayar]\ncom=1\n");  // a decoy beside the link
  const fs::path link = elsewhere.path() / "pelvaro";
  fs::create_symlink(program(), link);
  auto lines = ports({1, 2});
  EXPECT_EQ(run_program(lines, link).exit_status, 0);
  EXPECT_EQ(lines[0].take_received(), "");
  EXPECT_EQ(lines[1].take_received(), "a");
}

}  // namespace
