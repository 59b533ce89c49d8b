// The built program on a port it holds while job control, signals and a hang-up come: it is never
// stopped while it holds the port, nothing but SIGKILL ends it there, and a line hung up under it
// is left open to the next run by an ordinary user.

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "support/hang_bound.h"
#include "support/shipped_program.h"

namespace {

namespace fs = std::filesystem;
using pelvaro::testing::ended_within;
using pelvaro::testing::open_error_as_nobody;
using namespace std::chrono_literals;
using pelvaro::FileDescriptor;

// The tty's exclusive mode, asked on a descriptor of root's own (root may open an exclusive tty).
int exclusive_mode(const std::string& path) {
  const FileDescriptor fd{::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)};
  int exclusive = -1;
  if (::ioctl(fd.get(), TIOCGEXCL, &exclusive) != 0) return -1;
  return exclusive;
}

// Starts its program in the background of a session whose controlling terminal is the port.
const std::string port_session = PORT_SESSION;

// Shell lines for a copy started with LINE_HELD=<fifo>: its fault library writes to the FIFO once
// the copy holds the port in its stuck drain, and holds the drain until a signal waits on the copy.
// A reader of the FIFO that times out on it (10 s) goes on all the same, and the test sees a status
// that the signal did not make.
constexpr const char* when_held =
    "when_held() {\n"
    "  fifo=$1; shift\n"
    "  (timeout 10 sh -c 'read held <\"$0\"' \"$fifo\"; \"$@\") &\n"
    "}\n";

// A run's start and the line's usual time; the runs with a stuck queue take the drain's bound
// (the byte's time plus 1 s) and the release after it (0.5 s) on top.
constexpr auto run_bound = 2s;
constexpr auto stuck_drain_bound = 3s;

class HeldPort : public pelvaro::testing::ShippedProgramTest {
 protected:
  void SetUp() override {
    ShippedProgramTest::SetUp();
    if (IsSkipped()) return;
    if (::geteuid() != 0) GTEST_SKIP() << "needs root, to be root and nobody in turn";
  }

  // Ports whose devices an ordinary user may open, so that a port left exclusive shows.
  static std::vector<vcom::VirtualPort> open_ports(std::initializer_list<int> coms) {
    auto lines = ports(coms);
    for (const auto& line : lines) EXPECT_EQ(::chmod(line.pty_path().c_str(), 0666), 0);
    return lines;
  }

  vcom::ProcessResult run_command(std::vector<vcom::VirtualPort>& lines,
                                  const std::vector<std::string>& argv,
                                  std::vector<std::string> environment = {}) const {
    pass_on_sanitizer_options(environment);
    auto result = vcom::run_with_ports(lines, argv, 20s, environment);
    EXPECT_FALSE(result.timed_out);
    return result;
  }

  vcom::ProcessResult run_script(std::vector<vcom::VirtualPort>& lines, const std::string& script,
                                 const std::string& line_fault) const {
    const fs::path file = folder.write(
        "script", "#!/bin/sh\nulimit -c 0\ncd \"$(dirname \"$0\")\" || exit 99\n" + script);
    EXPECT_EQ(::chmod(file.c_str(), 0755), 0);
    return run_command(lines, {file.string()}, with_fault(line_fault));
  }

  // A driver whose output queue never empties keeps the program on the port for the drain's
  // bound, with the byte sent.
  static std::vector<std::string> with_fault(const std::string& fault) {
    return {"LD_PRELOAD=" LINE_FAULTS_LIBRARY, "LINE_FAULT=" + fault,
            "ASAN_OPTIONS=verify_asan_link_order=0"};
  }

  static void expect_usable_by_others(const vcom::VirtualPort& line) {
    EXPECT_EQ(open_error_as_nobody(line.pty_path()), 0) << "COM" << line.com() << " left exclusive";
    EXPECT_EQ(exclusive_mode(line.pty_path()), 0) << "COM" << line.com();
  }
};

TEST_F(HeldPort, ARunInTheBackgroundOfThePortsOwnSessionSetsTheLineAndEnds) {
  write_settings("[ayar]\ncom=3\n");
  auto lines = open_ports({3});
  const auto result = run_command(lines, {port_session, "/dev/ttyS2", program().string()});
  EXPECT_EQ(result.exit_status, 0) << result.standard_error;
  EXPECT_TRUE(ended_within(result.elapsed, run_bound));
  EXPECT_EQ(lines[0].take_received(), "a");
  EXPECT_EQ(vcom::describe_line(lines[0].line()), "9600 baud, 1 stop bit, raw");
  expect_usable_by_others(lines[0]);
}

TEST_F(HeldPort, CtrlZWhileThePortIsHeldStopsTheRunOnlyOnceThePortIsGivenBack) {
  write_settings("[ayar]\ncom=3\n");
  auto lines = open_ports({3});
  // In a process group of its own, as a shell with job control starts a job: a stop signal
  // stops nothing in a group that is orphaned, which the test's own group may be.
  const std::string script =
      std::string{when_held} +
      "mkfifo held\n"
      "LINE_HELD=held perl -e 'setpgrp(0, 0); exec @ARGV or die' \"$(dirname \"$0\")/pelvaro\" &\n"
      "pid=$!\n"
      "when_held held kill -TSTP $pid\n"
      "n=0\n"
      "until grep -q '^State:.*stopped' /proc/$pid/status || [ $n -ge 250 ]; do\n"
      "  sleep 0.02; n=$((n + 1))\n"
      "done\n"
      "grep -q '^State:.*stopped' /proc/$pid/status && echo stopped\n"
      "setpriv --reuid=65534 --regid=65534 --clear-groups sh -c ': <>/dev/ttyS2' "
      "&& echo given back\n"
      "kill -CONT $pid\n"
      "wait $pid\n";
  const auto result = run_script(lines, script, "stuck-queue");
  EXPECT_EQ(result.standard_output, "stopped\ngiven back\n") << result.standard_error;
  EXPECT_EQ(result.exit_status, 1);  // the queue that does not empty
  EXPECT_TRUE(ended_within(result.elapsed, stuck_drain_bound));
  EXPECT_EQ(lines[0].take_received(), "a");
  expect_usable_by_others(lines[0]);
}

