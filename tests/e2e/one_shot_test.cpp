// The built program, copied as it ships into a folder of its own with a settings file, run in a
// private mount namespace in which the serial devices are pseudo-terminals. No display here.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "support/hang_bound.h"
#include "support/shipped_program.h"
#include "support/turkish_settings.h"

namespace {

namespace fs = std::filesystem;
using pelvaro::FileDescriptor;
using pelvaro::testing::ended_within;
using pelvaro::testing::TemporaryDirectory;

using OneShotRun = pelvaro::testing::ShippedProgramTest;

TEST_F(OneShotRun, SendsOneByteOnTheChosenPortAndNowhereElse) {
  write_settings("[ayar]\r\ncom=3\r\n");
  auto lines = ports({1, 2, 3, 4, 5});
  const auto result = run(lines);
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.standard_output + result.standard_error, "");
  EXPECT_EQ(lines[2].take_received(), "a");
  EXPECT_EQ(vcom::describe_line(lines[2].line()), "9600 baud, 1 stop bit, raw");
  expect_silence(lines);
}

TEST_F(OneShotRun, ReachesTheHighestChoice) {
  write_settings("[ayar]\ncom=25\n");
  auto lines = ports({2, 25});
  EXPECT_EQ(run(lines).exit_status, 0);
  EXPECT_EQ(lines[1].take_received(), "a");
  EXPECT_EQ(lines[0].take_received(), "");
}

TEST_F(OneShotRun, KapaliSendsNothingAnywhereAndSaysSoByItsStatus) {
  write_settings("[ayar]\ncom=KAPALI\n");
  auto lines = ports({1, 2, 3});
  const auto result = run(lines);
  EXPECT_EQ(result.exit_status, 3);
  EXPECT_EQ(result.standard_output + result.standard_error, "");
  expect_silence(lines);
}

TEST_F(OneShotRun, KapaliInTurkishSpellingsAndEditorEncodingsSendsNothingAnywhere) {
  using namespace pelvaro::testing;
  for (const auto spelling : kapali_spellings) {
    for (const auto encoding : editor_encodings) {
      write_settings(settings_saved_as(spelling, encoding));
      auto lines = ports({1, 2, 3});
      const auto result = run(lines);
      const std::string saved{encoded(spelling, SavedAs::utf8) + " saved as " + name_of(encoding)};
      EXPECT_EQ(result.exit_status, 3) << saved << ": " << result.standard_error;
      EXPECT_EQ(result.standard_output + result.standard_error, "") << saved;
      expect_silence(lines);
    }
  }
  // A typo is still a typo, reported as before.
  write_settings("[ayar]\ncom=Kapal\xC4\xB1y\n");
  auto lines = ports({3});
  const auto result = run(lines);
  EXPECT_EQ(result.exit_status, 2);
  EXPECT_EQ(result.standard_error,
            "pelvaro: run-time error 380: Invalid property value: settings file " +
                (folder.path() / "pelvaro.txt").string() +
                ": com=\"Kapal\xC4\xB1y\" is not one of the choices "
                "KAPALI, 1, 2, ..., 25\n");
  expect_silence(lines);
}

TEST_F(OneShotRun, EachUnusableSettingIsReportedWithTheFileAndWhatIsWrongThere) {
  const std::string file = (folder.path() / "pelvaro.txt").string();
  const std::string report =
      "pelvaro: run-time error 380: Invalid property value: settings file " + file + ": ";
  const std::string choices = "the choices KAPALI, 1, 2, ..., 25\n";
  const std::string long_value(300, '7');
  const std::pair<std::string, std::string> cases[] = {
      {"", "not found\n"},  // no settings file at all
      {"[other]\ncom=3\n", "no section [ayar]\n"},
      {"[ayar]\nport=3\n", "no key com in section [ayar]\n"},
      {"[ayar]\ncom=\n", "com is empty: " + std::string{"the choices are KAPALI, 1, 2, ..., 25\n"}},
      {"[ayar]\ncom=30\n", "com=\"30\" is not one of " + choices},
      {"[ayar]\ncom=3\x1b[2J\n", "com=\"3\\x1B[2J\" is not one of " + choices},
      // UTF-8 marks that would reorder the line, or break it, are shown by their numbers.
      {"[ayar]\ncom=\xE2\x80\xAE"
       "3\xE2\x80\xA8x\n",
       "com=\"\\u202E3\\u2028x\" is not one of " + choices},
      {"[ayar]\ncom=" + long_value + "\n",
       "com=\"" + long_value.substr(0, 40) + "\" (cut short) is not one of " + choices},
      {std::string{"\xFE\xFF\0[\0a\0y\0a\0r\0]\0\n\0c\0o\0m\0=\0003\0\n", 28},
       "no section [ayar] (the file is UTF-16 big-endian, which is not read: save it as ANSI or "
       "UTF-16 little-endian)\n"},
  };
  for (const auto& [settings, reason] : cases) {
    if (!settings.empty()) write_settings(settings);
    auto lines = ports({1, 3});
    const auto result = run(lines);
    EXPECT_EQ(result.exit_status, 2) << settings;
    EXPECT_EQ(result.standard_error, report + reason);
    EXPECT_EQ(result.standard_output, "");
    expect_silence(lines);
  }
}

