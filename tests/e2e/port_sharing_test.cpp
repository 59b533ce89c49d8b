// The built program sharing its port the way serial tools share one on Linux: the exclusive mode
// given back, a port another program holds exclusively or under a UUCP lock left alone, even by
// root, and a lock file of a process that has ended ignored; runs started together taking turns.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/hang_bound.h"
#include "support/shipped_program.h"

namespace {

namespace fs = std::filesystem;
using pelvaro::FileDescriptor;
using pelvaro::testing::ended_within;
using pelvaro::testing::open_error_as_nobody;
using pelvaro::testing::TemporaryDirectory;

using std::chrono::milliseconds;

// A run that waits for its turn ends within the turn (3 s) and its own send; one refused ends
// once the turn has passed. Each with a margin for starting alongside the others.
constexpr milliseconds turn_bound{3000 + 2500};
constexpr milliseconds refusal_bound{3000 + 1000};

struct RunReport {
  int exit_status = -1;
  milliseconds elapsed{};
};

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

// A child that has ended and that the test does not collect until it goes: a serial tool that
// crashed under a script that has not waited for it yet. Its process ID still answers kill().
class UncollectedChild {
 public:
  UncollectedChild() : pid_(::fork()) {
    if (pid_ == 0) ::_exit(0);
    siginfo_t info{};
    // Waits for the end without collecting it.
    ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT);
  }
  UncollectedChild(const UncollectedChild&) = delete;
  UncollectedChild& operator=(const UncollectedChild&) = delete;
  ~UncollectedChild() { ::waitpid(pid_, nullptr, 0); }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_;
};

// A program whose main thread has ended while another of its threads goes on, as a tool that
// ends main with pthread_exit does (here the thread's own exit, which unwinds nothing): /proc shows
// its first thread as a zombie, yet it lives and may hold the port. Ended with the test.
class ProcessWithoutItsMainThread {
 public:
  ProcessWithoutItsMainThread() : pid_(::fork()) {
    if (pid_ == 0) {
      std::thread{[] { ::pause(); }}.detach();
      ::syscall(SYS_exit, 0);
    }
    // Until /proc shows the main thread ended, for 5 s at most.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds{5};
    while (!main_thread_ended() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds{5});
    }
  }
  ProcessWithoutItsMainThread(const ProcessWithoutItsMainThread&) = delete;
  ProcessWithoutItsMainThread& operator=(const ProcessWithoutItsMainThread&) = delete;
  ~ProcessWithoutItsMainThread() {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  pid_t pid() const { return pid_; }

  bool main_thread_ended() const {
    const std::string stat = content_of("/proc/" + std::to_string(pid_) + "/stat");
    const std::size_t name_end = stat.rfind(')');
    return name_end != std::string::npos && stat.compare(name_end, 3, ") Z") == 0;
  }

 private:
  pid_t pid_;
};

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
  // Starts `count` runs at once from one shell, as a double click or a burst of events would, as
  // root or as the user nobody; returns each run's exit status and time.
  std::vector<RunReport> run_together(std::vector<vcom::VirtualPort>& lines, int count,
                                      bool as_nobody = false,
                                      const fs::path& lock_directory = {}) const {
    const fs::path starter =
        folder.write("together",
                     "#!/bin/sh\n"
                     "program=\"$(dirname \"$0\")/pelvaro\"\n"
                     "one_run() {\n"
                     "  start=$(date +%s%N)\n"
                     "  $RUN_AS \"$program\"\n"
                     "  status=$?\n"
                     "  echo \"$status $((($(date +%s%N) - start) / 1000000))\"\n"
                     "}\n"
                     "i=0\n"
                     "while [ $i -lt $RUNS ]; do one_run & i=$((i + 1)); done\n"
                     "wait\n");
    fs::permissions(starter, fs::perms{0755});
    const std::string run_as =
        as_nobody ? "setpriv --reuid=65534 --regid=65534 --clear-groups" : "";
    const auto result = run_program(
        lines, starter, {"RUNS=" + std::to_string(count), "RUN_AS=" + run_as}, lock_directory);
    std::vector<RunReport> runs;
    std::istringstream reports{result.standard_output};
    RunReport run;
    long elapsed_ms = 0;
    while (reports >> run.exit_status >> elapsed_ms) {
      run.elapsed = milliseconds{elapsed_ms};
      runs.push_back(run);
    }
    EXPECT_EQ(runs.size(), static_cast<std::size_t>(count)) << result.standard_error;
    return runs;
  }

  TemporaryDirectory locks;
};