TEST_F(HeldPort, EachEndingSignalSentWhileThePortIsHeldWaitsUntilThePortIsGivenBack) {
  // SIGPIPE is left out: the program ignores it, for its writes to standard error, and SIGXFSZ
  // may be for the same reason. 32 and 33 are the real-time signals the C library keeps for
  // itself; SIGRTMIN is 34 to programs.
  const std::vector<int> signals{SIGHUP,    SIGINT,   SIGQUIT,      SIGABRT,   SIGUSR1,
                                 SIGUSR2,   SIGALRM,  SIGTERM,      SIGSTKFLT, SIGXCPU,
                                 SIGVTALRM, SIGPROF,  SIGIO,        SIGPWR,    32,
                                 33,        SIGRTMIN, SIGRTMIN + 8, SIGRTMAX};
  // One copy of the program per signal, each on its own port, all held at once.
  std::vector<vcom::VirtualPort> lines;
  std::ostringstream script;
  script << when_held;
  for (std::size_t i = 0; i < signals.size(); ++i) {
    const int com = static_cast<int>(i) + 1;
    lines.emplace_back(com);
    ASSERT_EQ(::chmod(lines.back().pty_path().c_str(), 0666), 0);
    const fs::path copy = folder.path() / std::to_string(com);
    fs::create_directory(copy);
    fs::copy_file(program(), copy / "pelvaro");
    pelvaro::testing::TemporaryDirectory::write_to(copy / "pelvaro.txt",
                                                   "[ayar]\ncom=" + std::to_string(com) + "\n");
    // A shell starts a command with & ignoring SIGINT and SIGQUIT, unless told otherwise. Each
    // signal comes once its own copy holds the port, whenever that copy got there: on a busy
    // machine the copies start far apart.
    script << "mkfifo " << com << ".held\n"
           << "LINE_HELD=" << com << ".held env --default-signal \"$(dirname \"$0\")/" << com
           << "/pelvaro\" & pid" << com << "=$!\n"
           << "when_held " << com << ".held kill -" << signals[i] << " $pid" << com << "\n";
  }
  for (std::size_t i = 0; i < signals.size(); ++i) {
    script << "wait $pid" << i + 1 << "; echo $?\n";
  }
  const auto result = run_script(lines, script.str(), "stuck-queue");
  EXPECT_EQ(result.exit_status, 0) << result.standard_error;
  EXPECT_TRUE(ended_within(result.elapsed, stuck_drain_bound + 1s));
  std::istringstream statuses{result.standard_output};
  for (std::size_t i = 0; i < signals.size(); ++i) {
    int status = -1;
    statuses >> status;
    EXPECT_EQ(status, 128 + signals[i]) << "signal " << signals[i];
    EXPECT_EQ(lines[i].take_received(), "a") << "signal " << signals[i];
    expect_usable_by_others(lines[i]);
  }
}

TEST_F(HeldPort,
       ATermSignalWhileTheDriverHoldsTheSettingsCallEndsTheRunOnlyOnceThePortIsGivenBack) {
  write_settings("[ayar]\ncom=3\n");
  auto lines = open_ports({3});
  // A driver that holds the settings call keeps pelvaro on the exclusive port while it is told to
  // end, as a script's kill would.
  const auto result = run_script(lines,
                                 "./pelvaro & pid=$!\n"
                                 "sleep 1\n"
                                 "kill -TERM $pid\n"
                                 "wait $pid\n",
                                 "stuck-settings");
  EXPECT_EQ(result.exit_status, 128 + SIGTERM) << result.standard_error;
  EXPECT_EQ(lines[0].take_received(), "");
  expect_usable_by_others(lines[0]);
}

TEST_F(HeldPort, ALineHungUpWhileHeldIsLeftOpenToTheNextRunByAnOrdinaryUser) {
  write_settings("[ayar]\ncom=3\n");
  auto lines = open_ports({3});
  // The session's leader hangs the line up while the program waits for its queue to empty. The
  // test's own descriptors, hung up too, keep the tty in being, as a getty's would.
  const auto hung_up =
      run_command(lines, {port_session, "--hang-up", "/dev/ttyS2", program().string()},
                  with_fault("stuck-queue"));
  EXPECT_EQ(hung_up.exit_status, 1) << hung_up.standard_error;
  EXPECT_TRUE(ended_within(hung_up.elapsed, stuck_drain_bound));
  EXPECT_EQ(lines[0].take_received(), "a");
  expect_usable_by_others(lines[0]);

  const auto next = run_command(lines, {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                        "--clear-groups", program().string()});
  EXPECT_EQ(next.exit_status, 0) << next.standard_error;
  EXPECT_TRUE(ended_within(next.elapsed, run_bound));
  EXPECT_EQ(lines[0].take_received(), "a");
}

}  // namespace
