// The built program against faults: lines that fail in ways a pseudo-terminal never does (made
// by a preloaded library), an enormous settings file, and a run under valgrind. Each run must end
// promptly, send nothing it should not, and say by its exit status what happened.

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "support/hang_bound.h"
#include "support/shipped_program.h"

namespace {

namespace fs = std::filesystem;
using pelvaro::testing::ended_within;
using pelvaro::testing::ShippedProgramTest;

class FaultyLine : public ShippedProgramTest {
 protected:
  vcom::ProcessResult run_with_fault(const std::string& fault) {
    write_settings("[ayar]\ncom=3\n");
    lines = ports({3});
    return run(lines, {"LD_PRELOAD=" LINE_FAULTS_LIBRARY, "LINE_FAULT=" + fault,
                       "ASAN_OPTIONS=verify_asan_link_order=0"});
  }
  std::vector<vcom::VirtualPort> lines;
};

// The drain's bound (the byte's time plus 1 s), the release after it (0.5 s), and the start.
constexpr std::chrono::milliseconds drain_bound{2500};

TEST_F(FaultyLine, ALineThatCannotDrainIsGivenUpOnInBoundedTime) {
  // The driver's queue never empties, and discarding it does not return either; it never answers
  // how much is queued; its drain never returns, not even inside close. (A UART that never shows
  // its last bit gone: below.)
  for (const char* fault :
       {"stuck-queue", "stuck-queue,stuck-flush", "stuck-status", "stuck-drain"}) {
    const auto result = run_with_fault(fault);
    EXPECT_EQ(result.exit_status, 1) << fault;
    EXPECT_EQ(result.standard_error, "") << fault;
    EXPECT_TRUE(ended_within(result.elapsed, drain_bound)) << fault;
    EXPECT_EQ(lines[0].take_received(), "a") << fault;  // written before the drain, only once
  }
}

TEST_F(FaultyLine, ALineStatusThatNeverShowsEmptyCountsOnlyOnTheUartsOwnDriver) {
  // A USB adapter answers the question too, from what the adapter claims, and an FTDI adapter
  // under QEMU never claims it: there the driver's drain, which the pseudo-terminal has, decides.
  const auto adapter = run_with_fault("stuck-uart");
  EXPECT_EQ(adapter.exit_status, 0);
  EXPECT_EQ(lines[0].take_received(), "a");
  // The 8250 driver's line status is the UART's own: the same answer there is a byte not gone,
  // given up on in bounded time.
  const auto uart = run_with_fault("8250-uart,stuck-uart");
  EXPECT_EQ(uart.exit_status, 1);
  EXPECT_EQ(uart.standard_error, "");
  EXPECT_TRUE(ended_within(uart.elapsed, drain_bound));
  EXPECT_EQ(lines[0].take_received(), "a");
  // A port of that driver that does not answer the question (as the pseudo-terminal does not) is
  // left to the drain.
  const auto unanswered = run_with_fault("8250-uart");
  EXPECT_EQ(unanswered.exit_status, 0);
  EXPECT_EQ(lines[0].take_received(), "a");
}

// Opening, which gives the line its settings too, has a bound of its own: 6 s, for ports that
// connect to their device while they open. And the start.
constexpr std::chrono::milliseconds open_bound{6500};

TEST_F(FaultyLine, AnOpenOrSettingsCallTheDriverHoldsIsGivenUpOnInBoundedTime) {
  for (const char* fault : {"stuck-open", "stuck-settings"}) {
    const auto result = run_with_fault(fault);
    EXPECT_EQ(result.exit_status, 1) << fault;
    EXPECT_EQ(result.standard_error, "") << fault;
    EXPECT_TRUE(ended_within(result.elapsed, open_bound)) << fault;
    EXPECT_EQ(lines[0].take_received(), "") << fault;
  }
}

// Room for the byte (2 s), the release after it (0.5 s), and the start.
constexpr std::chrono::milliseconds write_bound{3000};

TEST_F(FaultyLine, AWriteThatFindsNoRoomIsGivenUpOnInBoundedTime) {
  // The driver takes no byte; on a line that does not move at all its queue does not empty and
  // its close does not return either.
  for (const char* faults : {"stuck-write", "stuck-write,stuck-queue,stuck-close"}) {
    const auto result = run_with_fault(faults);
    EXPECT_EQ(result.exit_status, 1) << faults;
    EXPECT_TRUE(ended_within(result.elapsed, write_bound)) << faults;
    EXPECT_EQ(lines[0].take_received(), "") << faults;
  }
}

TEST_F(FaultyLine, AFailingWriteEndsTheRunQuietly) {
  const auto result = run_with_fault("write-error");
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.standard_error, "");
  EXPECT_EQ(lines[0].take_received(), "");
}