TEST_F(OneShotRun, WhatCannotBeReadAtTheSettingsPathIsReportedSo) {
  std::filesystem::remove(folder.path() / "pelvaro.txt");
  std::filesystem::create_directory(folder.path() / "pelvaro.txt");
  auto lines = ports({3});
  const std::string report = "pelvaro: run-time error 380: Invalid property value: settings file " +
                             (folder.path() / "pelvaro.txt").string() + ": ";
  EXPECT_EQ(run(lines).standard_error, report + "not a regular file\n");
  std::filesystem::remove(folder.path() / "pelvaro.txt");
  ASSERT_EQ(::mkfifo((folder.path() / "pelvaro.txt").c_str(), 0600), 0);  // nobody writes to it
  EXPECT_EQ(run(lines).standard_error, report + "not a regular file\n");
  std::filesystem::remove(folder.path() / "pelvaro.txt");

  // Root reads any file: the program runs as nobody, which may not read this one.
  write_settings("[ayar]\ncom=3\n");
  std::filesystem::permissions(folder.path() / "pelvaro.txt", std::filesystem::perms::none);
  const auto as_nobody = vcom::run_with_ports(
      lines,
      {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", program().string()},
      std::chrono::seconds{20});
  EXPECT_EQ(as_nobody.exit_status, 2);
  EXPECT_EQ(as_nobody.standard_error, report + "not readable: Permission denied\n");
  expect_silence(lines);
}

TEST_F(OneShotRun, AStandardErrorNobodyReadsAnyMoreStillEndsWithTheReportsStatus) {
  write_settings("[ayar]\ncom=30\n");
  auto lines = ports({3});
  // The reader of the pipe has gone by the time the report is written; the status is pelvaro's.
  const auto result = vcom::run_with_ports(
      lines,
      {"/bin/bash", "-c", "(sleep 0.2; exec \"$0\") 2>&1 | :; exit ${PIPESTATUS[0]}",
       program().string()},
      std::chrono::seconds{20});
  EXPECT_EQ(result.exit_status, 2) << "141 is an end by SIGPIPE";
  expect_silence(lines);
}

TEST_F(OneShotRun, APortHeldByAnotherProgramIsLeftAlone) {
  write_settings("[ayar]\ncom=3\n");
  auto lines = ports({3});
  FileDescriptor holder{::open(lines[0].pty_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)};
  ASSERT_EQ(::flock(holder.get(), LOCK_EX | LOCK_NB), 0);
  const auto result = run(lines);
  EXPECT_EQ(result.exit_status, 1);  // a failure while sending, told apart from KAPALI
  EXPECT_EQ(result.standard_error, "");
  expect_silence(lines);
  EXPECT_EQ(vcom::describe_line(lines[0].line()), "1200 baud, 2 stop bits, cooked");
}

// A udev rule names a USB serial adapter COMn with a link /dev/COMn to its device (ttyUSB0).
TEST_F(OneShotRun, AComLinkIsThatPortBeforeTheKernelsName) {
  write_settings("[ayar]\ncom=3\n");
  std::vector<vcom::VirtualPort> lines;
  lines.emplace_back(3, "ttyUSB0");  // COM3 -> ttyUSB0
  lines.emplace_back(3);             // ttyS2, which the kernel makes on every PC
  lines.emplace_back(4, "ttyACM0");  // COM4 -> ttyACM0, a port not chosen
  const auto result = run(lines);
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(result.standard_output + result.standard_error, "");
  EXPECT_EQ(lines[0].take_received(), "a");
  EXPECT_EQ(vcom::describe_line(lines[0].line()), "9600 baud, 1 stop bit, raw");
  expect_silence(lines);
}

TEST_F(OneShotRun, AComLinkToAnAdapterThatIsNotPluggedInFailsAtOnce) {
  write_settings("[ayar]\ncom=3\n");
  std::vector<vcom::VirtualPort> lines;
  lines.emplace_back(3, "ttyUSB0");
  lines.emplace_back(3);
  // The link leads to an adapter that is not plugged in: the port is that adapter, not the
  // kernel's ttyS2.
  const fs::path unplugging = folder.write("unplugged-pelvaro",
                                           "#!/bin/sh\n"
                                           "ln -sfn ttyUSB1 /dev/COM3 || exit 99\n"
                                           "exec \"$(dirname \"$0\")/pelvaro\"\n");
  fs::permissions(unplugging, fs::perms{0755});
  const auto result = run_program(lines, unplugging);
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.standard_error, "");
  EXPECT_TRUE(ended_within(result.elapsed, std::chrono::seconds{1}));
  expect_silence(lines);
}

TEST_F(OneShotRun, APortWithNoDeviceFailsQuietly) {
  write_settings("[ayar]\ncom=7\n");
  auto lines = ports({1, 3});
  const auto result = run(lines);
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.standard_error, "");
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
