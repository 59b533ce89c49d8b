// Runs taking turns at a port through its named mutex, under the real Windows API: a turn held
// past the deadline, one given back in time, one left by a run that ended holding it, and turns
// at different ports. Each "run" here is a thread, as the mutex belongs to the thread that took it.

#include "platform/win32/port_turn.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "platform/win32/win_handle.h"
#include "runtime/runtime_error.h"
#include "support/error_number.h"

namespace pelvaro {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds wait_limit{300};
// How late a refused wait may end on a busy machine.
constexpr milliseconds slack{400};

// A port number of this test process's own, so that nothing else waits at its turns.
int test_port() {
  return 1000 + static_cast<int>(GetCurrentProcessId() % 1000);
}

WinHandle manual_event() {
  return WinHandle{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
}

// Another run: takes the turn at `port`, says so, and gives it back when `give_back` is set.
class OtherRun {
 public:
  explicit OtherRun(int port)
      : thread_([this, port] {
          PortTurn turn = wait_for_turn(port, "other", Clock::now() + wait_limit);
          EXPECT_TRUE(turn.held());
          SetEvent(holding_.get());
          WaitForSingleObject(give_back_.get(), INFINITE);
        }) {
    EXPECT_EQ(WaitForSingleObject(holding_.get(), 5000), WAIT_OBJECT_0);
  }
  ~OtherRun() {
    give_back();
    thread_.join();
  }
  void give_back() { SetEvent(give_back_.get()); }

 private:
  WinHandle holding_ = manual_event();
  WinHandle give_back_ = manual_event();
  std::thread thread_;
};

TEST(PortTurn, NamesTheTurnMachineWideByThePortNumber) {
  EXPECT_EQ(port_turn_name(3), L"Global\\pelvaro-COM3");
  EXPECT_EQ(port_turn_name(12), L"Global\\pelvaro-COM12");
}

TEST(PortTurn, ATurnHeldPastTheDeadlineIsRefusedAtTheDeadline) {
  const OtherRun other{test_port()};
  const auto start = Clock::now();
  EXPECT_EQ(testing::error_number_of(
                [] { wait_for_turn(test_port(), "COM", Clock::now() + wait_limit); }),
            ErrorNumber::port_in_use);
  EXPECT_LT(Clock::now() - start, wait_limit + slack);
}

TEST(PortTurn, ATurnGivenBackInTimeIsTakenAndPassesOnWhenItEnds) {
  OtherRun other{test_port()};
  std::thread giving_back{[&other] {
    std::this_thread::sleep_for(milliseconds{100});
    other.give_back();
  }};
  PortTurn turn = wait_for_turn(test_port(), "COM", Clock::now() + milliseconds{5000});
  giving_back.join();
  EXPECT_TRUE(turn.held());
  turn.end();
  std::thread next{[] { EXPECT_TRUE(wait_for_turn(test_port(), "COM", Clock::now()).held()); }};
  next.join();
}

TEST(PortTurn, ATurnLeftByARunThatEndedHoldingItIsTaken) {
  PortTurn left;
  std::thread ended{[&left] { left = wait_for_turn(test_port(), "COM", Clock::now()); }};
  ended.join();  // the thread is gone, the mutex abandoned
  ASSERT_TRUE(left.held());
  std::thread next{
      [] { EXPECT_TRUE(wait_for_turn(test_port(), "COM", Clock::now() + wait_limit).held()); }};
  next.join();
}

TEST(PortTurn, RunsAtDifferentPortsDoNotWaitForEachOther) {
  const OtherRun other{test_port()};
  EXPECT_TRUE(wait_for_turn(test_port() + 1, "COM", Clock::now()).held());
}

}  // namespace
}  // namespace pelvaro