// The timer's own signal, sent from outside as fast as a shell can, for as long as the run lasts:
// each cuts the drain's pauses short, and none may stretch the drain past its bound.
TEST_F(FaultyLine, AStreamOfTheTimersSignalFromOutsideDoesNotStretchTheDrain) {
  write_settings("[ayar]\ncom=3\n");
  lines = ports({3});
  const fs::path storm = folder.write("storm",
                                      "#!/bin/sh\n"
                                      "\"$(dirname \"$0\")/pelvaro\" & pid=$!\n"
                                      "(while kill -URG $pid 2>/dev/null; do :; done) &\n"
                                      "wait $pid\n");
  fs::permissions(storm, fs::perms{0755});
  const auto result = run_program(lines, storm,
                                  {"LD_PRELOAD=" LINE_FAULTS_LIBRARY, "LINE_FAULT=stuck-queue",
                                   "ASAN_OPTIONS=verify_asan_link_order=0"});
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_TRUE(ended_within(result.elapsed, drain_bound));
  EXPECT_EQ(lines[0].take_received(), "a");
}

// With no signal left to queue (RLIMIT_SIGPENDING at 0) the kernel refuses the timer that bounds
// the driver's waits: the port is then not opened at all, rather than waited on without a bound.
TEST_F(FaultyLine, WithoutATimerForItsWaitsThePortIsNotOpened) {
  write_settings("[ayar]\ncom=3\n");
  lines = ports({3});
  std::vector<std::string> environment;
  pass_on_sanitizer_options(environment);
  const auto result =
      vcom::run_with_ports(lines, {"/usr/bin/prlimit", "--sigpending=0", program().string()},
                           std::chrono::seconds{20}, environment);
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(result.exit_status, 1);
  EXPECT_EQ(result.standard_error, "");
  EXPECT_EQ(lines[0].take_received(), "");
}

using HugeSettings = ShippedProgramTest;

// The most a run reading the enormous file may take: the plain build's whole run, or, in the
// sanitized build, whose runtime alone takes more, what its switched-off run takes and the same
// room again for the read. Either is far below a file of 16 GiB, or a fraction of it.
long memory_bound_kib(long switched_off_peak_kib) {
  constexpr long plain_bound_kib = 16 * 1024;
#ifdef PELVARO_SANITIZED
  return switched_off_peak_kib + plain_bound_kib;
#else
  (void)switched_off_peak_kib;
  return plain_bound_kib;
#endif
}

TEST_F(HugeSettings, AnEnormousSettingsFileIsReadWithBoundedMemory) {
  auto lines = ports({3});
  write_settings("[ayar]\ncom=KAPALI\n");
  const auto switched_off = run(lines);
  ASSERT_EQ(switched_off.exit_status, 3);
  write_settings("[ayar]\ncom=3\n");
  const auto path = folder.path() / "pelvaro.txt";
  ASSERT_EQ(::truncate(path.c_str(), off_t{16} << 30), 0);  // 16 GiB, sparse
  const auto result = run(lines);
  EXPECT_EQ(result.exit_status, 0);
  EXPECT_EQ(lines[0].take_received(), "a");
  EXPECT_LT(result.peak_memory_kib, memory_bound_kib(switched_off.peak_memory_kib))
      << "the whole file was held in memory: a switched-off run's peak is "
      << switched_off.peak_memory_kib << " KiB";
}

TEST_F(HugeSettings, ALineCutByTheReadLimitSendsNowhere) {
  // "com=12" with the 1 MiB limit falling after "com=1": read as COM1, it would send there.
  const std::string head = "[ayar]\n;";
  const std::size_t padding = (std::size_t{1} << 20) - head.size() - 1 - 5;
  write_settings(head + std::string(padding, ' ') + "\ncom=12\n");
  auto lines = ports({1, 12});
  const auto result = run(lines);
  EXPECT_NE(result.exit_status, 0);
  expect_silence(lines);
}

using UnderValgrind = ShippedProgramTest;

TEST_F(UnderValgrind, LeavesNoLeakAndNoDescriptorOpen) {
#ifdef PELVARO_SANITIZED
  GTEST_SKIP() << "valgrind cannot run a program built with AddressSanitizer; the plain build does";
#endif
  if (!std::filesystem::exists("/usr/bin/valgrind")) GTEST_SKIP() << "valgrind is not installed";
  write_settings("[ayar]\ncom=3\n");
  auto lines = ports({3});
  const auto result =
      vcom::run_with_ports(lines,
                           {"/usr/bin/valgrind", "--leak-check=full",
                            "--errors-for-leak-kinds=definite,indirect,possible",
                            "--error-exitcode=99", "--track-fds=yes", program().string()},
                           std::chrono::seconds{120}, {"PATH=/usr/bin:/bin"});
  EXPECT_EQ(result.exit_status, 0) << result.standard_error;
  EXPECT_NE(result.standard_error.find("FILE DESCRIPTORS: 3 open (3 std) at exit."),
            std::string::npos)
      << result.standard_error;
  // What is still in use at exit is the C++ runtime's emergency pool for exceptions, which lives
  // as long as the process does; nothing is lost.
  for (const char* none :
       {"definitely lost: 0 bytes", "indirectly lost: 0 bytes", "possibly lost: 0 bytes"}) {
    const bool leak_free = result.standard_error.find(none) != std::string::npos ||
                           result.standard_error.find("no leaks are possible") != std::string::npos;
    EXPECT_TRUE(leak_free) << none << "\n" << result.standard_error;
  }
  EXPECT_EQ(lines[0].take_received(), "a");
}

}  // namespace