int count_of_status(const std::vector<RunReport>& runs, int status) {
  return static_cast<int>(std::count_if(
      runs.begin(), runs.end(), [&](const auto& run) { return run.exit_status == status; }));
}

milliseconds longest(const std::vector<RunReport>& runs) {
  milliseconds longest{};
  for (const auto& run : runs) longest = std::max(longest, run.elapsed);
  return longest;
}

TEST_F(PortSharing, RunsStartedTogetherTakeTurnsAndEachSendsItsByteOnce) {
  auto lines = ports({3});
  ASSERT_EQ(::chmod(lines[0].pty_path().c_str(), 0666), 0);
  // As root a run opens a port another run holds exclusively and queues on its advisory lock; as
  // any other user the open itself is refused until the holder gives the exclusive mode back.
  for (const bool as_nobody : {false, true}) {
    for (const int count : {2, 5, 20}) {
      SCOPED_TRACE(std::to_string(count) + (as_nobody ? " runs as nobody" : " runs as root"));
      const auto runs = run_together(lines, count, as_nobody);
      EXPECT_EQ(count_of_status(runs, 0), count);
      EXPECT_EQ(lines[0].take_received(), std::string(static_cast<std::size_t>(count), 'a'));
      EXPECT_TRUE(ended_within(longest(runs), turn_bound));
      EXPECT_EQ(open_error_as_nobody(lines[0].pty_path()), 0) << "the port was left exclusive";
    }
  }
}

TEST_F(PortSharing, SwitchedOffRunsStartedTogetherSendNothing) {
  write_settings("[ayar]\ncom=KAPALI\n");
  auto lines = ports({1, 3});
  const auto runs = run_together(lines, 20);
  EXPECT_EQ(count_of_status(runs, 3), 20);
  expect_silence(lines);
}

TEST_F(PortSharing, APortHeldAllAlongRefusesEveryRunOnceItsTurnHasPassed) {
  auto lines = ports({3});
  ASSERT_EQ(::chmod(lines[0].pty_path().c_str(), 0666), 0);
  FileDescriptor holder{::open(lines[0].pty_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)};
  const auto expect_each_refused = [&](const char* hold, bool as_nobody) {
    SCOPED_TRACE(hold);
    const auto runs = run_together(lines, 5, as_nobody);
    EXPECT_EQ(count_of_status(runs, 1), 5);
    EXPECT_TRUE(ended_within(longest(runs), refusal_bound));
    expect_silence(lines);
    EXPECT_EQ(vcom::describe_line(lines[0].line()), "1200 baud, 2 stop bits, cooked");
  };
  ASSERT_EQ(::flock(holder.get(), LOCK_EX | LOCK_NB), 0);
  expect_each_refused("advisory lock", false);
  ASSERT_EQ(::flock(holder.get(), LOCK_UN), 0);
  ASSERT_EQ(::ioctl(holder.get(), TIOCEXCL), 0);
  expect_each_refused("exclusive mode, runs as root", false);
  expect_each_refused("exclusive mode, runs as nobody", true);
  ASSERT_EQ(::ioctl(holder.get(), TIOCNXCL), 0);
}

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

TEST_F(PortSharing, ATermSignalWhileTheRunWaitsForItsTurnEndsItThenWithNothingSent) {
  auto lines = ports({3});
  FileDescriptor holder{::open(lines[0].pty_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)};
  ASSERT_EQ(::flock(holder.get(), LOCK_EX | LOCK_NB), 0);
  // Waiting, it holds nothing that could be left behind: the request takes effect at once, not
  // when the turn has passed.
  const fs::path stopper = folder.write("stopped-pelvaro",
                                        "#!/bin/sh\n"
                                        "\"$(dirname \"$0\")/pelvaro\" & pid=$!\n"
                                        "sleep 0.3\n"
                                        "kill -TERM $pid\n"
                                        "wait $pid\n");
  ASSERT_EQ(::chmod(stopper.c_str(), 0755), 0);
  const auto result = run_program(lines, stopper);
  EXPECT_EQ(result.exit_status, 128 + SIGTERM);
  EXPECT_TRUE(ended_within(result.elapsed, milliseconds{2000}));
  ASSERT_EQ(::flock(holder.get(), LOCK_UN), 0);
  expect_silence(lines);
}

