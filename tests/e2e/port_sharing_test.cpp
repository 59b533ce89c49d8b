// The built program sharing its port the way serial tools share one on Linux: the exclusive mode
// given back, a port another program holds exclusively or under a UUCP lock left alone, even by
// root, and a lock file of a process that has ended ignored.

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "support/shipped_program.h"

namespace {

namespace fs = std::filesystem;
using pelvaro::FileDescriptor;
using pelvaro::testing::TemporaryDirectory;

constexpr uid_t nobody = 65534;

// Opens `path` for reading and writing as the user nobody, in a child process; returns 0 or the
// errno of the failure.
int open_error_as_nobody(const std::string& path) {
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

std::string content_of(const fs::path& file) {
  std::ifstream in{file, std::ios::binary};
  return {std::istreambuf_iterator<char>{in}, {}};
}

// A process ID that was in use a moment ago and is no more.
pid_t ended_process() {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ::waitpid(child, nullptr, 0);
  return child;
}

// The lock file a serial tool writes: the process ID in ASCII, ten columns, a line end.
std::string lock_text(pid_t pid) {
  char text[16];
  std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(pid));
  return text;
}

class PortSharing : public pelvaro::testing::ShippedProgramTest {
 protected:
  void SetUp() override {
    ShippedProgramTest::SetUp();
    if (IsSkipped()) return;
    if (::geteuid() != 0) GTEST_SKIP() << "needs root, to be root and nobody in turn";
    write_settings("[ayar]\ncom=3\n");
  }
  TemporaryDirectory locks;
};

TEST_F(PortSharing, LeavesThePortOpenToOtherUsersWhileAnotherProgramHoldsIt) {
  auto lines = ports({3});
  ASSERT_EQ(::chmod(lines[0].pty_path().c_str(), 0666), 0);
  ASSERT_EQ(open_error_as_nobody(lines[0].pty_path()), 0);
  // The test keeps the line open throughout, as a serial monitor would, so the tty lives on.
  const auto result = run(lines);
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(lines[0].take_received(), "a");
  EXPECT_EQ(open_error_as_nobody(lines[0].pty_path()), 0) << "the port was left exclusive";
}

TEST_F(PortSharing, AStopSignalWhileThePortIsHeldEndsTheRunOnlyOnceThePortIsGivenBack) {
  auto lines = ports({3});
  ASSERT_EQ(::chmod(lines[0].pty_path().c_str(), 0666), 0);
  // A driver that holds the settings call keeps pelvaro on the exclusive port while it is told to
  // stop, as a user's Ctrl-C or a script's kill would.
  const fs::path stopper = folder.write("stopped-pelvaro",
                                        "#!/bin/sh\n"
                                        "\"$(dirname \"$0\")/pelvaro\" & pid=$!\n"
                                        "sleep 1\n"
                                        "kill -TERM $pid\n"
                                        "wait $pid\n");
  ASSERT_EQ(::chmod(stopper.c_str(), 0755), 0);
  const auto result = run_program(lines, stopper,
                                  {"LD_PRELOAD=" LINE_FAULTS_LIBRARY, "LINE_FAULT=stuck-settings",
                                   "ASAN_OPTIONS=verify_asan_link_order=0"});
  EXPECT_EQ(result.exit_status, 128 + SIGTERM);
  expect_silence(lines);
  EXPECT_EQ(open_error_as_nobody(lines[0].pty_path()), 0) << "the port was left exclusive";
}

TEST_F(PortSharing, APortHeldExclusivelyIsLeftAloneEvenByRoot) {
  auto lines = ports({3});
  FileDescriptor holder{::open(lines[0].pty_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)};
  ASSERT_EQ(::ioctl(holder.get(), TIOCEXCL), 0);
  const auto result = run(lines);
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.standard_error, "");
  expect_silence(lines);
  EXPECT_EQ(vcom::describe_line(lines[0].line()), "1200 baud, 2 stop bits, cooked");
  int still_exclusive = 0;
  ASSERT_EQ(::ioctl(holder.get(), TIOCGEXCL, &still_exclusive), 0);
  EXPECT_EQ(still_exclusive, 1) << "the holder's exclusive mode was taken from it";
}

TEST_F(PortSharing, APortLockedByALiveProcessIsLeftAlone) {
  const auto lock = locks.write("LCK..ttyS2", lock_text(::getpid()));
  locks.write("LCK..ttyS0", lock_text(ended_process()));
  auto lines = ports({1, 3});
  const auto result = run(lines, {}, locks.path());
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.standard_error, "");
  expect_silence(lines);
  EXPECT_EQ(vcom::describe_line(lines[1].line()), "1200 baud, 2 stop bits, cooked");
  EXPECT_EQ(content_of(lock), lock_text(::getpid()));
}

TEST_F(PortSharing, ALockLeftByAnEndedProcessOrForAnotherPortIsIgnoredAndKept) {
  const pid_t ended = ended_process();
  const auto stale = locks.write("LCK..ttyS2", lock_text(ended));
  locks.write("LCK..ttyS0", lock_text(::getpid()));
  auto lines = ports({1, 3});
  const auto result = run(lines, {}, locks.path());
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(lines[1].take_received(), "a");
  EXPECT_EQ(lines[0].take_received(), "");
  EXPECT_EQ(content_of(stale), lock_text(ended));  // not removed, not rewritten
  EXPECT_EQ(std::distance(fs::directory_iterator{locks.path()}, {}), 2) << "a lock was written";
}

}  // namespace
