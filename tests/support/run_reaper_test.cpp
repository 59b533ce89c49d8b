// What a test starts through vcom ends with the run: whatever the program left running, in a
// session of its own, once the program has ended, once its time is up, and once the test that
// started it has been killed (a test's timeout).

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "support/temporary_directory.h"
#include "virtual_com.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using pelvaro::testing::TemporaryDirectory;

// A script that leaves a process in a session of its own, notes its process ID in `noted` and
// then sleeps for `seconds` itself.
std::vector<std::string> leaving_a_process(const std::filesystem::path& noted, int seconds) {
  return {"/bin/sh", "-c",
          "setsid sleep 300 & echo $! > \"$0.new\" && mv \"$0.new\" \"$0\"; sleep " +
              std::to_string(seconds),
          noted.string()};
}

pid_t noted_process(const std::filesystem::path& noted, Clock::duration bound) {
  const auto deadline = Clock::now() + bound;
  pid_t pid = 0;
  while (!(std::ifstream{noted} >> pid) && Clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
  }
  return pid;
}

// Whether `pid` ends within `bound`; one that does not is killed, so that not even a failing test
// leaves it behind.
bool ends_within(pid_t pid, Clock::duration bound) {
  const auto deadline = Clock::now() + bound;
  while (::kill(pid, 0) == 0 && Clock::now() < deadline) std::this_thread::sleep_for(10ms);
  if (::kill(pid, 0) != 0 && errno == ESRCH) return true;
  ::kill(pid, SIGKILL);
  return false;
}

class RunReaper : public ::testing::Test {
 protected:
  void SetUp() override {
    int reaper = 0;
    // An emulator such as qemu-user may not pass the call on: there nothing can be reaped.
    if (::prctl(PR_GET_CHILD_SUBREAPER, &reaper) != 0) {
      GTEST_SKIP() << "no child subreaper here: " << std::strerror(errno);
    }
  }
};

TEST_F(RunReaper, WhatTheProgramLeftEndsWithTheRun) {
  const TemporaryDirectory folder;
  const auto noted = folder.path() / "left";
  const auto result = vcom::run_process(leaving_a_process(noted, 0), 20s);
  EXPECT_EQ(result.exit_status, 0) << result.standard_error;
  const pid_t left = noted_process(noted, 0s);
  ASSERT_GT(left, 0);
  EXPECT_TRUE(ends_within(left, 0s)) << "process " << left << " outlived the run";
}

TEST_F(RunReaper, WhatTheProgramLeftEndsWhenItsTimeIsUp) {
  const TemporaryDirectory folder;
  const auto noted = folder.path() / "left";
  const auto result = vcom::run_process(leaving_a_process(noted, 300), 1s);
  EXPECT_TRUE(result.timed_out);
  const pid_t left = noted_process(noted, 0s);
  ASSERT_GT(left, 0);
  EXPECT_TRUE(ends_within(left, 0s)) << "process " << left << " outlived the run";
}

TEST_F(RunReaper, WhatTheProgramLeftEndsWhenTheTestIsKilled) {
  const TemporaryDirectory folder;
  const auto noted = folder.path() / "left";
  const pid_t test = ::fork();
  ASSERT_GE(test, 0);
  if (test == 0) {
    vcom::run_process(leaving_a_process(noted, 300), 60s);
    ::_exit(0);
  }
  const pid_t left = noted_process(noted, 10s);
  ::kill(test, SIGKILL);
  ::waitpid(test, nullptr, 0);
  ASSERT_GT(left, 0) << "the script never started";
  // The run's reaper asks first and kills after a second; the rest is room for a busy machine.
  EXPECT_TRUE(ends_within(left, 10s)) << "process " << left << " outlived the killed test";
}

}  // namespace