TEST_F(PortSharing, AFileOrFolderLeftAtAComNameIsNoPort) {
  auto lines = ports({3});
  // `echo a > /dev/COM3`, a Windows habit, leaves a plain file there; COM3 stays /dev/ttyS2.
  const fs::path script = folder.write("with-stray-com3",
                                       "#!/bin/sh\n"
                                       "echo a > /dev/COM3 && mkdir /dev/COM4 &&\n"
                                       "exec \"$(dirname \"$0\")/pelvaro\"\n");
  ASSERT_EQ(::chmod(script.c_str(), 0755), 0);
  const auto result = run_program(lines, script);
  EXPECT_EQ(result.exit_status, 0) << result.standard_error;
  EXPECT_EQ(lines[0].take_received(), "a");
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
  EXPECT_TRUE(ended_within(result.elapsed, refusal_bound));
  EXPECT_EQ(result.standard_error, "");
  expect_silence(lines);
  EXPECT_EQ(vcom::describe_line(lines[1].line()), "1200 baud, 2 stop bits, cooked");
  EXPECT_EQ(content_of(lock), lock_text(::getpid()));
}

TEST_F(PortSharing, AnAdapterLinkedAsComIsLockedUnderItsDevicesNameAndItsInode) {
  std::vector<vcom::VirtualPort> lines;
  lines.emplace_back(3, "ttyUSB0");  // COM3 -> ttyUSB0, as a udev rule makes it
  lines.emplace_back(3);             // the kernel's ttyS2, which is not COM3 then
  locks.write("LCK..ttyUSB0", lock_text(::getpid()));
  auto result = run(lines, {}, locks.path());
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_TRUE(ended_within(result.elapsed, refusal_bound));
  expect_silence(lines);
  fs::remove(locks.path() / "LCK..ttyUSB0");
  FileDescriptor holder{::open(lines[0].pty_path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)};
  ASSERT_EQ(::flock(holder.get(), LOCK_EX | LOCK_NB), 0);
  result = run(lines, {}, locks.path());
  EXPECT_EQ(result.exit_status, 1);
  expect_silence(lines);
  holder.reset();
  EXPECT_EQ(run(lines, {}, locks.path()).exit_status, 0);
  EXPECT_EQ(lines[0].take_received(), "a");
  expect_silence(lines);
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

TEST_F(PortSharing, ALockOfALiveProcessWhoseMainThreadHasEndedStillRefusesThePort) {
  const ProcessWithoutItsMainThread holder;
  ASSERT_TRUE(holder.main_thread_ended());
  const auto lock = locks.write("LCK..ttyS2", lock_text(holder.pid()));
  auto lines = ports({3});
  const auto result = run(lines, {}, locks.path());
  EXPECT_EQ(result.exit_status, 1) << result.standard_error;
  EXPECT_TRUE(ended_within(result.elapsed, refusal_bound));
  expect_silence(lines);
}

// A lock file is a plain file: a link there is not followed (it could lead to a device, whose
// open has effects, or to a file that never opens), and so refuses nothing.
TEST_F(PortSharing, ALockFileThatIsALinkIsNotFollowed) {
  const auto target = locks.write("elsewhere", lock_text(::getpid()));
  fs::create_symlink(target, locks.path() / "LCK..ttyS2");
  auto lines = ports({3});
  const auto result = run(lines, {}, locks.path());
  EXPECT_EQ(result.exit_status, 0) << result.standard_error;
  EXPECT_EQ(lines[0].take_received(), "a");
}

TEST_F(PortSharing, ALockWhoseProcessHasEndedButIsNotCollectedYetIsIgnored) {
  const UncollectedChild crashed_tool;
  const auto stale = locks.write("LCK..ttyS2", lock_text(crashed_tool.pid()));
  auto lines = ports({3});
  const auto result = run(lines, {}, locks.path());
  EXPECT_EQ(result.exit_status, 0) << result.standard_error;
  // Not the whole turn spent waiting for a process that will never give the port back.
  EXPECT_LT(result.elapsed, refusal_bound - milliseconds{1000});
  EXPECT_EQ(lines[0].take_received(), "a");
  EXPECT_EQ(content_of(stale), lock_text(crashed_tool.pid()));
}

}  // namespace
